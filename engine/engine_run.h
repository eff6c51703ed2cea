// What the engine's runs (backup, restore, validation) share at their start and end: the progress
// channel they report through, one run of a kind at a time, the worker thread, the end of the
// channel's operation, and the step bar completed.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/progress_channel.h"

namespace tav::engine {

// The channel named by libtavbak_set_thread_gui or, when none was named, a silent record of the
// engine's own, so that errors are still counted and the workers still have an error count and a
// cancel flag to poll.
THREAD_GUI_DATA* run_channel();

// Sets `*running` (a kind of run's "started or running" flag) unless it is set already, or, with
// `idle_channel`, while another engine's run holds the channel's worker mode. The caller reports
// a refusal in its own words.
bool claim_run(std::atomic<bool>* running, const THREAD_GUI_DATA* channel, bool idle_channel);

// Readies the claimed `channel` for a run on its worker thread (step, worker mode and cancel reset)
// and starts `routine` there. When the thread cannot start, `*running` is cleared again and false
// returned; the caller reports it.
bool start_run_thread(THREAD_GUI_DATA* channel, TavThreadRoutine routine, std::atomic<bool>* running);

// A run that threw (memory ran out): traced as "the <what> stopped", counted as an error.
void note_run_stopped(THREAD_GUI_DATA* channel, const char* what);

// Clears `*running` and ends the channel's operation with `result`, in that order: the engine is
// free again before the work-done message goes out, so a face may start the next run as soon as
// it has it. Returns `result`.
int64_t end_run(THREAD_GUI_DATA* channel, std::atomic<bool>* running, int64_t result);

// Runs `run` (which returns the run's result: >= 0 success, < 0 failure) and always ends the
// channel's operation, also when it throws.
template <typename Run>
int64_t guarded_run(THREAD_GUI_DATA* channel, std::atomic<bool>* running, const char* what, Run&& run) {
  int64_t result = -1;
  try {
    result = run();
  } catch (...) {
    note_run_stopped(channel, what);
    result = -1;
  }
  return end_run(channel, running, result);
}

// Counts what is left of the current step as done, so that the step bar ends at 100 %.
void fill_step(THREAD_GUI_DATA* channel);

}  // namespace tav::engine
