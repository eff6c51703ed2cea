// FAT volume reader: boot sector validation, FAT entries, chains and directories. Layout notes
// are in fat_reader.h.
#include "disk/fat_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "core/text_convert.h"
#include "disk/fat_boot_sector.h"
#include "disk/ntfs_boot_sector.h"

namespace tav::disk::fat {
namespace {

// FAT32 reads its table through a window of this many bytes (a multiple of 512 and of 4, so an
// entry never straddles two windows). FAT12 and FAT16 tables, at most 128 KiB, are read whole.
constexpr uint64_t kFatWindowBytes = 128 * 1024;

// Largest read handed to the partition in one call.
constexpr size_t kMaxReadBytes = 1024 * 1024;

// Long-name entries: attribute value, most parts of one name, UTF-16 units per part.
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint32_t kMaxLongNameParts = 20;
constexpr uint32_t kLongNameUnitsPerPart = 13;

enum class EntryClass { kFree, kBad, kEnd, kNext, kInvalid };

uint32_t bad_mark(FatKind kind) {
  switch (kind) {
    case FatKind::kFat12: return 0xFF7;
    case FatKind::kFat16: return 0xFFF7;
    case FatKind::kFat32: break;
  }
  return 0x0FFFFFF7;
}

EntryClass classify(const Geometry& geo, uint32_t value) {
  const uint32_t bad = bad_mark(geo.kind);
  if (value == 0) return EntryClass::kFree;
  if (value == bad) return EntryClass::kBad;
  if (value > bad) return EntryClass::kEnd;  // 0x?FF8 .. 0x?FFF
  return geo.valid_cluster(value) ? EntryClass::kNext : EntryClass::kInvalid;
}

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Eleven padded OEM bytes, trailing spaces cut, non-ASCII shown as '?'.
std::string label_text(const uint8_t* bytes) {
  std::string s;
  for (int i = 0; i < 11; ++i) {
    const uint8_t c = bytes[i];
    s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s == "NO NAME") s.clear();
  return s;
}

uint8_t short_name_checksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) ? 0x80 : 0) + (sum >> 1) + name11[i]);
  return sum;
}

std::string short_name_text(const uint8_t* name11) {
  std::string base(reinterpret_cast<const char*>(name11), 8);
  std::string ext(reinterpret_cast<const char*>(name11 + 8), 3);
  if (!base.empty() && uint8_t(base[0]) == 0x05) base[0] = char(0xE5);  // stored escape of 0xE5
  while (!base.empty() && base.back() == ' ') base.pop_back();
  while (!ext.empty() && ext.back() == ' ') ext.pop_back();
  return ext.empty() ? base : base + "." + ext;
}

std::u16string folded(std::u16string units) {
  for (char16_t& u : units) u = fold_name_unit(u);
  return units;
}

// OEM bytes of a short name as UTF-16 units (only their ASCII part can match a query).
std::u16string short_name_units(const std::string& name) {
  std::u16string units;
  for (char c : name) units += char16_t(uint8_t(c));
  return units;
}

