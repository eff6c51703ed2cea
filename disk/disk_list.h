// Disk lists: the machine's disks and disk image files, their partitions, and the questions the
// engines ask about them.
//
// The machine's disks are its whole-disk block devices as /sys/block lists them: sd*, vd*, xvd*,
// hd*, nvme*n* (not their partitions), mmcblk* (not boot or rpmb areas), and loop* that have a
// backing file. Ram disks, zram, device-mapper and md devices are not disks here. A regular file
// that the user names is a disk too (a disk image file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/status.h"
#include "disk/disk.h"

// The machine's disks, each with its partitions (table read, file systems recognised and
// prepared: used_sectors filled). Returns the head of a new list (null when there is none);
// free it with tav_destroy_all_disks.
_DISK_INFOMATION* libtavdisk_get_disk_list();
// Frees the library's process state (nothing to do when none).
int tav_uninit_disk();
// Frees every disk of the list and their partitions.
void tav_destroy_all_disks(_DISK_INFOMATION* head);

// Partitions in table order: the first with previous == null, null after the last.
BACKUP_PARTITION_INFO* tav_disk_next_partition(_DISK_INFOMATION* disk, BACKUP_PARTITION_INFO* previous);
// Nonzero when the partition can be backed up (not extended, not empty) and is selected, or its
// disk's whole-disk flag is set.
int tav_partition_is_backup(const BACKUP_PARTITION_INFO* part);
// Nonzero for a used partition (a slot that holds a partition, extended included).
int tav_partition_is_active(const BACKUP_PARTITION_INFO* part);
// Nonzero for a primary partition (not logical; the extended partition itself is primary).
int tav_partition_is_primary(const BACKUP_PARTITION_INFO* part);
// The disk's extended partition object, or null.
BACKUP_PARTITION_INFO* tav_extended_partition(_DISK_INFOMATION* disk);
// Number of partitions of the disk (extended included).
int tav_partition_count(const _DISK_INFOMATION* disk);
// Device name of the partition: its own node ("/dev/sda1", "/dev/nvme0n1p2") when it has one,
// else "<disk path>@<first sector>" (read through the whole disk). Never null.
const char* tav_get_partition_dev_name(const BACKUP_PARTITION_INFO* part);

// Image disks (built by the snapshot reader): append a disk to a list (*list may be null) and a
// partition to a disk (the disk takes ownership), then number the partitions.
int tav_add_disk_device(_DISK_INFOMATION** list, _DISK_INFOMATION* disk);
int tav_part_add(_DISK_INFOMATION* disk, BACKUP_PARTITION_INFO* part);  // on failure (-1) the caller keeps ownership
int tav_assign_dev_num_all(_DISK_INFOMATION* list);

namespace tav::disk {

// A disk object for the block device or regular file at `path`, with its table read and file
// systems prepared. Errors name the path and the reason.
Status open_disk(const std::string& path, std::unique_ptr<_DISK_INFOMATION>* out);

// Same as libtavdisk_get_disk_list for another sysfs and /dev root (tests).
Status scan_disks(const std::string& sys_block_dir, const std::string& dev_dir, _DISK_INFOMATION** head);

}  // namespace tav::disk
