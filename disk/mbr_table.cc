// MBR and extended boot records: reading the primary slots and the extended chain, and building
// the sectors of a planned layout.
#include "disk/mbr_table.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "core/byte_order.h"

namespace tav::disk::mbr {
namespace {

std::string sector_range_text(uint64_t first, uint64_t count) {
  return "sectors " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

std::string hex_byte(uint8_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[v >> 4] + kDigits[v & 15];
}

// Walks the extended chain that starts at `ext_start` and appends its logical partitions.
Status read_chain(_DISK_INFOMATION* disk, uint64_t ext_start, uint64_t ext_count,
                  std::vector<FoundPartition>* logicals) {
  const uint64_t ext_end = ext_start + ext_count;  // exclusive; inside the disk (checked)
  const std::string ext_text = "the extended partition (" + sector_range_text(ext_start, ext_count) + ")";
  std::unordered_set<uint64_t> visited;
  std::vector<NamedRange> ranges;
  std::array<uint8_t, kSectorSize> sector{};
  int32_t number = 5;
  uint64_t ebr = ext_start;
  for (uint32_t link = 0;; ++link) {
    if (link >= kMaxLogicalLinks) {
      return Status::corruption("the chain of extended boot records runs past " + std::to_string(kMaxLogicalLinks) +
                                " links (a runaway chain in " + ext_text + ")");
    }
    if (!visited.insert(ebr).second) {
      return Status::corruption("the chain of extended boot records loops back to sector " + std::to_string(ebr));
    }
    Status st = read_open_disk(disk, ebr, 1, sector.data());
    if (!st) return st;
    if (!has_boot_signature(sector.data())) {
      // An extended partition without logical partitions often has no boot record at all.
      if (link == 0) break;
      return Status::corruption("the extended boot record at sector " + std::to_string(ebr) +
                                " has no boot signature");
    }
    ranges.push_back({ebr, 1, "the extended boot record at sector " + std::to_string(ebr)});

    const Entry logical = decode_entry(sector.data(), 0);
    if (!logical.empty()) {
      const std::string what = "logical partition " + std::to_string(number);
      if (logical.first_sector == 0) {
        return Status::corruption(what + " starts on its own boot record at sector " + std::to_string(ebr));
      }
      const uint64_t first = ebr + logical.first_sector;
      if (first + logical.sector_count > ext_end) {
        return Status::corruption(what + " (" + sector_range_text(first, logical.sector_count) + ") lies outside " +
                                  ext_text);
      }
      FoundPartition p;
      p.first_sector = first;
      p.sector_count = logical.sector_count;
      p.type = logical.type;
      p.boot_flag = logical.boot;
      p.number = number++;
      p.flags = kPartFlagLogical;
      p.table_sector = ebr;
      p.table_index = 0;
      logicals->push_back(p);
      ranges.push_back({first, logical.sector_count, what});
    }

    const Entry next = decode_entry(sector.data(), 1);
    if (next.empty()) break;
    if (!is_extended_type(next.type)) {
      return Status::corruption("the link of the extended boot record at sector " + std::to_string(ebr) +
                                " has type " + hex_byte(next.type) + ", not an extended type");
    }
    const uint64_t next_ebr = ext_start + next.first_sector;
    if (next_ebr >= ext_end) {
      return Status::corruption("the link of the extended boot record at sector " + std::to_string(ebr) +
                                " points to sector " + std::to_string(next_ebr) + ", outside " + ext_text);
    }
    ebr = next_ebr;
  }
  return check_no_overlap(std::move(ranges));
}

void write_signature(uint8_t* sector) {
  sector[kBootSignatureOffset] = 0x55;
  sector[kBootSignatureOffset + 1] = 0xAA;
}

std::string planned_name(const PlannedPartition& p) {
  if (p.number > 0) return "partition " + std::to_string(p.number);
  return "the partition at sector " + std::to_string(p.first_sector);
}

}  // namespace

Geometry usable_geometry(uint32_t heads, uint32_t sectors_per_track) {
  Geometry g;
  if (heads >= 1 && heads <= 255 && sectors_per_track >= 1 && sectors_per_track <= 63) {
    g.heads = heads;
    g.sectors_per_track = sectors_per_track;
  }
  return g;
}

bool is_extended_type(uint8_t type) {
  return type == kTypeExtendedChs || type == kTypeExtendedLba || type == kTypeExtendedLinux;
}

bool has_boot_signature(const uint8_t* sector) {
  return sector[kBootSignatureOffset] == 0x55 && sector[kBootSignatureOffset + 1] == 0xAA;
}

Entry decode_entry(const uint8_t* sector, unsigned index) {
  const uint8_t* e = sector + kEntriesOffset + index * kEntrySize;
  Entry out;
  out.boot = e[0];
  out.type = e[4];
  out.first_sector = get_le32(e + 8);
  out.sector_count = get_le32(e + 12);
  return out;
}

void clear_entry(uint8_t* sector, unsigned index) {
  std::memset(sector + kEntriesOffset + index * kEntrySize, 0, kEntrySize);
}

void encode_entry(uint8_t* sector, unsigned index, const Entry& entry, uint64_t chs_base, Geometry geometry) {
  uint8_t* e = sector + kEntriesOffset + index * kEntrySize;
  if (entry.empty()) {
    clear_entry(sector, index);
    return;
  }
  const uint64_t first = chs_base + entry.first_sector;
  const uint64_t last = first + entry.sector_count - 1;
  const auto chs_first = chs_for_sector(first, geometry);
  const auto chs_last = chs_for_sector(last, geometry);
  e[0] = entry.boot;
  std::copy(chs_first.begin(), chs_first.end(), e + 1);
  e[4] = entry.type;
  std::copy(chs_last.begin(), chs_last.end(), e + 5);
  put_le32(e + 8, entry.first_sector);
  put_le32(e + 12, entry.sector_count);
}

std::array<uint8_t, 3> chs_for_sector(uint64_t sector, Geometry geometry) {
  const Geometry g = usable_geometry(geometry.heads, geometry.sectors_per_track);
  const uint64_t per_cylinder = uint64_t(g.heads) * g.sectors_per_track;
  const uint64_t cylinder = sector / per_cylinder;
  if (cylinder > 1023) return {0xFE, 0xFF, 0xFF};
  const uint32_t head = uint32_t((sector / g.sectors_per_track) % g.heads);
  const uint32_t sec = uint32_t(sector % g.sectors_per_track) + 1;
  return {uint8_t(head), uint8_t(sec | ((cylinder >> 2) & 0xC0)), uint8_t(cylinder & 0xFF)};
}

bool looks_like_partition_table(const uint8_t* sector0) {
  for (unsigned i = 0; i < kEntryCount; ++i) {
    const uint8_t boot = sector0[kEntriesOffset + i * kEntrySize];
    if (boot != 0 && boot != kBootActive) return false;
  }
  // A volume formatted over the whole disk carries 0x55AA too; its boot sector names its file
  // system at fixed places after the jump instruction. Some boot loaders keep such a parameter
  // block in the MBR, so a sector that also has partition entries is still a table.
  for (unsigned i = 0; i < kEntryCount; ++i) {
    if (!decode_entry(sector0, i).empty()) return true;
  }
  const bool jump = sector0[0] == 0xEB || sector0[0] == 0xE9;
  const bool volume = std::memcmp(sector0 + 3, "NTFS    ", 8) == 0 || std::memcmp(sector0 + 3, "EXFAT   ", 8) == 0 ||
                      (jump && (std::memcmp(sector0 + 54, "FAT1", 4) == 0 ||
                                std::memcmp(sector0 + 82, "FAT32   ", 8) == 0));
  return !volume;
}

bool has_protective_entry(const uint8_t* sector0) {
  for (unsigned i = 0; i < kEntryCount; ++i) {
    if (sector0[kEntriesOffset + i * kEntrySize + 4] == kTypeGptProtective) return true;
  }
  return false;
}

Status read_table(_DISK_INFOMATION* disk, const uint8_t* sector0, FoundTable* out) {
  out->kind = TableKind::kMbr;
  out->parts.clear();
  const uint64_t total = disk->total_sectors;
  std::vector<NamedRange> ranges;
  size_t extended_at = SIZE_MAX;
  for (unsigned i = 0; i < kEntryCount; ++i) {
    const Entry e = decode_entry(sector0, i);
    if (e.empty()) continue;
    const std::string what = "partition " + std::to_string(i + 1);
    if (e.first_sector == 0) return Status::corruption(what + " starts at sector 0, over the partition table");
    if (uint64_t(e.first_sector) + e.sector_count > total) {
      return Status::corruption(what + " (" + sector_range_text(e.first_sector, e.sector_count) +
                                ") lies beyond the end of the disk (" + std::to_string(total) + " sectors)");
    }
    FoundPartition p;
    p.first_sector = e.first_sector;
    p.sector_count = e.sector_count;
    p.type = e.type;
    p.boot_flag = e.boot;
    p.number = int32_t(i + 1);
    p.table_sector = 0;
    p.table_index = i;
    if (is_extended_type(e.type)) {
      if (extended_at != SIZE_MAX) {
        return Status::corruption("the MBR holds two extended partitions (" +
                                  std::to_string(out->parts[extended_at].number) + " and " + std::to_string(i + 1) + ")");
      }
      p.flags = kPartFlagExtended;
      extended_at = out->parts.size();
      out->ext_start = p.first_sector;
      out->ext_length = p.sector_count;
    }
    out->parts.push_back(p);
    ranges.push_back({p.first_sector, p.sector_count, what});
  }
  Status st = check_no_overlap(std::move(ranges));
  if (!st) return st;
  if (extended_at != SIZE_MAX) {
    std::vector<FoundPartition> logicals;
    st = read_chain(disk, out->ext_start, out->ext_length, &logicals);
    if (!st) return st;
    out->parts.insert(out->parts.begin() + ptrdiff_t(extended_at + 1), logicals.begin(), logicals.end());
  }
  return Status::ok();
}

Status plan_layout(const std::vector<PlannedPartition>& layout, uint64_t disk_sectors, Geometry geometry,
                   uint32_t track_sectors, const uint8_t* current_sector0, std::vector<SectorImage>* out) {
  out->clear();
  std::vector<const PlannedPartition*> primaries;
  std::vector<const PlannedPartition*> logicals;
  const PlannedPartition* ext = nullptr;
  std::vector<NamedRange> primary_ranges;
  for (const PlannedPartition& p : layout) {
    if (p.sector_count == 0 || (p.type == kTypeEmpty && !p.extended)) continue;  // not a used slot
    const std::string what = planned_name(p);
    if (p.first_sector == 0) return Status::invalid_argument(what + " starts at sector 0, over the partition table");
    if (p.first_sector > disk_sectors || p.sector_count > disk_sectors - p.first_sector) {
      return Status::invalid_argument(what + " (" + sector_range_text(p.first_sector, p.sector_count) +
                                      ") does not fit the disk (" + std::to_string(disk_sectors) + " sectors)");
    }
    if (p.first_sector > UINT32_MAX || p.sector_count > UINT32_MAX) {
      return Status::not_supported(what + " (" + sector_range_text(p.first_sector, p.sector_count) +
                                   ") lies beyond what an MBR can describe (32-bit sector numbers)");
    }
    if (p.logical) {
      logicals.push_back(&p);
      continue;
    }
    if (p.extended) {
      if (ext != nullptr) return Status::invalid_argument("the layout has two extended partitions");
      ext = &p;
    }
    primaries.push_back(&p);
    primary_ranges.push_back({p.first_sector, p.sector_count, what});
  }
  if (primaries.size() > kEntryCount) {
    return Status::invalid_argument("the layout has " + std::to_string(primaries.size()) +
                                    " primary entries; an MBR holds four");
  }
  if (!logicals.empty() && ext == nullptr) {
    return Status::invalid_argument("the layout has logical partitions but no extended partition");
  }
  Status st = check_no_overlap(std::move(primary_ranges));
  if (!st) return Status::invalid_argument("the layout overlaps: " + st.message());

  // Extended chain.
  if (ext != nullptr) {
    std::stable_sort(logicals.begin(), logicals.end(),
                     [](const PlannedPartition* a, const PlannedPartition* b) { return a->first_sector < b->first_sector; });
    const uint64_t ext_first = ext->first_sector;
    const uint64_t ext_last = ext->first_sector + ext->sector_count - 1;
    std::vector<uint64_t> ebrs;
    uint64_t prev_last = 0;
    for (size_t i = 0; i < logicals.size(); ++i) {
      const PlannedPartition& l = *logicals[i];
      const uint64_t last = l.first_sector + l.sector_count - 1;
      const std::string what = planned_name(l);
      if (l.first_sector <= ext_first || last > ext_last) {
        return Status::invalid_argument(what + " (" + sector_range_text(l.first_sector, l.sector_count) +
                                        ") does not lie inside the extended partition (" +
                                        sector_range_text(ext_first, ext->sector_count) + ")");
      }
      uint64_t ebr;
      if (i == 0) {
        ebr = ext_first;  // readers start the chain at the extended partition's first sector
      } else {
        if (l.first_sector <= prev_last + 1) {
          return Status::invalid_argument(what + " leaves no room for its extended boot record after " +
                                          planned_name(*logicals[i - 1]));
        }
        ebr = (l.first_sector > track_sectors && l.first_sector - track_sectors > prev_last)
                  ? l.first_sector - track_sectors
                  : prev_last + 1;
      }
      ebrs.push_back(ebr);
      prev_last = last;
    }
    if (logicals.empty()) {
      // An empty boot record, so whatever the sector held before is not read as a chain.
      SectorImage empty;
      empty.sector = ext_first;
      write_signature(empty.bytes.data());
      out->push_back(empty);
    }
    for (size_t i = 0; i < logicals.size(); ++i) {
      const PlannedPartition& l = *logicals[i];
      SectorImage img;
      img.sector = ebrs[i];
      Entry e;
      e.boot = l.boot ? kBootActive : 0;
      e.type = l.type;
      e.first_sector = uint32_t(l.first_sector - ebrs[i]);
      e.sector_count = uint32_t(l.sector_count);
      encode_entry(img.bytes.data(), 0, e, ebrs[i], geometry);
      if (i + 1 < logicals.size()) {
        const PlannedPartition& n = *logicals[i + 1];
        Entry link;
        link.type = kTypeExtendedChs;
        link.first_sector = uint32_t(ebrs[i + 1] - ext_first);
        link.sector_count = uint32_t(n.first_sector + n.sector_count - ebrs[i + 1]);
        encode_entry(img.bytes.data(), 1, link, ext_first, geometry);
      }
      write_signature(img.bytes.data());
      out->push_back(img);
    }
  }

  // Sector 0: boot code kept, primary entries in their slots.
  SectorImage mbr;
  mbr.sector = 0;
  if (current_sector0 != nullptr) std::memcpy(mbr.bytes.data(), current_sector0, kBootCodeBytes);
  std::array<const PlannedPartition*, kEntryCount> slots{};
  std::vector<const PlannedPartition*> unplaced;
  for (const PlannedPartition* p : primaries) {
    if (p->number >= 1 && p->number <= int32_t(kEntryCount) && slots[size_t(p->number - 1)] == nullptr) {
      slots[size_t(p->number - 1)] = p;
    } else {
      unplaced.push_back(p);
    }
  }
  for (const PlannedPartition* p : unplaced) {
    auto free_slot = std::find(slots.begin(), slots.end(), nullptr);
    *free_slot = p;  // four slots at most were counted above
  }
  for (unsigned i = 0; i < kEntryCount; ++i) {
    const PlannedPartition* p = slots[i];
    if (p == nullptr) continue;
    Entry e;
    e.boot = p->boot ? kBootActive : 0;
    e.type = p->type;
    if (p->extended && !is_extended_type(e.type)) e.type = kTypeExtendedLba;
    e.first_sector = uint32_t(p->first_sector);
    e.sector_count = uint32_t(p->sector_count);
    encode_entry(mbr.bytes.data(), i, e, 0, geometry);
  }
  write_signature(mbr.bytes.data());
  out->push_back(mbr);
  return Status::ok();
}

}  // namespace tav::disk::mbr
