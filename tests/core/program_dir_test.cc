// Tests of the program and run directory rules.
#include "core/program_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "core/last_error.h"
#include "core/named_mutex.h"
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


// The run directory holds lock files and the mount daemon's socket: whoever could open them could
// hold root's locks or crowd its socket. It is made private before use, or refused.
class RunDirTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

  static mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  tav::sysutil_test::TempDir tmp_;
  std::string run_ = tmp_.file("a/b/run");
  ScopedEnv env_{"TAV_RUN_DIR", run_.c_str()};
};

TEST_F(RunDirTest, MissingIsCreatedPrivateAndWideIsNarrowed) {
  const mode_t mask = ::umask(0);
  const tav::Status created = tav::prepare_run_dir();
  ::umask(mask);
  ASSERT_TRUE(created) << created.message();
  EXPECT_EQ(mode_of(run_), 0700u);

  // As an older program left it: open to everyone, lock files and a socket every user could use.
  ASSERT_EQ(::chmod(run_.c_str(), 0755), 0);
  const std::string lock = run_ + "/BLOOM_DRIVE_LOAD_MUTEX";
  const std::string sub = run_ + "/tavmount";
  const std::string outside = tmp_.file("outside");
  ASSERT_EQ(::close(::open(lock.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  ASSERT_EQ(::close(::open(outside.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  ASSERT_EQ(::chmod(lock.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);
  ASSERT_EQ(::mkdir(sub.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(sub.c_str(), 0777), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (run_ + "/link").c_str()), 0);

  const tav::Status fixed = tav::prepare_run_dir();
  ASSERT_TRUE(fixed) << fixed.message();
  EXPECT_EQ(mode_of(run_), 0700u);
  EXPECT_EQ(mode_of(lock), 0600u);
  EXPECT_EQ(mode_of(sub), 0700u);
  EXPECT_EQ(mode_of(outside), 0644u);  // a link is not followed out of the directory
}

TEST_F(RunDirTest, ForeignOrFakeDirectoriesAreRefusedWithTheReason) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;
    uint32_t err;
    const char* says;
    bool needs_root;
  };
  const std::string elsewhere = tmp_.file("elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  const Case cases[] = {
      {"another user's directory",
       [](const std::string& p) {
         ASSERT_EQ(::mkdir(p.c_str(), 0777), 0);
         ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
       },
       EPERM, "belongs to user 65534", true},
      {"a symbolic link to a directory",
       [&](const std::string& p) { ASSERT_EQ(::symlink(elsewhere.c_str(), p.c_str()), 0); }, ENOTDIR,
       "is not a directory", false},
      {"a regular file",
       [](const std::string& p) { ASSERT_EQ(::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600)), 0); }, ENOTDIR,
       "is not a directory", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && ::geteuid() != 0) continue;
    std::error_code ec;
    std::filesystem::remove_all(tmp_.file("a"), ec);
    ASSERT_EQ(::mkdir(tmp_.file("a").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(tmp_.file("a/b").c_str(), 0700), 0);
    c.plant(run_);
    const tav::Status st = tav::prepare_run_dir();
    EXPECT_FALSE(st);
    EXPECT_EQ(tav::get_last_error(), c.err);
    EXPECT_NE(st.message().find(c.says), std::string::npos) << st.message();
    EXPECT_NE(st.message().find(run_), std::string::npos) << st.message();
    // A named mutex refuses it the same way instead of putting its files there.
    tav::NamedMutex mutex;
    EXPECT_FALSE(mutex.open("TAV_WIN_GUI_Mutex"));
    EXPECT_EQ(tav::get_last_error(), c.err);
  }
  EXPECT_EQ(mode_of(elsewhere), 0700u);
  EXPECT_FALSE(std::filesystem::exists(elsewhere + "/TAV_WIN_GUI_Mutex"));
}

// Another user can neither open nor lock a mutex of root's.
TEST_F(RunDirTest, AnotherUserCannotReachTheLockFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  tav::NamedMutex held;
  ASSERT_TRUE(held.open("BLOOM_DRIVE_LOAD_MUTEX"));
  // Even with the parents open to everyone, the run directory keeps others out.
  for (const std::string& dir : {tmp_.file(""), tmp_.file("a"), tmp_.file("a/b")}) ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  const std::string lock = held.path();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(20);
    const int fd = ::open(lock.c_str(), O_RDONLY);
    ::_exit(fd < 0 && errno == EACCES ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "11: another user opened the lock file, 20: setuid";
  EXPECT_TRUE(held.try_lock());
  EXPECT_TRUE(held.unlock());
}

}  // namespace