// Decodes the raw bytes of a directory into its file and directory entries. Long names are
// taken only when their parts come in order and their checksum matches the short entry.
void parse_directory(const std::vector<uint8_t>& raw, bool fat32, std::vector<DirEntry>* entries) {
  std::u16string parts;
  uint32_t next_part = 0;  // the part number the next long-name entry must carry; 0: none pending
  uint8_t checksum = 0;
  bool pending = false;
  for (size_t off = 0; off + kDirEntryBytes <= raw.size(); off += kDirEntryBytes) {
    const uint8_t* e = raw.data() + off;
    if (e[0] == 0x00) break;  // end of the directory
    if (e[0] == 0xE5) {       // deleted
      pending = false;
      continue;
    }
    const uint8_t attributes = e[11];
    if ((attributes & 0x3F) == kAttrLongName) {
      const uint32_t number = e[0] & 0x1F;
      if ((e[0] & 0x40) != 0) {
        pending = number >= 1 && number <= kMaxLongNameParts;
        if (!pending) continue;
        parts.assign(number * kLongNameUnitsPerPart, char16_t(0xFFFF));
        checksum = e[13];
        next_part = number;
      }
      if (!pending || number != next_part || e[13] != checksum) {
        pending = false;
        continue;
      }
      char16_t* dst = parts.data() + (number - 1) * kLongNameUnitsPerPart;
      static constexpr int kUnitOffsets[kLongNameUnitsPerPart] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
      for (uint32_t i = 0; i < kLongNameUnitsPerPart; ++i) dst[i] = char16_t(get_le16(e + kUnitOffsets[i]));
      --next_part;
      continue;
    }
    const bool long_name_ready = pending && next_part == 0 && checksum == short_name_checksum(e);
    pending = false;
    if ((attributes & kAttrVolumeLabel) != 0) continue;
    if (e[0] == '.') continue;  // "." and ".."
    DirEntry entry;
    entry.short_name = short_name_text(e);
    entry.attributes = attributes;
    entry.first_cluster = get_le16(e + 26) | (fat32 ? uint32_t(get_le16(e + 20)) << 16 : 0u);
    entry.size_bytes = get_le32(e + 28);
    if (long_name_ready) {
      const size_t end = parts.find(char16_t(0));
      entry.long_name = utf16_to_utf8(std::u16string_view(parts).substr(0, end));
    }
    entries->push_back(std::move(entry));
  }
}

Status read_error(uint64_t byte_offset) {
  return Status::io_error("cannot read the FAT volume at byte " + std::to_string(byte_offset) + ": " +
                          std::strerror(errno != 0 ? errno : EIO));
}

}  // namespace

const char* kind_name(FatKind kind) {
  switch (kind) {
    case FatKind::kFat12: return "FAT12";
    case FatKind::kFat16: return "FAT16";
    case FatKind::kFat32: break;
  }
  return "FAT32";
}

uint32_t bits_per_entry(FatKind kind) {
  switch (kind) {
    case FatKind::kFat12: return 12;
    case FatKind::kFat16: return 16;
    case FatKind::kFat32: break;
  }
  return 32;
}

char16_t fold_name_unit(char16_t u) {
  if (u >= u'a' && u <= u'z') return char16_t(u - 0x20);
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return char16_t(u - 0x20);  // Latin-1
  if (u == 0xFF) return 0x178;
  if (u >= 0x100 && u <= 0x137) return char16_t(u & ~1u);               // Latin Extended-A pairs
  if (u >= 0x139 && u <= 0x148) return char16_t((u & 1) ? u : u - 1);
  if (u >= 0x14A && u <= 0x177) return char16_t(u & ~1u);
  if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return char16_t(u - 0x20);  // Greek
  if (u >= 0x430 && u <= 0x44F) return char16_t(u - 0x20);                 // Cyrillic
  if (u >= 0x450 && u <= 0x45F) return char16_t(u - 0x50);
  return u;
}

