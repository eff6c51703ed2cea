// The backup run: start, per-partition sequence, end of the run and the failure path.
#include "engine/backup_run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "image/image_catalogue.h"
#include "core/program_dir.h"
#include "core/settings.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "disk/disk_list.h"
#include "disk/mount_table.h"
#include "disk/part_record.h"
#include "disk/snapshot_provider.h"
#include "engine/backup_checks.h"
#include "engine/backup_parent.h"
#include "engine/backup_plan.h"
#include "engine/backup_settings.h"
#include "engine/backup_texts.h"
#include "engine/backup_worker.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"
#include "engine/image_writer.h"
#include "engine/read_ahead.h"

namespace tav::engine {

namespace pl = img::part_layout;

// Reports a failed step through the engine's report target and counts it on the run's channel
// (which the worker threads poll), whatever record the report target is bound to.
#define BAK_FAIL(channel, ...)                                                     \
  do {                                                                         \
    TAV_ENGINE_REPORT(bak_report(), false, ::tav::kIconError, __VA_ARGS__); \
    ++(channel)->error_count;                                                      \
  } while (0)

namespace {

std::string dev_name(const BACKUP_PARTITION_INFO* part) { return tav_get_partition_dev_name(part); }

// What must be undone for a partition, in reverse order of the steps that did it.
struct PartitionSession {
  BACKUP_PARTITION_INFO* part = nullptr;
  BACKUP_PARTITION_INFO* parent = nullptr;  // open image partition
  bool frozen = false;                      // tav_vss_part_init succeeded
  bool opened = false;
  bool read_ahead = false;

  explicit PartitionSession(BACKUP_PARTITION_INFO* p) : part(p) {}
  PartitionSession(const PartitionSession&) = delete;
  PartitionSession& operator=(const PartitionSession&) = delete;
  ~PartitionSession() { close(); }

  void stop_read_ahead() {
    if (read_ahead) imagefile_read_uninit();
    read_ahead = false;
  }
  void close() {
    stop_read_ahead();
    if (parent != nullptr && parent->ops != nullptr && parent->ops->close != nullptr) parent->ops->close(parent);
    parent = nullptr;
    if (opened && part->ops != nullptr && part->ops->close != nullptr) part->ops->close(part);
    opened = false;
    if (frozen && tav_vss_part_uninit(part) != 0) {
      // The data was read from the frozen view; only its removal failed (reported as a warning).
      TAV_TRACE(kTraceWarn, kTraceLastError, "cannot remove the frozen view of %s", dev_name(part).c_str());
    }
    frozen = false;
  }
};

class Run {
 public:
  Run(BACKUP_REQUEST* request, _DISK_INFOMATION* disks, THREAD_GUI_DATA* channel)
      : request_(*request), disks_(disks), channel_(channel) {}

  int64_t execute() {
    begin_run();
    bool ok = start();
    for (size_t i = 0; ok && i < parts_.size(); ++i) ok = backup_partition(parts_[i], parents_[i]);
    if (ok) ok = finish_volumes();
    const int64_t result = ok ? int64_t(request_.first_vol) : -1;
    if (ok) {
      end_success();
    } else {
      end_failure();
    }
    worker_.release();
    return result;
  }

 private:
  bool stopped() const { return channel_->error_count > 0 || channel_->cancel.load() != 0; }

  void prompt(const std::string& text) {
    channel_->ops->set_prompt_message(channel_, text.c_str());
    TAV_TRACE(kTraceInfo, 0, "%s", text.c_str());
  }
  void info(const std::string& text) { channel_->ops->append_message_to_info_box(channel_, text.c_str()); }

  void begin_run() {
    channel_->worker_mode.store(1);
    channel_->error_count = 0;
    channel_->start_time = int32_t(uint32_t(record_now_seconds(channel_)));
    // The first report of this run is shown again; a flag the face set to -1 stays.
    if (int32_t* flag = bak_report().error_flag) {
      int32_t shown = 1;
      std::atomic_ref<int32_t>(*flag).compare_exchange_strong(shown, 0);
    }
    init_backup_language();
  }

