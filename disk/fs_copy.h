// Copying a partition's file system into another partition (restore and clone) and what goes
// with it: the copy context the engine hands to a handler's `copy` operation, the boot-sector
// fixes for a new place on disk, growing a copied file system to a larger partition, and the
// partition-table reload after a table entry changed.
//
// The file-system-aware copy writes only the sectors the source uses. It keeps the first
// kHeldBackSectors sectors of the source aside, zeroes them on the destination before anything
// else is written and writes them last, so a copy cut short never leaves a file system that a
// probe or a mount would take for valid. A destination smaller than the source is refused with
// both sizes in the message; a larger one gets the file system grown to span it afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/status.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

// One per partition copy; built by the engine, read by the handler's `copy` operation.
struct COPY_CONTEXT {
  std::atomic<int32_t>* error_count = nullptr;  // the channel's error counter (counted on failure)
  std::atomic<uint32_t>* cancel = nullptr;      // nonzero: stop between pieces (not an error)
  THREAD_GUI_DATA* channel = nullptr;               // progress (step slot 2) and retry questions
  uint32_t is_fat32 = 0;                        // source part_type is 0x0B or 0x0C
  BACKUP_PARTITION_INFO* source = nullptr;      // an image partition, or a live one (clone)
  BACKUP_PARTITION_INFO* dest = nullptr;        // a partition of a real disk
  // The sectors to copy (source-relative), or null for the source handler's used runs. The
  // engine passes an image partition's combined run vector here (it is open for reading).
  const IMAGE_RUN_VECTOR* source_runs = nullptr;
  // Texts of the Abort/Retry/Ignore questions after a failed read or write, set by the engine;
  // null: no question, the copy fails at once.
  const char* read_failed_text = nullptr;
  const char* write_failed_text = nullptr;
};

namespace tav::disk {

// Sectors at the start of a partition that are written last (boot sector of FAT and NTFS, the
// primary superblock of ext2/3/4).
constexpr uint32_t kHeldBackSectors = 8;

// The copy operation of the FAT, NTFS and ext handlers (their FILE_SYSTEM_TYPE::copy):
// 1. Refuses a destination with fewer sectors than the source ("... is smaller than ...": both
//    sizes in sectors and MiB), a destination that is mounted, and a live source that shares
//    sectors with the destination on the same disk.
// 2. The sectors to copy: context->source_runs when given (minus runs skipped), else the
//    source handler's used runs; sectors beyond the source's size are dropped. Small gaps
//    between runs of a live source are copied along (fewer, larger transfers); an image source
//    is read only where it holds data.
// 3. Opens the source for reading (unless it is open) and the destination for writing (a block
//    device exclusively), zeroes the destination's first kHeldBackSectors sectors and, on a
//    larger destination, its last sectors beyond the copied file system (where an earlier NTFS
//    keeps its backup boot sector), copies the runs in pieces of 4 MiB (progress through step
//    slot 2 of the channel in used sectors; a failed read or write asks the channel's
//    Abort/Retry/Ignore question with read_failed_text / write_failed_text: Retry tries again,
//    Ignore skips the piece, Abort or no text fails), keeping the first kHeldBackSectors
//    sectors aside, fits the kept boot sector (and the FAT32 and NTFS backup boot sectors) to
//    the destination's place (libtavfat_fix_fat_bootsector / libtavntfs_fix_ntfs_bootsector
//    with the destination disk's geometry, 63/255 when it has none) and writes it last;
//    finishes and closes what it opened.
// 4. When the destination is larger, grows the file system to span it (grow_file_system). A
//    grow that was not attempted (kNotSupported: no tool, a FAT layout we do not grow) or a FAT
//    grow that failed before changing anything is a warning, the copy being complete; a tool
//    that ran and failed, or a FAT grow cut short, is an error: the file system may be damaged.
// Returns 0, or -1 with *error_count counted once and the reason reported through the disk
// library's report (not counted there). A cancel stops between pieces and returns 0 with the
// held-back sectors not written (the destination then holds no valid file system).
int tav_fs_copy_used(COPY_CONTEXT* context);

// Grows the file system on `dest` (already copied, boot sector written, closed) to the
// partition's full size. `type_code` is the FS_* code of the file system: resize2fs -f for ext,
// ntfsresize -f for NTFS (which marks the volume for a check at its system's next start); FAT
// (FS_FAT16, FS_FAT32) is grown in place by grow_fat (disk/fat_grow.h); FS_UNKNOWN: Ok. The
// tool works on the partition's own device, or on a loop device attached for the duration over
// the disk (image file or block device) at the partition's offset and size and detached in
// every outcome. Tools run through the console pipe with their input closed, so none can wait
// for an answer. Output goes to the trace; a failure's message quotes the tool's last lines.
// kNotSupported only when nothing was changed (no tool installed, a layout not grown).
Status grow_file_system(BACKUP_PARTITION_INFO* dest, uint32_t type_code);

// Re-reads the partition table of a block device (BLKRRPART) so the kernel's partition nodes
// follow a changed entry. Disk image files need nothing: Ok. A device that is busy gives an
// error that says so.
Status reload_partition_table(_DISK_INFOMATION* disk);

// Where a copied file system's boot sectors must point: the destination disk's geometry (63
// sectors per track and 255 heads when it has none) and the partition's first sector.
struct BootPlace {
  uint16_t sectors_per_track = 63;
  uint16_t heads = 255;
  uint32_t first_sector = 0;
};
BootPlace boot_place_of(const BACKUP_PARTITION_INFO* dest);

// Fits the boot sectors among `held` (the first `held_count` sectors of a file system, kept aside
// by a copy) to `place`: the primary, and FAT32's backup boot sector when it lies among them.
// `type_code` is the source's file system. False when the first sector is not a boot sector of
// that file system (nothing changed); true for file systems without boot sectors to fit.
bool fit_held_boot_sectors(uint8_t* held, uint32_t held_count, uint32_t type_code, const BootPlace& place);

// NTFS keeps a backup of its boot sector just past the volume, where a copy put the source's
// version. Rewrites it on `dest` (open for writing), fitted to `place`: the sector as found
// there, or the fitted primary `boot` when it holds no NTFS boot sector. True when written or
// when `boot` places no backup inside the partition (or among the first `held_count` sectors,
// which the caller writes itself).
bool fit_ntfs_backup_boot_sector(BACKUP_PARTITION_INFO* dest, const uint8_t* boot, uint32_t held_count,
                                 const BootPlace& place);

}  // namespace tav::disk

// Fits a FAT boot sector (512 bytes, FAT12/16/32) to a new place: sectors per track, heads and
// hidden sectors (= the partition's first sector); the FAT32 backup boot sector is left to the
// copy. 0 on success, -1 when the buffer holds no FAT boot sector (left unchanged).
int libtavfat_fix_fat_bootsector(uint8_t* boot_sector, uint16_t sectors_per_track, uint16_t heads,
                                 uint32_t first_sector);
// The same for an NTFS boot sector.
int libtavntfs_fix_ntfs_bootsector(uint8_t* boot_sector, uint16_t sectors_per_track, uint16_t heads,
                                   uint32_t first_sector);
