// A program directory of the test's own for the commands that keep state there (`tav task`,
// `tav log`): TAV_HOME with the English language file, a lock directory, a pinned time zone and
// English chosen, inherited by the children of run_tav; and the sample disk, made once per suite.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_test_support.h"
#include "tests/core/scoped_env.h"

namespace tav::cli_test {

// Central European time with its daylight-saving rule, written out so no zone files are needed:
// on 2027-03-28 the clock goes from 02:00 straight to 03:00.
constexpr char kTimeZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

// A program directory with the English language file, its own lock directory, the pinned zone
// and English chosen, for the life of a test; the children of run_tav inherit them.
class TavHomeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    disk_dir_ = new TempDir;
    const std::string disk = disk_dir_->file("sample.img");
    const int rc = std::system(("bash '" TAV_SOURCE_DIR "/tests/fixtures/make_sample_disk.sh' '" + disk + "' >/dev/null").c_str());
    if (WIFEXITED(rc) && WEXITSTATUS(rc) == 0) disk_ = disk;
  }
  static void TearDownTestSuite() {
    delete disk_dir_;
    disk_dir_ = nullptr;
    disk_.clear();
  }
  void SetUp() override {
    if (disk_.empty()) GTEST_SKIP() << "sfdisk, dosfstools, mtools or e2fsprogs missing";
    ASSERT_TRUE(home_.ok() && run_.ok() && scratch_.ok());
    std::filesystem::create_directories(home_.file("lang"));
    std::filesystem::copy_file(TAV_SOURCE_DIR "/lang/lang.en-us.xml", home_.file("lang/lang.en-us.xml"));
    env_.push_back(std::make_unique<test::ScopedEnv>("TAV_HOME", home_.file("").c_str()));
    env_.push_back(std::make_unique<test::ScopedEnv>("TAV_RUN_DIR", run_.file("").c_str()));
    env_.push_back(std::make_unique<test::ScopedEnv>("TZ", kTimeZone));
    env_.push_back(std::make_unique<test::ScopedEnv>("LANGUAGE", "en_US"));
  }
  void TearDown() override {
    while (!env_.empty()) env_.pop_back();
  }

  RunResult tav(const std::vector<std::string>& args) { return run_tav(scratch_, args); }

  // Creates a task with `schedule` over the sample disk; its id, or 0 (with a failure) when the
  // command failed.
  long create(const std::vector<std::string>& schedule) {
    std::vector<std::string> args = {"task", "create", "--dir", scratch_.file("store"), "--disk", disk_};
    args.insert(args.end(), schedule.begin(), schedule.end());
    const RunResult r = tav(args);
    long id = 0;
    if (!r.exited || r.exit_status != 0 || std::sscanf(r.out.c_str(), "task %ld created", &id) != 1) {
      ADD_FAILURE() << describe(r);
      return 0;
    }
    return id;
  }

  // `tav task list` as id -> line.
  std::map<long, std::string> list() {
    const RunResult r = tav({"task", "list"});
    EXPECT_TRUE(r.exited && r.exit_status == 0) << describe(r);
    return lines_by_id(r.out);
  }

  static std::map<long, std::string> lines_by_id(const std::string& out) {
    std::map<long, std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      long id = 0;
      if (std::sscanf(line.c_str(), "%ld", &id) == 1) lines[id] = line;
    }
    return lines;
  }

  static inline TempDir* disk_dir_ = nullptr;
  static inline std::string disk_;
  TempDir home_, run_, scratch_;
  std::vector<std::unique_ptr<test::ScopedEnv>> env_;
};


}  // namespace tav::cli_test
