// Tests of the console pipe: children run through /bin/sh as argv arrays, their output lines
// collected by a recording subclass.
#include "core/console_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "tests/core/file_utils_test_support.h"

namespace {

using Argv = std::vector<std::string>;

Argv sh(const std::string& script) { return {"/bin/sh", "-c", script}; }

// Collects every line and the number of ProcessEnded calls; lets a test wait for a line.
class Recorder : public CConsolePipe {
 public:
  // The listener calls into this object's members: stop it before they go.
  ~Recorder() override { CleanUp(); }

  using CConsolePipe::CleanUp;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  int ended() const {
    std::lock_guard lock(mu_);
    return ended_;
  }
  // Waits for the listener to deliver `count` lines (bounded, so a fault fails instead of hangs).
  bool wait_for_lines(size_t count) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return lines_.size() >= count; });
  }

  // Called on the listener after a line is recorded.
  std::function<void(Recorder&, const std::string&)> on_line;
  void set_line_end(char c) { line_end = c; }

 protected:
  void FlushOutput(const char* line) override {
    {
      std::lock_guard lock(mu_);
      lines_.emplace_back(line);
    }
    cv_.notify_all();
    if (on_line) on_line(*this, line);
  }
  void ProcessEnded() override {
    std::lock_guard lock(mu_);
    ++ended_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  int ended_ = 0;
};

// Every test ends with no child of ours left, running or zombie.
class ConsolePipeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
    EXPECT_EQ(errno, ECHILD);
  }

  // A fresh directory for files the test makes, removed with its contents afterwards.
  std::string temp_dir() {
    EXPECT_TRUE(dir_.ok());
    return dir_.path();
  }

 private:
  tav::sysutil_test::TempDir dir_;
};

bool process_exists(pid_t pid) { return kill(pid, 0) == 0; }

TEST_F(ConsolePipeTest, ProgramThatCannotStartFailsWithoutCallbacks) {
  std::string not_executable = temp_dir() + "/script.sh";
  {
    FILE* f = fopen(not_executable.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\necho should not run\n", f);
    fclose(f);
    ASSERT_EQ(chmod(not_executable.c_str(), 0644), 0);
  }
  struct Case {
    const char* name;
    Argv argv;
    uint32_t error;
  } cases[] = {
      {"no such program in PATH", {"tav-no-such-program-here"}, ENOENT},
      {"no such path", {"/nonexistent/dir/prog", "arg"}, ENOENT},
      {"file without execute permission", {not_executable}, EACCES},
      {"a directory", {temp_dir()}, EACCES},
      {"empty argv", {}, EINVAL},
      {"empty program name", {"", "x"}, EINVAL},
  };
  for (const Case& c : cases) {
    for (bool wait : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (wait ? ", waiting" : ", not waiting"));
      Recorder pipe;
      tav::set_last_error(0);
      EXPECT_EQ(pipe.Launch(c.argv, wait), 0);
      EXPECT_EQ(tav::get_last_error(), c.error);
      EXPECT_EQ(pipe.Wait(), 1);
      EXPECT_TRUE(pipe.lines().empty());
      EXPECT_EQ(pipe.ended(), 0);
      EXPECT_EQ(pipe.ExitStatus(), -1);
      EXPECT_EQ(pipe.Kill(), 0);
    }
  }
}

TEST_F(ConsolePipeTest, OutputIsCutIntoLines) {
  struct Case {
    const char* name;
    const char* script;
    std::vector<std::string> want;
  } cases[] = {
      {"CR LF then LF", "printf 'a\\r\\nb\\n'", {"a", "b"}},
      {"last line without a separator is kept", "printf 'one\\ntwo'", {"one", "two"}},
      {"backspace ends a line", "printf 'x\\by\\n'", {"x", "y"}},
      {"empty lines are not passed", "printf '\\n\\n\\r\\nz\\n\\n\\r'", {"z"}},
      {"standard error joins the output", "echo out; echo err >&2; echo again", {"out", "err", "again"}},
      {"8-bit text passes unchanged", "printf '\\351t\\351\\n'", {"\xe9t\xe9"}},
      {"no output at all", "true", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder pipe;
    ASSERT_EQ(pipe.Launch(sh(c.script), true), 1);
    EXPECT_EQ(pipe.lines(), c.want);
    EXPECT_EQ(pipe.ended(), 1);
    EXPECT_EQ(pipe.ExitStatus(), 0);
  }
}

TEST_F(ConsolePipeTest, LongLinesArriveInPiecesOfTheBufferSize) {
  const size_t piece = CConsolePipe::kLineBufferSize - 1;
  for (size_t length : {piece - 1, piece, piece + 1, size_t{1500}, 2 * piece, size_t{3000}}) {
    SCOPED_TRACE(length);
    Recorder pipe;
    std::string script =
        "head -c " + std::to_string(length) + " /dev/zero | tr '\\0' x; printf '\\nnext\\n'";
    ASSERT_EQ(pipe.Launch(sh(script), true), 1);
    std::vector<std::string> lines = pipe.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "next");
    lines.pop_back();
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
      // Every piece but the last is full; none is empty.
      if (i + 1 < lines.size()) {
        EXPECT_EQ(lines[i].size(), piece);
      }
      EXPECT_GT(lines[i].size(), 0u);
      joined += lines[i];
    }
    EXPECT_EQ(joined, std::string(length, 'x'));
    EXPECT_EQ(lines.size(), (length + piece - 1) / piece);
  }
}

