// Partition tables: reading MBR (primary, extended and logical partitions) and GPT, the saved
// boot sectors, and the table writes that restore needs (MBR only; a GPT is read, not written).
//
// Order of a disk's partitions ("table order"): MBR primary slots 1-4 in slot order, each
// extended partition followed at once by its logical partitions in chain order; GPT entries in
// entry order. Empty slots and entries are not partitions. part_number: MBR slot 1-4 for primary
// and extended entries, 5, 6, ... for logical ones; GPT entry index + 1.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk {

// Reads the table of `disk` (opening it for reading when it is not open) and replaces its
// partitions with new objects: record fields (magic, boot flag, start, type, count, number,
// flags, the library's table bytes), first/last sector, dev_num, ops = tav_get_part_operation().
// Also sets table_kind, ext_start/ext_length/ext_end, the saved boot sectors (`mbr`: every sector
// before the first partition, at most kMaxSavedBootSectors; the first min(total, 2048) sectors
// when there is no partition) and disk_signature. A disk without a valid table gets kNone and no
// partitions (not an error). A table that is present but damaged (entries outside the disk,
// overlapping, a looping or runaway extended chain, a GPT with bad CRCs on both copies) is an
// error that names what is wrong; the disk then has no partitions. File systems are not probed
// here (see disk_list.h).
Status read_partition_table(_DISK_INFOMATION* disk);

// MBR partition type that stands for a GPT partition type GUID (the 16 bytes as stored), e.g.
// EFI system 0xEF, basic data 0x07 (0x0C when `fat32_hint`: the partition holds FAT32), Linux
// file system 0x83, Linux swap 0x82, Linux LVM 0x8E; unknown GUIDs give 0xDA (non-file-system
// data). Never 0, which means an empty slot.
uint8_t mbr_type_for_gpt_guid(const uint8_t guid[16], bool fat32_hint);

}  // namespace tav::disk

// Writes the MBR and the extended boot records of the layout held by `restore_disk` (a
// DEVICE_RESTORE disk whose partitions carry start, count, type, boot flag and logical flag in
// their records) to the disk it was made from, which the caller has opened for writing. Keeps
// the boot code and disk signature of the current sector 0. When the destination currently holds
// a GPT, its primary and backup headers are cleared so no tool finds a stale GPT. A layout that
// does not fit the disk, overlaps, or has more than four primary entries is refused. >= 0 on
// success, -1 with a message through the disk library's report.
int tav_table_write(_DISK_INFOMATION* restore_disk);

// Clears the table entry of `part` on its disk (opened for writing by the caller). `buffer`
// (512 bytes) receives the table sector as it was before, `*sector` its sector number, so the
// caller can write it back. GPT partitions: nothing is cleared; the buffer gets sector 0 as it is.
// >= 0 on success.
int tav_clear_part_entry(BACKUP_PARTITION_INFO* part, uint8_t* buffer, uint64_t* sector);

// Writes the boot code (bytes 0-445 of sector 0: code and disk signature) of `saved` (the image
// disk's saved boot sectors, `sectors` of them) to the disk of `part`, keeping its partition
// table; sectors 1.. of `saved` are written too when they came from an MBR disk and all lie
// before the destination's first partition. Refused on a GPT destination. >= 0 on success.
int tav_restore_mbr(BACKUP_PARTITION_INFO* part, const uint8_t* saved, uint32_t sectors);

// Makes `part` the active primary partition (0x80 on its entry, 0 on the other primaries).
// Refused for logical partitions and GPT disks. >= 0 on success.
int tav_restore_set_partition_bootable(BACKUP_PARTITION_INFO* part);

// Shrinks the table entry of `dest` to the sector count of `image_part` (MBR entries; refused
// on GPT). Updates the object and its record as well. >= 0 on success.
int tav_shrink_unknow_partition_for_restore(BACKUP_PARTITION_INFO* dest, const BACKUP_PARTITION_INFO* image_part);

// Gives a partition of a restore layout the sector count of its source (in memory only).
int tav_shrink_whole_disk_unknow_partition_for_restore(BACKUP_PARTITION_INFO* part);
