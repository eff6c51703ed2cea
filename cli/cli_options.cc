// Global options of the `tav` command line.
#include "cli/cli_options.h"

namespace tav::cli {

bool parse_global_options(const std::vector<std::string>& args, GlobalOptions* options,
                          size_t* consumed, std::string* error) {
  GlobalOptions parsed;
  bool saw_yes = false;
  bool saw_no = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--yes") {
      saw_yes = true;
    } else if (args[i] == "--no") {
      saw_no = true;
    } else {
      break;
    }
  }
  *consumed = i;
  if (saw_yes && saw_no) {
    *error = "--yes and --no cannot be used together";
    return false;
  }
  if (saw_yes) parsed.answer_mode = AnswerMode::kYes;
  if (saw_no) parsed.answer_mode = AnswerMode::kNo;
  *options = parsed;
  return true;
}

std::string global_options_usage() {
  return "global options (before the command):\n"
         "  --yes       answer confirmations (yes/no, ok/cancel) with yes without asking;\n"
         "              retry and abort questions are still asked on a terminal, and\n"
         "              answered cancel or abort without one\n"
         "  --no        answer every question with no, cancel or abort without asking\n"
         "Without either, questions are asked on the terminal; with no terminal they are\n"
         "refused and the operation takes the safe answer.\n";
}

}  // namespace tav::cli
