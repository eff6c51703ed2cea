// The backup: turns the selected partitions of a disk list into one new snapshot of an image
// storage. It runs on the worker thread of the engine's progress channel (TavStartBackup) or on
// the caller's thread (TavBackupThread); per partition it builds the backup plan (used sectors
// minus paging and hibernation files, compared with the parent snapshot's sectors for an
// incremental or differential snapshot), lets the worker threads (engine/backup_worker.h) read,
// compress and write the data through the image writer, and at the end finishes the volumes or,
// after a failure or cancel, deletes every volume file of the run.
//
// Prerequisites: libtavbak_set_thread_gui (engine/engine_channel.h) named the channel; for an
// incremental or differential request, or with `storage_exists`, the caller loaded the storage
// the snapshot extends into the image library's storage (libtavimg_get_storage_data); the disk
// list was built with the file-system scan that fills used_sectors.
//
// Completion: the run ends the channel's operation with the result first_vol on success and -1
// on failure or cancel (UiMessage::kWorkDone to the channel's owner); a failed or cancelled run
// leaves no volume file of its own behind. One run at a time per process: an entry point called
// while a run is active returns 0. Without a channel named by libtavbak_set_thread_gui the
// engine uses a silent channel of its own.
//
// Refused before any volume is written (reported, result -1): a dest_dir that is not an
// existing directory, a selected partition of 2^32 sectors or more, no partition selected, an
// incremental or differential request (or `storage_exists`) without the loaded storage of
// dest_dir and base_name, and `restart_numbering` where volume files of the base name exist.
#pragma once

#include <cstdint>
#include <string>

#include "format/ego_format.h"
#include "disk/disk.h"

// Filled by the caller, read by the engine (which sets only `first_vol`). The request and the
// disk list must outlive the run.
struct BACKUP_REQUEST {
  std::string dest_dir;   // directory of the storage's volume files (must exist)
  std::string base_name;  // base name of the volume files
  uint32_t storage_exists = 0;  // nonzero: the snapshot is added to the loaded storage
  uint32_t backup_type = tav::img::kBackupFull;        // 1 full, 2 incremental, 3 differential
  uint32_t compress_mode = tav::img::kCompressNormal;  // 0 none, 1 normal, 2 high
  std::string comment;          // UTF-8; cut to 512 characters; empty writes none
  // Nonzero: the first volume gets number 0 (refused when files of the base name exist); zero:
  // one more than the highest number among dest_dir's "<base_name><n>.ego".
  uint32_t restart_numbering = 0;
  uint64_t volume_limit = 0;       // largest volume file in bytes; 0 no limit
  uint32_t no_vss = 0;             // nonzero: partitions are read directly, without a snapshot
  uint32_t first_vol = 0;          // set by the engine: number of the snapshot's first volume
};

// Starts the run on the channel's worker thread: 1 when it was started, else 0 ("Starting
// backup thread failed!"); 0 also for a null argument. Sets the channel's progress_step to
// 0xFFFF and clears worker_mode and cancel first.
int TavStartBackup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks);

// The same run on the caller's thread (it clears the channel's cancel first). 1, or 0 for a null
// argument; the run's own result is the one it ends the channel's operation with, and
// request->first_vol holds the first volume's number after a successful run.
int TavBackupThread(BACKUP_REQUEST* request, _DISK_INFOMATION* disks);
