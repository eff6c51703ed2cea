// What every command that runs an operation begins and fails with: its arguments parsed (the
// snapshot and partition numbers among them, see storage_args.h), --help answered with its usage
// text, and wrong use told on stderr before that text. Every line a command writes on stderr
// starts with "tav NAME: ".
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tav::cli {

class CommandOpening {
 public:
  // `name` and `usage` are string literals (kept by pointer).
  CommandOpening(const char* name, const char* usage, std::ostream& out, std::ostream& err)
      : name_(name), usage_(usage), out_(out), err_(err) {}

  // Parses `args` into *out with the command's `parser` (false with the message on wrong use).
  // The exit status when the command ends here: kExitUsage after "tav NAME: MESSAGE" and the
  // usage on stderr, kExitOk after the usage on stdout when `help` (a flag of *out, read once
  // the parser ran) is set. Nothing when the command goes on.
  template <typename Args>
  std::optional<int> parse(bool (*parser)(const std::vector<std::string>&, Args*, std::string*),
                           const std::vector<std::string>& args, Args* out, const bool& help) const {
    std::string error;
    if (!parser(args, out, &error)) return usage_error(error);
    if (help) return this->help();
    return std::nullopt;
  }

  // The usage on stdout; kExitOk.
  int help() const;
  // "tav NAME: MESSAGE" and the usage on stderr; kExitUsage.
  int usage_error(const std::string& message) const;
  // "tav NAME: MESSAGE" on stderr; kExitFailure.
  int fail(const std::string& message) const;
  // "tav NAME: MESSAGE" on stderr; kExitCancelled.
  int cancelled(const std::string& message) const;

 private:
  const char* name_;
  const char* usage_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace tav::cli
