// The disk library's objects: disks (whole-disk block devices and disk image files), their
// partitions, the operation tables through which every sector is read or written, and the
// file-system handlers that know which sectors a partition uses.
//
// Sectors are 512 bytes everywhere in this library. A partition's sector numbers in its
// operations are relative to the partition; a disk's are absolute.
//
// Ownership: a disk owns its partitions (in table order) and its saved boot sectors; a disk list
// is a singly linked chain of disks owned by whoever built it and freed with
// tav_destroy_all_disks. Partition objects never move once added (other objects keep pointers
// to them).
//
// Writing: nothing here writes unless the caller opened the disk or partition with mode 2, and
// a block device opened for writing is opened exclusively (the kernel refuses that while a file
// system on it is mounted). Image files are never created or truncated by this library.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/extent_vector.h"
#include "core/sector.h"
#include "format/ego_format.h"

struct THREAD_GUI_DATA;
struct _DISK_INFOMATION;
struct BACKUP_PARTITION_INFO;
struct FILE_SYSTEM_TYPE;
struct COPY_CONTEXT;

namespace tav::disk {

// Saved boot sectors of a disk: every sector before its first partition, at most this many.
constexpr uint32_t kMaxSavedBootSectors = 2048;

// Disk kinds (`disk_type`); the backup stores the kind of its source disk.
enum : uint32_t {
  DEVICE_REAL = 0,     // a block device or a disk image file of this machine
  DEVICE_IMAGE = 1,    // a disk rebuilt from a snapshot's disk record
  DEVICE_RESTORE = 2,  // a planned layout for a destination disk (restore)
};

// Partition table of a disk.
enum class TableKind : uint32_t { kNone = 0, kMbr = 1, kGpt = 2 };

// Open modes of disks and partitions.
enum : int { kOpenRead = 0, kOpenWrite = 2 };

// `part_flags` bits of the partition record.
enum : uint32_t { kPartFlagLogical = 1, kPartFlagExtended = 2 };

// File-system handler type codes (FILE_SYSTEM_TYPE::type_code). 0 means no file system is known:
// every sector is used and the partition is copied sector by sector.
enum : uint32_t {
  FS_UNKNOWN = 0,
  FS_FAT16 = 1,  // FAT12 and FAT16
  FS_FAT32 = 2,
  FS_NTFS = 3,
  FS_EXT = 4,  // ext2, ext3, ext4
};

// Byte offsets of the disk library's own fields inside the 391-byte partition record (the bytes
// the image format leaves to us). They are stored in images and read back from them.
namespace part_private {
constexpr size_t kGptTypeGuid = 30;     // 16 bytes, zero on MBR disks
constexpr size_t kTableSector = 51;     // u64: sector holding this partition's table entry
constexpr size_t kGptUniqueGuid = 63;   // 16 bytes, zero on MBR disks
constexpr size_t kTableIndex = 79;      // u32: index of the entry in its table
constexpr size_t kTableKind = 83;       // u32: TableKind of the disk it came from
constexpr size_t kFsTypeCode = 163;     // u32: type code of the recognised file system
constexpr size_t kGptAttributes = 215;  // u64: GPT attribute bits
constexpr size_t kFsName = 223;         // 16 bytes ASCII, zero-terminated ("ext4", "FAT32", ...)
constexpr size_t kGptName = 239;        // 72 bytes UTF-8, zero-terminated (GPT partition name)
constexpr size_t kFsLabel = 311;        // 48 bytes UTF-8, zero-terminated (file-system label)
// 359-390 stay zero.
}  // namespace part_private

}  // namespace tav::disk

// Seven operations of a partition, in this order. Image partitions (snapshot reader) bring their
// own; partitions of real disks use tav_get_part_operation(). Results: byte and sector counts,
// -1 on error (the reason is in errno / tav::get_last_error()).
struct PART_OPERATIONS {
  int64_t (*pos_read)(BACKUP_PARTITION_INFO* part, uint64_t byte_offset, uint32_t bytes, void* buffer);
  int64_t (*pos_write)(BACKUP_PARTITION_INFO* part, uint64_t byte_offset, uint32_t bytes,
                       const void* buffer);
  int64_t (*read_sectors)(BACKUP_PARTITION_INFO* part, uint64_t first_sector, uint32_t count,
                          void* buffer);
  int64_t (*write_sectors)(BACKUP_PARTITION_INFO* part, uint64_t first_sector, uint32_t count,
                           const void* buffer);
  int (*finish)(BACKUP_PARTITION_INFO* part);  // flushes written data; 0 on success
  int (*open)(BACKUP_PARTITION_INFO* part, int mode);  // kOpenRead / kOpenWrite; < 0 on failure
  int (*close)(BACKUP_PARTITION_INFO* part);
};

// Operations of a disk (absolute sectors). open(disk, kOpenWrite) refuses a block device that
// has a mounted file system; writes on a disk opened for reading fail with EBADF.
struct DISK_OPERATIONS {
  int (*open)(_DISK_INFOMATION* disk, int mode);
  int64_t (*read_sectors)(_DISK_INFOMATION* disk, uint64_t first_sector, uint32_t count, void* buffer);
  int64_t (*write_sectors)(_DISK_INFOMATION* disk, uint64_t first_sector, uint32_t count,
                           const void* buffer);
  int (*flush)(_DISK_INFOMATION* disk);
  int (*close)(_DISK_INFOMATION* disk);
};

