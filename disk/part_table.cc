// Partition tables of disks: reading them into partition objects (MBR or GPT), the saved boot
// sectors, and the MBR writes of restore (whole layouts, single entries, boot code, active flag).
#include "disk/part_table.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>

#include "core/byte_order.h"
#include "core/ui_sink.h"
#include "disk/device_io.h"
#include "disk/disk_channel.h"
#include "disk/fs_registry.h"
#include "disk/gpt_table.h"
#include "disk/mbr_table.h"
#include "disk/part_record.h"
#include "disk/part_table_internal.h"

namespace tav::disk {
namespace {

// Keeps `disk` open in at least `mode` for a scope and puts it back as it was afterwards.
class ScopedDiskOpen {
 public:
  ScopedDiskOpen(_DISK_INFOMATION* disk, int mode) : disk_(disk) {
    previous_mode_ = disk->fd >= 0 ? disk->open_mode : -1;
    if (previous_mode_ == kOpenWrite || previous_mode_ == mode) {
      ok_ = true;
      return;
    }
    ok_ = disk->ops->open(disk, mode) >= 0;
    error_ = errno;
    changed_ = true;
  }
  ~ScopedDiskOpen() {
    if (!changed_) return;
    if (ok_) disk_->ops->close(disk_);
    if (previous_mode_ >= 0 && disk_->fd < 0) disk_->ops->open(disk_, previous_mode_);
  }
  ScopedDiskOpen(const ScopedDiskOpen&) = delete;
  ScopedDiskOpen& operator=(const ScopedDiskOpen&) = delete;

  bool ok() const { return ok_; }
  Status status(const char* purpose) const {
    if (ok_) return Status::ok();
    return Status::io_error("cannot open " + disk_->path + " for " + purpose + ": " + std::strerror(error_));
  }

