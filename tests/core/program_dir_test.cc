// Tests of the program and run directory rules.
#include "core/program_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "tests/core/file_utils_test_support.h"
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
  // The build keeps every executable in bin/, so the program directory is the top of the build.
  const std::string exe_dir = tav::executable_dir();
  ASSERT_TRUE(exe_dir.ends_with("/bin/")) << exe_dir;
  EXPECT_EQ(dir + "bin/", exe_dir);
  EXPECT_EQ(tav::executable_name(), "core_tests");
}

TEST(ProgramDirTest, SuiteProgramsInTheProgramDirectoryOrItsBin) {
  tav::sysutil_test::TempDir home;
  ASSERT_TRUE(home.ok());
  ScopedEnv env("TAV_HOME", home.path().c_str());
  const std::string dir = home.path() + "/";
  ASSERT_EQ(::mkdir(home.file("bin").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(home.file("folder").c_str(), 0755), 0);
  ASSERT_TRUE(tav::sysutil_test::make_file(home.file("both"), "#!/bin/sh\n", 0755));
  ASSERT_TRUE(tav::sysutil_test::make_file(home.file("bin/both"), "#!/bin/sh\n", 0755));
  ASSERT_TRUE(tav::sysutil_test::make_file(home.file("bin/binonly"), "#!/bin/sh\n", 0755));
  ASSERT_TRUE(tav::sysutil_test::make_file(home.file("plain"), "text", 0644));
  ASSERT_TRUE(tav::sysutil_test::make_file(home.file("bin/plain"), "#!/bin/sh\n", 0755));
  ASSERT_EQ(::mkdir(home.file("bin/folder").c_str(), 0755), 0);
  struct Case { const char* name; std::string want; } cases[] = {
      {"both", dir + "both"},              // the program directory comes first
      {"binonly", dir + "bin/binonly"},    // then its bin/
      {"plain", dir + "bin/plain"},        // a file that is not executable is passed over
      {"folder", ""},                      // directories are no programs
      {"missing", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::suite_program(c.name), c.want);
  }
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
