// Test helper: sets (or unsets) one environment variable for a scope and puts the old value back
// in every outcome, assertion failures included.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace tav::test {

class ScopedEnv {
 public:
  // A null value unsets the variable for the scope.
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = std::string(old);
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const char* value) {
    if (value != nullptr) setenv(name_.c_str(), value, 1); else unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace tav::test