 private:
  _DISK_INFOMATION* disk_;
  int previous_mode_ = -1;
  bool ok_ = false;
  bool changed_ = false;
  int error_ = 0;
};

Status write_open_disk(_DISK_INFOMATION* disk, uint64_t first_sector, uint32_t count, const uint8_t* buffer) {
  if (disk->ops->write_sectors(disk, first_sector, count, buffer) == int64_t(count)) return Status::ok();
  return Status::io_error("cannot write " + disk->path + " at sector " + std::to_string(first_sector) + ": " +
                          std::strerror(errno));
}

Status flush_open_disk(_DISK_INFOMATION* disk) {
  if (disk->ops->flush(disk) == 0) return Status::ok();
  return Status::io_error("cannot flush " + disk->path + ": " + std::strerror(errno));
}

int report_failure(const Status& status) {
  TAV_ENGINE_REPORT(disk_report(), true, kIconError, "%s", status.message().c_str());
  return -1;
}

// Runs an exported operation: its Status becomes >= 0 / -1 with a report, and no exception
// leaves the library.
template <typename Body>
int run_exported(Body body) {
  try {
    Status st = body();
    return st ? 0 : report_failure(st);
  } catch (const std::bad_alloc&) {
    return report_failure(Status::out_of_memory("out of memory"));
  } catch (...) {
    return report_failure(Status::io_error("unexpected failure"));
  }
}

TableKind table_kind_of(const BACKUP_PARTITION_INFO& part) {
  const uint32_t kind = rec_u32(part, pp::kTableKind);
  if (kind == uint32_t(TableKind::kMbr) || kind == uint32_t(TableKind::kGpt)) return TableKind(kind);
  return part.disk != nullptr ? part.disk->table_kind : TableKind::kNone;
}

std::string part_name(const BACKUP_PARTITION_INFO& part) {
  if (!part.dev_name.empty()) return part.dev_name;
  std::string name = "partition " + std::to_string(part_number(part));
  if (part.disk != nullptr) name += " of " + part.disk->path;
  return name;
}

Status check_part(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->disk == nullptr || part->disk->ops == nullptr) {
    return Status::invalid_argument("no partition or no disk");
  }
  return Status::ok();
}

// The MBR-side position of a partition's entry: the table sector and the slot in it.
struct EntryPlace {
  uint64_t sector = 0;
  unsigned index = 0;
  uint64_t base = 0;  // the entry's first sector is relative to this sector
};

Status mbr_entry_place(const BACKUP_PARTITION_INFO& part, EntryPlace* place) {
  if (table_kind_of(part) != TableKind::kMbr) {
    return Status::not_supported(part_name(part) + " does not come from an MBR partition table");
  }
  place->sector = rec_u64(part, pp::kTableSector);
  place->index = rec_u32(part, pp::kTableIndex);
  place->base = part_is_logical(part) ? place->sector : 0;
  if (place->index >= mbr::kEntryCount || (!part_is_logical(part) && place->sector != 0)) {
    return Status::invalid_argument(part_name(part) + " has no valid table position");
  }
  return Status::ok();
}

// Reads the table sector of `part` into `sector` and checks that its entry still describes the
// partition: the table on disk may have changed since it was read.
Status read_matching_entry(const BACKUP_PARTITION_INFO& part, const EntryPlace& place, uint8_t* sector,
                           mbr::Entry* entry) {
  Status st = read_open_disk(part.disk, place.sector, 1, sector);
  if (!st) return st;
  if (!mbr::has_boot_signature(sector)) {
    return Status::corruption("sector " + std::to_string(place.sector) + " of " + part.disk->path +
                              " no longer holds a partition table");
  }
  *entry = mbr::decode_entry(sector, place.index);
  if (entry->empty() || place.base + entry->first_sector != part.first_sector ||
      entry->sector_count != part.sector_count) {
    return Status::corruption("the table entry of " + part_name(part) + " (sector " + std::to_string(place.sector) +
                              ", entry " + std::to_string(place.index + 1) +
                              ") no longer matches the partition; the table changed since it was read");
  }
  return Status::ok();
}

// One MBR entry opened for a change: while this lives the disk stays open for writing. `table`
// holds the entry's table sector as read at `place.sector`, and `entry` the entry in it.
struct EntryChange {
  EntryPlace place;
  std::array<uint8_t, kSectorSize> table{};
  mbr::Entry entry;
  std::optional<ScopedDiskOpen> access;
};

// Finds where the entry of `part` lies, opens its disk for writing and reads the table sector,
// checking that the entry still describes the partition. The caller has refused what its change
// does not apply to (GPT, extended, ...).
Status open_entry_for_change(BACKUP_PARTITION_INFO* part, EntryChange* change) {
  Status st = mbr_entry_place(*part, &change->place);
  if (!st) return st;
  change->access.emplace(part->disk, kOpenWrite);
  if (!change->access->ok()) return change->access->status("writing");
  return read_matching_entry(*part, change->place, change->table.data(), &change->entry);
}

// Writes the changed table sector back where it was read.
Status write_entry_change(_DISK_INFOMATION* disk, const EntryChange& change) {
  return write_open_disk(disk, change.place.sector, 1, change.table.data());
}

mbr::Geometry geometry_of(const _DISK_INFOMATION& disk) {
  return mbr::usable_geometry(disk.heads, disk.sectors_per_track);
}

// Builds the partition objects of `disk` from what a reader found.
void make_partitions(_DISK_INFOMATION* disk, const FoundTable& table) {
  const FILE_SYSTEM_TYPE* unknown = unknown_file_system();
  for (const FoundPartition& f : table.parts) {
    auto part = std::make_unique<BACKUP_PARTITION_INFO>();
    BACKUP_PARTITION_INFO& p = *part;
    init_part_record(p);
    p.disk = disk;
    set_part_extent(p, f.first_sector, f.sector_count);
    set_rec_u8(p, pl::kBootFlag, f.boot_flag);
    set_rec_u8(p, pl::kPartType, f.type);
    set_rec_u32(p, pl::kPartNumber, uint32_t(f.number));
    set_rec_u32(p, pl::kPartFlags, f.flags);
    set_rec_u64(p, pp::kTableSector, f.table_sector);
    set_rec_u32(p, pp::kTableIndex, f.table_index);
    set_rec_u32(p, pp::kTableKind, uint32_t(table.kind));
    if (table.kind == TableKind::kGpt) {
      std::copy(f.type_guid.begin(), f.type_guid.end(), &p.record[pp::kGptTypeGuid]);
      std::copy(f.unique_guid.begin(), f.unique_guid.end(), &p.record[pp::kGptUniqueGuid]);
      set_rec_u64(p, pp::kGptAttributes, f.attributes);
      set_rec_text(p, pp::kGptName, 72, f.name);
    }
    p.index = uint32_t(disk->parts.size());
    p.dev_num = uint32_t(f.number);
    p.ops = tav_get_part_operation();
    p.ops_fs = unknown;
    disk->parts.push_back(std::move(part));
  }
}

Status read_table_of_open_disk(_DISK_INFOMATION* disk) {
  std::array<uint8_t, kSectorSize> sector0{};
  Status st = read_open_disk(disk, 0, 1, sector0.data());
  if (!st) return st;

  FoundTable table;
  if (mbr::has_boot_signature(sector0.data()) && mbr::looks_like_partition_table(sector0.data())) {
    st = mbr::has_protective_entry(sector0.data()) ? gpt::read_table(disk, &table)
                                                     : mbr::read_table(disk, sector0.data(), &table);
    if (!st) return st.code() == StatusCode::kCorruption ? Status::corruption(disk->path + ": " + st.message()) : st;
  }

  // Saved boot sectors: everything before the first partition.
  uint64_t first_used = disk->total_sectors;
  for (const FoundPartition& f : table.parts) first_used = std::min(first_used, f.first_sector);
  const uint64_t saved = std::min<uint64_t>(first_used, kMaxSavedBootSectors);
  std::vector<uint8_t> boot_sectors(size_t(saved) * kSectorSize);
  if (saved > 0) {
    st = read_open_disk(disk, 0, uint32_t(saved), boot_sectors.data());
    if (!st) return st;
  }

  make_partitions(disk, table);
  disk->table_kind = table.kind;
  disk->ext_start = table.ext_start;
  disk->ext_length = table.ext_length;
  disk->ext_end = table.ext_length ? table.ext_start + table.ext_length - 1 : 0;
  disk->mbr = std::move(boot_sectors);
  disk->disk_signature = table.kind == TableKind::kNone ? 0 : get_le32(&sector0[mbr::kDiskSignatureOffset]);
  return Status::ok();
}

// Whether a layout comes from a GPT disk: its partitions (or their sources) say so.
bool layout_from_gpt(const _DISK_INFOMATION& restore_disk) {
  for (const auto& p : restore_disk.parts) {
    if (rec_u32(*p, pp::kTableKind) == uint32_t(TableKind::kGpt)) return true;
    if (p->source != nullptr && rec_u32(*p->source, pp::kTableKind) == uint32_t(TableKind::kGpt)) return true;
  }
  return false;
}

Status table_write(_DISK_INFOMATION* restore_disk) {
  if (restore_disk == nullptr) return Status::invalid_argument("no restore disk");
  _DISK_INFOMATION* dest = restore_disk->made_from;
  if (dest == nullptr || dest->ops == nullptr) {
    return Status::invalid_argument("the restore layout has no destination disk");
  }
  if (dest->disk_type == DEVICE_IMAGE) return Status::invalid_argument("the destination is an image disk");
  if (layout_from_gpt(*restore_disk)) {
    return Status::not_supported(
        "writing a GPT partition layout is not supported yet; restore the partitions one by one onto an "
        "existing GPT layout");
  }

  // The caller opened either the restore disk (a copy of the destination object) or the
  // destination itself for writing; use whichever it opened, so no second exclusive open is tried.
  _DISK_INFOMATION* target = dest;
  if (restore_disk->ops != nullptr && restore_disk->fd >= 0 && restore_disk->open_mode == kOpenWrite &&
      restore_disk->path == dest->path) {
    target = restore_disk;
  }
  ScopedDiskOpen access(target, kOpenWrite);
  if (!access.ok()) return access.status("writing");

  std::vector<mbr::PlannedPartition> layout;
  for (const auto& p : restore_disk->parts) {
    mbr::PlannedPartition planned;
    planned.first_sector = p->first_sector;
    planned.sector_count = p->sector_count;
    planned.type = part_type(*p);
    planned.boot = rec_u8(*p, pl::kBootFlag);
    planned.logical = part_is_logical(*p);
    planned.extended = part_is_extended(*p);
    planned.number = part_number(*p);
    layout.push_back(planned);
  }
  const mbr::Geometry geometry = dest->heads && dest->sectors_per_track ? geometry_of(*dest) : geometry_of(*restore_disk);
  uint32_t track = restore_disk->sectors_per_track ? restore_disk->sectors_per_track : dest->sectors_per_track;
  if (track == 0) track = 63;

  std::array<uint8_t, kSectorSize> current0{};
  Status st = read_open_disk(target, 0, 1, current0.data());
  if (!st) return st;
  std::vector<mbr::SectorImage> sectors;
  st = mbr::plan_layout(layout, dest->total_sectors, geometry, track, current0.data(), &sectors);
  if (!st) return st;

  // A GPT left behind would still be found by other tools (and by us: a protective entry is gone,
  // but the backup header at the end is not). Clear its headers where no partition of the layout
  // keeps data.
  auto sector_is_free = [&](uint64_t s) {
    for (const auto& p : layout) {
      if (p.sector_count != 0 && s >= p.first_sector && s - p.first_sector < p.sector_count) return false;
    }
    for (const auto& img : sectors) {
      if (img.sector == s) return false;
    }
    return true;
  };
  for (uint64_t s : {gpt::kPrimaryHeaderSector, dest->total_sectors - 1}) {
    if (s == 0 || s >= dest->total_sectors || !sector_is_free(s)) continue;
    std::array<uint8_t, kSectorSize> sector{};
    st = read_open_disk(target, s, 1, sector.data());
    if (!st) return st;
    if (std::memcmp(sector.data(), gpt::kSignature, 8) != 0) continue;
    sector.fill(0);
    st = write_open_disk(target, s, 1, sector.data());
    if (!st) return st;
  }

  for (const mbr::SectorImage& img : sectors) {  // EBRs first, sector 0 last
    st = write_open_disk(target, img.sector, 1, img.bytes.data());
    if (!st) return st;
  }
  return flush_open_disk(target);
}

Status clear_part_entry(BACKUP_PARTITION_INFO* part, uint8_t* buffer, uint64_t* sector) {
  Status st = check_part(part);
  if (!st) return st;
  if (buffer == nullptr || sector == nullptr) return Status::invalid_argument("no buffer for the table sector");
  _DISK_INFOMATION* disk = part->disk;
  if (table_kind_of(*part) == TableKind::kGpt) {
    ScopedDiskOpen access(disk, kOpenRead);
    if (!access.ok()) return access.status("reading");
    st = read_open_disk(disk, 0, 1, buffer);
    if (!st) return st;
    *sector = 0;
    return Status::ok();
  }
  EntryChange change;
  st = open_entry_for_change(part, &change);
  if (!st) return st;
  std::memcpy(buffer, change.table.data(), kSectorSize);
  *sector = change.place.sector;
  mbr::clear_entry(change.table.data(), change.place.index);
  st = write_entry_change(disk, change);
  if (!st) return st;
  return flush_open_disk(disk);
}

Status restore_mbr(BACKUP_PARTITION_INFO* part, const uint8_t* saved, uint32_t sectors) {
  Status st = check_part(part);
  if (!st) return st;
  if (saved == nullptr || sectors == 0) return Status::invalid_argument("no saved boot sectors");
  _DISK_INFOMATION* disk = part->disk;
  ScopedDiskOpen access(disk, kOpenWrite);
  if (!access.ok()) return access.status("writing");
  std::array<uint8_t, kSectorSize> current{};
  st = read_open_disk(disk, 0, 1, current.data());
  if (!st) return st;
  if (disk->table_kind == TableKind::kGpt || table_kind_of(*part) == TableKind::kGpt ||
      (mbr::has_boot_signature(current.data()) && mbr::has_protective_entry(current.data()))) {
    return Status::not_supported("the boot code of " + disk->path +
                                 " is not replaced: it holds a GPT, whose protective MBR must stay as it is");
  }

  // Sectors after the first may hold a boot loader's later stages; they go only where nothing
  // of the destination lives: before its first partition, by its objects and by its table.
  uint64_t first_used = disk->total_sectors;
  for (const auto& p : disk->parts) {
    if (p->sector_count != 0) first_used = std::min(first_used, p->first_sector);
  }
  if (mbr::has_boot_signature(current.data())) {
    for (unsigned i = 0; i < mbr::kEntryCount; ++i) {
      const mbr::Entry e = mbr::decode_entry(current.data(), i);
      if (!e.empty()) first_used = std::min<uint64_t>(first_used, e.first_sector);
    }
  }
  const bool saved_from_mbr = mbr::has_boot_signature(saved) && !mbr::has_protective_entry(saved);
  if (saved_from_mbr && sectors > 1 && sectors <= first_used) {
    st = write_open_disk(disk, 1, sectors - 1, saved + kSectorSize);
    if (!st) return st;
  }

  std::array<uint8_t, kSectorSize> sector0 = current;
  std::memcpy(sector0.data(), saved, mbr::kBootCodeBytes);
  st = write_open_disk(disk, 0, 1, sector0.data());
  if (!st) return st;
  disk->disk_signature = get_le32(&sector0[mbr::kDiskSignatureOffset]);
  return flush_open_disk(disk);
}

Status set_bootable(BACKUP_PARTITION_INFO* part) {
  Status st = check_part(part);
  if (!st) return st;
  if (table_kind_of(*part) == TableKind::kGpt) {
    return Status::not_supported(part_name(*part) + " lies on a GPT disk, which has no active partition");
  }
  if (part_is_logical(*part)) return Status::invalid_argument(part_name(*part) + " is logical and cannot be made active");
  if (part_is_extended(*part)) {
    return Status::invalid_argument(part_name(*part) + " is the extended partition and cannot be made active");
  }
  EntryChange change;
  st = open_entry_for_change(part, &change);
  if (!st) return st;
  for (unsigned i = 0; i < mbr::kEntryCount; ++i) {
    change.table[mbr::kEntriesOffset + i * mbr::kEntrySize] = i == change.place.index ? mbr::kBootActive : 0;
  }
  _DISK_INFOMATION* disk = part->disk;
  st = write_entry_change(disk, change);
  if (!st) return st;
  for (const auto& p : disk->parts) {
    if (!part_is_logical(*p)) set_rec_u8(*p, pl::kBootFlag, p.get() == part ? mbr::kBootActive : 0);
  }
  return flush_open_disk(disk);
}

Status shrink_entry(BACKUP_PARTITION_INFO* dest, const BACKUP_PARTITION_INFO* image_part) {
  Status st = check_part(dest);
  if (!st) return st;
  if (image_part == nullptr) return Status::invalid_argument("no image partition");
  if (table_kind_of(*dest) == TableKind::kGpt) {
    return Status::not_supported(part_name(*dest) + " lies on a GPT disk; its entry is not changed");
  }
  if (part_is_extended(*dest)) return Status::invalid_argument(part_name(*dest) + " is the extended partition");
  const uint64_t new_count = image_part->sector_count;
  if (new_count == 0) return Status::invalid_argument("the image partition has no sectors");
  if (new_count > dest->sector_count) {
    return Status::invalid_argument(part_name(*dest) + " (" + std::to_string(dest->sector_count) +
                                    " sectors) is smaller than the image partition (" + std::to_string(new_count) +
                                    " sectors)");
  }
  if (new_count == dest->sector_count) return Status::ok();
  EntryChange change;
  st = open_entry_for_change(dest, &change);
  if (!st) return st;
  _DISK_INFOMATION* disk = dest->disk;
  change.entry.sector_count = uint32_t(new_count);  // smaller than a count that fitted
  mbr::encode_entry(change.table.data(), change.place.index, change.entry, change.place.base, geometry_of(*disk));
  st = write_entry_change(disk, change);
  if (!st) return st;
  set_part_extent(*dest, dest->first_sector, new_count);
  return flush_open_disk(disk);
}

}  // namespace

