// The restore's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/restore.h"

#include "core/progress_channel.h"
#include "core/trace.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"
#include "engine/restore_run.h"

namespace {

using tav::engine::RunPlace;

void report_refused() { TAV_TRACE(tav::kTraceError, 0, "an engine run is already active: the restore is not started"); }

void report_start_failed() {
  TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting restoration thread failed!");
}

// One engine run at a time: another engine's run holds the channel's worker mode.
tav::engine::RunKind g_restore{"restore", true, &report_refused, &report_start_failed};

tav::engine::RunWork restore_work(RESTORE_REQUEST* request) {
  return [request](THREAD_GUI_DATA* channel) { return tav::engine::run_restore(request, channel); };
}

}  // namespace

int TavStartRestoration(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  return tav::engine::run_request_guarded<g_restore>(RunPlace::kWorkerThread, restore_work(request));
}

int TavRestoreThread(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  return tav::engine::run_request_guarded<g_restore>(RunPlace::kCallerThread, restore_work(request));
}
