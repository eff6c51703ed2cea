// The start and end of an engine run on the progress channel.
#include "engine/engine_run.h"

#include <cmath>
#include <mutex>

#include "core/trace.h"
#include "engine/bak_gui.h"

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
bool claim(RunKind* kind, const THREAD_GUI_DATA* gui) {
  if (kind->idle_channel && gui->worker_mode.load() != 0) return false;
  bool expected = false;
  return kind->running.compare_exchange_strong(expected, true);
}

// Runs `work` and always ends the channel's operation, also when it throws. The kind is free
// again before the work-done message goes out, so a face may start the next run as soon as it
// has it.
int64_t guarded(RunKind* kind, THREAD_GUI_DATA* gui, const RunWork& work) {
  int64_t result = -1;
  try {
    result = work(gui);
  } catch (...) {
    TAV_TRACE(kTraceError, 0, "the %s stopped: out of memory", kind->what);
    ++gui->error_count;
    result = -1;
  }
  kind->running.store(false);
  end_operation(gui, result);
  return result;
}

}  // namespace

int run_request_guarded(RunKind* kind, TavThreadRoutine routine, RunPlace place, RunWork work) {
  THREAD_GUI_DATA* gui = run_channel();
  if (!claim(kind, gui)) {
    kind->report_refused();
    return 0;
  }
  if (place == RunPlace::kCallerThread) {
    gui->cancel.store(0);
    guarded(kind, gui, work);
    return 1;
  }
  kind->pending = std::move(work);
  gui->progress_step = 0xFFFF;
  gui->worker_mode.store(0);
  gui->cancel.store(0);
  if (libtavpub_start_thread(gui, routine) != 0) return 1;
  kind->pending = nullptr;
  kind->running.store(false);
  kind->report_start_failed();
  return 0;
}

unsigned run_pending_work(RunKind* kind, THREAD_GUI_DATA* gui) {
  const RunWork work = std::exchange(kind->pending, nullptr);  // taken: kept only while it runs
  return guarded(kind, gui, work) < 0 ? 0u : 1u;
}

void fill_step(THREAD_GUI_DATA* gui) {
  int64_t left = 0;
  double weight = 1.0;
  {
    std::lock_guard<std::mutex> lock(gui->data_mutex);
    left = gui->sub_total - gui->sub_done;
    weight = gui->sub_weight > 0 ? gui->sub_weight : 1.0;
  }
  if (left <= 0) return;
  const double units = std::ceil(double(left) / weight);
  gui->ops->sub_progress_update(gui, units >= double(UINT32_MAX) ? UINT32_MAX : uint32_t(units));
}

}  // namespace tav::engine
