// The restore's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/restore.h"

#include <atomic>

#include "core/thread_gui.h"
#include "core/trace.h"
#include "engine/bak_gui.h"
#include "engine/restore_run.h"

namespace {

// Set while a run is started or running.
std::atomic<bool> g_running{false};

// What the worker thread runs (set before it starts, read only by it; the request is forgotten
// when the run ends).
RESTORE_REQUEST* s_pRestore = nullptr;

// The channel named by libtavbak_set_thread_gui, or a silent one of the engine's own.
THREAD_GUI_DATA* run_channel() {
  tav::EngineReport& report = tav::engine::bak_report();
  if (report.record == nullptr) {
    static THREAD_GUI_DATA own;
    own.silent.store(1);
    report.set(&own, nullptr, nullptr);
  }
  return report.record;
}

// One engine run at a time: another engine's run holds the channel's worker mode.
bool claim_run(THREAD_GUI_DATA* gui) {
  bool expected = false;
  if (gui->worker_mode.load() == 0 && g_running.compare_exchange_strong(expected, true)) return true;
  TAV_TRACE(tav::kTraceError, 0, "an engine run is already active: the restore is not started");
  return false;
}

// Runs the restore and always ends the channel's operation. The engine is free again before the
// work-done message goes out.
int64_t guarded_run(RESTORE_REQUEST* request, THREAD_GUI_DATA* gui) {
  int64_t result = -1;
  try {
    result = tav::engine::run_restore(request, gui);
  } catch (...) {
    TAV_TRACE(tav::kTraceError, 0, "the restore stopped: out of memory");
    ++gui->error_count;
    result = -1;
  }
  s_pRestore = nullptr;
  g_running.store(false);
  tav::end_operation(gui, result);
  return result;
}

unsigned restore_operation_thread(void* record) {
  auto* gui = static_cast<THREAD_GUI_DATA*>(record);
  return guarded_run(s_pRestore, gui) < 0 ? 0u : 1u;
}

}  // namespace

int TavStartRestoration(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  THREAD_GUI_DATA* gui = run_channel();
  if (!claim_run(gui)) return 0;
  gui->progress_step = 0xFFFF;
  gui->worker_mode.store(0);
  gui->cancel.store(0);
  s_pRestore = request;
  if (libtavpub_start_thread(gui, &restore_operation_thread) == 0) {
    s_pRestore = nullptr;
    g_running.store(false);
    TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting restoration thread failed!");
    return 0;
  }
  return 1;
}

int TavRestoreThread(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  THREAD_GUI_DATA* gui = run_channel();
  if (!claim_run(gui)) return 0;
  gui->cancel.store(0);
  s_pRestore = request;
  guarded_run(request, gui);
  return 1;
}
