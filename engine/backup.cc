// The backup's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/backup.h"

#include "core/progress_channel.h"
#include "core/trace.h"
#include "engine/backup_run.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"

namespace {

using tav::engine::RunPlace;

void report_refused() {
  TAV_ENGINE_REPORT(tav::engine::bak_report(), false, tav::kIconError, "a backup is already running");
}

void report_start_failed() {
  TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting backup thread failed!");
}

// One backup at a time; the engine's state is process-wide. When memory runs out during a run,
// the run's objects delete their volume files while unwinding.
tav::engine::RunKind g_backup{"backup", false, &report_refused, &report_start_failed};

tav::engine::RunWork backup_work(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  return [request, disks](THREAD_GUI_DATA* channel) { return tav::engine::run_backup(request, disks, channel); };
}

}  // namespace

int TavStartBackup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  return tav::engine::run_request_guarded<g_backup>(RunPlace::kWorkerThread, backup_work(request, disks));
}

int TavBackupThread(BACKUP_REQUEST* request, _DISK_INFOMATION* disks) {
  if (request == nullptr || disks == nullptr) return 0;
  return tav::engine::run_request_guarded<g_backup>(RunPlace::kCallerThread, backup_work(request, disks));
}
