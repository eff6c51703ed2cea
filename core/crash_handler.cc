// The crash handler. Everything it needs is prepared when it is installed; the handler itself
// calls only async-signal-safe functions (open, write, close, sigaction, raise) and backtrace,
// which is safe once libgcc's unwinder has been loaded by a first call.
#include "core/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/program_dir.h"
#include "core/trace.h"

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr size_t kPathBytes = 4096;
// The alternate stack: room for the handler and the unwinder after the thread's own stack has
// overflowed. Static, so it never dangles, whichever thread destroys the CTavDump.
constexpr size_t kAltStackBytes = 256 * 1024;

alignas(64) char g_alt_stack[kAltStackBytes];
// The report path, written at install while no handler is active and read only by the handler.
char g_report_path[kPathBytes];
std::atomic<bool> g_active{false};    // a CTavDump owns the handlers
std::atomic<bool> g_handling{false};  // a crash is being reported; later ones skip the report
static_assert(std::atomic<bool>::is_always_lock_free, "flags read in a signal handler");

const char* signal_name(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "?";
  }
}

// A fixed buffer filled without allocation, for the handler.
class NoteBuffer {
 public:
  void text(const char* s) {
    while (*s != '\0' && used_ < sizeof data_) data_[used_++] = *s++;
  }
  void decimal(int value) {
    char digits[16];
    int n = 0;
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) text("-");
    while (n > 0 && used_ < sizeof data_) data_[used_++] = digits[--n];
  }
  void hex(uintptr_t value) {
    text("0x");
    for (int shift = static_cast<int>(sizeof value * 8) - 4; shift >= 0; shift -= 4) {
      if (used_ < sizeof data_) data_[used_++] = "0123456789abcdef"[(value >> shift) & 0xF];
    }
  }
  const char* data() const { return data_; }
  size_t size() const { return used_; }

 private:
  char data_[512];
  size_t used_ = 0;
};

void write_fully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

bool has_fault_address(int sig) { return sig != SIGABRT; }

// "An exception occurs: signal 11 (SIGSEGV) at 0x..." goes to the trace file; the report file
// gets the same line followed by the backtrace.
void write_report(int sig, const siginfo_t* info) {
  NoteBuffer line;
  line.text("An exception occurs: signal ");
  line.decimal(sig);
  line.text(" (");
  line.text(signal_name(sig));
  line.text(")");
  if (info != nullptr && has_fault_address(sig)) {
    line.text(" at ");
    line.hex(reinterpret_cast<uintptr_t>(info->si_addr));
  }

  if (g_report_path[0] != '\0') {
    int fd = ::open(g_report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      write_fully(fd, line.data(), line.size());
      constexpr char kBacktraceHeading[] = "\nBacktrace:\n";
      write_fully(fd, kBacktraceHeading, sizeof kBacktraceHeading - 1);
      void* frames[kMaxFrames];
      int count = backtrace(frames, kMaxFrames);
      backtrace_symbols_fd(frames, count, fd);
      ::close(fd);
    }
  }

  line.text("\r\n");
  tav::trace_write_signal_note(line.data(), line.size());
}

void crash_handler(int sig, siginfo_t* info, void* /*context*/) {
  int saved_errno = errno;
  if (!g_handling.exchange(true)) write_report(sig, info);
  // Die of the same signal with the default action, so the kernel writes its core. The signal
  // stays blocked until the handler returns; then the raised one is delivered (a fault would
  // also recur at the faulting instruction).
  struct sigaction default_action;
  std::memset(&default_action, 0, sizeof default_action);
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(sig, &default_action, nullptr);
  raise(sig);
  errno = saved_errno;
}

}  // namespace

namespace tav {

std::string crash_report_path() {
  std::string program = executable_name();
  if (program.empty()) program = "TavDump";
  return trace_dump_dir() + program + ".crash.txt";
}

}  // namespace tav

CTavDump::CTavDump() {
  if (g_active.exchange(true)) return;  // another instance owns the handlers

  std::string path = tav::crash_report_path();
  if (path.size() < sizeof g_report_path) {
    std::memcpy(g_report_path, path.c_str(), path.size() + 1);
  } else {
    g_report_path[0] = '\0';  // too long: the trace note is all a crash leaves
  }
  g_handling.store(false);
  // Loads the unwinder now: its first use may allocate, which the handler must not.
  void* frames[2];
  backtrace(frames, 2);

  stack_t stack;
  std::memset(&stack, 0, sizeof stack);
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof g_alt_stack;
  stack.ss_flags = 0;
  stack_installed_ = sigaltstack(&stack, &previous_stack_) == 0;

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = crash_handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  int installed = 0;
  for (; installed < kSignalCount; ++installed) {
    if (sigaction(kCrashSignals[installed], &action, &previous_[installed]) != 0) break;
  }
  if (installed == kSignalCount) {
    installed_ = true;
    return;
  }
  // Undo a partial installation.
  while (installed-- > 0) sigaction(kCrashSignals[installed], &previous_[installed], nullptr);
  if (stack_installed_) sigaltstack(&previous_stack_, nullptr);
  stack_installed_ = false;
  g_active.store(false);
}

CTavDump::~CTavDump() {
  if (!installed_) return;
  for (int i = kSignalCount - 1; i >= 0; --i) sigaction(kCrashSignals[i], &previous_[i], nullptr);
  if (stack_installed_) {
    // Only the constructing thread's alternate stack is ours to put back.
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == g_alt_stack &&
        (current.ss_flags & SS_ONSTACK) == 0) {
      sigaltstack(&previous_stack_, nullptr);
    }
  }
  g_active.store(false);
}
