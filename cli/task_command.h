// `tav task`: the scheduled backup tasks of this installation.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

int run_task_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                     std::ostream& err);

}  // namespace tav::cli
