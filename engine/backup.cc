// The backup's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/backup.h"

#include <atomic>
#include <new>

#include "core/thread_gui.h"
#include "core/trace.h"
#include "engine/backup_run.h"
#include "engine/bak_gui.h"

namespace {

// Set while a run is started or running; the engine's state is process-wide.
std::atomic<bool> g_running{false};

// What the worker thread runs (set before it starts, read only by it).
BACKUP_REQUEST* g_request = nullptr;
_DISK_INFOMATION* g_disks = nullptr;

// The channel of the run: the one named by libtavbak_set_thread_gui, or, when none was named, a
// silent record of the engine's own, so that errors are still counted and the worker threads
// still have an error count and a cancel flag to poll.
THREAD_GUI_DATA* run_channel() {
  tav::EngineReport& report = tav::engine::bak_report();
  if (report.record == nullptr) {
    static THREAD_GUI_DATA own;
    own.silent.store(1);
    report.set(&own, nullptr, nullptr);
  }
  return report.record;
}

bool claim_run() {
  bool expected = false;
  if (g_running.compare_exchange_strong(expected, true)) return true;
  TAV_ENGINE_REPORT(tav::engine::bak_report(), false, tav::kIconError, "a backup is already running");
  return false;
}

// Runs the backup and always ends the channel's operation, also when memory runs out. The
// engine is free again before the work-done message goes out, so a face may start the next run
// as soon as it has it.
int64_t guarded_run(BACKUP_REQUEST* request, _DISK_INFOMATION* disks, THREAD_GUI_DATA* gui) {
  int64_t result = -1;
  try {
    result = tav::engine::run_backup(request, disks, gui);
  } catch (...) {
    // The run's objects deleted their volume files while unwinding.
    TAV_TRACE(tav::kTraceError, 0, "the backup stopped: out of memory");
    ++gui->error_count;
    result = -1;
  }
  g_running.store(false);
  tav::end_operation(gui, result);
  return result;
}

unsigned backup_thread_routine(void* record) {
  auto* gui = static_cast<THREAD_GUI_DATA*>(record);
  return guarded_run(g_request, g_disks, gui) < 0 ? 0u : 1u;
}

}  // namespace

int TavStartBackup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  THREAD_GUI_DATA* gui = run_channel();
  if (!claim_run()) return 0;
  gui->progress_step = 0xFFFF;
  gui->worker_mode.store(0);
  gui->cancel.store(0);
  g_request = request;
  g_disks = disks;
  if (libtavpub_start_thread(gui, &backup_thread_routine) == 0) {
    g_running.store(false);
    TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting backup thread failed!");
    return 0;
  }
  return 1;
}

int TavBackupThread(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  THREAD_GUI_DATA* gui = run_channel();
  if (!claim_run()) return 0;
  gui->cancel.store(0);
  guarded_run(request, disks, gui);
  return 1;
}