Status decode_boot_sector(std::span<const uint8_t> sector, Geometry* out) {
  if (sector.size() < kSectorSize) return Status::corruption("boot sector shorter than 512 bytes");
  using namespace boot_layout;
  const uint8_t* b = sector.data();
  if (!has_boot_signature(b)) return Status::corruption("no boot sector signature");
  if (b[0] != 0xEB && b[0] != 0xE9) return Status::corruption("no jump instruction");
  if (std::memcmp(b + kOemName, ntfs::kOemId, kOemNameBytes) == 0 ||
      std::memcmp(b + kOemName, "EXFAT   ", kOemNameBytes) == 0) {
    return Status::corruption("boot sector of another file system");
  }
  Geometry geo;
  geo.bytes_per_sector = get_le16(b + kBytesPerSector);
  if (geo.bytes_per_sector != 512 && geo.bytes_per_sector != 1024 && geo.bytes_per_sector != 2048 &&
      geo.bytes_per_sector != 4096) {
    return Status::corruption("bad bytes per sector " + std::to_string(geo.bytes_per_sector));
  }
  geo.sectors_per_cluster = b[kSectorsPerCluster];
  if (!is_power_of_two(geo.sectors_per_cluster)) {
    return Status::corruption("bad sectors per cluster " + std::to_string(geo.sectors_per_cluster));
  }
  geo.reserved_sectors = get_le16(b + kReservedSectors);
  if (geo.reserved_sectors == 0) return Status::corruption("no reserved sectors");
  geo.fat_count = b[kFatCount];
  if (geo.fat_count < 1 || geo.fat_count > 2) return Status::corruption("bad number of FATs");
  geo.root_entries = get_le16(b + kRootEntries);
  const uint8_t media = b[kMedia];
  if (media != 0xF0 && media < 0xF8) return Status::corruption("bad media descriptor");
  const uint32_t total16 = get_le16(b + kTotalSectors16);
  geo.total_sectors = total16 != 0 ? total16 : get_le32(b + kTotalSectors32);
  if (geo.total_sectors == 0) return Status::corruption("no sector count");
  const uint32_t fat16_sectors = get_le16(b + kFatSize16);
  geo.fat_sectors = fat16_sectors != 0 ? fat16_sectors : get_le32(b + kFat32FatSize);
  if (geo.fat_sectors == 0) return Status::corruption("no FAT size");

  geo.root_dir_sectors = (geo.root_entries * kDirEntryBytes + geo.bytes_per_sector - 1) / geo.bytes_per_sector;
  geo.first_data_sector = geo.root_dir_first_sector() + geo.root_dir_sectors;
  if (geo.first_data_sector >= geo.total_sectors) return Status::corruption("no data area inside the volume");
  const uint64_t clusters = (geo.total_sectors - geo.first_data_sector) / geo.sectors_per_cluster;
  // Cluster numbers run up to 0x0FFFFFF6; 0x0FFFFFF7 is the bad-cluster mark.
  if (clusters == 0 || clusters > 0x0FFFFFF5) return Status::corruption("bad number of clusters");
  geo.cluster_count = uint32_t(clusters);

  const bool fat32_layout = fat16_sectors == 0 && geo.root_entries == 0;
  if (fat32_layout) {
    geo.kind = FatKind::kFat32;
  } else if (fat16_sectors != 0 && geo.root_entries != 0 && clusters < kMinFat32Clusters) {
    geo.kind = clusters < kMinFat16Clusters ? FatKind::kFat12 : FatKind::kFat16;
  } else {
    return Status::corruption("FAT12/16 layout with a FAT32 number of clusters, or the reverse");
  }
  // Every data cluster needs its entry, and so do the two reserved entries before them.
  const uint64_t needed_bytes = ((clusters + 2) * bits_per_entry(geo.kind) + 7) / 8;
  if (needed_bytes > uint64_t{geo.fat_sectors} * geo.bytes_per_sector) {
    return Status::corruption("FAT too small for the number of clusters");
  }
  size_t label_offset = kFat16Label;
  uint8_t extended_signature = b[kFat16ExtSignature];
  if (geo.kind == FatKind::kFat32) {
    if (get_le16(b + kFat32Version) != 0) return Status::corruption("unknown FAT32 version");
    geo.root_cluster = get_le32(b + kFat32RootCluster);
    if (!geo.valid_cluster(geo.root_cluster)) return Status::corruption("root directory cluster out of range");
    label_offset = kFat32Label;
    extended_signature = b[kFat32ExtSignature];
  }
  if (extended_signature == kExtendedBootSignature) geo.boot_label = label_text(b + label_offset);
  *out = std::move(geo);
  return Status::ok();
}

// ---- Volume ----

