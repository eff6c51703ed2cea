// The `tav` command line: dispatch of the commands, help and version.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tav::cli {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the command ran and failed (a damaged volume, a missing file)
constexpr int kExitUsage = 2;    // wrong use: no command, an unknown command or option
// An operation cancelled by SIGINT or SIGTERM (as a shell reports a Ctrl-C).
constexpr int kExitCancelled = 130;

// Runs one command line (args without the program name) writing results to `out` and messages to
// `err`; returns the process exit status. Global options before the command name (--yes, --no;
// see cli/cli_options.h) are parsed here and handed to the command with its own arguments.
// Throws only std::bad_alloc.
int run_command_line(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The overview printed by `tav --help` and, on stderr, after a usage error.
std::string usage_text();

}  // namespace tav::cli
