// Tests of the crash handler: a child process crashes with CTavDump installed; the parent sees
// it die of the same signal and finds the crash report and the note in the trace file.
#include "core/crash_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/trace.h"
#include "tests/core/trace_test_support.h"

namespace {

using CrashHandlerTest = tav::test_support::TraceHomeTest;

// A page no one may touch: writing to it is a real fault, with a known address, that no
// sanitizer check intercepts first.
volatile int* g_guard_page = nullptr;

void write_to_guard_page() { g_guard_page[1] = 1; }

// Recurses until the stack runs out (the limit is never reached); the handler then has to run
// on its alternate stack.
volatile int g_recursion_limit = 1 << 30;

int overflow_stack(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth >= g_recursion_limit) return frame[0];
  return overflow_stack(depth + 1) + frame[0];
}

void stack_overflow() { overflow_stack(0); }
void call_abort() { abort(); }
void raise_bus() { raise(SIGBUS); }

struct CrashCase {
  const char* name;
  void (*crash)();
  int signal;
  const char* signal_text;
};

// Runs `crash` in a child with a CTavDump installed and returns the child's wait status.
int crash_in_child(void (*crash)()) {
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);  // the test wants the report, not a core file
    CTavDump dump;
    if (!dump.installed()) _exit(3);
    TAV_TRACE(tav::kTraceError, 0, "before the crash");  // opens the trace file
    crash();
    _exit(4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(CrashHandlerTest, CrashWritesReportAndTraceNoteThenDiesOfTheSignal) {
  const CrashCase cases[] = {
      {"protected page", write_to_guard_page, SIGSEGV, "11 (SIGSEGV)"},
      {"stack overflow", stack_overflow, SIGSEGV, "11 (SIGSEGV)"},
      {"abort", call_abort, SIGABRT, "6 (SIGABRT)"},
      {"bus error", raise_bus, SIGBUS, "7 (SIGBUS)"},
  };
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  g_guard_page = static_cast<volatile int*>(page);
  char fault_address[32];
  std::snprintf(fault_address, sizeof fault_address, " at 0x%016jx\n",
                static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(&g_guard_page[1])));
  tav::test_support::write_bytes(home_ + "Settings.ini", "[Trace]\nMode=0\n");
  tav::trace_reload();
  for (const CrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(tav::crash_report_path().c_str());
    int status = crash_in_child(c.crash);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), c.signal);

    std::string report = tav::test_support::read_bytes(tav::crash_report_path()).value_or("");
    EXPECT_TRUE(report.starts_with("An exception occurs: signal " + std::string(c.signal_text)))
        << report;
    size_t backtrace = report.find("Backtrace:\n");
    ASSERT_NE(backtrace, std::string::npos) << report;
    EXPECT_GT(report.size(), backtrace + 12) << "no backtrace line: " << report;
    if (c.crash == write_to_guard_page) {
      EXPECT_NE(report.find(fault_address), std::string::npos) << report;
    }

    std::vector<std::string> lines = trace_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("An exception occurs: signal " + std::string(c.signal_text)))
        << lines.back();
  }
  munmap(page, 4096);
}

TEST_F(CrashHandlerTest, ReportGoesToTheDumpDirectory) {
  EXPECT_EQ(tav::crash_report_path(), home_ + "Dump/" + tav::executable_name() + ".crash.txt");
}

void custom_handler(int) {}

TEST(CrashHandlerInstallTest, DestructorPutsBackThePreviousHandlers) {
  const int signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
  std::vector<struct sigaction> saved(std::size(signals));
  struct sigaction custom = {};
  custom.sa_handler = custom_handler;
  sigemptyset(&custom.sa_mask);
  for (size_t i = 0; i < std::size(signals); ++i) sigaction(signals[i], &custom, &saved[i]);
  stack_t stack_before = {};
  sigaltstack(nullptr, &stack_before);

  {
    CTavDump dump;
    ASSERT_TRUE(dump.installed());
    CTavDump second;
    EXPECT_FALSE(second.installed()) << "only one instance owns the handlers";
    struct sigaction now = {};
    sigaction(SIGSEGV, nullptr, &now);
    EXPECT_NE(now.sa_handler, custom_handler);
    EXPECT_TRUE(now.sa_flags & SA_ONSTACK);
  }
  for (size_t i = 0; i < std::size(signals); ++i) {
    SCOPED_TRACE(signals[i]);
    struct sigaction now = {};
    sigaction(signals[i], nullptr, &now);
    EXPECT_EQ(now.sa_handler, custom_handler);
    sigaction(signals[i], &saved[i], nullptr);
  }
  stack_t stack_after = {};
  sigaltstack(nullptr, &stack_after);
  EXPECT_EQ(stack_after.ss_sp, stack_before.ss_sp) << "the previous alternate stack is back";
  EXPECT_EQ(stack_after.ss_flags, stack_before.ss_flags);

  CTavDump again;
  EXPECT_TRUE(again.installed()) << "a later instance may install again";
}

}  // namespace