// A file-system handler. Handlers read only through the partition's own operations, so the same
// handler serves a live partition, an image partition and a planned one. Every operation opens
// the partition for reading itself when it is not open, and leaves it as it found it.
struct FILE_SYSTEM_TYPE {
  uint32_t type_code;  // FS_*
  const char* name;    // shown to users: "FAT16", "FAT32", "NTFS", "EXT", "Unknown"
  // Nonzero when the partition holds this file system (reads its boot sector / superblock).
  int (*probe)(BACKUP_PARTITION_INFO* part);
  // Fills the record's used_sectors (and the private fs name and label); 0 on success, < 0 on
  // failure (the partition then counts as unknown to its caller).
  int (*prepare)(BACKUP_PARTITION_INFO* part);
  // Sectors the file system uses, as RUN_TYPE_DATA runs in partition-relative sectors, sorted,
  // not overlapping; null on failure (reported through `channel` when it is not null).
  IMAGE_RUN_VECTOR* (*get_used_runs)(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part);
  // Sectors of the file at a '/'-path ("/pagefile.sys"), partition-relative; an empty vector
  // when there is no such file; null on failure.
  FLAT_RUN_VECTOR* (*get_file_runs)(BACKUP_PARTITION_INFO* part, const char* path);
  // Smallest size in bytes the file system can be given, or -1; null when it cannot shrink.
  int64_t (*min_size_bytes)(BACKUP_PARTITION_INFO* part);
  // File-system-aware copy into a destination partition (restore); null until provided.
  int (*copy)(COPY_CONTEXT* context);
};

// One partition. The first 391 bytes are the image format's partition record (layout in
// format/ego_format.h, the library's own bytes in tav::disk::part_private); read and
// change its fields with the accessors in disk/part_record.h.
struct BACKUP_PARTITION_INFO {
  std::array<uint8_t, tav::img::kPartRecordSize> record{};

  _DISK_INFOMATION* disk = nullptr;  // owning disk
  uint64_t first_sector = 0;         // on the disk
  uint64_t sector_count = 0;
  uint64_t last_sector = 0;          // first_sector + sector_count - 1
  const FILE_SYSTEM_TYPE* ops_fs = nullptr;  // operations handler (never null once added)
  const FILE_SYSTEM_TYPE* fs = nullptr;      // recognised file system, null when none
  uint32_t is_image = 0;                     // 1 for partitions of a snapshot
  void* part_data = nullptr;                 // private data of whoever supplies `ops`
  const PART_OPERATIONS* ops = nullptr;

  // Disk-library state of partitions of real disks.
  uint32_t selected = 0;          // chosen for backup or restore
  uint32_t index = 0;             // position in the disk's table order, from 0
  uint32_t dev_num = 0;           // partition number used in device names (1-based; 0 none)
  std::string dev_name;           // "/dev/sda1", or "<disk>@<start>" when it has no node
  std::string dev_path;           // its own block device, empty when read through the disk
  std::string mount_point;        // where it is mounted, empty when not
  std::string read_path;          // set while a snapshot stands in for the partition
  BACKUP_PARTITION_INFO* source = nullptr;  // restore layouts: the image partition it copies
  int fd = -1;                    // open descriptor, -1 when closed
  // Mode it is open in, -1 when closed. Handlers take a partition to be open while this is >= 0
  // (or fd >= 0) and open and close it themselves otherwise, so every `ops` table, including one
  // without a descriptor (image partitions), sets it in open and clears it in close.
  int open_mode = -1;
  uint64_t fd_offset = 0;         // byte offset of sector 0 of the partition in `fd`
  void* snapshot = nullptr;       // SnapshotProvider's state between vss init and uninit
};

// One disk. Geometry fields are those of the image format's disk record.
struct _DISK_INFOMATION {
  _DISK_INFOMATION* next = nullptr;  // list link

  uint32_t cylinders = 0;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t sectors_per_cylinder = 0;
  uint64_t total_sectors = 0;
  std::string name;        // "sda", "loop0", or the image file's name; at most 32 bytes stored
  std::string path;        // "/dev/sda" or the image file's path
  uint32_t disk_type = tav::disk::DEVICE_REAL;
  uint32_t is_file = 0;    // 1 when `path` is a regular file
  uint32_t excluded = 0;   // 1 when pickers should pass over this disk (e.g. it holds the program)
  uint32_t whole_disk = 0; // the whole disk was selected
  uint32_t index = 0;      // position in its list, from 0
  tav::disk::TableKind table_kind = tav::disk::TableKind::kNone;
  uint32_t removable = 0;
  std::string model;       // from sysfs when known

  // Extended partition (MBR), sectors; 0 when none.
  uint64_t ext_start = 0;
  uint64_t ext_length = 0;
  uint64_t ext_end = 0;

  // Saved boot sectors: every sector before the first partition, at most kMaxSavedBootSectors.
  std::vector<uint8_t> mbr;  // mbr_sectors() * 512 bytes
  uint32_t boot_kind = 1;    // 2 when boot entries are recorded
  uint32_t disk_signature = 0;
  uint64_t boot_part_start = 0;

  std::vector<std::unique_ptr<BACKUP_PARTITION_INFO>> parts;  // table order, extended included
  _DISK_INFOMATION* made_from = nullptr;  // restore layouts: the destination disk
  const DISK_OPERATIONS* ops = nullptr;
  int fd = -1;
  int open_mode = -1;

  uint32_t mbr_sectors() const { return uint32_t(mbr.size() / tav::kSectorSize); }
};
