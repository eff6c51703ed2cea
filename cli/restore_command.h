// `tav restore DIR ... --to DEVICE-OR-IMAGE[:K]`: writes one partition of a snapshot onto an
// existing partition of a block device or a disk image file, run by the restore engine on the
// progress channel's worker with progress, questions and Ctrl-C on the terminal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Runs the command: 0 when the destination holds the partition; 1 when it was refused (nothing
// written) or failed; 2 on wrong use; 130 when cancelled.
int run_restore_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err);

}  // namespace tav::cli
