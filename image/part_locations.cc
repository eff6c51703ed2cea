// Run tables and partition segments (locations) of the chain members, read from the volume
// files. Every count, length and offset from the files is checked against the volume's layout
// before anything is allocated or read.
#include <algorithm>
#include <vector>

#include "core/byte_order.h"
#include "disk/part_record.h"
#include "format/ego_records.h"
#include "image/image_catalogue.h"
#include "image/reader_internal.h"

namespace tav::img {
namespace {

namespace pl = part_layout;
using disk::rec_u32;
using disk::rec_u64;

// The data area [data_start, location_offset) of a volume must lie inside the file.
Status check_data_area(const IMAGE_FILE_DATA& file, const char* step) {
  if (file.data_start > file.location_offset || file.location_offset > file.file_size) {
    return TAV_READER_FAIL(kCorruption, "%s: data area [%llu, %llu) of %s lies outside the file", step,
                           static_cast<unsigned long long>(file.data_start),
                           static_cast<unsigned long long>(file.location_offset), file.name.c_str());
  }
  return Status::ok();
}

// Runs must be plain, non-empty, ascending, not overlapping and inside the partition.
bool runs_are_sound(const std::vector<FLAT_RUN>& runs, uint64_t sector_count) {
  uint64_t previous_end = 0;
  for (const FLAT_RUN& run : runs) {
    if (flat_run_is_minus(run) || flat_run_sectors(run) == 0) return false;
    if (run.Begin < previous_end) return false;
    previous_end = flat_run_end(run);
    if (previous_end > sector_count) return false;
  }
  return true;
}

}  // namespace

void free_member_state(IMAGE_PART_DATA* pd) {
  if (pd == nullptr) return;
  pd->runs_loaded = false;
  std::vector<FLAT_RUN>().swap(pd->run_buff);
  std::vector<uint64_t>().swap(pd->run_begin_in_image);
  std::vector<UNIT_LOCATION>().swap(pd->locations);
  pd->run_hint = 0;
}

Status read_part_runs(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member) {
  IMAGE_PART_DATA* pd = image_part_data(member);
  if (pd == nullptr) return TAV_READER_FAIL(kInvalidArgument, "read part runs: not an image partition");
  free_member_state(pd);

  const uint32_t run_bytes = rec_u32(*member, pl::kRunBytes);
  if (run_bytes % kFlatRunSize != 0) {
    return TAV_READER_FAIL(kCorruption, "read part runs: invalid run data (run_bytes %u)", run_bytes);
  }
  std::vector<uint8_t> bytes;
  int64_t vol = rec_u32(*member, pl::kRunVol);
  const int64_t last_vol = vol + kMaxVolumesPerSnapshot;
  uint64_t offset = rec_u64(*member, pl::kRunOffset);
  uint64_t remaining = run_bytes;
  while (remaining > 0) {
    if (vol >= last_vol) return TAV_READER_FAIL(kCorruption, "read part runs: invalid run data (too many volumes)");
    IMAGE_FILE_DATA* file = nullptr;
    Status s = open_volume(storage, vol, "read part runs", &file);
    if (!s) return s;
    s = check_data_area(*file, "read part runs");
    if (!s) return s;
    if (offset == 0) offset = file->data_start;
    if (offset < file->data_start || offset > file->location_offset) {
      return TAV_READER_FAIL(kCorruption, "read part runs: invalid run data (offset %llu outside the data area of %s)",
                             static_cast<unsigned long long>(offset), file->name.c_str());
    }
    const uint64_t take = std::min<uint64_t>(remaining, file->location_offset - offset);
    if (take % kFlatRunSize != 0) {
      return TAV_READER_FAIL(kCorruption, "read part runs: invalid run data (%llu bytes in %s)",
                             static_cast<unsigned long long>(take), file->name.c_str());
    }
    const size_t old_size = bytes.size();
    bytes.resize(old_size + take);  // bounded by the data area of a file that exists
    s = read_volume_bytes(*file, offset, bytes.data() + old_size, take);
    if (!s) {
      return TAV_READER_FAIL(kIoError, "read image failed (nread != size), %s! %s", file->name.c_str(),
                             s.message().c_str());
    }
    remaining -= take;
    ++vol;
    offset = 0;  // the rest continues at the next volume's data_start
  }

  std::vector<FLAT_RUN> runs(bytes.size() / kFlatRunSize);
  for (size_t i = 0; i < runs.size(); ++i) {
    runs[i].Begin = get_le32(&bytes[i * kFlatRunSize]);
    runs[i].Number = get_le32(&bytes[i * kFlatRunSize + 4]);
  }
  if (!runs_are_sound(runs, member->sector_count)) {
    return TAV_READER_FAIL(kCorruption, "read part runs: invalid run data (runs unsorted, overlapping or outside "
                                        "the partition)");
  }
  std::vector<uint64_t> begins(runs.size());
  uint64_t position = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    begins[i] = position;
    position += flat_run_sectors(runs[i]);
  }
  pd->run_buff = std::move(runs);
  pd->run_begin_in_image = std::move(begins);
  pd->runs_loaded = true;
  return Status::ok();
}

