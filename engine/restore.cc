// The restore's entry points: one run at a time, on the channel's worker thread or on the
// caller's thread.
#include "engine/restore.h"

#include <atomic>

#include "core/progress_channel.h"
#include "core/trace.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"
#include "engine/restore_run.h"

namespace {

using tav::engine::run_channel;

// Set while a run is started or running.
std::atomic<bool> g_running{false};

// What the worker thread runs (set before it starts, taken by it).
RESTORE_REQUEST* s_pRestore = nullptr;

// One engine run at a time: another engine's run holds the channel's worker mode.
bool claim_run(THREAD_GUI_DATA* channel) {
  if (tav::engine::claim_run(&g_running, channel, true)) return true;
  TAV_TRACE(tav::kTraceError, 0, "an engine run is already active: the restore is not started");
  return false;
}

// Runs the restore and always ends the channel's operation.
int64_t guarded_run(RESTORE_REQUEST* request, THREAD_GUI_DATA* channel) {
  return tav::engine::guarded_run(channel, &g_running, "restore",
                                  [&] { return tav::engine::run_restore(request, channel); });
}

unsigned restore_operation_thread(void* record) {
  auto* channel = static_cast<THREAD_GUI_DATA*>(record);
  RESTORE_REQUEST* request = s_pRestore;
  s_pRestore = nullptr;  // taken: the run keeps it only while it runs
  return guarded_run(request, channel) < 0 ? 0u : 1u;
}

}  // namespace

int TavStartRestoration(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  THREAD_GUI_DATA* channel = run_channel();
  if (!claim_run(channel)) return 0;
  s_pRestore = request;
  if (!tav::engine::start_run_thread(channel, &restore_operation_thread, &g_running)) {
    s_pRestore = nullptr;
    TAV_ENGINE_REPORT(tav::engine::bak_report(), true, tav::kIconError, "Starting restoration thread failed!");
    return 0;
  }
  return 1;
}

int TavRestoreThread(RESTORE_REQUEST* request) {
  if (request == nullptr) return 0;
  THREAD_GUI_DATA* channel = run_channel();
  if (!claim_run(channel)) return 0;
  channel->cancel.store(0);
  guarded_run(request, channel);
  return 1;
}
