// Tests of the trace: line shape by Mode, filtering by Level and Out, error texts, keeping the
// previous run's file, the size cap, concurrent writers and the trace directory's fallback.
#include "core/trace.h"
#include "core/error_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"
#include "tests/core/trace_test_support.h"

namespace {

using tav::test_support::read_trace_text;
using tav::test_support::split_lines;
using TraceTest = tav::test_support::TraceHomeTest;

const std::string kTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} )";

std::string tid_text() { return "Tid=" + std::to_string(gettid()) + " "; }

bool matches(const std::string& line, const std::string& pattern) {
  return std::regex_match(line, std::regex(pattern));
}

TEST_F(TraceTest, DefaultsSkipInfoAndWriteErrorsWithTimeThreadAndFunction) {
  TAV_TRACE(tav::kTraceInfo, 0, "only information");
  EXPECT_FALSE(tav::test_support::read_bytes(trace_path()).has_value())
      << "a level 3 line must not even create the file";

  TAV_TRACE(tav::kTraceError, 0, "copied %d sectors of \xC3\xA9t\xC3\xA9 \xE6\x97\xA5", 42);
  std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(matches(lines[0], kTime + tid_text() +
                                    "TestBody\\(\\) copied 42 sectors of \xC3\xA9t\xC3\xA9 \xE6\x97\xA5"))
      << lines[0];
}

