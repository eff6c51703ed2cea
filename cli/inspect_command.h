// `tav inspect FILE.ego [--json] [--units]`: shows every record of one volume file and checks it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/report_node.h"
#include "format/volume_inspector.h"

namespace tav::cli {

// Runs the command with the arguments after "inspect". Exit status 0 when every check passes,
// 1 when a check fails or the file cannot be read (one "tav: FILE: WHERE: CHECK" line per failed
// check on `err`), 2 on wrong use.
int run_inspect_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The report as a tree: file, ok, errors, header, comment, tailer, disks (with boot sectors,
// partitions and run tables), unit_infos, location_table, units.
ReportNode inspect_report_tree(const img::VolumeReport& report);

// "where: check" of one failed check, as printed after "tav: FILE: ".
std::string describe_error(const img::InspectError& error);

}  // namespace tav::cli