Status Volume::open(BACKUP_PARTITION_INFO* part, std::unique_ptr<Volume>* out) {
  if (part == nullptr || part->ops == nullptr || part->ops->read_sectors == nullptr) {
    return Status::invalid_argument("partition without read operations");
  }
  std::vector<uint8_t> sector(kSectorSize);
  errno = 0;
  if (part->ops->read_sectors(part, 0, 1, sector.data()) != 1) return read_error(0);
  Geometry geo;
  Status st = decode_boot_sector(sector, &geo);
  if (!st) return st;
  if (geo.volume_bytes() > part->sector_count * kSectorSize) {
    return Status::corruption("the volume (" + std::to_string(geo.volume_sectors512()) +
                              " sectors) is larger than its partition (" + std::to_string(part->sector_count) +
                              " sectors)");
  }
  out->reset(new Volume(part, geo));
  return Status::ok();
}

Status Volume::read_bytes(uint64_t byte_offset, size_t bytes, uint8_t* out) {
  // Callers keep offsets and lengths in whole sectors of the volume, hence of 512 bytes.
  if (byte_offset % kSectorSize != 0 || bytes % kSectorSize != 0) {
    return Status::invalid_argument("unaligned read");
  }
  while (bytes > 0) {
    const size_t chunk = std::min(bytes, kMaxReadBytes);
    const uint32_t count = uint32_t(chunk / kSectorSize);
    errno = 0;
    if (part_->ops->read_sectors(part_, byte_offset / kSectorSize, count, out) != int64_t{count}) {
      return read_error(byte_offset);
    }
    byte_offset += chunk;
    out += chunk;
    bytes -= chunk;
  }
  return Status::ok();
}

Status Volume::load_fat_window(uint64_t byte_offset) {
  // Bytes of the first FAT that hold entries, rounded up to whole sectors; decode_boot_sector
  // made sure they lie inside the FAT.
  const uint64_t entry_bytes = ((uint64_t{geo_.cluster_count} + 2) * bits_per_entry(geo_.kind) + 7) / 8;
  const uint64_t used_bytes = (entry_bytes + kSectorSize - 1) / kSectorSize * kSectorSize;
  uint64_t start = 0;
  uint64_t length = used_bytes;
  if (geo_.kind == FatKind::kFat32) {
    start = byte_offset / kFatWindowBytes * kFatWindowBytes;
    length = std::min(kFatWindowBytes, used_bytes - start);
  }
  fat_window_valid_ = false;
  fat_window_.resize(length);
  const uint64_t fat_start = uint64_t{geo_.reserved_sectors} * geo_.bytes_per_sector;
  Status st = read_bytes(fat_start + start, length, fat_window_.data());
  if (!st) return st;
  fat_window_offset_ = start;
  fat_window_valid_ = true;
  return Status::ok();
}

Status Volume::fat_entry(uint32_t cluster, uint32_t* value) {
  if (!geo_.valid_cluster(cluster)) return Status::invalid_argument("cluster out of range");
  uint64_t offset = 0;
  uint32_t width = 0;
  switch (geo_.kind) {
    case FatKind::kFat12: offset = cluster + cluster / 2; width = 2; break;
    case FatKind::kFat16: offset = uint64_t{cluster} * 2; width = 2; break;
    case FatKind::kFat32: offset = uint64_t{cluster} * 4; width = 4; break;
  }
  if (!fat_window_valid_ || offset < fat_window_offset_ || offset + width > fat_window_offset_ + fat_window_.size()) {
    Status st = load_fat_window(offset);
    if (!st) return st;
  }
  const uint8_t* p = fat_window_.data() + (offset - fat_window_offset_);
  switch (geo_.kind) {
    case FatKind::kFat12: {
      const uint32_t pair = get_le16(p);
      *value = (cluster & 1) ? pair >> 4 : pair & 0xFFF;
      break;
    }
    case FatKind::kFat16: *value = get_le16(p); break;
    case FatKind::kFat32: *value = get_le32(p) & 0x0FFFFFFF; break;
  }
  return Status::ok();
}

