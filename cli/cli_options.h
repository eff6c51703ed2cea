// Options of the `tav` command line that apply to every command (given before the command
// name), and the answer mode they select for the questions an operation asks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tav::cli {

// How questions with choices are answered.
enum class AnswerMode {
  kAsk,  // ask on the terminal; refused (safe answer) when there is none
  kYes,  // --yes: confirmations (Yes/No, Yes/No/Cancel, OK/Cancel) answered Yes or OK unasked
  kNo,   // --no: every question answered No, Cancel or Abort unasked
};

struct GlobalOptions {
  AnswerMode answer_mode = AnswerMode::kAsk;
};

// Reads the global options at the front of `args` into *options and sets *consumed to how many
// arguments they took (the command name follows them). Returns false with *error set for a
// contradiction (--yes together with --no); options it does not know are left for the caller.
bool parse_global_options(const std::vector<std::string>& args, GlobalOptions* options,
                          size_t* consumed, std::string* error);

// The lines that describe the global options in the usage text.
std::string global_options_usage();

}  // namespace tav::cli
