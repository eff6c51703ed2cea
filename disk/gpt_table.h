// The GUID partition table: header and entry layout and the reader (primary copy, backup copy
// when the primary is damaged). Internal to the disk library (part_table.h is the public face).
//
// Header (sector 1, backup in the last sector of the disk), little-endian:
//   off size field
//     0    8 signature        "EFI PART"
//     8    4 revision
//    12    4 header size      bytes covered by the header CRC (92..512)
//    16    4 header CRC       CRC-32 of the header-size bytes with this field zero
//    20    4 reserved
//    24    8 my LBA           sector of this header
//    32    8 alternate LBA    sector of the other header
//    40    8 first usable LBA
//    48    8 last usable LBA  (inclusive)
//    56   16 disk GUID
//    72    8 entries LBA      first sector of this copy's entry array
//    80    4 entry count
//    84    4 entry size       >= 128, a multiple of 8
//    88    4 entries CRC      CRC-32 of entry count x entry size bytes
// Entry:
//     0   16 type GUID        all zero: unused entry
//    16   16 unique GUID
//    32    8 first LBA
//    40    8 last LBA         (inclusive)
//    48    8 attributes
//    56   72 name             UTF-16LE, zero-padded
// GUIDs are stored with their first three groups little-endian.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "disk/disk.h"
#include "disk/part_table_internal.h"

namespace tav::disk::gpt {

constexpr char kSignature[] = "EFI PART";
constexpr uint64_t kPrimaryHeaderSector = 1;
constexpr uint32_t kMinHeaderSize = 92;
constexpr uint32_t kMinEntrySize = 128;
constexpr uint32_t kMaxEntrySize = 4096;
constexpr uint32_t kMaxEntryCount = 16384;

namespace header_layout {
constexpr size_t kSignature = 0, kRevision = 8, kHeaderSize = 12, kHeaderCrc = 16, kMyLba = 24,
                 kAlternateLba = 32, kFirstUsable = 40, kLastUsable = 48, kDiskGuid = 56, kEntriesLba = 72,
                 kEntryCount = 80, kEntrySize = 84, kEntriesCrc = 88;
}  // namespace header_layout

namespace entry_layout {
constexpr size_t kTypeGuid = 0, kUniqueGuid = 16, kFirstLba = 32, kLastLba = 40, kAttributes = 48, kName = 56;
constexpr size_t kNameBytes = 72;
}  // namespace entry_layout

struct Header {
  uint64_t my_lba = 0;
  uint64_t alternate_lba = 0;
  uint64_t first_usable = 0;
  uint64_t last_usable = 0;
  uint64_t entries_lba = 0;
  uint32_t entry_count = 0;
  uint32_t entry_size = 0;
  uint32_t entries_crc = 0;

  uint32_t entry_sectors() const {
    return uint32_t((uint64_t(entry_count) * entry_size + kSectorSize - 1) / kSectorSize);
  }
};

// Decodes and checks the header in `sector`, read from sector `lba` of a disk of `disk_sectors`:
// signature, size, CRC, its own position and every size and position it gives. Corruption names
// what is wrong.
Status decode_header(const uint8_t* sector, uint64_t lba, uint64_t disk_sectors, Header* out);

// Reads the GPT of `disk` (open): the primary copy, else the backup in the last sector. Both
// damaged, entries outside the usable area or overlapping: corruption naming the reason.
Status read_table(_DISK_INFOMATION* disk, FoundTable* out);

// GUID as it is stored, from its text form "C12A7328-F81F-11D2-BA4B-00A0C93EC93B".
std::array<uint8_t, 16> guid_from_text(const char* text);

}  // namespace tav::disk::gpt