Status Volume::scan_used_clusters(const std::function<Status(const ClusterRun&)>& run, uint64_t* used_clusters,
                                  uint32_t* last_used_cluster) {
  uint64_t used = 0;
  uint32_t last = 0;
  ClusterRun current;
  const uint64_t end = uint64_t{geo_.cluster_count} + 2;
  for (uint64_t c = 2; c < end; ++c) {
    const uint32_t cluster = uint32_t(c);
    uint32_t value = 0;
    Status st = fat_entry(cluster, &value);
    if (!st) return st;
    const EntryClass cls = classify(geo_, value);
    if (cls == EntryClass::kInvalid) {
      return Status::corruption("FAT entry of cluster " + std::to_string(cluster) + " points outside the volume (" +
                                std::to_string(value) + ")");
    }
    if (cls == EntryClass::kNext || cls == EntryClass::kEnd) {
      ++used;
      last = cluster;
      if (current.count > 0 && current.first_cluster + current.count == cluster) {
        ++current.count;
        continue;
      }
      if (current.count > 0) {
        st = run(current);
        if (!st) return st;
      }
      current = ClusterRun{cluster, 1};
    }
  }
  if (current.count > 0) {
    Status st = run(current);
    if (!st) return st;
  }
  *used_clusters = used;
  *last_used_cluster = last;
  return Status::ok();
}

namespace {

void add_cluster(std::vector<ClusterRun>* runs, uint32_t cluster) {
  if (!runs->empty() && runs->back().first_cluster + runs->back().count == cluster) {
    ++runs->back().count;
  } else {
    runs->push_back(ClusterRun{cluster, 1});
  }
}

}  // namespace

Status Volume::walk_chain(uint32_t first_cluster, uint64_t keep_clusters, uint64_t max_clusters,
                          std::vector<ClusterRun>* runs, uint64_t* length) {
  runs->clear();
  *length = 0;
  if (!geo_.valid_cluster(first_cluster)) {
    return Status::corruption("chain starts outside the volume (cluster " + std::to_string(first_cluster) + ")");
  }
  // A chain without a loop has at most cluster_count clusters, so the length limit alone ends
  // every walk. Loops are found early with Brent's method: `tortoise` jumps to the current
  // cluster after 1, 2, 4, ... steps, and the chain has a loop exactly when a later step comes
  // back to it.
  uint64_t steps = 0;
  uint32_t cluster = first_cluster;
  uint32_t tortoise = first_cluster;
  uint64_t power = 1;
  uint64_t since_jump = 0;
  for (;;) {
    if (steps < keep_clusters) add_cluster(runs, cluster);
    ++steps;
    uint32_t value = 0;
    Status st = fat_entry(cluster, &value);
    if (!st) return st;
    const EntryClass cls = classify(geo_, value);
    if (cls == EntryClass::kEnd) break;
    if (cls != EntryClass::kNext) {
      return Status::corruption("chain broken at cluster " + std::to_string(cluster) + " (entry " +
                                std::to_string(value) + ")");
    }
    if (value == tortoise) {
      return Status::corruption("loop in the chain starting at cluster " + std::to_string(first_cluster));
    }
    if (steps >= max_clusters) {
      return Status::corruption("chain starting at cluster " + std::to_string(first_cluster) + " is longer than " +
                                std::to_string(max_clusters) + " clusters");
    }
    if (++since_jump == power) {
      tortoise = value;
      power *= 2;
      since_jump = 0;
    }
    cluster = value;
  }
  *length = steps;
  return Status::ok();
}

