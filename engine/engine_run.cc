// The start and end of an engine run on the progress channel.
#include "engine/engine_run.h"

#include <cmath>
#include <mutex>

#include "core/trace.h"
#include "engine/engine_channel.h"

namespace tav::engine {

THREAD_GUI_DATA* run_channel() {
  EngineReport& report = bak_report();
  if (report.record == nullptr) {
    static THREAD_GUI_DATA own;
    own.silent.store(1);
    report.set(&own, nullptr, nullptr);
  }
  return report.record;
}

namespace {

// Sets the kind's "started or running" flag unless it is set already or, for a kind that wants
// an idle channel, while another engine's run holds the channel's worker mode.
bool claim(RunKind* kind, const THREAD_GUI_DATA* channel) {
  if (kind->idle_channel && channel->worker_mode.load() != 0) return false;
  bool expected = false;
  return kind->running.compare_exchange_strong(expected, true);
}

// Runs `work` and always ends the channel's operation, also when it throws. The kind is free
// again before the work-done message goes out, so a face may start the next run as soon as it
// has it.
int64_t guarded(RunKind* kind, THREAD_GUI_DATA* channel, const RunWork& work) {
  int64_t result = -1;
  try {
    result = work(channel);
  } catch (...) {
    TAV_TRACE(kTraceError, 0, "the %s stopped: out of memory", kind->what);
    ++channel->error_count;
    result = -1;
  }
  kind->running.store(false);
  end_operation(channel, result);
  return result;
}

}  // namespace

int run_request_guarded(RunKind* kind, TavThreadRoutine routine, RunPlace place, RunWork work) {
  THREAD_GUI_DATA* channel = run_channel();
  if (!claim(kind, channel)) {
    kind->report_refused();
    return 0;
  }
  if (place == RunPlace::kCallerThread) {
    channel->cancel.store(0);
    guarded(kind, channel, work);
    return 1;
  }
  kind->pending = std::move(work);
  channel->progress_step = 0xFFFF;
  channel->worker_mode.store(0);
  channel->cancel.store(0);
  if (libtavpub_start_thread(channel, routine) != 0) return 1;
  kind->pending = nullptr;
  kind->running.store(false);
  kind->report_start_failed();
  return 0;
}

unsigned run_pending_work(RunKind* kind, THREAD_GUI_DATA* channel) {
  const RunWork work = std::exchange(kind->pending, nullptr);  // taken: kept only while it runs
  return guarded(kind, channel, work) < 0 ? 0u : 1u;
}

void fill_step(THREAD_GUI_DATA* channel) {
  int64_t left = 0;
  double weight = 1.0;
  {
    std::lock_guard<std::mutex> lock(channel->data_mutex);
    left = channel->sub_total - channel->sub_done;
    weight = channel->sub_weight > 0 ? channel->sub_weight : 1.0;
  }
  if (left <= 0) return;
  const double units = std::ceil(double(left) / weight);
  channel->ops->sub_progress_update(channel, units >= double(UINT32_MAX) ? UINT32_MAX : uint32_t(units));
}

}  // namespace tav::engine