Status read_open_disk(_DISK_INFOMATION* disk, uint64_t first_sector, uint32_t count, uint8_t* buffer) {
  if (disk->ops->read_sectors(disk, first_sector, count, buffer) == int64_t(count)) return Status::ok();
  return Status::io_error("cannot read " + disk->path + " at sector " + std::to_string(first_sector) + ": " +
                          std::strerror(errno));
}

Status check_no_overlap(std::vector<NamedRange> ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const NamedRange& a, const NamedRange& b) { return a.first_sector < b.first_sector; });
  for (size_t i = 1; i < ranges.size(); ++i) {
    const NamedRange& a = ranges[i - 1];
    const NamedRange& b = ranges[i];
    if (b.first_sector - a.first_sector < a.sector_count) {
      return Status::corruption(a.what + " (sectors " + std::to_string(a.first_sector) + "-" +
                                std::to_string(a.first_sector + a.sector_count - 1) + ") overlaps " + b.what +
                                " (sectors " + std::to_string(b.first_sector) + "-" +
                                std::to_string(b.first_sector + b.sector_count - 1) + ")");
    }
  }
  return Status::ok();
}

Status read_partition_table(_DISK_INFOMATION* disk) {
  if (disk == nullptr || disk->ops == nullptr) return Status::invalid_argument("no disk");
  try {
    disk->parts.clear();
    disk->table_kind = TableKind::kNone;
    disk->ext_start = disk->ext_length = disk->ext_end = 0;
    disk->mbr.clear();
    disk->disk_signature = 0;
    if (disk->total_sectors == 0) return Status::ok();
    ScopedDiskOpen access(disk, kOpenRead);
    if (!access.ok()) return access.status("reading");
    return read_table_of_open_disk(disk);
  } catch (const std::bad_alloc&) {
    disk->parts.clear();
    return Status::out_of_memory("out of memory reading the partition table of " + disk->path);
  }
}

}  // namespace tav::disk

