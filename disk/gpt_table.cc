// GUID partition table reader and the GPT type GUID to MBR type mapping.
#include "disk/gpt_table.h"

#include <cstring>
#include <span>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "core/text_convert.h"
#include "core/trace.h"
#include "disk/fat_boot_sector.h"
#include "disk/part_table.h"

namespace tav::disk::gpt {
namespace {

namespace hl = header_layout;
namespace el = entry_layout;

struct GuidType {
  const char* guid;
  uint8_t type;
};

// Type GUIDs with an MBR counterpart. Basic data is handled apart (FAT32 or not).
constexpr GuidType kGuidTypes[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 0xEF},  // EFI system
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", 0x83},  // Linux file system
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", 0x83},  // Linux root (x86-64)
    {"44479540-F297-41B2-9AF7-D131D5F0458A", 0x83},  // Linux root (x86)
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", 0x83},  // Linux home
    {"3B8F8425-20E0-4F3B-907F-1A25A76F98E8", 0x83},  // Linux server data
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", 0xEA},  // Linux extended boot
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", 0x82},  // Linux swap
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", 0x8E},  // Linux LVM
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", 0xFD},  // Linux RAID
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", 0x27},  // Windows recovery environment
};
constexpr const char* kBasicDataGuid = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

uint32_t crc32_of(const uint8_t* data, size_t bytes) { return libtavpub_crc32_calc(data, bytes); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::string hex32(uint32_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += kDigits[(v >> shift) & 15];
  return s;
}

std::string range_text(uint64_t first, uint64_t last) {
  return "sectors " + std::to_string(first) + "-" + std::to_string(last);
}

bool is_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// A FAT32 boot sector: its file-system type text and the boot signature.
bool holds_fat32(_DISK_INFOMATION* disk, uint64_t first_sector) {
  std::array<uint8_t, kSectorSize> sector{};
  if (!read_open_disk(disk, first_sector, 1, sector.data())) return false;
  return std::memcmp(sector.data() + fat::boot_layout::kFat32FsType, "FAT32   ", 8) == 0 &&
         fat::has_boot_signature(sector.data());
}

// One copy of the table: its header at `lba` and its entry array, both verified.
Status read_copy(_DISK_INFOMATION* disk, uint64_t lba, Header* header, std::vector<uint8_t>* entries) {
  if (lba >= disk->total_sectors) return Status::corruption("the disk is too small to hold it");
  std::array<uint8_t, kSectorSize> sector{};
  Status st = read_open_disk(disk, lba, 1, sector.data());
  if (!st) return st;
  st = decode_header(sector.data(), lba, disk->total_sectors, header);
  if (!st) return st;
  const size_t bytes = size_t(header->entry_count) * header->entry_size;
  entries->assign(size_t(header->entry_sectors()) * kSectorSize, 0);
  if (header->entry_count > 0) {
    st = read_open_disk(disk, header->entries_lba, header->entry_sectors(), entries->data());
    if (!st) return st;
  }
  const uint32_t crc = crc32_of(entries->data(), bytes);
  if (crc != header->entries_crc) {
    return Status::corruption("the entry array CRC does not match (stored " + hex32(header->entries_crc) + ", computed " +
                              hex32(crc) + ")");
  }
  return Status::ok();
}

}  // namespace

std::array<uint8_t, 16> guid_from_text(const char* text) {
  // Groups of 8, 4, 4, 4 and 12 hex digits; the first three are stored little-endian.
  std::array<uint8_t, 16> digits_order{};
  size_t n = 0;
  for (const char* p = text; *p != 0 && n < 32; ++p) {
    if (*p == '-') continue;
    const int v = hex_value(*p);
    if (n % 2 == 0) {
      digits_order[n / 2] = uint8_t(v << 4);
    } else {
      digits_order[n / 2] |= uint8_t(v);
    }
    ++n;
  }
  std::array<uint8_t, 16> out{};
  static constexpr uint8_t kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (size_t i = 0; i < 16; ++i) out[i] = digits_order[kOrder[i]];
  return out;
}

Status decode_header(const uint8_t* sector, uint64_t lba, uint64_t disk_sectors, Header* out) {
  if (std::memcmp(sector + hl::kSignature, kSignature, 8) != 0) return Status::corruption("no GPT signature");
  const uint32_t header_size = get_le32(sector + hl::kHeaderSize);
  if (header_size < kMinHeaderSize || header_size > kSectorSize) {
    return Status::corruption("header size " + std::to_string(header_size) + " is out of range");
  }
  std::array<uint8_t, kSectorSize> copy{};
  std::memcpy(copy.data(), sector, header_size);
  put_le32(copy.data() + hl::kHeaderCrc, 0);
  const uint32_t stored_crc = get_le32(sector + hl::kHeaderCrc);
  const uint32_t crc = crc32_of(copy.data(), header_size);
  if (crc != stored_crc) {
    return Status::corruption("header CRC does not match (stored " + hex32(stored_crc) + ", computed " + hex32(crc) + ")");
  }
  Header h;
  h.my_lba = get_le64(sector + hl::kMyLba);
  h.alternate_lba = get_le64(sector + hl::kAlternateLba);
  h.first_usable = get_le64(sector + hl::kFirstUsable);
  h.last_usable = get_le64(sector + hl::kLastUsable);
  h.entries_lba = get_le64(sector + hl::kEntriesLba);
  h.entry_count = get_le32(sector + hl::kEntryCount);
  h.entry_size = get_le32(sector + hl::kEntrySize);
  h.entries_crc = get_le32(sector + hl::kEntriesCrc);
  if (h.my_lba != lba) {
    return Status::corruption("the header read from sector " + std::to_string(lba) + " says it lies at sector " +
                              std::to_string(h.my_lba));
  }
  if (h.entry_size < kMinEntrySize || h.entry_size > kMaxEntrySize || h.entry_size % 8 != 0) {
    return Status::corruption("entry size " + std::to_string(h.entry_size) + " is not supported");
  }
  if (h.entry_count > kMaxEntryCount) {
    return Status::corruption("entry count " + std::to_string(h.entry_count) + " exceeds " +
                              std::to_string(kMaxEntryCount));
  }
  if (h.first_usable > h.last_usable || h.last_usable >= disk_sectors || h.first_usable == 0) {
    return Status::corruption("the usable area (" + range_text(h.first_usable, h.last_usable) +
                              ") does not fit the disk (" + std::to_string(disk_sectors) + " sectors)");
  }
  const uint64_t entries_end = h.entries_lba + h.entry_sectors();  // exclusive
  const bool array_inside = h.entries_lba >= 1 && h.entries_lba < disk_sectors &&
                            h.entry_sectors() <= disk_sectors - h.entries_lba;
  const bool array_clear = (lba < h.entries_lba || lba >= entries_end) &&
                           (entries_end <= h.first_usable || h.entries_lba > h.last_usable);
  if (h.entry_count > 0 && (!array_inside || !array_clear)) {
    return Status::corruption("the entry array (" + std::to_string(h.entry_sectors()) + " sectors at sector " +
                              std::to_string(h.entries_lba) + ") lies outside the disk or over its header or usable area");
  }
  *out = h;
  return Status::ok();
}

Status read_table(_DISK_INFOMATION* disk, FoundTable* out) {
  out->kind = TableKind::kGpt;
  out->parts.clear();
  out->ext_start = out->ext_length = 0;
  Header header;
  std::vector<uint8_t> entries;
  Status primary = read_copy(disk, kPrimaryHeaderSector, &header, &entries);
  if (!primary) {
    const uint64_t backup_lba = disk->total_sectors > 0 ? disk->total_sectors - 1 : 0;
    Status backup = backup_lba > kPrimaryHeaderSector ? read_copy(disk, backup_lba, &header, &entries)
                                                      : Status::corruption("the disk has no room for it");
    if (!backup) {
      return Status::corruption("the GPT is damaged: primary header: " + primary.message() +
                                "; backup header: " + backup.message());
    }
    TAV_TRACE(kTraceWarn, 0, "%s: primary GPT unusable (%s); reading the backup at sector %llu", disk->path.c_str(),
              primary.message().c_str(), static_cast<unsigned long long>(backup_lba));
  }

  static const std::array<uint8_t, 16> basic_data = guid_from_text(kBasicDataGuid);
  std::vector<NamedRange> ranges;
  for (uint32_t i = 0; i < header.entry_count; ++i) {
    const uint8_t* e = entries.data() + size_t(i) * header.entry_size;
    if (is_zero(e + el::kTypeGuid, 16)) continue;
    const std::string what = "partition " + std::to_string(i + 1);
    const uint64_t first = get_le64(e + el::kFirstLba);
    const uint64_t last = get_le64(e + el::kLastLba);
    if (first > last) {
      return Status::corruption(what + " ends (sector " + std::to_string(last) + ") before it starts (sector " +
                                std::to_string(first) + ")");
    }
    if (last >= disk->total_sectors) {
      return Status::corruption(what + " (" + range_text(first, last) + ") lies beyond the end of the disk (" +
                                std::to_string(disk->total_sectors) + " sectors)");
    }
    if (first < header.first_usable || last > header.last_usable) {
      return Status::corruption(what + " (" + range_text(first, last) + ") lies outside the usable area (" +
                                range_text(header.first_usable, header.last_usable) + ")");
    }
    FoundPartition p;
    p.first_sector = first;
    p.sector_count = last - first + 1;
    p.number = int32_t(i + 1);
    p.table_index = i;
    p.table_sector = header.entries_lba + uint64_t(i) * header.entry_size / kSectorSize;
    std::memcpy(p.type_guid.data(), e + el::kTypeGuid, 16);
    std::memcpy(p.unique_guid.data(), e + el::kUniqueGuid, 16);
    p.attributes = get_le64(e + el::kAttributes);
    p.name = utf16le_bytes_to_utf8(std::span<const unsigned char>(e + el::kName, el::kNameBytes));
    const bool fat32 = p.type_guid == basic_data && holds_fat32(disk, first);
    p.type = mbr_type_for_gpt_guid(p.type_guid.data(), fat32);
    ranges.push_back({p.first_sector, p.sector_count, what});
    out->parts.push_back(std::move(p));
  }
  return check_no_overlap(std::move(ranges));
}

}  // namespace tav::disk::gpt

namespace tav::disk {

uint8_t mbr_type_for_gpt_guid(const uint8_t guid[16], bool fat32_hint) {
  struct Known {
    std::array<uint8_t, 16> guid;
    uint8_t type;
  };
  static const std::vector<Known> known = [] {
    std::vector<Known> v;
    for (const auto& g : gpt::kGuidTypes) v.push_back({gpt::guid_from_text(g.guid), g.type});
    return v;
  }();
  static const std::array<uint8_t, 16> basic_data = gpt::guid_from_text(gpt::kBasicDataGuid);
  if (std::memcmp(guid, basic_data.data(), 16) == 0) return fat32_hint ? 0x0C : 0x07;
  for (const Known& k : known) {
    if (std::memcmp(guid, k.guid.data(), 16) == 0) return k.type;
  }
  return 0xDA;
}

}  // namespace tav::disk