TEST_F(ConsolePipeTest, ExitStatusIsReported) {
  struct Case {
    const char* name;
    const char* script;
    int status;
  } cases[] = {
      {"exit 0", "exit 0", 0},
      {"exit 3", "echo failing; exit 3", 3},
      {"killed by SIGKILL", "kill -KILL $$", 128 + SIGKILL},
      {"ended by SIGTERM", "kill -TERM $$", 128 + SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder pipe;
    EXPECT_EQ(pipe.ExitStatus(), -1);
    ASSERT_EQ(pipe.Launch(sh(c.script), true), 1);
    EXPECT_EQ(pipe.ExitStatus(), c.status);
    EXPECT_EQ(pipe.Succeeded(), c.status == 0);
  }
}

TEST_F(ConsolePipeTest, KillEndsOnlyThisObjectsRunningChild) {
  Recorder other;
  ASSERT_EQ(other.Launch(Argv{"sleep", "1000"}, false), 1);

  Recorder pipe;
  EXPECT_EQ(pipe.Kill(), 0) << "nothing launched yet";
  ASSERT_EQ(pipe.Launch(Argv{"sleep", "1000"}, false), 1);
  EXPECT_EQ(pipe.ExitStatus(), -1);
  EXPECT_EQ(pipe.Kill(), 1);
  EXPECT_EQ(pipe.Wait(), 1);
  EXPECT_EQ(pipe.ExitStatus(), 128 + SIGKILL);
  EXPECT_FALSE(pipe.Succeeded());
  EXPECT_EQ(pipe.ended(), 1);
  tav::set_last_error(0);
  EXPECT_EQ(pipe.Kill(), 0) << "the child has ended";
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ESRCH));

  // The other object's child was not touched.
  EXPECT_EQ(other.ExitStatus(), -1);
  EXPECT_EQ(other.Kill(), 1);
  EXPECT_EQ(other.Wait(), 1);
  EXPECT_EQ(other.ExitStatus(), 128 + SIGKILL);
}

TEST_F(ConsolePipeTest, InputWrittenThenClosedReachesTheChild) {
  Recorder pipe;
  ASSERT_EQ(pipe.Launch(Argv{"cat"}, false), 1);
  const char text[] = "hello\nworld";
  EXPECT_EQ(pipe.WriteInput(text, strlen(text)), strlen(text));
  pipe.CloseStdIn();
  EXPECT_EQ(pipe.WriteInput("x", 1), 0u);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EBADF));
  EXPECT_EQ(pipe.Wait(), 1);
  EXPECT_EQ(pipe.lines(), (std::vector<std::string>{"hello", "world"}));
  EXPECT_EQ(pipe.ExitStatus(), 0);
}

TEST_F(ConsolePipeTest, InputLargerThanThePipeIsWrittenWhole) {
  Recorder pipe;
  ASSERT_EQ(pipe.Launch(Argv{"wc", "-c"}, false), 1);
  std::string input(3 * 1024 * 1024 + 17, 'q');
  EXPECT_EQ(pipe.WriteInput(input.data(), input.size()), input.size());
  pipe.CloseStdIn();
  EXPECT_EQ(pipe.Wait(), 1);
  EXPECT_EQ(pipe.lines(), std::vector<std::string>{std::to_string(input.size())});
}

TEST_F(ConsolePipeTest, WriteToAChildThatClosedItsInputFailsWithoutSigpipe) {
  Recorder pipe;
  ASSERT_EQ(pipe.Launch(sh("exec 0<&-; echo closed; exec sleep 1000"), false), 1);
  ASSERT_TRUE(pipe.wait_for_lines(1));
  tav::set_last_error(0);
  // Without the guard the default SIGPIPE action would end this test process here.
  EXPECT_EQ(pipe.WriteInput("data\n", 5), 0u);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EPIPE));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "a SIGPIPE was left pending";
  EXPECT_EQ(pipe.Kill(), 1);
  EXPECT_EQ(pipe.Wait(), 1);
}

