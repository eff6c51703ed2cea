// Filling a backup package: walks the partition's plan from where the previous package stopped
// and gathers the next 256 sectors to store (added runs read as they are, common runs compared
// with the parent so that only changed sectors are kept), recording each stored extent.
#include <algorithm>
#include <cstring>

#include "core/crc32.h"
#include "core/progress_channel.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"
#include "engine/read_ahead.h"

namespace tav::engine {

namespace {

constexpr uint32_t kUnitSectors = img::kSectorsPerUnit;
// Progress is reported once more than this many sectors were visited.
constexpr uint32_t kProgressStepSectors = 256;

void count_visited(WorkerShared& w, uint32_t sectors) {
  w.progress_sectors += sectors;
  if (w.progress_sectors > kProgressStepSectors) flush_progress(w);
}

bool append_stored(WorkerShared& w, uint64_t begin, uint32_t count) {
  IMAGE_RUN run{};
  run.value.Begin = uint32_t(begin);
  run.value.Number = count;
  run.type = RUN_TYPE_DATA;
  run.snapshot = 0;
  if (libtavpub_append_image_run(w.work->stored, &run) != 0) return true;
  TAV_WORKER_FAIL(w, "append image run failed!");
  return false;
}

bool read_part(WorkerShared& w, uint64_t begin, uint32_t count, uint8_t* out) {
  BACKUP_PARTITION_INFO* part = w.work->part;
  const int64_t got = part->ops->read_sectors(part, begin, count, out);
  if (got == int64_t{count}) return true;
  if (w.cancel->load() != 0) return false;  // a read cut short by the user's cancel is no error
  TAV_WORKER_FAIL(w, "reading %u sectors at %llu of the partition failed (%lld)!", count,
                  static_cast<unsigned long long>(begin), static_cast<long long>(got));
  return false;
}

bool read_parent(WorkerShared& w, uint64_t begin, uint32_t count, uint8_t* out) {
  BACKUP_PARTITION_INFO* parent = w.work->parent;
  if (parent == nullptr) {
    TAV_WORKER_FAIL(w, "a common run without a parent partition!");
    return false;
  }
  const int64_t got = w.work->parent_read_ahead
                          ? imagefile_read_sectors(out, count, w.channel, parent, int64_t(begin))
                          : parent->ops->read_sectors(parent, begin, count, out);
  // The read-ahead delivers a short count once the user cancelled: no error either.
  if (got == int64_t{count}) return true;
  if (w.cancel->load() != 0) return false;
  TAV_WORKER_FAIL(w, "reading %u sectors at %llu of the parent image failed (%lld)!", count,
                  static_cast<unsigned long long>(begin), static_cast<long long>(got));
  return false;
}

bool same_sector(const WorkerShared& w, uint32_t index) {
  const size_t at = size_t{index} * kSectorSize;
  return std::memcmp(w.compare_part.get() + at, w.compare_parent.get() + at, kSectorSize) == 0;
}

// Compares the next piece of a common run with the parent and stores the sectors that differ,
// until the run's piece is compared or the package is full. `filled` counts the package's
// sectors.
bool fill_common(WorkerShared& w, IMAGE_RUN* run, uint8_t* out, uint32_t* filled) {
  const uint64_t begin = run->value.Begin;
  const bool cached = w.cached_count != 0 && begin >= w.cached_begin && begin < w.cached_begin + w.cached_count;
  if (!cached) {
    w.cached_count = 0;
    const uint32_t count = std::min(run->value.Number, kUnitSectors);
    if (!read_parent(w, begin, count, w.compare_parent.get())) return false;
    if (!read_part(w, begin, count, w.compare_part.get())) return false;
    w.cached_begin = begin;
    w.cached_count = count;
  }
  const uint32_t offset = uint32_t(begin - w.cached_begin);
  const uint32_t available = w.cached_count - offset;

  uint32_t i = 0;
  while (i < available && *filled < kUnitSectors) {
    if (same_sector(w, offset + i)) {
      ++i;
      continue;
    }
    // A stretch of changed sectors is stored as one extent; the stored-runs vector would merge
    // the single sectors into the same run anyway.
    uint32_t j = i + 1;
    while (j < available && *filled + (j - i) < kUnitSectors && !same_sector(w, offset + j)) ++j;
    const uint32_t n = j - i;
    std::memcpy(out + size_t{*filled} * kSectorSize, w.compare_part.get() + size_t{offset + i} * kSectorSize,
                size_t{n} * kSectorSize);
    if (!append_stored(w, begin + i, n)) return false;
    *filled += n;
    i = j;
  }
  run->value.Begin += i;
  run->value.Number -= i;
  count_visited(w, i);
  return true;
}

bool fill_added(WorkerShared& w, IMAGE_RUN* run, uint8_t* out, uint32_t* filled) {
  const uint32_t n = std::min(run->value.Number, kUnitSectors - *filled);
  if (!read_part(w, run->value.Begin, n, out + size_t{*filled} * kSectorSize)) return false;
  if (!append_stored(w, run->value.Begin, n)) return false;
  run->value.Begin += n;
  run->value.Number -= n;
  *filled += n;
  count_visited(w, n);
  return true;
}

// Moves the plan index past minus runs and runs already consumed; the run reached, or null at
// the end of the plan.
IMAGE_RUN* current_run(WorkerShared& w) {
  const IMAGE_RUN_VECTOR* plan = w.work->plan;
  while (plan != nullptr && w.plan_index < plan->run_count) {
    IMAGE_RUN* run = plan->runs[w.plan_index];
    if (run != nullptr && run->type != RUN_TYPE_MINUS && run->value.Number != 0) return run;
    ++w.plan_index;
  }
  return nullptr;
}

}  // namespace

void flush_progress(WorkerShared& w) {
  const uint32_t sectors = w.progress_sectors;
  w.progress_sectors = 0;
  if (sectors != 0 && w.channel != nullptr && w.channel->ops != nullptr && w.channel->ops->sub_progress_update != nullptr) {
    w.channel->ops->sub_progress_update(w.channel, sectors);
  }
}

void read_handle_func(WorkerShared& w, BACKUP_PACKAGE* walk) {
  walk->unit = w.reader_unit++;
  uint8_t* out = walk->buff;
  uint32_t filled = 0;
  bool ok = true;
  if (w.cancel->load() != 0) {
    w.end_of_data = true;  // the zero package below is the last one
  } else {
    while (filled < kUnitSectors) {
      // Few changes can make one package compare a whole partition: a cancel or another
      // thread's error is seen at every piece, not only when a package starts.
      if (w.failed()) {
        w.end_of_data = true;
        break;
      }
      IMAGE_RUN* run = current_run(w);
      if (run == nullptr) break;
      ok = run->type == RUN_TYPE_COMMON ? fill_common(w, run, out, &filled) : fill_added(w, run, out, &filled);
      if (!ok) break;
    }
  }
  if (!ok) {
    filled = 0;
  } else if (filled < kUnitSectors || current_run(w) == nullptr) {
    // The plan is exhausted. Checking after a full package too keeps a plan that ends exactly
    // on a unit boundary from getting an extra unit of zeros that no run refers to.
    w.end_of_data = true;
  }
  std::memset(out + size_t{filled} * kSectorSize, 0, size_t{kUnitSectors - filled} * kSectorSize);
  walk->chk_unit = walk->unit;
  walk->crc32 = libtavpub_crc32_calc(out, img::kUnitBytes);
}

}  // namespace tav::engine