  // Settings, checks, sizing, worker, parents, first volume, writer.
  bool start() {
    settings_ = read_backup_settings(settings_path());
    parts_ = backup_partitions(disks_);
    STORAGE_DATA* storage = libtavimg_get_storage_data();
    Status st = check_backup_request(request_, parts_, storage);
    if (!st) {
      BAK_FAIL(channel_, "%s", st.message().c_str());
      TAV_TRACE(kTraceError, 0, "init thread data failed!");
      return false;
    }
    if (!extends_storage(request_)) storage = nullptr;

    st = worker_.init(settings_.sizing, channel_, img::CompressMode(request_.compress_mode));
    if (!st) {
      BAK_FAIL(channel_, "worker data init failed! %s", st.message().c_str());
      TAV_TRACE(kTraceError, 0, "init thread data failed!");
      return false;
    }

    const uint32_t start_time = uint32_t(channel_->start_time);
    parents_ = assign_parents(parts_, storage, request_.backup_type, start_time, &signatures_);
    uint32_t first_vol = 0;
    st = choose_first_vol(request_.dest_dir, request_.base_name, request_.restart_numbering != 0, &first_vol);
    if (!st) {
      BAK_FAIL(channel_, "backup data init failed! %s", st.message().c_str());
      TAV_TRACE(kTraceError, 0, "init thread data failed!");
      return false;
    }
    request_.first_vol = first_vol;

    prompt(bak_text(BakText::kPreparingBak));
    uint64_t total = 0;
    for (const BACKUP_PARTITION_INFO* part : parts_) total += disk::part_used_sectors(*part);
    channel_->ops->set_progress_total(channel_, total);
    channel_->progress_step = uint32_t(std::min<uint64_t>(total / 200, UINT32_MAX));

    ImageWriterRequest w;
    w.directory = request_.dest_dir;
    w.base_name = request_.base_name;
    if (!request_.comment.empty()) w.comment = request_.comment;
    w.disks = disks_;
    w.backup_type = request_.backup_type;
    w.compress_mode = img::CompressMode(request_.compress_mode);
    w.storage = storage;
    w.storage_exists = storage != nullptr;
    w.first_vol = first_vol;
    w.volume_limit = request_.volume_limit;
    w.write_buffer_bytes = settings_.write_buffer_bytes;
    w.now = time_t(record_now_seconds(channel_));
    w.channel = channel_;
    st = writer_.begin(w);
    if (!st) {
      BAK_FAIL(channel_, "cannot begin the snapshot: %s", st.message().c_str());
      return false;
    }
    return true;
  }

  bool make_plan(PartitionSession* session, BACKUP_PARTITION_INFO* parent, BackupPlan* plan) {
    BACKUP_PARTITION_INFO* part = session->part;
    // The reader reports a parent that will not open through its own target, and may count it
    // on this channel; a parent that cannot be used only means a full partition here.
    const int32_t errors_before = channel_->error_count;
    Status st = build_plan(channel_, part, parent, plan);
    if (parent != nullptr && plan->parent_unusable) channel_->error_count = errors_before;
    if (!st) {
      BAK_FAIL(channel_, "%s", st.message().c_str());
      return false;
    }
    session->parent = plan->parent;
    if (plan->parent_unusable) {
      set_full_partition(part, signatures_.next());
      TAV_TRACE(kTraceWarn, 0, "the earlier snapshot of %s cannot be read; the partition is stored in full",
                dev_name(part).c_str());
    }
    return true;
  }