TEST_F(TraceTest, ModeBitsShapeTheLine) {
  struct Case {
    const char* name;
    const char* mode;
    std::string pattern;
  } cases[] = {
      {"nothing but the message", "0", "message"},
      {"time", "1", kTime + "message"},
      {"thread", "2", tid_text() + "message"},
      {"function", "4", "TestBody\\(\\) message"},
      {"source with directory", "8", "/.+/trace_test\\.cc\\(\\d+\\): message"},
      {"source name only", "10", "trace_test\\.cc\\(\\d+\\): message"},
      {"name only wins over the directory", "18", "trace_test\\.cc\\(\\d+\\): message"},
      {"level name", "20", "Warn message"},
      {"everything in order", "3F",
       "trace_test\\.cc\\(\\d+\\): " + kTime + "Warn " + tid_text() + "TestBody\\(\\) message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(trace_path().c_str());
    configure(std::string("[Trace]\nMode=") + c.mode + "\nLevel=1\n");
    TAV_TRACE(tav::kTraceWarn, 0, "message");
    std::vector<std::string> lines = trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(matches(lines[0], c.pattern)) << lines[0];
  }
}

TEST_F(TraceTest, NullFunctionAndSourceAreLeftOut) {
  configure("[Trace]\nMode=3F\n");
  TavTrace(tav::kTraceError, 0, nullptr, nullptr, 7, "bare");
  std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(matches(lines[0], kTime + "Error " + tid_text() + "bare")) << lines[0];
}

TEST_F(TraceTest, LevelFiltersAndNamesEachLevel) {
  struct Case {
    const char* level_setting;
    std::vector<std::string> want;  // level names of the lines written for levels 0..5
  } cases[] = {
      {"0", {"Error"}},
      {"2", {"Error", "Warn", "Critical"}},
      {"3", {"Error", "Warn", "Critical", "Info"}},
      {"9", {"Error", "Warn", "Critical", "Info"}},  // above 3 behaves as 3
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("Level=") + c.level_setting);
    std::remove(trace_path().c_str());
    configure(std::string("[Trace]\nMode=20\nLevel=") + c.level_setting + "\n");
    for (int level = 0; level <= 5; ++level) TAV_TRACE(level, 0, "at %d", level);
    std::vector<std::string> lines = trace_lines();
    std::vector<std::string> names;
    for (const std::string& line : lines) {
      if (line.starts_with("Info Out dir is")) continue;  // the configuration note at level 3
      names.push_back(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(names, c.want);
  }
}

TEST_F(TraceTest, ConfigurationNoteNamesDirectoryAndFile) {
  configure("[Trace]\nMode=0\nLevel=3\n");
  std::vector<std::string> lines = trace_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Out dir is '" + home_ + "', out file name is '" + trace_path() + "'");
}

TEST_F(TraceTest, OutSelectsFileAndStderrAndNeverStdout) {
  struct Case {
    const char* out;
    bool file;
    bool console;
  } cases[] = {
      {"0", false, false},
      {"1", true, false},
      {"4", false, true},
      {"5", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("Out=") + c.out);
    std::remove(trace_path().c_str());
    configure(std::string("[Trace]\nOut=") + c.out + "\nMode=0\n");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    TAV_TRACE(tav::kTraceError, 0, "to the outputs");
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.console ? "to the outputs\n" : "");
    std::vector<std::string> lines = trace_lines();
    EXPECT_EQ(lines, c.file ? std::vector<std::string>{"to the outputs"} : std::vector<std::string>{});
  }
}

std::string suite_text(uint32_t code) {
  return code == 0xE0000001u ? std::string("Suite failure\r\n") : std::string();
}

TEST_F(TraceTest, ErrorCodesShowHexAndEnglishText) {
  configure("[Trace]\nMode=0\n");
  tav::set_suite_error_text_lookup(&suite_text);
  struct Case {
    const char* name;
    int32_t code;
    uint32_t last_error;
    const char* want;
  } cases[] = {
      {"errno value", ENOENT, 0, "Err=0x00000002(No such file or directory) msg"},
      {"thread's last error", tav::kTraceLastError, EACCES, "Err=0x0000000d(Permission denied) msg"},
      {"last error of none", tav::kTraceLastError, 0, "msg"},
      {"unknown errno value has no text", 4000, 0, "Err=0x00000fa0 msg"},
      {"suite code with text, CR LF trimmed", static_cast<int32_t>(0xE0000001u), 0,
       "Err=0xe0000001(Suite failure) msg"},
      {"suite code without text", static_cast<int32_t>(0xE0000002u), 0, "Err=0xe0000002 msg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(trace_path().c_str());
    tav::trace_reload();
    tav::set_last_error(c.last_error);
    errno = EINTR;
    TAV_TRACE(tav::kTraceError, c.code, "msg");
    EXPECT_EQ(errno, EINTR) << "tracing keeps errno";
    EXPECT_EQ(tav::get_last_error(), c.last_error) << "tracing keeps the last error";
    EXPECT_EQ(trace_lines(), std::vector<std::string>{c.want});
  }
  tav::set_suite_error_text_lookup(nullptr);
}

TEST_F(TraceTest, PreviousRunIsKeptAsDotOne) {
  configure("[Trace]\nMode=0\n");
  TAV_TRACE(tav::kTraceError, 0, "first run");
  tav::trace_reload();
  TAV_TRACE(tav::kTraceError, 0, "second run");
  EXPECT_EQ(trace_lines(), std::vector<std::string>{"second run"});
  EXPECT_EQ(split_lines(read_trace_text(rotated_path()).value_or("")),
            std::vector<std::string>{"first run"});

  // The next run replaces the older copy; a run with the file output off leaves both alone.
  tav::trace_reload();
  EXPECT_EQ(split_lines(read_trace_text(rotated_path()).value_or("")),
            std::vector<std::string>{"second run"});
  EXPECT_FALSE(tav::test_support::read_bytes(trace_path()).has_value());
  TAV_TRACE(tav::kTraceError, 0, "third run");
  configure("[Trace]\nOut=4\nMode=0\n");
  EXPECT_EQ(trace_lines(), std::vector<std::string>{"third run"});
  EXPECT_EQ(split_lines(read_trace_text(rotated_path()).value_or("")),
            std::vector<std::string>{"second run"});
}

TEST_F(TraceTest, CapRotatesIntoDotOneAndStartsAFreshFile) {
  configure("[Trace]\nMode=0\n");
  constexpr uint64_t kCap = 400;
  tav::set_trace_file_cap(kCap);
  constexpr int kLines = 12;
  for (int i = 0; i < kLines; ++i) TAV_TRACE(tav::kTraceError, 0, "line %02d with some padding", i);

  std::string current = tav::test_support::read_bytes(trace_path()).value_or("");
  std::string rotated = tav::test_support::read_bytes(rotated_path()).value_or("");
  EXPECT_LE(current.size(), kCap);
  EXPECT_LE(rotated.size(), kCap);
  std::vector<std::string> newer = split_lines(read_trace_text(trace_path()).value_or(""));
  std::vector<std::string> older = split_lines(read_trace_text(rotated_path()).value_or(""));
  ASSERT_FALSE(newer.empty());
  ASSERT_FALSE(older.empty());
  // The two files hold the latest lines in order, without a gap.
  std::vector<std::string> both = older;
  both.insert(both.end(), newer.begin(), newer.end());
  for (size_t i = 0; i < both.size(); ++i) {
    char want[64];
    std::snprintf(want, sizeof want, "line %02zu with some padding", kLines - both.size() + i);
    EXPECT_EQ(both[i], want);
  }
}

TEST_F(TraceTest, LineLongerThanTheCapIsStillWritten) {
  configure("[Trace]\nMode=0\n");
  tav::set_trace_file_cap(64);
  std::string long_text(100, 'x');
  TAV_TRACE(tav::kTraceError, 0, "%s", long_text.c_str());
  TAV_TRACE(tav::kTraceError, 0, "after");
  EXPECT_EQ(split_lines(read_trace_text(rotated_path()).value_or("")),
            std::vector<std::string>{long_text});
  EXPECT_EQ(trace_lines(), std::vector<std::string>{"after"});
}

TEST_F(TraceTest, FileRemovedDuringTheRunIsReplacedAtTheCap) {
  configure("[Trace]\nMode=0\n");
  tav::set_trace_file_cap(200);
  TAV_TRACE(tav::kTraceError, 0, "before removal");
  ASSERT_EQ(std::remove(trace_path().c_str()), 0);
  for (int i = 0; i < 10; ++i) TAV_TRACE(tav::kTraceError, 0, "line %d after removal", i);
  std::vector<std::string> lines = trace_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "line 9 after removal");
  EXPECT_LE(tav::test_support::read_bytes(trace_path()).value_or("").size(), 200u);
}

TEST_F(TraceTest, ConcurrentThreadsWriteWholeLines) {
  configure("[Trace]\nMode=2\n");
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kPerThread; ++i) {
          TAV_TRACE(tav::kTraceError, 0, "thread %d line %d \xE2\x82\xAC padding padding padding", t, i);
        }
      });
    }
  }
  std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  std::regex shape(R"(Tid=(\d+) thread (\d+) line (\d+) € padding padding padding)");
  std::map<int, int> next_line;  // each thread's lines arrive whole and in order
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    int thread = std::stoi(m[2]);
    EXPECT_EQ(std::stoi(m[3]), next_line[thread]++) << line;
  }
  EXPECT_EQ(next_line.size(), static_cast<size_t>(kThreads));
}

