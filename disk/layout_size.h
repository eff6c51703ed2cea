// Sizes of partitions and disks in the two restore layouts (disk library): the match layout,
// which keeps every partition at least at its own size, and the proportional layout, which may
// shrink a partition down to what its file system needs.
//
// How the layouts place partitions, and so what these sizes are:
//   - Positions advance by whole cylinders of the destination's geometry. A partition numbered
//     2, 3 or 4 starts at the running position; every other one (the first primary, logical
//     partitions) starts one track later, the track before it holding the boot sector or the
//     extended boot record. A partition's layout size therefore is its own size, plus one track
//     when it gets that gap, rounded up to whole cylinders.
//   - Match size: the above with the partition's sector count.
//   - Minimum size: the above with the smallest size its file system allows (the operations
//     handler's min_size_bytes, rounded up to whole sectors, never more than the sector count);
//     the sector count when the handler has no such operation or it returns -1.
//   - The extended partition does not advance the position; its size is the sum of the sizes of
//     the logical partitions of its disk (0 when it has none).
//   - A destination without geometry (heads or sectors per track 0) is laid out as 255 heads of
//     63 sectors (16065 sectors per cylinder).
// A used partition is one with a nonzero type and sector count. Sizes that would overflow 64
// bits (counts from a damaged record) come out as UINT64_MAX, which fits no disk.
#pragma once

#include <cstdint>

#include "disk/disk.h"

namespace tav::disk {

// The geometry the layouts round to.
struct LayoutGeometry {
  uint64_t sectors_per_track = 63;
  uint64_t sectors_per_cylinder = 255 * 63;
};

// `disk`'s geometry, or 255/63 when it has none (null disk, heads or sectors per track 0). The
// cylinder is heads x sectors per track.
LayoutGeometry layout_geometry(const _DISK_INFOMATION* disk);

// True for a partition the layouts place one track after the running position (its number in
// the record is not 2, 3 or 4).
bool layout_gets_track_gap(const BACKUP_PARTITION_INFO& part);

// Whole cylinders: `sectors` rounded up (saturating at UINT64_MAX) / down.
uint64_t round_up_to_cylinders(uint64_t sectors, const LayoutGeometry& geometry);
uint64_t round_down_to_cylinders(uint64_t sectors, const LayoutGeometry& geometry);

// A used partition (nonzero type and sector count), extended included.
bool layout_part_is_used(const BACKUP_PARTITION_INFO& part);

}  // namespace tav::disk

// Sectors the partition takes in the match layout on a disk of `geometry`'s geometry (see
// above). 0 for a null or unused partition.
uint64_t tav_get_match_part_sectors(const _DISK_INFOMATION* geometry, const BACKUP_PARTITION_INFO* part);

// Sectors the partition takes at least in the proportional layout. May open the partition for
// reading through its handler (and closes it again). 0 for a null or unused partition.
uint64_t tav_get_min_part_sectors(const _DISK_INFOMATION* geometry, const BACKUP_PARTITION_INFO* part);

// Smallest disk for the proportional layout of `image_disk` on `geometry`'s geometry: the sum of
// the minimum sizes of its used, non-extended partitions that are selected (or all of them when
// the disk's whole-disk flag is set). 0 for a null disk.
uint64_t tav_get_min_disk_sectors(const _DISK_INFOMATION* geometry, _DISK_INFOMATION* image_disk);

// 1 when the match layout of every used, non-extended partition of `image_disk` fits on the disk
// `geometry` (its total sectors rounded down to whole cylinders); else 0 (also for null).
int tav_match_match_disk_space(const _DISK_INFOMATION* geometry, _DISK_INFOMATION* image_disk);

// 1 when the minimum layout of `source`'s selected partitions fits on `dest` (its total sectors
// rounded down to whole cylinders of its own geometry); else 0 (also for null).
int tav_match_min_disk_space(_DISK_INFOMATION* dest, _DISK_INFOMATION* source);