int tav_table_write(_DISK_INFOMATION* restore_disk) {
  return tav::disk::run_exported([&] { return tav::disk::table_write(restore_disk); });
}

int tav_clear_part_entry(BACKUP_PARTITION_INFO* part, uint8_t* buffer, uint64_t* sector) {
  return tav::disk::run_exported([&] { return tav::disk::clear_part_entry(part, buffer, sector); });
}

int tav_restore_mbr(BACKUP_PARTITION_INFO* part, const uint8_t* saved, uint32_t sectors) {
  return tav::disk::run_exported([&] { return tav::disk::restore_mbr(part, saved, sectors); });
}

int tav_restore_set_partition_bootable(BACKUP_PARTITION_INFO* part) {
  return tav::disk::run_exported([&] { return tav::disk::set_bootable(part); });
}

int tav_shrink_unknow_partition_for_restore(BACKUP_PARTITION_INFO* dest, const BACKUP_PARTITION_INFO* image_part) {
  return tav::disk::run_exported([&] { return tav::disk::shrink_entry(dest, image_part); });
}

int tav_shrink_whole_disk_unknow_partition_for_restore(BACKUP_PARTITION_INFO* part) {
  return tav::disk::run_exported([&]() -> tav::Status {
    if (part == nullptr || part->source == nullptr) {
      return tav::Status::invalid_argument("the layout partition has no source partition");
    }
    if (part->source->sector_count == 0) return tav::Status::invalid_argument("the source partition has no sectors");
    tav::disk::set_part_extent(*part, part->first_sector, part->source->sector_count);
    return tav::Status::ok();
  });
}