  bool backup_partition(BACKUP_PARTITION_INFO* part, BACKUP_PARTITION_INFO* parent) {
    PartitionSession session(part);
    BackupPlan plan;
    const std::string shown = partition_text(bak_text(BakText::kBakPrompt), *part);
    prompt(partition_text(bak_text(BakText::kBakLockInfo), *part));

    const bool plan_first = settings_.adjustment.get_run_list_before_vss;
    bool ok = !plan_first || make_plan(&session, parent, &plan);
    if (ok && request_.no_vss == 0) {
      if (tav_vss_part_init(part) != 0) {
        BAK_FAIL(channel_, "cannot freeze %s for reading: %s", dev_name(part).c_str(), std::strerror(errno));
        ok = false;
      } else {
        session.frozen = true;
      }
    }
    if (ok) prompt(shown);
    if (ok && !plan_first) ok = make_plan(&session, parent, &plan);

    if (ok) {
      if (part->ops == nullptr || part->ops->open == nullptr || part->ops->open(part, disk::kOpenRead) < 0) {
        BAK_FAIL(channel_, "cannot open %s: %s", dev_name(part).c_str(), std::strerror(errno));
        ok = false;
      } else {
        session.opened = true;
      }
    }
    const uint64_t used = disk::part_used_sectors(*part);
    const uint64_t planned = plan.plan ? plan_sectors(plan.plan.get()) : 0;
    if (ok) ok = start_partition_data(part, plan, used);
    if (ok) ok = run_worker(&session, plan);

    session.stop_read_ahead();
    if (ok && !stopped()) ok = end_partition_data(part, plan, planned);
    if (ok && !stopped()) {
      info(shown + " " + bak_text(BakText::kDone) + "\n");
      channel_->ops->update_percentage(channel_);
      session.close();
      prompt(partition_text(bak_text(BakText::kBakUnlockInfo), *part));
      return true;
    }
    if (channel_->error_count == 0 && channel_->cancel.load() == 0) {
      // Never end a partition as failed without saying why.
      BAK_FAIL(channel_, "the data of %s was not completely written", dev_name(part).c_str());
    }
    const bool canceled = channel_->cancel.load() != 0;
    info(shown + " " + bak_text(canceled ? BakText::kCanceled : BakText::kFailed) + "\n");
    session.close();
    prompt(partition_text(bak_text(BakText::kBakUnlockInfo), *part));
    return false;
  }

  // Steps before the data: the segment, the excluded count, the sub-progress, a full
  // partition's run table.
  bool start_partition_data(BACKUP_PARTITION_INFO* part, const BackupPlan& plan, uint64_t used) {
    Status st = writer_.start_segment(part);
    if (!st) {
      BAK_FAIL(channel_, "%s", st.message().c_str());
      return false;
    }
    disk::set_rec_u64(*part, pl::kExcludedSectors, plan.excluded_sectors > used ? 0 : plan.excluded_sectors);
    channel_->ops->set_sub_progress_total(channel_, int64_t(std::min<uint64_t>(used, INT64_MAX)), plan.ratio);
    if (plan.parent == nullptr) {
      std::vector<FLAT_RUN> runs;
      if (!flat_runs_of(plan.plan.get(), &runs)) {
        BAK_FAIL(channel_, "no memory for the run table of %s", dev_name(part).c_str());
        return false;
      }
      if (!(st = writer_.write_run_table(part, runs))) {
        BAK_FAIL(channel_, "%s", st.message().c_str());
        return false;
      }
    }
    return true;
  }

  bool run_worker(PartitionSession* session, const BackupPlan& plan) {
    BACKUP_PARTITION_INFO* part = session->part;
    worker_.reset();
    PartitionWork work;
    work.part = part;
    work.plan = plan.plan.get();
    work.stored = plan.stored.get();
    work.parent = plan.parent;
    if (plan.parent != nullptr && settings_.adjustment.speed_image_read) {
      RunVectorPtr common(libtavpub_extract_run_vec_with_type(plan.plan.get(), RUN_TYPE_COMMON));
      if (!common) {
        BAK_FAIL(channel_, "no memory for the read-ahead of %s", dev_name(part).c_str());
        return false;
      }
      if (common->run_count != 0) {
        // Reads of the image and writes of the volumes alternate in long stretches when both
        // lie on the disk being read.
        const BACKUP_PARTITION_INFO* dest = tav_path_to_part(request_.dest_dir.c_str());
        const int32_t cache_mode = dest != nullptr && dest->disk == part->disk ? 1 : 0;
        if (imagefile_read_init(int32_t(settings_.sizing.depth), common.release(), channel_, plan.parent, cache_mode) != 0) {
          ++channel_->error_count;  // reported by the read-ahead
          return false;
        }
        session->read_ahead = true;
        work.parent_read_ahead = true;
      }
    }
    return worker_.run(work, &writer_);
  }

