// Cancelling a running operation of the `tav` command by SIGINT (Ctrl-C) or SIGTERM: the guard
// sets the channel record's cancel flag and wakes the terminal face's pending question.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>

namespace tav::cli {

class TerminalSink;

// While it lives, SIGINT and SIGTERM set `*cancel` (a record's `cancel`) and interrupt `sink`
// (may be null), so that the worker stops and a pending question ends with the safe answer; the
// guard remembers that a signal came (signalled()). After the first signal the default action is
// back, so a second one ends a program that does not stop. One guard at a time: a second one
// while another lives installs nothing (installed() is false). The previous handlers are restored
// when it ends. `cancel` and `sink` must outlive the guard.
class CancelOnSignals {
 public:
  CancelOnSignals(std::atomic<uint32_t>* cancel, TerminalSink* sink);
  ~CancelOnSignals();
  CancelOnSignals(const CancelOnSignals&) = delete;
  CancelOnSignals& operator=(const CancelOnSignals&) = delete;

  bool installed() const { return installed_; }
  // True once SIGINT or SIGTERM came while this guard was installed.
  bool signalled() const;

 private:
  bool installed_ = false;
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

}  // namespace tav::cli