Status Volume::chain_runs(uint32_t first_cluster, uint64_t wanted_clusters, std::vector<ClusterRun>* runs) {
  uint64_t length = 0;
  Status st = walk_chain(first_cluster, wanted_clusters, geo_.cluster_count, runs, &length);
  if (!st) return st;
  if (length < wanted_clusters) {
    return Status::corruption("chain starting at cluster " + std::to_string(first_cluster) + " has " +
                              std::to_string(length) + " clusters, fewer than its size needs");
  }
  return Status::ok();
}

Status Volume::read_root_region(std::vector<uint8_t>* raw) {
  raw->resize(size_t{geo_.root_dir_sectors} * geo_.bytes_per_sector);
  return read_bytes(geo_.root_dir_first_sector() * geo_.bytes_per_sector, raw->size(), raw->data());
}

Status Volume::read_chain_bytes(uint32_t first_cluster, uint64_t max_bytes, std::vector<uint8_t>* raw) {
  const uint64_t max_clusters = std::max<uint64_t>(1, max_bytes / geo_.cluster_bytes());
  std::vector<ClusterRun> runs;
  uint64_t clusters = 0;
  Status st = walk_chain(first_cluster, max_clusters, max_clusters, &runs, &clusters);
  if (!st) return st;
  raw->resize(clusters * geo_.cluster_bytes());
  uint8_t* out = raw->data();
  for (const ClusterRun& r : runs) {
    const uint64_t bytes = uint64_t{r.count} * geo_.cluster_bytes();
    st = read_bytes(geo_.cluster_sector512(r.first_cluster) * kSectorSize, bytes, out);
    if (!st) return st;
    out += bytes;
  }
  return Status::ok();
}

Status Volume::read_directory(uint32_t first_cluster, std::vector<DirEntry>* entries) {
  entries->clear();
  std::vector<uint8_t> raw;
  Status st;
  if (first_cluster == 0 && geo_.kind != FatKind::kFat32) {
    st = read_root_region(&raw);
  } else {
    st = read_chain_bytes(first_cluster == 0 ? geo_.root_cluster : first_cluster,
                          uint64_t{kMaxDirEntries} * kDirEntryBytes, &raw);
  }
  if (!st) return st;
  parse_directory(raw, geo_.kind == FatKind::kFat32, entries);
  return Status::ok();
}

Status Volume::find(std::string_view path, DirEntry* entry, bool* found) {
  *found = false;
  DirEntry current;
  current.attributes = 0x10;  // the root directory
  bool at_root = true;
  std::vector<DirEntry> listing;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty()) continue;
    if (!current.is_directory()) return Status::ok();
    if (!at_root && current.first_cluster == 0) {
      return Status::corruption("directory \"" + current.short_name + "\" has no clusters");
    }
    Status st = read_directory(current.first_cluster, &listing);
    if (!st) return st;
    const std::u16string wanted = folded(utf8_to_utf16(component));
    auto match = std::find_if(listing.begin(), listing.end(), [&](const DirEntry& e) {
      return (!e.long_name.empty() && folded(utf8_to_utf16(e.long_name)) == wanted) ||
             folded(short_name_units(e.short_name)) == wanted;
    });
    if (match == listing.end()) return Status::ok();
    current = std::move(*match);
    at_root = false;
  }
  *entry = std::move(current);
  *found = true;
  return Status::ok();
}

std::string Volume::label() {
  std::vector<uint8_t> raw;
  Status st = geo_.kind == FatKind::kFat32
                  ? read_chain_bytes(geo_.root_cluster, uint64_t{kMaxDirEntries} * kDirEntryBytes, &raw)
                  : read_root_region(&raw);
  if (st) {
    for (size_t off = 0; off + kDirEntryBytes <= raw.size(); off += kDirEntryBytes) {
      const uint8_t* e = raw.data() + off;
      if (e[0] == 0x00) break;
      if (e[0] == 0xE5 || (e[11] & 0x3F) == kAttrLongName || (e[11] & kAttrVolumeLabel) == 0) continue;
      return label_text(e);
    }
  }
  return geo_.boot_label;
}

}  // namespace tav::disk::fat
