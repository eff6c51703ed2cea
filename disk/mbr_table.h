// The master boot record and the extended boot records: their layout, the reader of the primary
// slots and the extended chain, and the builder of the sectors of a planned MBR layout. Internal
// to the disk library (part_table.h is the public face).
//
// Sector 0 (and every EBR) holds, from byte 446, four 16-byte entries and then 0x55 0xAA at 510:
//   off size field
//     0    1 boot indicator   0x80 active, 0 otherwise (anything else: not a table)
//     1    3 CHS of the first sector (head, sector | cylinder bits 8-9 << 6, cylinder bits 0-7)
//     4    1 partition type   0 = empty slot
//     5    3 CHS of the last sector
//     8    4 first sector     u32; absolute in the MBR, relative to the EBR for a logical
//                             partition, relative to the extended start for the next EBR
//    12    4 sector count     u32
// Bytes 0-445 of sector 0 are boot code; 440-443 hold the disk signature.
// An EBR's first entry is its logical partition, its second the link to the next EBR (zero in
// the last one).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/status.h"
#include "disk/disk.h"
#include "disk/part_table_internal.h"

namespace tav::disk::mbr {

constexpr size_t kBootCodeBytes = 446;  // code, disk signature and two reserved bytes
constexpr size_t kDiskSignatureOffset = 440;
constexpr size_t kEntriesOffset = 446;
constexpr size_t kEntrySize = 16;
constexpr unsigned kEntryCount = 4;
constexpr size_t kBootSignatureOffset = 510;

constexpr uint8_t kBootActive = 0x80;
constexpr uint8_t kTypeEmpty = 0x00;
constexpr uint8_t kTypeExtendedChs = 0x05;
constexpr uint8_t kTypeExtendedLba = 0x0F;
constexpr uint8_t kTypeExtendedLinux = 0x85;
constexpr uint8_t kTypeGptProtective = 0xEE;

// An extended chain longer than this is treated as runaway (a damaged or hostile table).
constexpr uint32_t kMaxLogicalLinks = 1024;

struct Entry {
  uint8_t boot = 0;
  uint8_t type = kTypeEmpty;
  uint32_t first_sector = 0;
  uint32_t sector_count = 0;

  bool empty() const { return type == kTypeEmpty || sector_count == 0; }
};

// Geometry used for CHS fields; values CHS cannot hold fall back to 255 heads, 63 sectors.
struct Geometry {
  uint32_t heads = 255;
  uint32_t sectors_per_track = 63;
};
Geometry usable_geometry(uint32_t heads, uint32_t sectors_per_track);

bool is_extended_type(uint8_t type);
bool has_boot_signature(const uint8_t* sector);
Entry decode_entry(const uint8_t* sector, unsigned index);
// Writes the entry with CHS fields computed from `geometry` (absolute sector `chs_base` +
// entry.first_sector is the partition's first sector on the disk).
void encode_entry(uint8_t* sector, unsigned index, const Entry& entry, uint64_t chs_base, Geometry geometry);
void clear_entry(uint8_t* sector, unsigned index);
// CHS bytes of an absolute sector; 0xFE 0xFF 0xFF beyond cylinder 1023.
std::array<uint8_t, 3> chs_for_sector(uint64_t sector, Geometry geometry);

// True when sector 0 (with its boot signature) carries an MBR partition table rather than a
// file system's boot sector or garbage: every boot indicator is 0 or 0x80, and it is not the boot
// sector of a whole-disk FAT, exFAT or NTFS volume (such a sector with no entry at all).
bool looks_like_partition_table(const uint8_t* sector0);

// True when a slot of sector 0 holds a GPT protective entry.
bool has_protective_entry(const uint8_t* sector0);

// Reads the primary slots of `sector0` and the extended chain from `disk` (open). Checks every
// partition against the disk's size and for overlaps, bounds and loop-checks the chain.
Status read_table(_DISK_INFOMATION* disk, const uint8_t* sector0, FoundTable* out);

// A partition of a layout to write.
struct PlannedPartition {
  uint64_t first_sector = 0;
  uint64_t sector_count = 0;
  uint8_t type = 0;
  uint8_t boot = 0;
  bool logical = false;
  bool extended = false;
  int32_t number = -1;  // wanted slot 1-4 for primary entries; others fill free slots in order
};

struct SectorImage {
  uint64_t sector = 0;
  std::array<uint8_t, kSectorSize> bytes{};
};

// Builds sector 0 and the EBRs of `layout` (partitions in table order; logical ones in chain
// order). Sector 0 keeps bytes 0-445 of `current_sector0`. The first EBR sits at the start of the
// extended partition; each further one `track_sectors` before its logical partition (or right
// after the previous logical partition when the gap is smaller). Refuses layouts that do not fit
// `disk_sectors`, overlap, need sector numbers beyond 32 bits, or have more than four primary
// entries. The EBRs come first in `out`, sector 0 last.
Status plan_layout(const std::vector<PlannedPartition>& layout, uint64_t disk_sectors, Geometry geometry,
                   uint32_t track_sectors, const uint8_t* current_sector0, std::vector<SectorImage>* out);

}  // namespace tav::disk::mbr
