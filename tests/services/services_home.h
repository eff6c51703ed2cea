// Test help for the services: a private program directory (TAV_HOME), run directory (lock files
// of named mutexes) and a pinned time zone for the life of a test, all put back afterwards.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>

#include "tests/core/file_utils_test_support.h"
#include "tests/core/scoped_env.h"

namespace tav::services_test {

// Sets TZ and calls tzset; the old TZ (or none) and tzset come back at the end of the scope.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) : env_(std::make_unique<test::ScopedEnv>("TZ", tz)) { ::tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::unique_ptr<test::ScopedEnv> env_;
};

class ServicesHome : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok());
    ASSERT_TRUE(run_.ok());
    home_env_ = std::make_unique<test::ScopedEnv>("TAV_HOME", home_.path().c_str());
    run_env_ = std::make_unique<test::ScopedEnv>("TAV_RUN_DIR", run_.path().c_str());
  }
  void TearDown() override {
    run_env_.reset();
    home_env_.reset();
  }
  std::string home_file(const std::string& name) const { return home_.path() + "/" + name; }

  sysutil_test::TempDir home_;
  sysutil_test::TempDir run_;
  std::unique_ptr<test::ScopedEnv> home_env_;
  std::unique_ptr<test::ScopedEnv> run_env_;
};

}  // namespace tav::services_test
