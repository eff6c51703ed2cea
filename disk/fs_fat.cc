// The FAT handlers: FAT16 (FAT12 and FAT16 volumes) and FAT32. They tell which sectors a FAT
// volume uses, where a file's data lies and how far the volume can be cut, reading through the
// partition's own operations with fat::Volume (disk/fat_reader.h).
//
// Only probe tells the two handlers apart. The other operations read any FAT volume, because a
// handler chosen by partition type byte (image partitions) may meet a volume of the other kind:
// a type byte 0x0C partition formatted FAT16 is common.
//
// Used sectors: the reserved sectors, the FATs, the fixed root directory of FAT12/16 and every
// cluster whose FAT entry is neither free nor the bad-cluster mark. Bad clusters hold no data,
// and reading them can fail on the device, so they are left out; the FAT that marks them is
// kept, so a restored volume still avoids them. Sectors past the volume's end (a partition
// larger than its volume) are not used.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/extent_vector.h"
#include "core/last_error.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/fat_reader.h"
#include "disk/fs_copy.h"
#include "disk/fs_registry.h"
#include "disk/part_open.h"
#include "disk/part_record.h"

namespace tav::disk {
namespace {

using fat::ClusterRun;
using fat::FatKind;
using fat::Volume;

// Leaves the reason of a failure in errno and the thread's last error, and in the trace.
void note_failure(const BACKUP_PARTITION_INFO* part, const char* operation, const Status& st) {
  // The only thing FAT does not support is a volume too large for 32-bit sector runs.
  const int code = st.is_ok() || st.code() == StatusCode::kCancelled ? EIO : status_errno(st, EFBIG);
  TAV_TRACE(kTraceError, code, "FAT %s of %s: %s", operation, part != nullptr ? part->dev_name.c_str() : "?",
            st.message().c_str());
  tav::set_last_error(uint32_t(code));
  errno = code;
}

// The partition, opened for reading for as long as this lives, and its FAT volume.
struct OpenVolume {
  explicit OpenVolume(BACKUP_PARTITION_INFO* part) : scope(part) {
    status = scope.status();
    if (status) status = Volume::open(part, &volume);
  }
  PartitionReadScope scope;
  std::unique_ptr<Volume> volume;
  Status status;
};

// Runs hold 32-bit sector numbers: the whole volume must be describable.
Status check_run_range(const fat::Geometry& geo) {
  if (geo.volume_sectors512() > UINT32_MAX) {
    return Status::not_supported("the volume has 2^32 sectors or more; its runs cannot be described");
  }
  return Status::ok();
}

// Opens the volume and scans its FAT: the layout, used clusters and the highest used cluster.
Status scan_volume(BACKUP_PARTITION_INFO* part, fat::Geometry* geo, std::string* label, uint64_t* used_clusters,
                   uint32_t* last_used) {
  OpenVolume ov(part);
  if (!ov.status) return ov.status;
  Status st = ov.volume->scan_used_clusters([](const ClusterRun&) { return Status::ok(); }, used_clusters, last_used);
  if (!st) return st;
  *geo = ov.volume->geometry();
  if (label != nullptr) *label = ov.volume->label();
  return Status::ok();
}

int probe_kind(BACKUP_PARTITION_INFO* part, bool want_fat32) {
  try {
    PartitionReadScope scope(part);
    if (!scope.status() || part->ops->read_sectors == nullptr || part->sector_count == 0) return 0;
    std::vector<uint8_t> sector(kSectorSize);
    if (part->ops->read_sectors(part, 0, 1, sector.data()) != 1) return 0;
    fat::Geometry geo;
    if (!fat::decode_boot_sector(sector, &geo)) return 0;
    return (geo.kind == FatKind::kFat32) == want_fat32 ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int fat16_probe(BACKUP_PARTITION_INFO* part) { return probe_kind(part, false); }
int fat32_probe(BACKUP_PARTITION_INFO* part) { return probe_kind(part, true); }

int fat_prepare(BACKUP_PARTITION_INFO* part) {
  try {
    fat::Geometry geo;
    std::string label;
    uint64_t used_clusters = 0;
    uint32_t last_used = 0;
    const Status st = scan_volume(part, &geo, &label, &used_clusters, &last_used);
    if (!st) {
      note_failure(part, "prepare", st);
      return -1;
    }
    set_part_used_sectors(*part, geo.metadata_sectors512() + used_clusters * geo.sectors512_per_cluster());
    set_rec_text(*part, pp::kFsName, 16, fat::kind_name(geo.kind));
    set_rec_text(*part, pp::kFsLabel, 48, label);
    return 0;
  } catch (const std::bad_alloc&) {
    note_failure(part, "prepare", Status::out_of_memory("out of memory"));
    return -1;
  }
}

Status append_data_run(IMAGE_RUN_VECTOR* v, uint64_t first_sector, uint64_t count) {
  IMAGE_RUN run{{uint32_t(first_sector), uint32_t(count)}, RUN_TYPE_DATA, 0};
  return libtavpub_append_image_run(v, &run) != 0 ? Status::ok() : Status::out_of_memory("no memory for runs");
}

Status build_used_runs(BACKUP_PARTITION_INFO* part, IMAGE_RUN_VECTOR* v) {
  OpenVolume ov(part);
  if (!ov.status) return ov.status;
  const fat::Geometry& geo = ov.volume->geometry();
  Status st = check_run_range(geo);
  if (!st) return st;
  // Everything before cluster 2 (reserved sectors, FATs, FAT12/16 root directory) is one run.
  st = append_data_run(v, 0, geo.metadata_sectors512());
  if (!st) return st;
  uint64_t used_clusters = 0;
  uint32_t last_used = 0;
  return ov.volume->scan_used_clusters(
      [&](const ClusterRun& r) {
        return append_data_run(v, geo.cluster_sector512(r.first_cluster), uint64_t{r.count} * geo.sectors512_per_cluster());
      },
      &used_clusters, &last_used);
}

IMAGE_RUN_VECTOR* fat_used_runs(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part) {
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  if (v == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  Status st;
  try {
    st = build_used_runs(part, v);
  } catch (const std::bad_alloc&) {
    st = Status::out_of_memory("out of memory");
  }
  if (st) return v;
  libtavpub_release_image_run_vector(v);
  note_failure(part, "used sectors", st);
  const int saved = errno;
  if (channel != nullptr) {
    TAV_ENGINE_REPORT(disk_report(), true, kIconError, "Cannot read the FAT file system of %s: %s",
                      part != nullptr ? part->dev_name.c_str() : "?", st.message().c_str());
  }
  errno = saved;
  return nullptr;
}

Status build_file_runs(BACKUP_PARTITION_INFO* part, const char* path, FLAT_RUN_VECTOR* v) {
  if (path == nullptr) return Status::invalid_argument("no path");
  OpenVolume ov(part);
  if (!ov.status) return ov.status;
  const fat::Geometry& geo = ov.volume->geometry();
  Status st = check_run_range(geo);
  if (!st) return st;
  fat::DirEntry entry;
  bool found = false;
  st = ov.volume->find(path, &entry, &found);
  if (!st) return st;
  // A directory of that name is not the file: its contents are ordinary data.
  if (!found || entry.is_directory()) return Status::ok();
  const uint64_t wanted = (uint64_t{entry.size_bytes} + geo.cluster_bytes() - 1) / geo.cluster_bytes();
  if (wanted == 0) return Status::ok();
  std::vector<ClusterRun> runs;
  st = ov.volume->chain_runs(entry.first_cluster, wanted, &runs);
  if (!st) return st;
  // The clusters that hold the file's bytes; clusters a chain has beyond its size hold none.
  for (const ClusterRun& r : runs) {
    uint64_t first = geo.cluster_sector512(r.first_cluster);
    uint64_t left = uint64_t{r.count} * geo.sectors512_per_cluster();
    while (left > 0) {
      const uint64_t n = left < kFlatRunMaxSectors ? left : kFlatRunMaxSectors;
      FLAT_RUN run{uint32_t(first), uint32_t(n)};
      if (libtavpub_append_flat_run(v, &run) == 0) return Status::out_of_memory("no memory for runs");
      first += n;
      left -= n;
    }
  }
  return Status::ok();
}

FLAT_RUN_VECTOR* fat_file_runs(BACKUP_PARTITION_INFO* part, const char* path) {
  FLAT_RUN_VECTOR* v = libtavpub_create_empty_flat_run_vector();
  if (v == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  Status st;
  try {
    st = build_file_runs(part, path, v);
  } catch (const std::bad_alloc&) {
    st = Status::out_of_memory("out of memory");
  }
  if (st) return v;
  libtavpub_release_flat_run_vector(v);
  note_failure(part, "file runs", st);
  return nullptr;
}

// The end of the last used cluster, never inside the metadata area. The cluster count decides
// the FAT type, so a FAT16 or FAT32 volume keeps at least the clusters of its type: cut below
// that, the same FAT would be read as FAT12 or FAT16.
int64_t fat_min_size_bytes(BACKUP_PARTITION_INFO* part) {
  try {
    fat::Geometry geo;
    uint64_t used_clusters = 0;
    uint32_t last_used = 0;
    const Status st = scan_volume(part, &geo, nullptr, &used_clusters, &last_used);
    if (!st) {
      note_failure(part, "minimum size", st);
      return -1;
    }
    uint64_t clusters = last_used >= 2 ? uint64_t{last_used} - 1 : 0;
    uint64_t type_floor = 0;
    if (geo.kind == FatKind::kFat16) type_floor = fat::kMinFat16Clusters;
    if (geo.kind == FatKind::kFat32) type_floor = fat::kMinFat32Clusters;
    if (type_floor > geo.cluster_count) type_floor = geo.cluster_count;
    if (clusters < type_floor) clusters = type_floor;
    return int64_t((geo.first_data_sector + clusters * geo.sectors_per_cluster) * geo.bytes_per_sector);
  } catch (const std::bad_alloc&) {
    note_failure(part, "minimum size", Status::out_of_memory("out of memory"));
    return -1;
  }
}

const FILE_SYSTEM_TYPE kFat16 = {
    FS_FAT16,      "FAT16",           fat16_probe, fat_prepare, fat_used_runs, fat_file_runs,
    fat_min_size_bytes, tav_fs_copy_used,
};

const FILE_SYSTEM_TYPE kFat32 = {
    FS_FAT32,      "FAT32",           fat32_probe, fat_prepare, fat_used_runs, fat_file_runs,
    fat_min_size_bytes, tav_fs_copy_used,
};

}  // namespace
}  // namespace tav::disk

void tav_file_system_fat16_init() { tav::disk::register_file_system(&tav::disk::kFat16); }
void tav_file_system_fat32_init() { tav::disk::register_file_system(&tav::disk::kFat32); }
