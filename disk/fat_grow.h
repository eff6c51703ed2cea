// Growing a FAT12, FAT16 or FAT32 volume in place so that it spans its (larger) partition, after
// a restore or clone copied it there.
//
// The new layout keeps the sector size, the cluster size, the reserved sectors, the number of
// FATs and the fixed root directory; only the FATs grow, to the smallest size that describes the
// clusters of the new size. Everything after the FATs (the FAT12/16 root directory and every
// used cluster) moves forward by the growth of the FATs; cluster numbers, and so directories and
// chains, stay as they are. Free clusters are not moved: their contents do not matter.
//
// The FAT type never changes: when the partition holds more clusters than the type allows
// (FAT12 below 4085, FAT16 below 65525, FAT32 at most 0x0FFFFFF5), the volume grows as far as
// its type allows and the rest of the partition stays unused.
#pragma once

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk {

// Grows the FAT volume on `dest` (complete and consistent, not larger than the partition) to the
// partition's sector_count, through the partition's own operations (opened for writing here when
// it is not open for writing; left as it was found). Volumes with sectors other than 512 bytes,
// and FAT32 volumes that do not mirror their FATs onto an active copy other than the first, are
// refused (not_supported) before anything is written; so is a mounted destination. Ok, with
// nothing written, when the volume cannot grow (already spanning the partition or at its
// type's limit).
//
// Order of the writes: the boot sector (and the FAT32 backup boot sector) is zeroed first, then
// the data moves from the highest address down, then the FAT copies are written from the last to
// the first, then the FSInfo sectors, the backup boot sector and last the boot sector, each
// group flushed. A grow cut short therefore leaves a volume that no probe takes for valid,
// never a valid-looking corrupt one; the error then says the volume is no longer usable.
Status grow_fat(BACKUP_PARTITION_INFO* dest);

}  // namespace tav::disk
