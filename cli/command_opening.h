// What every command that runs an operation begins and fails with: its arguments parsed, --help
// answered with its usage text, wrong use told on stderr before that text, and the snapshot and
// partition numbers read. Every line a command writes on stderr starts with "tav NAME: ".
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "cli/storage_args.h"

namespace tav::cli {

class CommandOpening {
 public:
  // `name` and `usage` are string literals (kept by pointer).
  CommandOpening(const char* name, const char* usage, std::ostream& out, std::ostream& err)
      : name_(name), usage_(usage), out_(out), err_(err) {}

  // After the command's argument parser: `parsed` is what it returned (false: wrong use, which
  // `error` names), `help` whether --help came. The exit status when the command ends here:
  // kExitUsage after "tav NAME: ERROR" and the usage on stderr, kExitOk after the usage on
  // stdout. Nothing when the command goes on.
  std::optional<int> after_parse(bool parsed, const std::string& error, bool help) const;

  // --snapshot and --partition as numbers from 1. Without `partition` only --snapshot is read,
  // and a command that was not given it gets 0 (the newest snapshot). The exit status of wrong
  // use when a number is not one; nothing when both are.
  std::optional<int> read_numbers(const StorageArgs& a, uint32_t* snapshot, uint32_t* partition) const;

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
