// `tav clone SOURCE-PARTITION DEST-PARTITION`: copies a live partition onto another partition
// (of the same or another disk, a block device or a disk image file), run by the restore engine
// with progress, questions and Ctrl-C on the terminal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Runs the command: 0 when the destination holds the copy; 1 when it was refused (nothing
// written) or failed; 2 on wrong use; 130 when cancelled.
int run_clone_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                      std::ostream& err);

}  // namespace tav::cli
