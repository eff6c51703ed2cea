// Opening an image partition for reading: its chain of snapshots (the partition, its parent, the
// parent's parent, ...), every member's run table and first location, and the combined run
// vector that maps each sector to the newest member holding it. Only one partition of a storage
// is open at a time; opening another ends it.
#include <algorithm>
#include <exception>
#include <memory>
#include <new>

#include "core/extent_set_ops.h"
#include "disk/part_record.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "image/reader_internal.h"

namespace tav::img {
namespace {

struct RunVectorDeleter {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
using RunVectorPtr = std::unique_ptr<IMAGE_RUN_VECTOR, RunVectorDeleter>;

// A name for a partition in messages: its snapshot's first volume and its first sector.
std::string part_label(const STORAGE_DATA* storage, const BACKUP_PARTITION_INFO* part, const IMAGE_PART_DATA* pd) {
  return reader_text("the partition at sector %llu of the snapshot in %s",
                     static_cast<unsigned long long>(part->first_sector),
                     volume_file_name(storage, pd->psnap->first_vol).c_str());
}

// snap_part_vector = the partition, then its parent, ... up to the first self-contained member.
Status make_snap_part_vectors(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* part) {
  IMAGE_PART_DATA* pd = image_part_data(part);
  pd->snap_part_vector.clear();
  if (pd->signature == 0) {
    return TAV_READER_FAIL(kCorruption, "signature == 0, %s", part_label(storage, part, pd).c_str());
  }
  pd->snap_part_vector.push_back(part);
  if (pd->psnap->backup_type == kBackupFull) return Status::ok();
  BACKUP_PARTITION_INFO* current = part;
  for (;;) {
    const IMAGE_PART_DATA* cpd = image_part_data(current);
    if (cpd->full != 0) return Status::ok();
    SNAP_DATA* parent = libtavimg_find_last_snap(storage, 0, cpd->parent_seq, cpd->parent_time, nullptr);
    if (parent == nullptr) {
      const uint32_t parent_vol = disk::rec_u32(*current, part_layout::kParentVol2);
      return TAV_READER_FAIL(kNotFound,
                             "!plast_snap: the snapshot that %s depends on (snap_seq %u) is "
                             "missing; look for volume %s",
                             part_label(storage, current, cpd).c_str(), cpd->parent_seq,
                             volume_file_name(storage, parent_vol).c_str());
    }
    BACKUP_PARTITION_INFO* next = libtavimg_get_part_from_signature(parent->disks, cpd->signature);
    if (next == nullptr || image_part_data(next) == nullptr) {
      return TAV_READER_FAIL(kNotFound,
                             "!temp: no partition with signature %u in the snapshot of %s "
                             "that %s depends on",
                             cpd->signature, volume_file_name(storage, parent->first_vol).c_str(),
                             part_label(storage, current, cpd).c_str());
    }
    // A chain that comes back to one of its members would never end.
    if (std::find(pd->snap_part_vector.begin(), pd->snap_part_vector.end(), next) != pd->snap_part_vector.end()) {
      return TAV_READER_FAIL(kCorruption, "the parents of %s form a loop",
                             part_label(storage, part, pd).c_str());
    }
    pd->snap_part_vector.push_back(next);
    current = next;
  }
}

// Makes a member current and reads its run table and first location. The cache is kept: its
// keys name the member partition, and the catalogue empties it whenever partitions are freed.
Status tav_start_read_snap(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member) {
  IMAGE_PART_DATA* pd = image_part_data(member);
  // Units hold kUnitBytes each; a snapshot that says otherwise cannot be read as one.
  if (pd->psnap->unit_bytes != kUnitBytes) {
    return TAV_READER_FAIL(kCorruption, "unit_bytes %u in the snapshot of %s, not %u",
                           pd->psnap->unit_bytes, volume_file_name(storage, pd->psnap->first_vol).c_str(), kUnitBytes);
  }
  // Only the first volume holds the final partition records; the copies in later volumes were
  // written before the snapshot's data was complete (run tables and end volumes may be missing).
  // A snapshot whose first volume is missing or never finished can be listed but not read.
  if (pd->psnap->from_first_vol == 0) {
    const std::string first = volume_file_name(storage, pd->psnap->first_vol2);
    return TAV_READER_FAIL(kNotFound,
                           "the first volume %s of the snapshot found through %s is missing or unfinished; without "
                           "it the snapshot's partition records are not final and it cannot be read",
                           first.c_str(), volume_file_name(storage, pd->psnap->meta_vol).c_str());
  }
  storage->part = member;
  storage->part_data = pd;
  Status s = read_part_runs(storage, member);
  if (!s) return s;
  // A member that stored nothing has no units to locate.
  if (!pd->run_buff.empty()) {
    s = read_one_image_location(storage, member);
    if (!s) return s;
  }
  return Status::ok();
}

// prun_vector = the members' run tables laid over each other from the oldest (last) to the
// partition itself (index 0), each run's snapshot the index of the member that stored it.
Status build_snap_run_vector(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* part) {
  IMAGE_PART_DATA* pd = image_part_data(part);
  for (BACKUP_PARTITION_INFO* member : pd->snap_part_vector) {
    Status s = tav_start_read_snap(storage, member);
    if (!s) {
      return reader_fail(__FILE__, __LINE__, __func__, s.code(),
                         reader_text("tav_start_read_snap(temp) < 0, %s",
                                     part_label(storage, member, image_part_data(member)).c_str()));
    }
  }
  RunVectorPtr result(libtavpub_create_empty_image_run_vector());
  if (!result) return TAV_READER_FAIL(kOutOfMemory, "out of memory, !part_data->prun_vector");
  for (size_t i = pd->snap_part_vector.size(); i-- > 0;) {
    std::vector<FLAT_RUN>& runs = image_part_data(pd->snap_part_vector[i])->run_buff;
    FLAT_RUN_VECTOR flat{runs.data(), uint32_t(runs.size()), uint32_t(runs.size())};
    RunVectorPtr layer(libtavpub_run_flat_to_image(&flat, uint32_t(i)));
    RunVectorPtr merged(layer ? libtavpub_overlap_vector(result.get(), layer.get()) : nullptr);
    if (!merged) return TAV_READER_FAIL(kOutOfMemory, "out of memory, build_snap_run_vector");
    result = std::move(merged);
  }
  libtavpub_release_image_run_vector(pd->prun_vector);
  pd->prun_vector = result.release();
  pd->image_run_hint = 0;
  return Status::ok();
}

// Frees the reading state of the open partition and of every member of its chain and forgets
// the current partition; with `empty_cache` empties the unit cache as well.
void end_open_part(STORAGE_DATA* storage, bool empty_cache) {
  BACKUP_PARTITION_INFO* part = storage->open_part;
  if (IMAGE_PART_DATA* pd = part != nullptr ? image_part_data(part) : nullptr) {
    for (BACKUP_PARTITION_INFO* member : pd->snap_part_vector) free_member_state(image_part_data(member));
    free_member_state(pd);
    libtavpub_release_image_run_vector(pd->prun_vector);
    pd->prun_vector = nullptr;
    pd->snap_part_vector.clear();
    pd->image_run_hint = 0;
  }
  if (empty_cache) empty_unit_cache(storage);
  storage->open_part = nullptr;
  storage->part = nullptr;
  storage->part_data = nullptr;
}

Status start_read_part(BACKUP_PARTITION_INFO* part) {
  IMAGE_PART_DATA* pd = image_part_data(part);
  STORAGE_DATA* storage = storage_of(part);
  if (pd == nullptr || storage == nullptr) {
    return TAV_READER_FAIL(kInvalidArgument, "tav_start_read_part: not an image partition of a loaded snapshot");
  }
  // Units cached for the partition that was open stay: switching back and forth between
  // partitions does not inflate them again.
  end_open_part(storage, false);
  Status s = ensure_reader_buffers(storage);
  if (s) s = make_snap_part_vectors(storage, part);
  // The partition counts as open from here, so a failure below frees what was read.
  storage->open_part = part;
  if (s) s = build_snap_run_vector(storage, part);
  if (!s) {
    end_open_part(storage, false);
    return s;
  }
  storage->part = part;
  storage->part_data = pd;
  return Status::ok();
}

}  // namespace
}  // namespace tav::img

int tav_start_read_part(BACKUP_PARTITION_INFO* part) {
  tav::Status s;
  try {
    s = tav::img::start_read_part(part);
  } catch (const std::exception& e) {
    s = tav::Status::out_of_memory(e.what());
  }
  if (!s) {
    tav::img::set_reader_errno(s);
    return -1;
  }
  return 0;
}

void tav_end_read_part(BACKUP_PARTITION_INFO* part) {
  STORAGE_DATA* storage = tav::img::storage_of(part);
  // Another partition's chain may share members with this one: only the open one is ended.
  if (storage != nullptr && storage->open_part == part) tav::img::end_open_part(storage, true);
}

const IMAGE_RUN_VECTOR* libtavimg_get_part_run_vector(const BACKUP_PARTITION_INFO* part) {
  const IMAGE_PART_DATA* pd = tav::img::image_part_data(part);
  STORAGE_DATA* storage = tav::img::storage_of(part);
  if (pd == nullptr || storage == nullptr || storage->open_part != part) return nullptr;
  return pd->prun_vector;
}