namespace {

// Unit-info record `index` of an open volume.
Status read_unit_info(const IMAGE_FILE_DATA& file, uint32_t index, EGO_UNIT_INFO* info) {
  if (index >= file.unit_info_count) {
    return TAV_READER_FAIL(kCorruption, "record %u missing in %s (%u records)", index,
                           file.name.c_str(), file.unit_info_count);
  }
  uint8_t record[kUnitInfoSize];
  Status s = read_volume_bytes(file, file.unit_info_offset + uint64_t{index} * kUnitInfoSize, record, sizeof record);
  if (!s) return TAV_READER_FAIL(kCorruption, "%s: %s", file.name.c_str(), s.message().c_str());
  s = decode_unit_info(record, info);
  if (!s) return TAV_READER_FAIL(kCorruption, "%s: %s", file.name.c_str(), s.message().c_str());
  return Status::ok();
}

// The location entries of one segment. The entries must lie in the location table (between
// location_offset and the unit-info records) and the units they name in the data area, in
// ascending order inside [seg_start, seg_end).
Status read_location(const IMAGE_FILE_DATA& file, const EGO_UNIT_INFO& info, UNIT_LOCATION* loc) {
  Status s = check_data_area(file, "read_location");
  if (!s) return s;
  const uint64_t table_bytes = file.unit_info_offset >= file.location_offset ? file.unit_info_offset - file.location_offset : 0;
  if (info.loc_bytes % kLocationEntrySize != 0 || info.loc_offset > table_bytes ||
      info.loc_bytes > table_bytes - info.loc_offset || file.unit_info_offset > file.file_size) {
    return TAV_READER_FAIL(kCorruption, "location entries (offset %llu, %u bytes) outside the "
                                        "location table of %s",
                           static_cast<unsigned long long>(info.loc_offset), info.loc_bytes, file.name.c_str());
  }
  if (info.seg_start < file.data_start || info.seg_start > info.seg_end || info.seg_end > file.location_offset) {
    return TAV_READER_FAIL(kCorruption, "segment [%llu, %llu) outside the data area of %s",
                           static_cast<unsigned long long>(info.seg_start),
                           static_cast<unsigned long long>(info.seg_end), file.name.c_str());
  }
  std::vector<uint8_t> bytes(info.loc_bytes);
  s = read_volume_bytes(file, file.location_offset + info.loc_offset, bytes.data(), bytes.size());
  if (!s) return TAV_READER_FAIL(kIoError, "%s: %s", file.name.c_str(), s.message().c_str());
  std::vector<uint64_t> entries;
  s = decode_location_table(bytes, &entries);
  if (!s) return TAV_READER_FAIL(kCorruption, "%s: %s", file.name.c_str(), s.message().c_str());
  uint64_t previous = info.seg_start;
  for (size_t i = 0; i < entries.size(); ++i) {
    // Strictly ascending: every unit has a stored length of at least one byte.
    const bool ordered = i == 0 ? entries[i] >= previous : entries[i] > previous;
    if (!ordered || entries[i] >= info.seg_end) {
      return TAV_READER_FAIL(kCorruption, "location entry %zu (%llu) out of order or outside the "
                                          "segment in %s",
                             i, static_cast<unsigned long long>(entries[i]), file.name.c_str());
    }
    previous = entries[i];
  }
  loc->entries = std::move(entries);
  loc->seg_start = info.seg_start;
  loc->seg_end = info.seg_end;
  return Status::ok();
}

}  // namespace

Status read_one_image_location(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member) {
  IMAGE_PART_DATA* pd = image_part_data(member);
  if (pd == nullptr) return TAV_READER_FAIL(kInvalidArgument, "not an image partition");
  const uint32_t start_vol = rec_u32(*member, pl::kStartVol);
  const uint32_t end_vol = rec_u32(*member, pl::kEndVol);
  if (start_vol > end_vol) {
    return TAV_READER_FAIL(kCorruption, "start_vol > end_vol (%u > %u)", start_vol, end_vol);
  }
  const uint64_t which_image = uint64_t{start_vol} + pd->locations.size();
  if (which_image > end_vol) {
    return TAV_READER_FAIL(kCorruption, "which_image > end_vol (%llu > %u)",
                           static_cast<unsigned long long>(which_image), end_vol);
  }
  IMAGE_FILE_DATA* file = nullptr;
  Status s = open_volume(storage, int64_t(which_image), "read_one_image_location", &file);
  if (!s) return s;
  const uint32_t index = pd->locations.empty() ? rec_u32(*member, pl::kUnitInfoIndex) : 0;
  EGO_UNIT_INFO info;
  s = read_unit_info(*file, index, &info);
  if (!s) return s;
  UNIT_LOCATION loc;
  s = read_location(*file, info, &loc);
  if (!s) return s;
  loc.vol = uint32_t(which_image);
  loc.first_unit = pd->locations.empty()
                       ? 0
                       : pd->locations.back().first_unit + pd->locations.back().entries.size();
  pd->locations.push_back(std::move(loc));
  return Status::ok();
}

Status find_unit_loc(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t unit, const UNIT_LOCATION** loc) {
  IMAGE_PART_DATA* pd = image_part_data(member);
  if (pd == nullptr) return TAV_READER_FAIL(kInvalidArgument, "not an image partition");
  for (;;) {
    for (const UNIT_LOCATION& l : pd->locations) {
      if (unit >= l.first_unit && unit - l.first_unit < l.entries.size()) {
        *loc = &l;
        return Status::ok();
      }
    }
    if (!pd->locations.empty() && unit < pd->locations.back().first_unit + pd->locations.back().entries.size()) {
      break;  // below the locations read, yet in none of them: cannot happen with ordered locations
    }
    Status s = read_one_image_location(storage, member);
    if (!s) {
      return reader_fail(__FILE__, __LINE__, __func__, s.code(),
                         reader_text("read_one_image_location failed, unit %llu not found",
                                     static_cast<unsigned long long>(unit)));
    }
  }
  return TAV_READER_FAIL(kCorruption, "return NULL (unit %llu)", static_cast<unsigned long long>(unit));
}

}  // namespace tav::img
