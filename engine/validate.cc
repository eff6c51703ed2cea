// The validation's entry points and its run: preparation, the partitions of the snapshot in
// order, and the end of the run.
#include "engine/validate.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "image/image_catalogue.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"
#include "engine/validate_internal.h"

namespace tav::engine {
namespace {

namespace pl = img::part_layout;

std::atomic<unsigned> g_workers{0};

unsigned run_workers() {
  const unsigned w = g_workers.load();
  if (w == kValidateReaderOnly) return 0;
  return w != 0 ? w : default_validate_workers();
}

const char* outcome_text(const THREAD_GUI_DATA* channel) {
  switch (phase_outcome(channel)) {
    case PhaseOutcome::kCanceled: return bak_text(BakText::kCanceled);
    case PhaseOutcome::kFailed: return bak_text(BakText::kFailed);
    case PhaseOutcome::kDone: break;
  }
  return bak_text(BakText::kDone);
}

void info(THREAD_GUI_DATA* channel, const std::string& text) {
  channel->ops->append_message_to_info_box(channel, text.c_str());
}

// Calls `fn` for every selected partition of every disk of the snapshot, in table order, until
// it returns false.
template <typename Fn>
void for_each_selected(_DISK_INFOMATION* disks, Fn fn) {
  for (_DISK_INFOMATION* d = disks; d != nullptr; d = d->next) {
    for (BACKUP_PARTITION_INFO* p = tav_disk_next_partition(d, nullptr); p != nullptr; p = tav_disk_next_partition(d, p)) {
      if (tav_partition_is_backup(p) != 0 && !fn(p)) return;
    }
  }
}

int prepare_for_validate(VALIDATE_REQUEST* request, THREAD_GUI_DATA* channel) {
  channel->error_count = 0;
  if (request->psnap == nullptr) {
    TAV_ENGINE_REPORT(bak_report(), false, kIconError, "Error occur: s_pRestore->psnap is NULL!");
    ++channel->error_count;
    return -1;
  }
  _DISK_INFOMATION* disks = libtavimg_get_image_disks_list(request->psnap);
  if (disks == nullptr) {
    TAV_ENGINE_REPORT(bak_report(), false, kIconError, "Error occur: disk_list is NULL!");
    ++channel->error_count;
    return -1;
  }
  const char* preparing = bak_text(BakText::kPreparingValid);
  channel->ops->set_prompt_message(channel, preparing);
  info(channel, preparing);
  {
    std::lock_guard<std::mutex> lock(channel->data_mutex);
    channel->total = 10000;
    channel->remaining = 9900;
  }
  channel->ops->update_percentage(channel);

  uint64_t total = 0;
  for_each_selected(disks, [&](BACKUP_PARTITION_INFO* p) {
    total += disk::part_used_sectors(*p);
    return true;
  });
  channel->ops->set_progress_total(channel, total);
  channel->progress_step = uint32_t(std::min<uint64_t>(total / 200, UINT32_MAX));
  channel->start_time = int32_t(uint32_t(record_now_seconds(channel)));
  info(channel, std::string(outcome_text(channel)) + "\n");
  channel->ops->update_percentage(channel);
  return 0;
}

// The step of one partition: its used sectors less those left out at backup time (paging and
// hibernation files), which leave the run's total as well. A count of excluded sectors above
// the used ones cannot be right: the partition then counts in full.
void start_partition_step(BACKUP_PARTITION_INFO* part, THREAD_GUI_DATA* channel) {
  const uint64_t used = disk::part_used_sectors(*part);
  const uint64_t excluded = disk::rec_u64(*part, pl::kExcludedSectors);
  uint64_t step = used;
  if (excluded <= used) {
    step = used - excluded;
    std::lock_guard<std::mutex> lock(channel->data_mutex);
    channel->total = channel->total > excluded ? channel->total - excluded : 0;
    channel->remaining = channel->remaining > excluded ? channel->remaining - excluded : 0;
  }
  channel->ops->set_sub_progress_total(channel, int64_t(std::min<uint64_t>(step, INT64_MAX)), 1.0);
}

// Returns the run's result: 0 when every unit read and checked (or the run was cancelled), -1.
int64_t validation_thread(VALIDATE_REQUEST* request, THREAD_GUI_DATA* channel) {
  channel->worker_mode.store(1);
  channel->start_time = int32_t(uint32_t(record_now_seconds(channel)));
  // The first report of this run is shown again; a flag the face set to -1 stays.
  if (int32_t* flag = bak_report().error_flag) {
    int32_t shown = 1;
    std::atomic_ref<int32_t>(*flag).compare_exchange_strong(shown, 0);
  }
  init_backup_language();
  bool failed = prepare_for_validate(request, channel) != 0;
  if (!failed) {
    const unsigned workers = run_workers();
    for_each_selected(libtavimg_get_image_disks_list(request->psnap), [&](BACKUP_PARTITION_INFO* p) {
      start_partition_step(p, channel);
      validate_copy(p, channel, workers);
      info(channel, std::string(outcome_text(channel)) + "\n");
      channel->ops->update_percentage(channel);
      if (channel->error_count > 0) failed = true;
      return !failed && channel->cancel.load() == 0;
    });
  }
  if (failed) {
    const char* text = bak_text(BakText::kErrorOccur);
    channel->ops->set_prompt_message(channel, text);
    info(channel, std::string("\n") + text + "\n");
  } else {
    const char* text = bak_text(BakText::kValidFinish);
    channel->ops->set_prompt_message(channel, text);
    info(channel, std::string("\n") + text + "\n");
    std::lock_guard<std::mutex> lock(channel->data_mutex);
    channel->remaining = 0;
  }
  channel->ops->update_percentage(channel);
  return failed ? -1 : 0;
}

void report_refused() { TAV_ENGINE_REPORT(bak_report(), false, kIconError, "an engine run is already active"); }

void report_start_failed() {
  TAV_ENGINE_REPORT(bak_report(), true, tav::kIconError, "Starting validation thread failed!");
}

// One run at a time, and never while another engine run uses the channel.
RunKind g_validation{"validation", true, &report_refused, &report_start_failed};

RunWork validation_work(VALIDATE_REQUEST* request) {
  return [request](THREAD_GUI_DATA* channel) { return validation_thread(request, channel); };
}

}  // namespace

void set_validate_workers(unsigned workers) { g_workers.store(workers); }

}  // namespace tav::engine

int TavStartValidation(VALIDATE_REQUEST* request) {
  using namespace tav::engine;
  if (request == nullptr) return 0;
  return run_request_guarded<g_validation>(RunPlace::kWorkerThread, validation_work(request));
}

int TavValidateThread(VALIDATE_REQUEST* request) {
  using namespace tav::engine;
  if (request == nullptr) return 0;
  return run_request_guarded<g_validation>(RunPlace::kCallerThread, validation_work(request));
}
