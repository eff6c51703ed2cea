// Questions about a loaded catalogue: a snapshot's disks and comment, the snapshot of an image
// partition, snapshots and partitions by identity, the parent for a new backup, and the
// storage's sequence and volume range.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/memory.h"
#include "disk/part_record.h"
#include "image/catalogue_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"

_DISK_INFOMATION* libtavimg_get_image_disks_list(SNAP_DATA* snap) { return snap != nullptr ? snap->disks : nullptr; }

SNAP_DATA* libtavimg_get_part_snap(const BACKUP_PARTITION_INFO* part) {
  const IMAGE_PART_DATA* data = tav::img::image_part_data(part);
  return data != nullptr ? data->psnap : nullptr;
}

char* libtavimg_get_snap_comment(const SNAP_DATA* snap) {
  if (snap == nullptr || !snap->has_comment || snap->comment.empty()) return nullptr;
  auto* copy = static_cast<char*>(libtavpub_xmalloc(snap->comment.size() + 1));
  if (copy == nullptr) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "out of memory, !pbuff");
    return nullptr;
  }
  std::memcpy(copy, snap->comment.c_str(), snap->comment.size() + 1);
  return copy;
}

SNAP_DATA* libtavimg_find_last_snap(STORAGE_DATA* storage, uint32_t signature, uint32_t snap_seq, int64_t create_time,
                                    int* index) {
  if (index != nullptr) *index = -1;
  if (storage == nullptr) return nullptr;
  for (size_t i = 0; i < storage->snaps.size(); ++i) {
    SNAP_DATA* s = storage->snaps[i].get();
    if (s->snap_seq == snap_seq && s->create_time == create_time && (signature == 0 || s->signature == signature)) {
      if (index != nullptr) *index = int(i);
      return s;
    }
  }
  return nullptr;
}

BACKUP_PARTITION_INFO* libtavimg_get_part_from_signature(_DISK_INFOMATION* disks, uint32_t signature) {
  // 0 is no chain's signature (synthesized extended partitions carry it).
  if (signature == 0) return nullptr;
  for (_DISK_INFOMATION* disk = disks; disk != nullptr; disk = disk->next) {
    for (const auto& part : disk->parts) {
      const IMAGE_PART_DATA* data = tav::img::image_part_data(part.get());
      if (data != nullptr && data->signature == signature) return part.get();
    }
  }
  return nullptr;
}

BACKUP_PARTITION_INFO* tav_match_part_from_storage(_DISK_INFOMATION* /*disk*/, BACKUP_PARTITION_INFO* part,
                                                   STORAGE_DATA* storage, uint32_t backup_type) {
  if (part == nullptr || storage == nullptr) return nullptr;
  namespace pp = tav::disk::part_private;
  const uint32_t fs_code = tav::disk::rec_u32(*part, pp::kFsTypeCode);
  for (auto it = storage->snaps.rbegin(); it != storage->snaps.rend(); ++it) {
    const SNAP_DATA& snap = **it;
    // A differential backup compares against the newest full snapshot; an incremental one
    // against the newest snapshot of any kind.
    if (backup_type == tav::img::kBackupDifferential && snap.backup_type != tav::img::kBackupFull) continue;
    for (_DISK_INFOMATION* disk = snap.disks; disk != nullptr; disk = disk->next) {
      for (const auto& candidate : disk->parts) {
        if (tav::img::image_part_data(candidate.get()) == nullptr || tav::disk::part_is_extended(*candidate)) continue;
        if (candidate->first_sector == part->first_sector && candidate->sector_count == part->sector_count &&
            tav::disk::rec_u32(*candidate, pp::kFsTypeCode) == fs_code) {
          return candidate.get();
        }
      }
    }
  }
  return nullptr;
}

int libtavimg_get_max_inner_snap_seq(const STORAGE_DATA* storage) {
  if (storage == nullptr || storage->snaps.empty()) return -1;
  uint32_t highest = 0;
  for (const auto& s : storage->snaps) highest = std::max(highest, s->snap_seq);
  return highest > uint32_t(INT_MAX) ? INT_MAX : int(highest);
}

int libtavimg_get_imagefile_range(const STORAGE_DATA* storage, int* max, int* min) {
  if (storage == nullptr || max == nullptr || min == nullptr) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "!pstorage");
    errno = EINVAL;
    return -1;
  }
  if (storage->snaps.empty()) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "!psnap");
    errno = ENOENT;
    return -1;
  }
  int64_t lowest = INT64_MAX;
  int64_t highest = INT64_MIN;
  for (const auto& s : storage->snaps) {
    lowest = std::min<int64_t>(lowest, s->first_vol);
    highest = std::max<int64_t>(highest, int64_t(s->first_vol) + int64_t(s->total_vol) - 1);
  }
  if (lowest > highest || highest > INT_MAX) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "*min_seq > *max_seq");
    errno = EUCLEAN;
    return -1;
  }
  *min = int(lowest);
  *max = int(highest);
  return 0;
}
