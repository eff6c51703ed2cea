// `tav backup SOURCE DIR ...`: a new snapshot of the selected partitions of a block device or a
// disk image file, added to the storage in DIR (or starting one), run by the imaging engine on
// the progress channel's worker with progress and Ctrl-C on the terminal.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Runs the command: 0 with the snapshot's summary on `out`; 1 when the backup failed (a message
// on `err`; the run's volume files are gone); 2 on wrong use; 130 when cancelled.
int run_backup_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

}  // namespace tav::cli