TEST_F(TraceTest, UnopenableFileDropsTheLineAndTheNextTriesAgain) {
  configure("[Trace]\nMode=0\n");
  // A plain file where the "Trace" directory belongs.
  tav::test_support::write_bytes(home_ + "Trace", "in the way");
  TAV_TRACE(tav::kTraceError, 0, "lost");
  ASSERT_EQ(std::remove((home_ + "Trace").c_str()), 0);
  TAV_TRACE(tav::kTraceError, 0, "kept");
  EXPECT_EQ(trace_lines(), std::vector<std::string>{"kept"});
}

TEST(TraceDirTest, FallbackForAProgramDirectoryThatIsNotWritable) {
  struct Case {
    const char* name;
    unsigned uid;
    const char* xdg;
    const char* home;
    const char* want;
  } cases[] = {
      {"root", 0, "/x", "/root", "/var/log/tav/"},
      {"state home", 1000, "/home/u/.state", "/home/u", "/home/u/.state/tav/"},
      {"state home with slash", 1000, "/s/", "/home/u", "/s/tav/"},
      {"home only", 1000, nullptr, "/home/u", "/home/u/.local/state/tav/"},
      {"empty state home", 1000, "", "/home/u/", "/home/u/.local/state/tav/"},
      {"nothing set", 1000, nullptr, nullptr, "/tmp/tav-1000/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::fallback_trace_dir(c.uid, c.xdg, c.home), c.want);
  }
}

TEST_F(TraceTest, ProgramDirectoryThatIsNotWritableTracesElsewhere) {
  EXPECT_EQ(tav::trace_dir(), home_);
  // A program directory that cannot be written (here: one that does not exist, which binds
  // root too) sends the trace to the per-user state directory, or /var/log/tav for root.
  std::string state = home_ + "state/";
  std::string dir;
  {
    tav::test::ScopedEnv state_env("XDG_STATE_HOME", state.c_str());
    setenv("TAV_HOME", (home_ + "missing/").c_str(), 1);  // the fixture puts it back
    tav::trace_reload();
    dir = tav::trace_dir();
  }
  if (geteuid() == 0) {
    EXPECT_EQ(dir, "/var/log/tav/");
    return;  // no line written into the machine's log directory
  }
  EXPECT_EQ(dir, state + "tav/");
  TAV_TRACE(tav::kTraceError, 0, "on a read-only medium");
  std::vector<std::string> lines = split_lines(
      read_trace_text(state + "tav/Trace/" + tav::executable_name() + ".txt").value_or(""));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("on a read-only medium")) << lines[0];
}

}  // namespace
