// `tav log`: the rotated logs oldest first, then the current one, one record a line.
#include "cli/log_command.h"

#include <cstring>
#include <optional>

#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "services/oplog.h"

namespace tav::cli {

namespace {

const char kLogUsage[] =
    "usage: tav log [--since DATE]\n"
    "\n"
    "Prints the operation log of this installation (the program directory's log/), oldest\n"
    "record first: what the programs, the service and `tav` did, one record a line as\n"
    "TIME  KIND  SOURCE  MESSAGE, KIND being error, warning or info.\n"
    "\n"
    "  --since DATE     only records from DATE on: YYYY-MM-DD or \"YYYY-MM-DD hh:mm:ss\" (local time)\n"
    "\n"
    "Exit status: 0; 1 when a log file cannot be read; 2 on wrong use.\n";

struct LogArgs {
  bool help = false;
  std::string since;
};

bool is_date_text(const std::string& text) {
  static constexpr char kShape[] = "9999-99-99 99:99:99";
  if (text.size() != 10 && text.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '9' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

[[gnu::noinline]] bool parse_log_args(const std::vector<std::string>& args, LogArgs* out, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      out->help = true;
    } else if (args[i] == "--since") {
      if (i + 1 == args.size()) {
        *error = "--since needs a date";
        return false;
      }
      out->since = args[++i];
      if (!is_date_text(out->since)) {
        *error = "--since takes YYYY-MM-DD or \"YYYY-MM-DD hh:mm:ss\", not '" + out->since + "'";
        return false;
      }
    } else {
      *error = "unknown argument '" + args[i] + "'";
      return false;
    }
  }
  return true;
}

const char* kind_word(unsigned type) { return type == 0 ? "error" : type == 1 ? "warning" : "info"; }

}  // namespace

int run_log_command(const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
                    std::ostream& err) {
  const CommandOpening command("log", kLogUsage, out, err);
  LogArgs a;
  if (const std::optional<int> exit = command.parse(parse_log_args, args, &a, a.help)) return *exit;

  std::vector<std::string> names;
  TavGetLogNames(names);
  names.push_back(services::kCurrentLogBase);
  for (const std::string& name : names) {
    void* log = TavOpenLog(name.c_str());
    if (log == nullptr) {
      if (name == services::kCurrentLogBase) continue;  // nothing logged since the last rotation
      return command.fail("cannot read the log '" + name + "'");
    }
    while (const char* line = TavReadLog(log)) {
      services::LogRecord r;
      if (!services::parse_log_record(line, &r)) continue;
      if (!a.since.empty() && r.time.compare(0, a.since.size(), a.since) < 0) continue;
      out << r.time << "  " << kind_word(r.type) << "  " << r.source << "  " << r.message << '\n';
    }
    TavCloseLog(log);
  }
  return kExitOk;
}

}  // namespace tav::cli
