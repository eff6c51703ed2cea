// Tests of the program and run directory rules.
#include "core/program_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/core/scoped_env.h"

namespace {

using tav::test::ScopedEnv;

TEST(ProgramDirTest, HomeFromEnvironmentAlwaysEndsInSlash) {
  struct Case { const char* home; const char* want; } cases[] = {
      {"/opt/tav", "/opt/tav/"},
      {"/opt/tav/", "/opt/tav/"},
      {"/tmp/x y", "/tmp/x y/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home);
    ScopedEnv home("TAV_HOME", c.home);
    EXPECT_EQ(tav::program_dir(), c.want);
    EXPECT_EQ(tav::program_file("Settings.ini"), std::string(c.want) + "Settings.ini");
  }
}

TEST(ProgramDirTest, EmptyHomeFallsBackToTheExecutable) {
  ScopedEnv home("TAV_HOME", "");
  std::string dir = tav::program_dir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  // The test binary does not live in a directory named bin, so it is its own directory.
  EXPECT_EQ(dir, tav::executable_dir());
  EXPECT_EQ(tav::executable_name(), "core_tests");
}

TEST(ProgramDirTest, RunDirFromEnvironmentOrPerUser) {
  {
    ScopedEnv run("TAV_RUN_DIR", "/tmp/locks");
    EXPECT_EQ(tav::run_dir(), "/tmp/locks/");
  }
  ScopedEnv run("TAV_RUN_DIR", nullptr);
  std::string dir = tav::run_dir();
  if (getuid() == 0) {
    EXPECT_EQ(dir, "/run/tav/");
  } else {
    EXPECT_TRUE(dir.ends_with("/tav/") || dir.starts_with("/tmp/tav-")) << dir;
  }
}

}  // namespace
