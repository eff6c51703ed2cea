// The opening and the failure lines the commands share.
#include "cli/command_opening.h"

#include "cli/command_line.h"
#include "cli/image_session.h"

namespace tav::cli {

std::optional<int> CommandOpening::after_parse(bool parsed, const std::string& error, bool help) const {
  if (!parsed) return usage_error(error);
  if (help) return this->help();
  return std::nullopt;
}

std::optional<int> CommandOpening::read_numbers(const StorageArgs& a, uint32_t* snapshot, uint32_t* partition) const {
  if (partition == nullptr) {
    *snapshot = 0;
    if (!a.snapshot.empty() && !parse_index(a.snapshot, 0xFFFFFFFFu, snapshot)) {
      return usage_error("--snapshot takes a number from 1");
    }
    return std::nullopt;
  }
  if (!storage_numbers(a, snapshot, partition)) return usage_error("--snapshot and --partition take numbers from 1");
  return std::nullopt;
}

int CommandOpening::help() const {
  out_ << usage_;
  return kExitOk;
}

int CommandOpening::usage_error(const std::string& message) const {
  err_ << "tav " << name_ << ": " << message << '\n' << usage_;
  return kExitUsage;
}

int CommandOpening::fail(const std::string& message) const {
  err_ << "tav " << name_ << ": " << message << '\n';
  return kExitFailure;
}

int CommandOpening::cancelled(const std::string& message) const {
  err_ << "tav " << name_ << ": " << message << '\n';
  return kExitCancelled;
}

}  // namespace tav::cli
