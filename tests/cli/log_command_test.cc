// `tav log` through the built binary: the records that a backup and a succeeding and a failing
// validation wrote, after the records other programs left, in order; --since keeps the records
// from a date or a second on; wrong use exits 2 with the usage and writes no record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/tav_home_fixture.h"

namespace tav::cli_test {
namespace {

using LogCommandTest = TavHomeTest;

// The log file form: UTF-16LE after a byte-order mark; the texts here are ASCII.
std::vector<uint8_t> utf16_log(const std::string& text) {
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (char c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!current.empty()) lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = split_lines(text);
  return lines.empty() ? "" : lines.back();
}

// "YYYY-MM-DD hh:mm:ss" at the start of `line`.
bool starts_with_time(const std::string& line) {
  static constexpr char kShape[] = "9999-99-99 99:99:99";
  if (line.size() < sizeof kShape - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kShape[i] == '9' ? !digit : line[i] != kShape[i]) return false;
  }
  return true;
}

TEST_F(LogCommandTest, ShowsTheRecordsOfTheRunsAfterEarlierOnes) {
  // Two records another program wrote before.
  std::filesystem::create_directories(home_.file("log"));
  ASSERT_TRUE(write_file(home_.file("log/tavbloom.log"),
                         utf16_log("2|2025-01-01 10:00:00|TavWin|Backup started|\r\n"
                                   "0|2025-06-01 12:00:00|TavServ|Task 3 failed|\r\n")));

  const std::string store = scratch_.file("store");
  const std::string missing = scratch_.file("nothere");
  struct Run {
    std::vector<std::string> args;
    int status;
    const char* kind;  // of its record; null: no record
    bool outcome_on_stderr;
  };
  const Run runs[] = {
      {{"backup", disk_, store}, 0, "info", false},
      {{"validate", store}, 0, "info", false},
      {{"validate", missing}, 1, "error", true},
      {{"validate"}, 2, nullptr, false},  // wrong use did nothing: not recorded
      {{"validate", "--help"}, 0, nullptr, false},
  };
  std::vector<std::string> expected = {"2025-01-01 10:00:00  info  TavWin  Backup started",
                                       "2025-06-01 12:00:00  error  TavServ  Task 3 failed"};
  std::vector<std::string> record_prefixes;
  for (const Run& run : runs) {
    SCOPED_TRACE(run.args[0] + " " + (run.args.size() > 1 ? run.args[1] : ""));
    const RunResult r = tav(run.args);
    ASSERT_TRUE(r.exited) << describe(r);
    ASSERT_EQ(r.exit_status, run.status) << describe(r);
    if (run.kind == nullptr) continue;
    std::string text = "tav";
    for (const std::string& a : run.args) text += " " + a;
    const std::string outcome = last_line(run.outcome_on_stderr ? r.err : r.out);
    ASSERT_FALSE(outcome.empty()) << describe(r);
    expected.push_back(std::string("  ") + run.kind + "  tav  " + text + ": " + outcome);
  }

  const RunResult log = tav({"log"});
  ASSERT_TRUE(log.exited && log.exit_status == 0) << describe(log);
  const std::vector<std::string> lines = split_lines(log.out);
  ASSERT_EQ(lines.size(), expected.size()) << log.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i < 2) {
      EXPECT_EQ(lines[i], expected[i]);
    } else {
      // A record of this run: the time it was written, then the rest as expected.
      EXPECT_TRUE(starts_with_time(lines[i])) << lines[i];
      EXPECT_EQ(lines[i].substr(19), expected[i]);
    }
  }

  struct Since {
    std::vector<std::string> since;
    size_t first_shown;  // index of the first line still shown
  };
  const Since cases[] = {
      {{"--since", "2025-01-01"}, 0},
      {{"--since", "2025-01-01 10:00:00"}, 0},
      {{"--since", "2025-01-01 10:00:01"}, 1},
      {{"--since", "2025-06-01"}, 1},
      {{"--since", "2025-06-01 12:00:01"}, 2},
      {{"--since", "2099-12-31"}, lines.size()},
  };
  for (const Since& c : cases) {
    SCOPED_TRACE(c.since[1]);
    std::vector<std::string> args = {"log"};
    args.insert(args.end(), c.since.begin(), c.since.end());
    const RunResult r = tav(args);
    ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
    EXPECT_EQ(split_lines(r.out), std::vector<std::string>(lines.begin() + std::ptrdiff_t(c.first_shown), lines.end()));
  }
}

TEST_F(LogCommandTest, WrongUseExitsTwoWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"log", "--since"}, "--since needs a date"},
      {{"log", "--since", "yesterday"}, "--since takes"},
      {{"log", "--since", "2025-1-1"}, "--since takes"},
      {{"log", "--since", "2025-01-01 10:00"}, "--since takes"},
      {{"log", "all"}, "unknown argument 'all'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult r = tav(c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 2) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: tav log"), std::string::npos) << r.err;
  }
  // An empty installation has an empty log.
  const RunResult r = tav({"log"});
  ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tav::cli_test
