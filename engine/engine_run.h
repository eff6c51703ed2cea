// What the engine's runs (backup, restore, validation) share at their start and end: the progress
// channel they report through, one run of a kind at a time, the worker thread, the end of the
// channel's operation also when a run throws, and the step bar completed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "core/progress_channel.h"

namespace tav::engine {

// The channel named by libtavbak_set_thread_gui or, when none was named, a silent record of the
// engine's own, so that errors are still counted and the workers still have an error count and a
// cancel flag to poll.
THREAD_GUI_DATA* run_channel();

// A run's work on the channel's record: >= 0 success, < 0 failure.
using RunWork = std::function<int64_t(THREAD_GUI_DATA* channel)>;

// One kind of engine run (backup, restore, validation): one object per kind, living as long as
// the process, with what its entry points report in its own words.
struct RunKind {
  RunKind(const char* name, bool needs_idle_channel, void (*refused)(), void (*start_failed)())
      : what(name), idle_channel(needs_idle_channel), report_refused(refused), report_start_failed(start_failed) {}

  const char* const what;            // "backup": a run that threw is traced as "the backup stopped"
  const bool idle_channel;           // refused also while another engine's run holds the worker mode
  void (*const report_refused)();    // a run of the kind is already claimed
  void (*const report_start_failed)();  // its worker thread did not start
  std::atomic<bool> running{false};  // started or running
  RunWork pending;                   // the work its worker thread takes (set before it starts)
};

// Where a request runs: on the channel's worker thread (the TavStart... entry points, which
// return once it started) or on the caller's thread (the ...Thread ones, which return after it).
enum class RunPlace { kWorkerThread, kCallerThread };

// The module's request, run guarded: claims `kind` on the engine's channel (refused: reported,
// 0), then runs `work` at `place` and always ends the channel's operation, also when the work
// throws (memory ran out: traced and counted as an error). On the worker thread `routine` takes
// the work; 1 once started, 0 when the thread did not start (reported, the claim released). On
// the caller's thread the cancel flag is cleared first; 1 after the run.
int run_request_guarded(RunKind* kind, TavThreadRoutine routine, RunPlace place, RunWork work);

// The worker-thread routine of `kind`: takes its pending work and runs it guarded; 1 when the
// run succeeded, else 0.
unsigned run_pending_work(RunKind* kind, THREAD_GUI_DATA* channel);

template <RunKind& Kind>
unsigned pending_work_routine(void* record) {
  return run_pending_work(&Kind, static_cast<THREAD_GUI_DATA*>(record));
}

// run_request_guarded for a kind with static storage, with its own worker-thread routine.
template <RunKind& Kind>
int run_request_guarded(RunPlace place, RunWork work) {
  return run_request_guarded(&Kind, &pending_work_routine<Kind>, place, std::move(work));
}

// Counts what is left of the current step as done, so that the step bar ends at 100 %.
void fill_step(THREAD_GUI_DATA* channel);

}  // namespace tav::engine
