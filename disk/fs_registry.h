// File-system handlers: registration, lookup by partition type byte, and recognition of the file
// system on a partition.
#pragma once

#include <cstdint>

#include "disk/disk.h"

// Register the library's handlers; each may be called more than once.
void tav_file_system_fat16_init();
void tav_file_system_fat32_init();
void tav_file_system_ntfs_init();
void tav_file_system_ext_init();
void tav_file_system_unknow_init();

// Registers every handler (once per process; safe from several threads). Returns 0.
int tav_init_disk();

// Handler for a partition type byte (as image partitions carry it): the FAT16 handler for FAT12
// and FAT16 types, FAT32 for 0x0B/0x0C/0x1B/0x1C/0xEF, NTFS for 0x07/0x17/0x27, EXT for 0x83,
// the unknown handler for everything else. Never null once tav_init_disk has run.
const FILE_SYSTEM_TYPE* libtavdisk_file_system_type_get(uint8_t type);

namespace tav::disk {

// Adds a handler to the registry (a handler already registered is ignored).
void register_file_system(const FILE_SYSTEM_TYPE* handler);

// Registered handler with this type code, or null.
const FILE_SYSTEM_TYPE* file_system_by_code(uint32_t type_code);

// The unknown handler (every sector used); never null.
const FILE_SYSTEM_TYPE* unknown_file_system();

// Asks each registered handler in registration order whether the partition holds its file
// system; the first that says yes, or null.
const FILE_SYSTEM_TYPE* probe_file_system(BACKUP_PARTITION_INFO* part);

// Recognises the partition's file system and prepares it: sets `fs` (null when none was
// recognised) and `ops_fs` (the unknown handler then), the type code in the record, and
// used_sectors. A handler whose prepare fails is replaced by the unknown handler. Returns 0.
int attach_file_system(BACKUP_PARTITION_INFO* part);

}  // namespace tav::disk
