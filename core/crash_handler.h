// The crash handler: while a CTavDump lives, a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT)
// writes a short report with a backtrace to "<trace dir>Dump/<program>.crash.txt" and a note to
// the trace file, then dies of the same signal so the kernel writes a core as configured.
// Core layer; a program's main() keeps one CTavDump for its whole run.
#pragma once

#include <signal.h>

#include <string>

// Installs the crash handler on construction and puts the previous handlers and alternate
// signal stack back on destruction. Construct and destroy on the same thread (the alternate
// stack, which lets the handler run after a stack overflow, belongs to that thread). Only one
// instance is active at a time: a second one constructed while another lives does nothing.
class CTavDump {
 public:
  CTavDump();
  ~CTavDump();
  CTavDump(const CTavDump&) = delete;
  CTavDump& operator=(const CTavDump&) = delete;

  // False when another CTavDump was active or the handlers could not be installed.
  bool installed() const { return installed_; }

 private:
  static constexpr int kSignalCount = 5;

  bool installed_ = false;
  bool stack_installed_ = false;
  struct sigaction previous_[kSignalCount] = {};
  stack_t previous_stack_ = {};
};

namespace tav {

// The report file the crash handler writes: "<trace dir>Dump/<program>.crash.txt" ("TavDump"
// when the program name is unknown; the trace directory when "Dump/" cannot be created).
std::string crash_report_path();

}  // namespace tav