// Counts lines and bytes without keeping them.
class Counter : public CConsolePipe {
 public:
  ~Counter() override { Wait(); }
  size_t lines = 0;
  size_t bytes = 0;
  size_t longest = 0;

 protected:
  void FlushOutput(const char* line) override {
    size_t length = strlen(line);
    ++lines;
    bytes += length;
    if (length > longest) longest = length;
  }
};

TEST_F(ConsolePipeTest, TenMegabytesOfOutputAreCountedExactly) {
  const size_t total = 10 * 1024 * 1024;
  Counter pipe;
  // 100 characters a line; fold leaves the last 60 without a newline.
  std::string script = "head -c " + std::to_string(total) + " /dev/zero | tr '\\0' x | fold -w 100";
  ASSERT_EQ(pipe.Launch(sh(script), true), 1);
  EXPECT_EQ(pipe.bytes, total);
  EXPECT_EQ(pipe.lines, total / 100 + 1);
  EXPECT_EQ(pipe.longest, 100u);
  EXPECT_EQ(pipe.ExitStatus(), 0);
}

TEST_F(ConsolePipeTest, CleanUpStopsTheListenerAndLeavesTheChildRunning) {
  Recorder pipe;
  ASSERT_EQ(pipe.Launch(sh("trap '' TERM HUP; echo $$; while :; do sleep 1; done"), false), 1);
  ASSERT_TRUE(pipe.wait_for_lines(1));
  const pid_t child = static_cast<pid_t>(std::stol(pipe.lines()[0]));

  EXPECT_EQ(pipe.CleanUp(), 1);
  EXPECT_EQ(pipe.ended(), 1) << "ProcessEnded is called when the listener is stopped";
  EXPECT_TRUE(process_exists(child));
  EXPECT_EQ(pipe.ExitStatus(), -1);
  EXPECT_EQ(pipe.WriteInput("x", 1), 0u) << "input is closed by CleanUp";

  // The object still owns the child: it refuses a new run until the child is gone.
  EXPECT_EQ(pipe.Launch(sh("echo too early"), true), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EBUSY));

  EXPECT_EQ(pipe.Kill(), 1);
  // A killed child is waited for by the next launch.
  ASSERT_EQ(pipe.Launch(sh("echo after"), true), 1);
  EXPECT_FALSE(process_exists(child));
  EXPECT_EQ(pipe.lines().back(), "after");
  EXPECT_EQ(pipe.ended(), 2);
}

TEST_F(ConsolePipeTest, ChildThatEndsWhileAGrandchildHoldsTheOutputStillEndsTheRun) {
  Recorder pipe;
  ASSERT_EQ(pipe.Launch(sh("sleep 1000 & echo $!; echo partial"), true), 1);
  std::vector<std::string> lines = pipe.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "partial");
  EXPECT_EQ(pipe.ExitStatus(), 0);
  // The grandchild belongs to nobody here; end it.
  EXPECT_EQ(kill(static_cast<pid_t>(std::stol(lines[0])), SIGKILL), 0);
}

TEST_F(ConsolePipeTest, LaunchingAgainStartsAFreshRun) {
  Recorder pipe;
  pipe.on_line = [](Recorder& self, const std::string& line) {
    if (line == "switch") self.set_line_end(';');
  };
  ASSERT_EQ(pipe.Launch(sh("printf 'switch\\na;b;c\\n'; exit 3"), true), 1);
  // After the switch ';' separates and a line feed is ordinary text.
  EXPECT_EQ(pipe.lines(), (std::vector<std::string>{"switch", "a", "b", "c\n"}));
  EXPECT_EQ(pipe.ExitStatus(), 3);

  // The separator is back to '\n' and the status is the new child's.
  ASSERT_EQ(pipe.Launch(sh("printf 'x;y\\n'"), true), 1);
  EXPECT_EQ(pipe.lines().back(), "x;y");
  EXPECT_EQ(pipe.ExitStatus(), 0);
  EXPECT_EQ(pipe.ended(), 2);
}

