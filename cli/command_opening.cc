// The opening and the failure lines the commands share.
#include "cli/command_opening.h"

#include "cli/command_line.h"

namespace tav::cli {

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
