// Tests of the "Settings.ini" readers: each key's default and range, and the writers.
#include "core/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "tests/core/file_utils_test_support.h"
#include "tests/core/ini_test_support.h"
#include "tests/core/scoped_env.h"

namespace {

using tav::sysutil_test::make_file;
using tav::sysutil_test::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  void write(const std::string& text) { ASSERT_TRUE(make_file(path_, text)); }

  TempDir dir_;
  std::string path_ = dir_.file("Settings.ini");
};

TEST_F(SettingsTest, NumbersAreTakenWithinTheirRanges) {
  using Reader = std::function<int64_t(const std::string&)>;
  const Reader load_log = [](const std::string& p) { return tav::read_log_settings(p).load_log; };
  const Reader log_size = [](const std::string& p) { return tav::read_log_settings(p).log_size; };
  const Reader log_expire = [](const std::string& p) { return tav::read_log_settings(p).log_expire; };
  const Reader interval_dialog = [](const std::string& p) {
    return tav::read_update_settings(p, tav::IntervalUse::kOptionsDialog).interval_days;
  };
  const Reader interval_decide = [](const std::string& p) {
    return tav::read_update_settings(p, tav::IntervalUse::kDecideCheck).interval_days;
  };
  const Reader port = [](const std::string& p) {
    return tav::read_update_settings(p, tav::IntervalUse::kDecideCheck).port;
  };
  const Reader last_check = [](const std::string& p) {
    return tav::read_update_settings(p, tav::IntervalUse::kDecideCheck).last_check_time;
  };
  const Reader trace_out = [](const std::string& p) { return tav::read_trace_settings(p).out; };
  const Reader trace_mode = [](const std::string& p) { return tav::read_trace_settings(p).mode; };
  const Reader trace_level = [](const std::string& p) { return tav::read_trace_settings(p).level; };
  const Reader threads = [](const std::string& p) {
    return tav::read_adjustment_settings(p).compress_threads;
  };
  const Reader speed_read = [](const std::string& p) {
    return tav::read_adjustment_settings(p).speed_image_read;
  };
  const Reader single_thread = [](const std::string& p) {
    return tav::read_adjustment_settings(p).backup_by_single_thread;
  };

  struct Case {
    const char* name;
    const char* section;
    const char* line;  // null: the key is missing
    const Reader* read;
    int64_t want;
  } cases[] = {
      {"LoadLog missing", "Log", nullptr, &load_log, 0},
      {"LoadLog nonzero is 1", "Log", "LoadLog=5", &load_log, 1},
      {"LoadLog negative is 1", "Log", "LoadLog=-1", &load_log, 1},
      {"LogSize missing", "Log", nullptr, &log_size, 128},
      {"LogSize 0", "Log", "LogSize=0", &log_size, 128},
      {"LogSize 512", "Log", "LogSize=512", &log_size, 512},
      {"LogSize 513", "Log", "LogSize=513", &log_size, 128},
      {"LogSize negative", "Log", "LogSize=-4", &log_size, 128},
      {"LogSize 1", "Log", "logsize = 1", &log_size, 1},
      {"LogExpire missing", "Log", nullptr, &log_expire, 3},
      {"LogExpire 0", "Log", "LogExpire=0", &log_expire, 3},
      {"LogExpire 7", "Log", "LogExpire=7", &log_expire, 7},
      {"LogExpire 8", "Log", "LogExpire=8", &log_expire, 3},
      {"Interval missing, options dialog", "UpdateInfo", nullptr, &interval_dialog, 0},
      {"Interval missing, deciding", "UpdateInfo", nullptr, &interval_decide, 7},
      {"Interval 0 is never", "UpdateInfo", "Interval=0", &interval_decide, 0},
      {"Interval 30", "UpdateInfo", "Interval=30", &interval_dialog, 30},
      {"Interval 31", "UpdateInfo", "Interval=31", &interval_dialog, 7},
      {"Interval negative", "UpdateInfo", "Interval=-2", &interval_dialog, 7},
      {"Port missing", "UpdateInfo", nullptr, &port, 80},
      {"Port 0", "UpdateInfo", "Port=0", &port, 80},
      {"Port 8080", "UpdateInfo", "Port=8080", &port, 8080},
      {"Port beyond 16 bits", "UpdateInfo", "Port=65616", &port, 80},
      {"LastCheckTime after 2038", "UpdateInfo", "LastCheckTime=3000000000", &last_check, 3000000000},
      {"Trace Out missing", "Trace", nullptr, &trace_out, 1},
      {"Trace Out hex without prefix", "Trace", "Out=6", &trace_out, 6},
      {"Trace Mode hex", "Trace", "Mode=0x3F", &trace_mode, 0x3F},
      {"Trace Mode missing", "Trace", nullptr, &trace_mode, 7},
      {"Trace Level missing", "Trace", nullptr, &trace_level, 0},
      {"Trace Level 2", "Trace", "Level=2", &trace_level, 2},
      {"Trace Level above 3", "Trace", "Level=9", &trace_level, 3},
      {"Trace Level is decimal", "Trace", "Level=0x2", &trace_level, 0},
      {"CompressThreads missing", "Adjustment", nullptr, &threads, 0},
      {"CompressThreads 4", "Adjustment", "CompressThreads=4", &threads, 4},
      {"CompressThreads 32", "Adjustment", "CompressThreads=32", &threads, 32},
      {"CompressThreads 33", "Adjustment", "CompressThreads=33", &threads, 0},
      {"CompressThreads negative", "Adjustment", "CompressThreads=-1", &threads, 0},
      {"SpeedImageRead missing is on", "Adjustment", nullptr, &speed_read, 1},
      {"SpeedImageRead 0", "Adjustment", "SpeedImageRead=0", &speed_read, 0},
      {"BackupBySingleThread 1", "Adjustment", "BackupBySingleThread=1", &single_thread, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write(std::string("[") + c.section + "]\n" + (c.line ? std::string(c.line) + "\n" : ""));
    EXPECT_EQ((*c.read)(path_), c.want);
  }
}

TEST_F(SettingsTest, TraceDefaultsWithoutAFile) {
  for (const bool as_directory : {false, true}) {
    SCOPED_TRACE(as_directory ? "directory in its place" : "missing file");
    if (as_directory) {
      ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    }
    tav::TraceSettings t = tav::read_trace_settings(path_);
    EXPECT_EQ(t.out, 1u);
    EXPECT_EQ(t.mode, 7u);
    EXPECT_EQ(t.level, 0);
  }
}

TEST_F(SettingsTest, UpdateTextsFallBackWhenEmpty) {
  write("[UpdateInfo]\nServer=\nObject=  \n");
  tav::UpdateSettings u = tav::read_update_settings(path_, tav::IntervalUse::kDecideCheck);
  EXPECT_EQ(u.server, tav::kDefaultUpdateServer);
  EXPECT_EQ(u.object, "/download/tavupdate2.ini");
  write("[UpdateInfo]\nServer= mirror.example.invalid \nObject=/x.ini\n");
  u = tav::read_update_settings(path_, tav::IntervalUse::kDecideCheck);
  EXPECT_EQ(u.server, "mirror.example.invalid");
  EXPECT_EQ(u.object, "/x.ini");
}

TEST_F(SettingsTest, WritersKeepTheFileAndReadBack) {
  write("; installed\n[Settings]\nConsole=old\n");
  ASSERT_TRUE(tav::write_language(path_, "de"));
  ASSERT_TRUE(tav::write_console(path_, "TavRescue.exe /RestoreSnap"));
  ASSERT_TRUE(tav::write_log_settings(path_, {1, 256, 5}));
  ASSERT_TRUE(tav::write_update_interval(path_, 14));
  ASSERT_TRUE(tav::write_last_check_time(path_, 3000000000u));
  EXPECT_EQ(tav::ini_test::read_bytes(path_),
            "; installed\n[Settings]\nConsole=TavRescue.exe /RestoreSnap\nLanguage=de\n\n"
            "[Log]\nLoadLog=1\nLogSize=256\nLogExpire=5\n\n"
            "[UpdateInfo]\nInterval=14\nLastCheckTime=3000000000\n");
  EXPECT_EQ(tav::read_language(path_), "de");
  EXPECT_EQ(tav::read_console(path_), "TavRescue.exe /RestoreSnap");
  EXPECT_EQ(tav::write_console(path_, "a\nb"), false) << "a line break would add a line";
}

TEST_F(SettingsTest, DefaultPathIsInTheProgramDirectory) {
  tav::test::ScopedEnv home("TAV_HOME", dir_.path().c_str());
  EXPECT_EQ(tav::settings_path(), path_);
  ASSERT_TRUE(tav::write_language(tav::settings_path(), "fr"));
  EXPECT_EQ(tav::read_language(path_), "fr");
}

}  // namespace
