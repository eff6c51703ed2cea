// Partition restore and clone: writes one partition of a snapshot (or, for a clone, a live
// partition) onto an existing partition of a real disk. The partition table is kept; only the
// destination's contents change, and on request the disk's boot code and the active flag.
//
// Copy methods: the file-system-aware copy of the source's handler (used data only, the file
// system grown afterwards when the destination is larger), a sector copy out of the image
// through the read-ahead (sector mode: `sector_by_sector`, equal sizes, or a file system we do
// not know), and a sector copy of the used runs of a live partition (clone in sector mode).
//
// Refused before anything is written (reported, run fails): a destination that is mounted, one
// that holds the image being read (or, for a clone, the source itself or a partition
// overlapping it), one smaller than the source (both sizes in the message), and a destination on
// a disk opened as an image of a snapshot. In every copy the first sectors of the destination
// (its boot sector or superblock) are zeroed first and written last, so a restore cut short
// never leaves a file system that looks valid.
//
// Prerequisites as for the backup: libtavbak_set_thread_gui named the channel; for a restore the
// image partition belongs to a loaded storage; the destination partition belongs to a disk list
// of this machine (libtavdisk_get_disk_list) that outlives the run.
//
// Completion: the run ends the channel's operation (UiMessage::kWorkDone) with 0 on success, -1
// on failure; a cancelled run ends with 0 and the channel's cancel set. One engine run at a time
// per process: called while a run is active, the entry points return 0.
#pragma once

#include <cstdint>
#include <string>

#include "core/status.h"
#include "disk/disk.h"

// Owned by the caller, valid until the run ends. Whole-disk members are kept for the layout of
// the record; this build restores partitions (whole_disk must be 0).
struct RESTORE_REQUEST {
  std::string image_dir;    // folder of the storage (decides the read-ahead mode)
  std::string image_name;   // base name (not read by the engine)
  uint32_t snapshot = 0;    // snapshot chosen by the caller (not read by the engine)
  uint32_t is_clone = 0;    // 1: the source is a live partition
  uint32_t whole_disk = 0;  // 1: whole-disk restore (refused by this build)
  _DISK_INFOMATION* source_disk = nullptr;    // not read by the engine
  BACKUP_PARTITION_INFO* image_part = nullptr;  // the source partition
  _DISK_INFOMATION* dest_disk = nullptr;        // not read by the engine
  BACKUP_PARTITION_INFO* dest_part = nullptr;   // the destination partition
  uint32_t sector_by_sector = 0;  // 1: copy every stored (or, for a clone, used) sector
  _DISK_INFOMATION* restore_disk = nullptr;     // whole-disk layouts (not used here)
  uint32_t reserved = 0;
  uint32_t restore_mbr = 0;  // 1: also write the image disk's saved boot code (partition restore)
  uint32_t make_active = 0;  // 1: make the destination the active partition
  uint32_t in_winpe = 0;     // 1 when running in the rescue environment
};

// Starts the run on the channel's worker thread: 1 when started, else 0 (null request, or the
// thread could not start: "Starting restoration thread failed!"). Sets the channel's
// progress_step to 0xFFFF and clears worker_mode and cancel first.
int TavStartRestoration(RESTORE_REQUEST* request);

// The same run on the caller's thread (tests and the command line). 1, or 0 for a null request.
int TavRestoreThread(RESTORE_REQUEST* request);

namespace tav::engine {

// The checks above, before anything is written: Ok, or an error whose message says what is wrong
// with the destination (used by the command line to refuse before it asks the user).
Status check_restore_destination(const RESTORE_REQUEST& request);

}  // namespace tav::engine
