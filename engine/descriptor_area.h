// The descriptor area of a volume file (boot sectors, partition records and disk table of the
// disks being backed up), built in memory by the image writer. Layout in
// format/ego_format.h.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/disk.h"

namespace tav::engine {

struct DescriptorArea {
  std::vector<uint8_t> bytes;      // the whole area, to be written at its file offset
  uint64_t disk_table_offset = 0;  // file offset of the disk table inside it
  uint32_t num_disks = 0;          // disk records in the table
};

// True when the disk has at least one partition with `selected` set.
bool disk_has_selected_partition(const _DISK_INFOMATION& disk);

// Number of disks of the list that have a selected partition.
uint32_t count_disks_with_selection(const _DISK_INFOMATION* disks);

// Builds the descriptor area of the list's disks for file offset `at`. Every disk with a
// selected partition, in list order, gets its saved boot sectors (when it has any), the records
// of its selected partitions and a disk record; a disk without saved boot sectors still gets its
// records (mbr_sectors 0, mbr_offset 0), or its partitions could not be found again. The
// partition records are sealed in place in each partition object (magic and struct sum) and
// copied. With `final_pass` the disk records also carry the disk signature (bytes 440-443 of
// the saved MBR) and the boot-configuration fields; otherwise those are 0.
void build_descriptor_area(_DISK_INFOMATION* disks, uint64_t at, bool final_pass, DescriptorArea* out);

}  // namespace tav::engine
