// Command dispatch for `tav`: global options, the command table, usage errors.
#include "cli/command_line.h"

#include "cli/inspect_command.h"

#ifndef TAV_VERSION_STRING
#define TAV_VERSION_STRING "unknown"
#endif

namespace tav::cli {

namespace {

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
};

constexpr Command kCommands[] = {
    {"inspect", "show and check the records of one volume file", run_inspect_command},
};

}  // namespace

std::string usage_text() {
  std::string text =
      "usage: tav COMMAND [ARGS...]\n"
      "       tav --help | --version\n"
      "\n"
      "commands:\n";
  for (const Command& c : kCommands) text += "  " + std::string(c.name) + "    " + c.summary + "\n";
  text += "\nRun 'tav COMMAND --help' for the options of a command.\n";
  return text;
}

int run_command_line(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << "tav: no command given\n" << usage_text();
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    out << usage_text();
    return kExitOk;
  }
  if (first == "--version") {
    out << "tav " << TAV_VERSION_STRING << '\n';
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (first == c.name) return c.run(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  if (!first.empty() && first[0] == '-') {
    err << "tav: unknown option '" << first << "'\n" << usage_text();
  } else {
    err << "tav: unknown command '" << first << "'\n" << usage_text();
  }
  return kExitUsage;
}

}  // namespace tav::cli
