// The partition restore and clone run: preparation, steps P1-P9 around the copy, the ends.
#include "engine/restore_run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "image/image_reader.h"
#include "core/os_info.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "disk/device_io.h"
#include "disk/disk_list.h"
#include "disk/fs_copy.h"
#include "disk/mount_table.h"
#include "disk/part_record.h"
#include "disk/part_table.h"
#include "disk/snapshot_provider.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/engine_run.h"
#include "engine/restore_checks.h"
#include "engine/restore_copy.h"

namespace tav::engine {

namespace pl = img::part_layout;

// Reports a failed step and counts it on the run's channel.
#define RES_FAIL(channel, ...)                                                     \
  do {                                                                         \
    TAV_ENGINE_REPORT(bak_report(), false, ::tav::kIconError, __VA_ARGS__); \
    ++(channel)->error_count;                                                      \
  } while (0)
#define RES_WARN(...) TAV_ENGINE_REPORT(bak_report(), false, ::tav::kIconWarning, __VA_ARGS__)

StepTotal restore_step_total(const BACKUP_PARTITION_INFO& source, bool sector_mode) {
  const uint64_t used = disk::part_used_sectors(source);
  const uint64_t excluded = disk::rec_u64(source, pl::kExcludedSectors);
  StepTotal out;
  if (sector_mode && excluded <= used) {
    out.sub_total = int64_t(std::min<uint64_t>(used - excluded, INT64_MAX));
    out.lowered = excluded;
  } else {
    out.sub_total = int64_t(std::min<uint64_t>(used, INT64_MAX));
  }
  return out;
}

namespace {

std::string dev_name(const BACKUP_PARTITION_INFO* part) { return tav_get_partition_dev_name(part); }

const DISK_OPERATIONS* disk_ops(const _DISK_INFOMATION* disk) {
  return disk->ops != nullptr ? disk->ops : tav_get_disk_operation();
}

// Gives udev time to follow a re-read table of a block device; image files need none.
void settle(const _DISK_INFOMATION* disk, int seconds) {
  if (disk->is_file == 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

class Run {
 public:
  Run(RESTORE_REQUEST* request, THREAD_GUI_DATA* channel) : request_(*request), channel_(channel) {}

  int64_t execute() {
    channel_->worker_mode.store(1);
    init_backup_language();
    // The first report of this run is shown again; a flag the face set to -1 stays.
    if (int32_t* flag = bak_report().error_flag) {
      int32_t shown = 1;
      std::atomic_ref<int32_t>(*flag).compare_exchange_strong(shown, 0);
    }
    if (prepare_for_restore() && restore_partition()) {
      end_success();
      return 0;
    }
    end_failure();
    return -1;
  }

 private:
  bool clone() const { return request_.is_clone != 0; }
  BACKUP_PARTITION_INFO* source() const { return request_.image_part; }
  BACKUP_PARTITION_INFO* dest() const { return request_.dest_part; }

  void prompt(const std::string& text) {
    channel_->ops->set_prompt_message(channel_, text.c_str());
    TAV_TRACE(kTraceInfo, 0, "%s", text.c_str());
  }
  void info(const std::string& text) { channel_->ops->append_message_to_info_box(channel_, text.c_str()); }
  void outcome_line() {
    static constexpr BakText kText[] = {BakText::kCanceled, BakText::kFailed, BakText::kDone};
    info(std::string(bak_text(kText[int(phase_outcome(channel_))])) + "\n");
    channel_->ops->update_percentage(channel_);
  }
  void set_totals(uint64_t total, uint64_t remaining) {
    std::lock_guard<std::mutex> lock(channel_->data_mutex);
    channel_->total = total;
    channel_->remaining = remaining;
  }

  bool prepare_for_restore() {
    channel_->error_count = 0;
    channel_->start_time = int32_t(uint32_t(record_now_seconds(channel_)));
    if (request_.whole_disk != 0 && request_.restore_disk == nullptr) {
      RES_FAIL(channel_, "s_pRestore->restore_disk is NULL, error occur");
      return false;
    }
    if (request_.whole_disk == 0 && source() == nullptr) {
      RES_FAIL(channel_, "s_pRestore->image_part is NULL, error occur!\n");
      return false;
    }
    if (request_.whole_disk == 0 && dest() == nullptr) {
      RES_FAIL(channel_, "s_pRestore->dest_part is NULL, error occur!\n");
      return false;
    }
    const Status st = check_restore_destination(request_);
    if (!st) {
      RES_FAIL(channel_, "%s", st.message().c_str());
      return false;
    }
    const char* text = bak_text(clone() ? BakText::kPreparingClone : BakText::kPreparingRes);
    prompt(text);
    info(text);
    set_totals(10000, 9900);
    channel_->ops->update_percentage(channel_);

    const uint64_t used = disk::part_used_sectors(*source());
    set_totals(used, used);
    channel_->progress_step = uint32_t(std::min<uint64_t>(used / 200, UINT32_MAX));
    channel_->start_time = int32_t(uint32_t(record_now_seconds(channel_)));
    outcome_line();
    return true;
  }

  // P1-P9. False on a failure; a cancel is a success.
  bool restore_partition() {
    BACKUP_PARTITION_INFO* src = source();
    BACKUP_PARTITION_INFO* dst = dest();
    _DISK_INFOMATION* disk = dst->disk;
    // P1: nothing is unmounted for the user; a mounted destination is refused.
    if (tav_umount_part(dst) != 0) {
      ++channel_->error_count;
      return false;
    }
    // P2.
    TAV_TRACE(kTraceInfo, 0, "drive letters are not used on this system: no removal script for %s",
              dev_name(dst).c_str());

    // P3: a copy of every sector needs a destination of the source's size.
    bool table_changed = false;
    const uint32_t type_code = src->ops_fs != nullptr ? src->ops_fs->type_code : disk::FS_UNKNOWN;
    if ((request_.sector_by_sector != 0 || type_code == disk::FS_UNKNOWN) && dst->sector_count != src->sector_count) {
      if (dst->sector_count < src->sector_count) {
        RES_FAIL(channel_, "%s", destination_too_small_text(*dst, *src).c_str());
        return false;
      }
      if (disk_ops(disk)->open(disk, disk::kOpenWrite) < 0) {
        RES_FAIL(channel_, "open destination disk failed!");
        return false;
      }
      if (tav_shrink_unknow_partition_for_restore(dst, src) < 0) {
        // The copy still fits; the partition keeps its size.
        RES_WARN("the table entry of %s cannot be shrunk to the source's size; the partition keeps its size",
                 dev_name(dst).c_str());
      } else {
        table_changed = true;
      }
      disk_ops(disk)->close(disk);
    }

    // P4.
    const bool sector_mode = request_.sector_by_sector != 0 || dst->sector_count == src->sector_count;
    copy_part(sector_mode);
    // P5.
    if (channel_->error_count > 0) return false;
    if (channel_->cancel.load() != 0) return true;

    // P6.
    if (request_.restore_mbr != 0) {
      const _DISK_INFOMATION* src_disk = src->disk;
      if (src_disk == nullptr || src_disk->mbr.empty() ||
          tav_restore_mbr(dst, src_disk->mbr.data(), src_disk->mbr_sectors()) < 0) {
        RES_WARN("the boot code of the disk could not be written to %s", disk->path.c_str());
      } else {
        table_changed = true;
      }
    }
    if (request_.make_active != 0) {
      if (tav_restore_set_partition_bootable(dst) < 0) {
        RES_WARN("%s could not be made the active partition", dev_name(dst).c_str());
      } else {
        table_changed = true;
      }
    }
    sync_dest_disk();
    if (TavOsIs2000() == 0) {
      const Status st = disk::reload_partition_table(disk);
      if (!st) {
        // Only a changed table must reach the kernel; otherwise a busy disk is no concern.
        if (table_changed) {
          RES_WARN("Disk: Reloading Partition Table failed!!");
        }
        TAV_TRACE(kTraceWarn, 0, "%s", st.message().c_str());
      }
      settle(disk, 5);
    }
    // P7.
    TAV_TRACE(kTraceInfo, 0, "drive letters are not used on this system: no letter assigned to %s; chkntfs skipped",
              dev_name(dst).c_str());
    // P8.
    if ((request_.make_active != 0 || disk::part_is_bootable(*dst)) && TavOsIs2000() == 0) {
      TAV_TRACE(kTraceInfo, 0, "boot configuration repair of %s is not available yet: skipped", dev_name(dst).c_str());
    }
    return true;  // P9
  }

  void copy_part(bool sector_mode) {
    BACKUP_PARTITION_INFO* src = source();
    BACKUP_PARTITION_INFO* dst = dest();
    COPY_CONTEXT context;
    context.error_count = &channel_->error_count;
    context.cancel = &channel_->cancel;
    context.channel = channel_;
    const uint8_t type = disk::part_type(*src);
    context.is_fat32 = type == 0x0B || type == 0x0C ? 1 : 0;
    context.source = src;
    context.dest = dst;
    context.read_failed_text = bak_text(BakText::kDiskReadFailed);
    context.write_failed_text = bak_text(BakText::kDiskWriteFailed);

    const StepTotal step = restore_step_total(*src, sector_mode);
    channel_->ops->set_sub_progress_total(channel_, step.sub_total, 1.0);
    if (step.lowered != 0) {
      std::lock_guard<std::mutex> lock(channel_->data_mutex);
      channel_->total = channel_->total > step.lowered ? channel_->total - step.lowered : 0;
      channel_->remaining = channel_->remaining > step.lowered ? channel_->remaining - step.lowered : 0;
    }

    // 1: a frozen view of a live source.
    bool frozen = false;
    bool ready = true;
    if (clone()) {
      info(partition_text(bak_text(BakText::kBakLockInfo), *src) + "\n");
      if (request_.in_winpe == 0) {
        if (tav_vss_part_init(src) != 0) {
          ++channel_->error_count;  // reported by the snapshot provider
          ready = false;
        } else {
          frozen = true;
        }
      }
    }
    // 2.
    prompt(clone() ? partition_text(bak_text(BakText::kClonePrompt), *dst) : bak_text(BakText::k1ClickResPrompt));
    // 3: the table entry stays. The kernel holds no volume of an unmounted partition, and
    // clearing the entry would remove the partition node the copy writes through.
    if (ready) {
      // 4.
      const FILE_SYSTEM_TYPE* handler = src->ops_fs;
      if (!sector_mode && (handler == nullptr || handler->copy == nullptr)) {
        TAV_TRACE(kTraceWarn, 0, "no file-system copy for %s: copied sector by sector", dev_name(src).c_str());
        sector_mode = true;
      }
      if (!sector_mode) {
        fs_copy(&context);
      } else if (clone()) {
        copy_real_part_by_sector(&context);
      } else {
        copy_part_by_sector_from_image(&context, restore_image_directory(request_));
      }
      fill_step(channel_);  // the step bar ends at 100 %
    }
    // 5.
    outcome_line();
    // 7.
    if (clone()) {
      if (frozen && tav_vss_part_uninit(src) != 0) {
        TAV_TRACE(kTraceWarn, 0, "cannot remove the frozen view of %s", dev_name(src).c_str());
      }
      info(partition_text(bak_text(BakText::kBakUnlockInfo), *src) + "\n");
    }
  }

  // The source handler's copy: used data only. An image source passes its combined runs.
  void fs_copy(COPY_CONTEXT* context) {
    BACKUP_PARTITION_INFO* src = source();
    const bool image = src->is_image != 0;
    if (image) {
      if (src->ops == nullptr || src->ops->open == nullptr || src->ops->open(src, disk::kOpenRead) < 0) {
        RES_FAIL(channel_, "copy_partition 22222222222");
        return;
      }
      context->source_runs = libtavimg_get_part_run_vector(src);
    }
    if (src->ops_fs->copy(context) != 0 && channel_->error_count == 0) {
      RES_FAIL(channel_, "the file system of %s could not be copied to %s", dev_name(src).c_str(), dev_name(dest()).c_str());
    }
    context->source_runs = nullptr;
    if (image && src->ops->close != nullptr) src->ops->close(src);
  }

  void sync_dest_disk() {
    _DISK_INFOMATION* disk = dest()->disk;
    const DISK_OPERATIONS* ops = disk_ops(disk);
    if (ops->open(disk, disk::kOpenWrite) < 0) {
      if (errno == EBUSY) {
        // Another partition of the disk is in use; the copy flushed its own partition.
        TAV_TRACE(kTraceInfo, 0, "%s is in use: flushed through the partition only", disk->path.c_str());
        return;
      }
      RES_WARN("Warning: Failed to open destination disk!");
      return;
    }
    if (ops->flush != nullptr && ops->flush(disk) != 0) {
      TAV_TRACE(kTraceWarn, kTraceLastError, "cannot flush %s", disk->path.c_str());
    }
    ops->close(disk);
  }

  void end_success() {
    sync_dest_disk();
    prompt(bak_text(BakText::kFinished));
    info(std::string("\n") + bak_text(clone() ? BakText::kCloneFinish : BakText::kResFinish) + "\n");
    {
      std::lock_guard<std::mutex> lock(channel_->data_mutex);
      channel_->remaining = 0;
    }
    channel_->ops->update_percentage(channel_);
  }

  void end_failure() {
    const char* text = bak_text(BakText::kErrorOccur);
    prompt(text);
    info(std::string("\n") + text + "\n");
    channel_->ops->update_percentage(channel_);
  }

  RESTORE_REQUEST& request_;
  THREAD_GUI_DATA* channel_;
};

}  // namespace

int64_t run_restore(RESTORE_REQUEST* request, THREAD_GUI_DATA* channel) {
  Run run(request, channel);
  return run.execute();
}

}  // namespace tav::engine
