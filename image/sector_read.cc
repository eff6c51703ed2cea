// Sector and byte reads of an opened image partition: through the combined run vector of its
// chain to the member that stored each sector, through that member's run table to the position
// in its stored data, and through the unit cache to the bytes.
#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "core/extent_set_ops.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "image/reader_internal.h"

namespace tav::img {
namespace {

// Stored sectors [position, position + count) of the current member: unit position / 256 at
// sector position % 256, copied from the cache slot straight into `buffer`.
Status read_image_sectors(STORAGE_DATA* storage, uint64_t position, uint64_t count, uint8_t* buffer) {
  BACKUP_PARTITION_INFO* member = storage->part;
  while (count > 0) {
    const uint64_t unit = position / kSectorsPerUnit;
    const uint64_t offset = position % kSectorsPerUnit;
    const uint64_t n = std::min<uint64_t>(count, kSectorsPerUnit - offset);
    const UNIT_LOCATION* loc = nullptr;
    Status s = find_unit_loc(storage, member, unit, &loc);
    if (!s) return s;
    const uint8_t* data = nullptr;
    s = load_cache_unit(storage, member, *loc, unit, &data);
    if (!s) return s;
    std::memcpy(buffer, data + offset * kSectorSize, n * kSectorSize);
    buffer += n * kSectorSize;
    position += n;
    count -= n;
  }
  return Status::ok();
}

// Makes chain member `index` of the open partition current; loads its run table when it is not
// loaded.
Status make_member_current(STORAGE_DATA* storage, IMAGE_PART_DATA* pd, uint32_t index) {
  if (index >= pd->snap_part_vector.size()) {
    return TAV_READER_FAIL(kCorruption, "tav image read sectors: pimage_runs[index]->snapshot >= part_data->snap_count! "
                                        "(%u >= %zu)", index, pd->snap_part_vector.size());
  }
  BACKUP_PARTITION_INFO* member = pd->snap_part_vector[index];
  IMAGE_PART_DATA* member_pd = image_part_data(member);
  if (member_pd == nullptr) return TAV_READER_FAIL(kInvalidArgument, "tav image read sectors: !part_data of a member");
  storage->part = member;
  storage->part_data = member_pd;
  if (!member_pd->runs_loaded) return read_part_runs(storage, member);
  return Status::ok();
}

void zero_sectors(uint8_t** out, uint64_t* sector, uint64_t* left, uint64_t count) {
  std::memset(*out, 0, count * kSectorSize);
  *out += count * kSectorSize;
  *sector += count;
  *left -= count;
}

// Sectors [sector, sector + count) of an opened partition.
Status read_part_sectors(BACKUP_PARTITION_INFO* part, uint64_t sector, uint64_t count, uint8_t* out) {
  IMAGE_PART_DATA* pd = image_part_data(part);
  STORAGE_DATA* storage = storage_of(part);
  if (pd == nullptr || storage == nullptr || pd->prun_vector == nullptr || count == 0 || out == nullptr) {
    return TAV_READER_FAIL(kInvalidArgument, "!part_data->prun_vector || !part_data->psnap || "
                                             "!part_data->psnap->pstorage || count <= 0");
  }
  if (pd->snap_part_vector.empty()) {
    return TAV_READER_FAIL(kInvalidArgument, "!part_data->snap_part_vector || part_data->snap_count <= 0");
  }
  const IMAGE_RUN_VECTOR* v = pd->prun_vector;
  const uint32_t n = v->run_count;
  uint64_t left = count;
  if (n == 0 || sector >= run_end(*v->runs[n - 1])) {
    zero_sectors(&out, &sector, &left, left);
    return Status::ok();
  }
  if (sector < v->runs[0]->value.Begin) {
    zero_sectors(&out, &sector, &left, std::min<uint64_t>(left, v->runs[0]->value.Begin - sector));
    if (left == 0) return Status::ok();
  }
  const int found = libtavpub_find_from_image_run_vector(v, int64_t(sector), pd->image_run_hint);
  if (found < 0 || uint32_t(found) >= n) {
    return TAV_READER_FAIL(kCorruption, "find from image run vector return false! (index < 0 || index >= run_count), "
                                        "sector %llu", static_cast<unsigned long long>(sector));
  }
  pd->image_run_hint = found;
  for (uint32_t index = uint32_t(found); left > 0; ++index) {
    if (index >= n) {
      zero_sectors(&out, &sector, &left, left);  // after the last run
      break;
    }
    const IMAGE_RUN& run = *v->runs[index];
    if (sector < run.value.Begin) {
      zero_sectors(&out, &sector, &left, std::min<uint64_t>(left, run.value.Begin - sector));
      if (left == 0) break;
    }
    if (sector >= run_end(run)) continue;
    const uint64_t take = std::min<uint64_t>(run_end(run) - sector, left);
    Status s = make_member_current(storage, pd, run.snapshot);
    if (!s) return s;
    // One call covers at most one image run, so the count fits the member read's 32 bits.
    s = tav_read_snap_sectors(storage, sector, uint32_t(take), out);
    if (!s) {
      return reader_fail(__FILE__, __LINE__, __func__, s.code(),
                         reader_text("tav image read sectors: nret != size: index=%u, sector=%llu, count=%llu", index,
                                     static_cast<unsigned long long>(sector), static_cast<unsigned long long>(take)));
    }
    out += take * kSectorSize;
    sector += take;
    left -= take;
    pd->image_run_hint = int(index);
  }
  return Status::ok();
}

// Bytes [offset, offset + length): a partial first and last sector through a one-sector bounce
// buffer, whole sectors straight into `out`.
Status read_part_bytes(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t length, uint8_t* out) {
  if (out == nullptr) return TAV_READER_FAIL(kInvalidArgument, "tav image read: !buffer");
  uint8_t bounce[kSectorSize];
  uint64_t sector = offset / kSectorSize;
  const size_t head = size_t(offset % kSectorSize);
  uint64_t left = length;
  if (head != 0 && left > 0) {
    Status s = read_part_sectors(part, sector, 1, bounce);
    if (!s) return s;
    const size_t n = size_t(std::min<uint64_t>(left, kSectorSize - head));
    std::memcpy(out, bounce + head, n);
    out += n;
    left -= n;
    ++sector;
  }
  const uint64_t whole = left / kSectorSize;
  if (whole > 0) {
    Status s = read_part_sectors(part, sector, whole, out);
    if (!s) return s;
    out += whole * kSectorSize;
    left -= whole * kSectorSize;
    sector += whole;
  }
  if (left > 0) {
    Status s = read_part_sectors(part, sector, 1, bounce);
    if (!s) return s;
    std::memcpy(out, bounce, size_t(left));
  }
  return Status::ok();
}

}  // namespace

Status tav_read_snap_sectors(STORAGE_DATA* storage, uint64_t sector, uint32_t count, uint8_t* buffer) {
  IMAGE_PART_DATA* pd = storage->part_data;
  if (pd == nullptr || storage->part == nullptr) return TAV_READER_FAIL(kInvalidArgument, "tav read snap sectors: !pstorage->part");
  const std::vector<FLAT_RUN>& runs = pd->run_buff;
  const int n = int(runs.size());
  const int index = libtavpub_find_from_flat_run_vector(runs.data(), n, int64_t(sector), pd->run_hint);
  if (index < 0 || index >= n || sector >= flat_run_end(runs[size_t(index)])) {
    return TAV_READER_FAIL(kCorruption, "tav read snap sectors: parameters are invalid 1111! sector %llu",
                           static_cast<unsigned long long>(sector));
  }
  pd->run_hint = index;
  // The range may run on into the following runs only where they continue it without a gap.
  const uint64_t end = sector + count;
  uint64_t covered_end = flat_run_end(runs[size_t(index)]);
  for (size_t j = size_t(index) + 1; covered_end < end; ++j) {
    if (j >= runs.size() || runs[j].Begin != covered_end) {
      return TAV_READER_FAIL(kCorruption, "tav read snap sectors: parameters are invalid 22222! sector %llu count %u",
                             static_cast<unsigned long long>(sector), count);
    }
    covered_end = flat_run_end(runs[j]);
  }
  const uint64_t position = pd->run_begin_in_image[size_t(index)] + (sector - runs[size_t(index)].Begin);
  return read_image_sectors(storage, position, count, buffer);
}

}  // namespace tav::img

int64_t tav_image_read_sectors(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count, void* buffer) {
  tav::Status s;
  try {
    s = tav::img::read_part_sectors(part, sector, count, static_cast<uint8_t*>(buffer));
  } catch (const std::exception& e) {
    s = tav::Status::out_of_memory(e.what());
  }
  if (!s) {
    tav::img::set_reader_errno(s);
    return -1;
  }
  return count;
}

int64_t tav_image_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t length, void* buffer) {
  tav::Status s;
  try {
    s = tav::img::read_part_bytes(part, offset, length, static_cast<uint8_t*>(buffer));
  } catch (const std::exception& e) {
    s = tav::Status::out_of_memory(e.what());
  }
  if (!s) {
    tav::img::set_reader_errno(s);
    return -1;
  }
  return length;
}
