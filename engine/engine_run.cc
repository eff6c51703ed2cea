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

bool claim_run(std::atomic<bool>* running, const THREAD_GUI_DATA* gui, bool idle_channel) {
  if (idle_channel && gui->worker_mode.load() != 0) return false;
  bool expected = false;
  return running->compare_exchange_strong(expected, true);
}

bool start_run_thread(THREAD_GUI_DATA* gui, TavThreadRoutine routine, std::atomic<bool>* running) {
  gui->progress_step = 0xFFFF;
  gui->worker_mode.store(0);
  gui->cancel.store(0);
  if (libtavpub_start_thread(gui, routine) != 0) return true;
  running->store(false);
  return false;
}

void note_run_stopped(THREAD_GUI_DATA* gui, const char* what) {
  TAV_TRACE(kTraceError, 0, "the %s stopped: out of memory", what);
  ++gui->error_count;
}

int64_t end_run(THREAD_GUI_DATA* gui, std::atomic<bool>* running, int64_t result) {
  running->store(false);
  end_operation(gui, result);
  return result;
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
