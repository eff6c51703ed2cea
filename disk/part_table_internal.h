// Pieces shared by the MBR and GPT readers inside the disk library: the plain form a table
// reader produces (before partition objects are made from it), sector reads on an open disk and
// the overlap check. Not for use outside disk/.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk {

// One partition as a table describes it. Sectors are absolute on the disk.
struct FoundPartition {
  uint64_t first_sector = 0;
  uint64_t sector_count = 0;
  uint8_t type = 0;       // MBR type byte (GPT: the type that stands for its type GUID)
  uint8_t boot_flag = 0;  // boot indicator as stored (0x80 for the active partition)
  int32_t number = 0;     // MBR slot 1-4, logical 5.., GPT entry index + 1
  uint32_t flags = 0;     // kPartFlagLogical / kPartFlagExtended
  uint64_t table_sector = 0;  // sector holding the entry
  uint32_t table_index = 0;   // entry index in that sector's table (GPT: in the entry array)
  // GPT only.
  std::array<uint8_t, 16> type_guid{};
  std::array<uint8_t, 16> unique_guid{};
  uint64_t attributes = 0;
  std::string name;  // UTF-8

  uint64_t last_sector() const { return first_sector + sector_count - 1; }
};

// What a table reader found, partitions in table order.
struct FoundTable {
  TableKind kind = TableKind::kNone;
  std::vector<FoundPartition> parts;
  uint64_t ext_start = 0;  // extended partition (MBR), 0 when none
  uint64_t ext_length = 0;
};

// Reads `count` sectors from `disk`, which the caller has opened. Errors name the sector.
Status read_open_disk(_DISK_INFOMATION* disk, uint64_t first_sector, uint32_t count, uint8_t* buffer);

// A sector range of a partition with the text that names it in messages.
struct NamedRange {
  uint64_t first_sector;
  uint64_t sector_count;
  std::string what;  // "partition 5"
};

// Corruption naming the first two ranges that share a sector, ok when none do.
Status check_no_overlap(std::vector<NamedRange> ranges);

}  // namespace tav::disk
