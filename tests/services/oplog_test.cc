// The operation log: records and their stripping, reading back, rotation (two in one second),
// expiry at its boundary, names that cannot leave the log folder, and the options shared by the
// processes of the machine.
#include "services/oplog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/file_utils.h"
#include "services/service_clock.h"
#include "tests/services/services_home.h"

namespace tav::services {
namespace {

using services_test::ScopedTimeZone;
using sysutil_test::Child;

// 2011-02-18 12:38:37 UTC.
constexpr int64_t kNow = 1298032717;

class OpLogTest : public services_test::ServicesHome {
 protected:
  void SetUp() override {
    ServicesHome::SetUp();
    tz_ = std::make_unique<ScopedTimeZone>("UTC0");
    clock_ = std::make_unique<ScopedServiceClock>([this] { return now_; });
  }
  void TearDown() override {
    LogUninitialize();
    clock_.reset();
    tz_.reset();
    ServicesHome::TearDown();
  }
  void write_settings(const std::string& text) {
    std::ofstream(home_file("Settings.ini")) << text;
  }
  std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Every line TavReadLog gives for `name`.
  std::vector<std::string> read_lines(const char* name) {
    std::vector<std::string> lines;
    void* log = TavOpenLog(name);
    if (log == nullptr) return lines;
    while (const char* line = TavReadLog(log)) lines.emplace_back(line);
    EXPECT_EQ(TavCloseLog(log), 1);
    return lines;
  }
  std::vector<std::string> rotated_files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(log_dir())) {
      if (e.path().filename() != "tavbloom.log") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  int64_t now_ = kNow;
  std::unique_ptr<ScopedTimeZone> tz_;
  std::unique_ptr<ScopedServiceClock> clock_;
};

TEST_F(OpLogTest, RecordsKeepFourFieldsWhateverTheMessageHolds) {
  struct Case {
    const char* name;
    const char* message;
    const char* stored;
  };
  const Case cases[] = {
      {"bar and line break", "a|b\r\n", "ab"},
      {"only separators", "|\r|\n|", ""},
      {"plain", "Backup finished", "Backup finished"},
      {"non-ASCII", "备份|完成", "备份完成"},
  };
  ASSERT_EQ(LogInitialize(), 1);
  for (const Case& c : cases) TavWriteLog(2, "TavWin", "%s", c.message);
  const std::vector<std::string> lines = read_lines(nullptr);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(lines[i], std::string("2|2011-02-18 12:38:37|TavWin|") + cases[i].stored + "|");
    LogRecord r;
    ASSERT_TRUE(parse_log_record(lines[i], &r));
    EXPECT_EQ(r.message, cases[i].stored);
  }
  // UTF-16LE with its mark, CR LF after every record.
  const std::string bytes = file_bytes(log_dir() + "tavbloom.log");
  ASSERT_GE(bytes.size(), 6u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE" "2\0", 4));
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST_F(OpLogTest, SourceDefaultsToTheProgramAndTimeIsLocal) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  ASSERT_EQ(LogInitialize(), 1);
  TavWriteLog(0, nullptr, "Failed %d", 7);
  const std::vector<std::string> lines = read_lines("");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "0|2011-02-18 13:38:37|services_tests|Failed 7|");
}

TEST_F(OpLogTest, WritesBeforeInitializationAreDropped) {
  TavWriteLog(2, "x", "lost");
  EXPECT_FALSE(std::filesystem::exists(log_dir() + "tavbloom.log"));
}

TEST_F(OpLogTest, ReaderNeverReturnsAnUnterminatedLastLine) {
  ASSERT_TRUE(create_directories(log_dir()));
  std::string bytes = "\xFF\xFE";
  for (char c : std::string("1|t|s|one|\r\n2|t|s|two|\r2|t|s|three|")) {
    bytes += c;
    bytes += '\0';
  }
  ASSERT_TRUE(sysutil_test::make_file(log_dir() + "tavbloom.log", bytes));
  EXPECT_EQ(read_lines("tavbloom"), (std::vector<std::string>{"1|t|s|one|", "2|t|s|two|"}));
}

TEST_F(OpLogTest, HandlesThatAreNotOpenAreRefused) {
  ASSERT_EQ(LogInitialize(), 1);
  TavWriteLog(2, "s", "m");
  void* log = TavOpenLog(nullptr);
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(TavCloseLog(log), 1);
  EXPECT_EQ(TavCloseLog(log), 0);
  int local = 0;
  EXPECT_EQ(TavReadLog(&local), nullptr);
  EXPECT_EQ(TavReadLog(nullptr), nullptr);
}

TEST_F(OpLogTest, NamesCannotLeaveTheLogFolder) {
  ASSERT_TRUE(create_directories(log_dir()));
  ASSERT_TRUE(sysutil_test::make_file(home_file("Settings.log"), "keep"));
  ASSERT_TRUE(sysutil_test::make_file(log_dir() + "notes.log", "keep"));
  const char* names[] = {"../Settings", "../../etc/passwd", "notes", "2011-02-18 12:38:37/../../Settings",
                         "2011-02-18 12:38:3x", "/tmp/x"};
  ASSERT_EQ(LogInitialize(), 1);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(TavOpenLog(name), nullptr);
    EXPECT_EQ(TavDeleteLog(name), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(home_file("Settings.log")));
  EXPECT_TRUE(std::filesystem::exists(log_dir() + "notes.log"));
}

TEST_F(OpLogTest, RotationInTheSameSecondKeepsEveryRotatedLog) {
  write_settings("[Log]\nLogSize=1\nLogExpire=7\n");
  ASSERT_EQ(LogInitialize(), 1);
  const std::string long_text(200, 'x');
  // Each record is about 460 bytes: the third fills 1 KiB.
  auto fill = [&](const char* tag) {
    for (int i = 0; i < 3; ++i) TavWriteLog(2, "s", "%s %d %s", tag, i, long_text.c_str());
  };
  fill("first");
  fill("second");
  fill("third");
  EXPECT_EQ(rotated_files(), (std::vector<std::string>{"2011-02-18 12_38_37.log", "2011-02-18 12_38_38.log",
                                                        "2011-02-18 12_38_39.log"}));
  std::vector<std::string> names;
  ASSERT_EQ(TavGetLogNames(names), 1);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "2011-02-18 12:38:37");
  const std::vector<std::string> first = read_lines(names[0].c_str());
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].rfind("2|2011-02-18 12:38:37|s|first 0 ", 0), 0u);
  EXPECT_EQ(read_lines(names[1].c_str())[0].rfind("2|2011-02-18 12:38:37|s|second 0 ", 0), 0u);
  // The next record starts a new current log, with its mark.
  TavWriteLog(1, "s", "after");
  EXPECT_EQ(file_bytes(log_dir() + "tavbloom.log").substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(read_lines(nullptr).size(), 1u);
}

