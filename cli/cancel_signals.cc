// The SIGINT / SIGTERM guard: a handler that only stores to lock-free atomics and writes the
// sink's wake-up pipe, both safe inside a signal handler.
#include "cli/cancel_signals.h"

#include <cerrno>

#include "cli/terminal_sink.h"

namespace tav::cli {
namespace {

static_assert(std::atomic<std::atomic<uint32_t>*>::is_always_lock_free);
static_assert(std::atomic<TerminalSink*>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<std::atomic<uint32_t>*> g_cancel{nullptr};
std::atomic<TerminalSink*> g_sink{nullptr};
std::atomic<int> g_signal{0};
std::atomic<bool> g_guard_active{false};

extern "C" void on_cancel_signal(int signal_number) {
  const int saved_errno = errno;
  g_signal.store(signal_number);
  if (std::atomic<uint32_t>* cancel = g_cancel.load()) cancel->store(1);
  if (TerminalSink* sink = g_sink.load()) sink->interrupt();
  errno = saved_errno;
}

void release_guard() {
  g_cancel.store(nullptr);
  g_sink.store(nullptr);
  g_guard_active.store(false);
}

}  // namespace

CancelOnSignals::CancelOnSignals(std::atomic<uint32_t>* cancel, TerminalSink* sink) {
  bool expected = false;
  if (!g_guard_active.compare_exchange_strong(expected, true)) return;
  g_signal.store(0);
  g_cancel.store(cancel);
  g_sink.store(sink);
  struct sigaction action {};
  action.sa_handler = on_cancel_signal;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep other code free of EINTR; the sink's reader is woken by its pipe.
  // SA_RESETHAND: after the first signal the default action is back.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  if (::sigaction(SIGINT, &action, &previous_int_) != 0) {
    release_guard();
    return;
  }
  if (::sigaction(SIGTERM, &action, &previous_term_) != 0) {
    ::sigaction(SIGINT, &previous_int_, nullptr);
    release_guard();
    return;
  }
  installed_ = true;
}

CancelOnSignals::~CancelOnSignals() {
  if (!installed_) return;
  ::sigaction(SIGINT, &previous_int_, nullptr);
  ::sigaction(SIGTERM, &previous_term_, nullptr);
  release_guard();
}

bool CancelOnSignals::signalled() const { return installed_ && g_signal.load() != 0; }

}  // namespace tav::cli
