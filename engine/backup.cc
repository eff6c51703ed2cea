// The backup's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/backup.h"

#include <atomic>
#include <new>

#include "core/progress_channel.h"
#include "core/trace.h"
#include "engine/backup_run.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"

namespace {

using tav::engine::run_channel;

// Set while a run is started or running; the engine's state is process-wide.
std::atomic<bool> g_running{false};

// What the worker thread runs (set before it starts, read only by it).
BACKUP_REQUEST* g_request = nullptr;
_DISK_INFOMATION* g_disks = nullptr;

bool claim_run(THREAD_GUI_DATA* channel) {
  if (tav::engine::claim_run(&g_running, channel, false)) return true;
  TAV_ENGINE_REPORT(tav::engine::bak_report(), false, tav::kIconError, "a backup is already running");
  return false;
}

// Runs the backup and always ends the channel's operation, also when memory runs out (the run's
// objects then deleted their volume files while unwinding).
int64_t guarded_run(BACKUP_REQUEST* request, _DISK_INFOMATION* disks, THREAD_GUI_DATA* channel) {
  return tav::engine::guarded_run(channel, &g_running, "backup",
                                  [&] { return tav::engine::run_backup(request, disks, channel); });
}

unsigned backup_thread_routine(void* record) {
  auto* channel = static_cast<THREAD_GUI_DATA*>(record);
  return guarded_run(g_request, g_disks, channel) < 0 ? 0u : 1u;
}

}  // namespace

int TavStartBackup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  THREAD_GUI_DATA* channel = run_channel();
  if (!claim_run(channel)) return 0;
  g_request = request;
  g_disks = disks;
  if (!tav::engine::start_run_thread(channel, &backup_thread_routine, &g_running)) {
    TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting backup thread failed!");
    return 0;
  }
  return 1;
}

int TavBackupThread(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  THREAD_GUI_DATA* channel = run_channel();
  if (!claim_run(channel)) return 0;
  channel->cancel.store(0);
  guarded_run(request, disks, channel);
  return 1;
}