  // Steps after the data: consistency of what was written, the rest of the progress, a
  // dependent partition's run table, the end of the segment.
  bool end_partition_data(BACKUP_PARTITION_INFO* part, const BackupPlan& plan, uint64_t planned) {
    // Units hold the stored sectors in storing order, 256 to a unit, so their count follows
    // from the stored runs. A last unit holding nothing may follow data that ended on a unit
    // boundary (or stand alone when nothing was stored); no run refers to it.
    const uint64_t stored = plan_sectors(plan.stored.get());
    const uint64_t units = (stored + img::kSectorsPerUnit - 1) / img::kSectorsPerUnit;
    const uint64_t written = disk::rec_u64(*part, pl::kOrigBytes) / img::kUnitBytes;
    const bool complete = plan.parent != nullptr ? stored <= planned : stored == planned;
    const bool units_match = written == units || (written == units + 1 && stored % img::kSectorsPerUnit == 0);
    if (!complete || !units_match) {
      BAK_FAIL(channel_, "the data of %s is inconsistent: %llu of %llu planned sectors stored in %llu units",
               dev_name(part).c_str(), (unsigned long long)stored, (unsigned long long)planned,
               (unsigned long long)written);
      return false;
    }
    // Sectors the plan skipped still count as done for the whole run's progress.
    fill_step(channel_);
    Status st;
    if (plan.parent != nullptr) {
      std::vector<FLAT_RUN> runs;
      if (!flat_runs_of(plan.stored.get(), &runs)) {
        BAK_FAIL(channel_, "no memory for the run table of %s", dev_name(part).c_str());
        return false;
      }
      st = writer_.write_run_table(part, runs);
    }
    if (st) st = writer_.close_segment(part);
    if (!st) {
      BAK_FAIL(channel_, "%s", st.message().c_str());
      return false;
    }
    return true;
  }

  bool finish_volumes() {
    Status st = writer_.finish();
    if (!st) {
      BAK_FAIL(channel_, "cannot finish the snapshot: %s", st.message().c_str());
      return false;
    }
    return true;
  }

  void end_success() {
    prompt(bak_text(BakText::kFinished));
    info(std::string("\n") + bak_text(BakText::kBakFinish) + "\n");
    {
      std::lock_guard<std::mutex> lock(channel_->data_mutex);
      channel_->remaining = 0;
    }
    channel_->ops->update_percentage(channel_);
  }

  void end_failure() {
    writer_.abort();  // deletes every volume file this run created
    // A cancel is the user's choice, not an error: it is named as such.
    const bool canceled = channel_->cancel.load() != 0 && channel_->error_count == 0;
    const char* text = bak_text(canceled ? BakText::kCanceled : BakText::kErrorOccur);
    prompt(text);
    info(std::string("\n") + text + "\n");
    channel_->ops->update_percentage(channel_);
  }

  BACKUP_REQUEST& request_;
  _DISK_INFOMATION* disks_;
  THREAD_GUI_DATA* channel_;
  BackupSettings settings_;
  std::vector<BACKUP_PARTITION_INFO*> parts_;
  std::vector<BACKUP_PARTITION_INFO*> parents_;
  SignatureSource signatures_{0, {}};
  BackupWorker worker_;
  ImageWriter writer_;
};

}  // namespace

int64_t run_backup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks, THREAD_GUI_DATA* channel) {
  Run run(request, disks, channel);
  return run.execute();
}

}  // namespace tav::engine