TEST_F(ConsolePipeTest, DestroyingTheObjectLeavesNoChild) {
  struct Case {
    const char* name;
    bool clean_up_first;
  } cases[] = {{"listener running", false}, {"after CleanUp", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t child;
    {
      Recorder pipe;
      ASSERT_EQ(pipe.Launch(sh("echo $$; exec sleep 1000"), false), 1);
      ASSERT_TRUE(pipe.wait_for_lines(1));
      child = static_cast<pid_t>(std::stol(pipe.lines()[0]));
      if (c.clean_up_first) {
        EXPECT_EQ(pipe.CleanUp(), 1);
      }
      EXPECT_TRUE(process_exists(child));
    }
    // Killed and reaped: not even a zombie answers.
    EXPECT_FALSE(process_exists(child));
  }
  // A child that ended on its own, never waited for.
  {
    CConsolePipe runner;
    ASSERT_EQ(runner.Launch(Argv{"true"}, false), 1);
  }
}

TEST_F(ConsolePipeTest, ChildGetsOnlyItsPipesAndDefaultSignals) {
  // A descriptor opened elsewhere in the process without close-on-exec must not leak, and an
  // ignored or blocked signal here must not be inherited.
  int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  struct sigaction ignore = {}, old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old_pipe), 0);
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);

  Recorder pipe;
  std::string script = "test -e /proc/$$/fd/" + std::to_string(stray) +
                       " && echo leaked || echo clean; exec grep -E '^Sig(Ign|Blk)' /proc/self/status";
  int launched = pipe.Launch(sh(script), true);

  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  close(stray);
  ASSERT_EQ(launched, 1);
  std::vector<std::string> lines = pipe.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "clean");
  // Masks of signals 1-31 (bit n-1 for signal n). The C library keeps two real-time signals of
  // its own ignored in every spawned child; those are not ours to set.
  for (size_t i = 1; i < 3; ++i) {
    SCOPED_TRACE(lines[i]);
    ASSERT_GT(lines[i].size(), 8u);
    unsigned long long mask = std::stoull(lines[i].substr(8), nullptr, 16);
    EXPECT_EQ(mask & 0x7fffffffull, 0u);
  }
}

TEST_F(ConsolePipeTest, IdleObjectMovesWithItsResult) {
  Recorder source;
  ASSERT_EQ(source.Launch(sh("exit 5"), true), 1);
  CConsolePipe moved(std::move(source));
  EXPECT_EQ(moved.ExitStatus(), 5);
  EXPECT_EQ(source.ExitStatus(), -1);
  // Both stay usable.
  ASSERT_EQ(source.Launch(sh("echo again"), true), 1);
  EXPECT_EQ(source.lines().back(), "again");
  ASSERT_EQ(moved.Launch(sh("exit 0"), true), 1);
  EXPECT_TRUE(moved.Succeeded());
}

TEST_F(ConsolePipeTest, HandlersCannotWaitForTheirOwnListener) {
  Recorder pipe;
  std::vector<uint32_t> errors;
  pipe.on_line = [&errors](Recorder& self, const std::string&) {
    errors.push_back(self.Launch(Argv{"true"}, true) == 0 ? tav::get_last_error() : 0);
    errors.push_back(self.Wait() == 0 ? tav::get_last_error() : 0);
  };
  ASSERT_EQ(pipe.Launch(sh("echo one"), true), 1);
  EXPECT_EQ(errors, (std::vector<uint32_t>{EDEADLK, EDEADLK}));
}

TEST(SplitCommandLineTest, ArgumentsFollowTheConsoleRules) {
  struct Case {
    const char* name;
    const char* line;
    std::vector<std::string> want;
  } cases[] = {
      {"plain words", "diskpart /s script.txt", {"diskpart", "/s", "script.txt"}},
      {"extra blanks", "  a \t b  ", {"a", "b"}},
      {"quoted parts with blanks", "\"/opt/my dir/mkisofs\" -V \"My Label\"",
       {"/opt/my dir/mkisofs", "-V", "My Label"}},
      {"quotes inside a word", "-o\"a b\"c", {"-oa bc"}},
      {"escaped quote", "a\\\"b", {"a\"b"}},
      {"three backslashes and a quote", "a\\\\\\\"b", {"a\\\"b"}},
      {"two backslashes close a quote", "\"a\\\\\" b", {"a\\", "b"}},
      {"backslashes elsewhere are kept", "C:\\dir\\file.txt", {"C:\\dir\\file.txt"}},
      {"empty quoted argument", "prog \"\" x", {"prog", "", "x"}},
      {"unterminated quote runs to the end", "prog \"a b", {"prog", "a b"}},
      {"blank line", "   ", {}},
      {"null", nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::split_command_line(c.line), c.want);
  }
}

TEST_F(ConsolePipeTest, CommandLineFormRunsWithoutAShell) {
  Recorder pipe;
  // A shell would expand $HOME and run the second command; here they are plain arguments.
  ASSERT_EQ(pipe.Launch("printf \"%s|\" \"a b\" $HOME ; c", true), 1);
  EXPECT_EQ(pipe.lines(), std::vector<std::string>{"a b|$HOME|;|c|"});
  EXPECT_EQ(pipe.Launch("   ", true), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EINVAL));
  EXPECT_EQ(pipe.Launch(static_cast<const char*>(nullptr), true), 0);
}

}  // namespace
