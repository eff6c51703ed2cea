// `tav validate DIR [--name BASE] [--snapshot N]`: reads back every stored unit of one snapshot.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Runs the command with the arguments after "validate": every stored sector of every partition
// of snapshot N (default: the newest) is read through the imaging engine's validation, which
// checks each compress unit's framing and CRCs and inflates it; the snapshots it depends on are
// read where it does. Progress on the terminal; Ctrl-C or SIGTERM cancels. Exit status 0 when
// every unit read and checked; 1 when the storage or snapshot is not there or a unit fails (the
// reader's message names the volume and what is wrong), also when damaged data was let go on
// with Ignore; 2 on wrong use; 130 when cancelled.
int run_validate_command(const GlobalOptions& options, const std::vector<std::string>& args,
                         std::ostream& out, std::ostream& err);

}  // namespace tav::cli
