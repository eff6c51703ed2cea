// `tav export DIR [--name BASE] --snapshot N --partition K [--force] OUTFILE`: writes one
// partition of a snapshot as a raw partition image file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Runs the command with the arguments after "export". The file gets exactly sector_count x 512
// bytes: what the snapshot's chain stored, read through the snapshot sector reader, with holes
// where nothing was stored (and where a stored piece is all zeros). It is written under a
// temporary name beside OUTFILE and renamed at the end; on failure nothing is left behind.
// Exit status 0 when every stored sector was read and the file is in place; 1 when the storage,
// snapshot or partition is not there, OUTFILE is refused (it exists without --force, or is not a
// regular file), a read fails (damaged data, a missing volume, the user's Abort, Ctrl-C or SIGTERM) or the
// file cannot be written; also 1, with the file kept, when the user let damaged units go on
// (Ignore: they are written as zeros). 2 on wrong use.
int run_export_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

}  // namespace tav::cli