TEST_F(OpLogTest, ExpiryDeletesRotatedLogsOfTheAgeAndOnlyThose) {
  write_settings("[Log]\nLogExpire=3\n");
  ASSERT_TRUE(create_directories(log_dir()));
  struct Case {
    const char* file;
    int64_t age_seconds;
    bool deleted;
  };
  const Case cases[] = {
      {"2011-02-15 12_38_37.log", 3 * 86400, true},       // exactly the age
      {"2011-02-15 12_38_38.log", 3 * 86400, true},       // another file of the same second
      {"2011-02-15 12_38_39.log", 3 * 86400 - 1, false},  // one second younger
      {"2011-02-10 00_00_00.log", 8 * 86400, true},
      {"notes.log", 30 * 86400, false},                   // not a rotated log
      {"tavbloom.log", 30 * 86400, false},                // the current log
  };
  for (const Case& c : cases) {
    const std::string path = log_dir() + c.file;
    ASSERT_TRUE(sysutil_test::make_file(path));
    const struct timespec times[2] = {{time_t(kNow - c.age_seconds), 0}, {time_t(kNow - c.age_seconds), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  // The local time zone plays no part: the ages are the same far from UTC.
  ScopedTimeZone tz("XYZ+11");
  ASSERT_EQ(LogInitialize(), 1);  // runs the expiry
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(std::filesystem::exists(log_dir() + c.file), !c.deleted);
  }
}

TEST_F(OpLogTest, OnlyTheCurrentLogGivesNoNames) {
  ASSERT_EQ(LogInitialize(), 1);
  TavWriteLog(2, "s", "m");
  std::vector<std::string> names{"stale"};
  EXPECT_EQ(TavGetLogNames(names), 0);
  EXPECT_TRUE(names.empty());
}

TEST_F(OpLogTest, OptionsAreClampedWhenWrittenAsWhenRead) {
  struct Case {
    tagTAVLOGOPT in;
    tagTAVLOGOPT out;
  };
  const Case cases[] = {
      {{5, 0, 99}, {1, 128, 3}},
      {{0, 513, 0}, {0, 128, 3}},
      {{1, 512, 7}, {1, 512, 7}},
      {{0, 1, 1}, {0, 1, 1}},
  };
  ASSERT_EQ(LogInitialize(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in.LoadLog) + "," + std::to_string(c.in.LogSize) + "," +
                 std::to_string(c.in.LogExpire));
    tagTAVLOGOPT o = c.in;
    ASSERT_EQ(TavSetLogOption(o), 1);
    EXPECT_EQ(o.LogSize, c.out.LogSize);
    const std::string ini = file_bytes(home_file("Settings.ini"));
    EXPECT_NE(ini.find("LogSize=" + std::to_string(c.out.LogSize)), std::string::npos) << ini;
    EXPECT_NE(ini.find("LogExpire=" + std::to_string(c.out.LogExpire)), std::string::npos) << ini;
    EXPECT_NE(ini.find("LoadLog=" + std::to_string(c.out.LoadLog)), std::string::npos) << ini;
    tagTAVLOGOPT got{};
    ASSERT_EQ(TavGetLogOption(got), 1);
    EXPECT_EQ(got.LoadLog, c.out.LoadLog);
    EXPECT_EQ(got.LogSize, c.out.LogSize);
    EXPECT_EQ(got.LogExpire, c.out.LogExpire);
  }
}

TEST_F(OpLogTest, ASecondProcessUsesTheOptionsTheFirstOneRead) {
  write_settings("[Log]\nLogSize=64\n");
  ASSERT_EQ(LogInitialize(), 1);
  write_settings("[Log]\nLogSize=256\n");
  Child child([](int to_parent, int) {
    // A forked child shares the parent's lock files' descriptions: open its own, as a new
    // process would.
    LogUninitialize();
    if (LogInitialize() != 1) return 1;
    tagTAVLOGOPT o{};
    TavGetLogOption(o);
    sysutil_test::send_byte(to_parent, char(o.LogSize));
    return 0;
  });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.receive(), 64);
  EXPECT_EQ(child.wait(), 0);
  // Once no process holds the log, the next one reads the file again.
  LogUninitialize();
  ASSERT_EQ(LogInitialize(), 1);
  tagTAVLOGOPT o{};
  TavGetLogOption(o);
  EXPECT_EQ(o.LogSize, 256u);
}

TEST_F(OpLogTest, ProcessesAppendingTogetherLoseNoRecord) {
  ASSERT_EQ(LogInitialize(), 1);
  constexpr int kPerProcess = 200;
  auto body = [](int, int) {
    LogUninitialize();  // own lock-file descriptions, as a new process has
    if (LogInitialize() != 1) return 1;
    for (int i = 0; i < kPerProcess; ++i) TavWriteLog(2, "child", "record %d", i);
    return 0;
  };
  Child a(body), b(body);
  for (int i = 0; i < kPerProcess; ++i) TavWriteLog(2, "parent", "record %d", i);
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  const std::vector<std::string> lines = read_lines(nullptr);
  EXPECT_EQ(lines.size(), size_t(3 * kPerProcess));
  for (const std::string& line : lines) {
    LogRecord r;
    EXPECT_TRUE(parse_log_record(line, &r)) << line;
  }
}

}  // namespace
}  // namespace tav::services
