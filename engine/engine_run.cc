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

bool claim_run(std::atomic<bool>* running, const THREAD_GUI_DATA* channel, bool idle_channel) {
  if (idle_channel && channel->worker_mode.load() != 0) return false;
  bool expected = false;
  return running->compare_exchange_strong(expected, true);
}

bool start_run_thread(THREAD_GUI_DATA* channel, TavThreadRoutine routine, std::atomic<bool>* running) {
  channel->progress_step = 0xFFFF;
  channel->worker_mode.store(0);
  channel->cancel.store(0);
  if (libtavpub_start_thread(channel, routine) != 0) return true;
  running->store(false);
  return false;
}

void note_run_stopped(THREAD_GUI_DATA* channel, const char* what) {
  TAV_TRACE(kTraceError, 0, "the %s stopped: out of memory", what);
  ++channel->error_count;
}

int64_t end_run(THREAD_GUI_DATA* channel, std::atomic<bool>* running, int64_t result) {
  running->store(false);
  end_operation(channel, result);
  return result;
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
