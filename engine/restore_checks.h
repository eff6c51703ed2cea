// What a partition restore or clone must satisfy before anything is written to its destination.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "core/status.h"
#include "disk/disk.h"
#include "disk/mount_table.h"
#include "engine/restore.h"

namespace tav::engine {

// True when `a` and `b` are the same disk: the same object, the same path, the same block
// device, or the same regular file (hard links and other spellings of its path included).
bool same_disk(const _DISK_INFOMATION* a, const _DISK_INFOMATION* b);

// True when the two partitions lie on the same disk and share at least one sector.
bool partitions_overlap(const BACKUP_PARTITION_INFO* a, const BACKUP_PARTITION_INFO* b);

// The directory that holds the volume files being read: the request's image_dir, else the
// directory of the storage the image partition was loaded from; empty when neither is known.
std::string restore_image_directory(const RESTORE_REQUEST& request);

// The size refusal shared by the check and the copy: "destination is not enouth! ..." with the
// destination's and the source's sizes in sectors and MiB.
std::string destination_too_small_text(const BACKUP_PARTITION_INFO& dest, const BACKUP_PARTITION_INFO& source);

// What check_restore_destination looks up about the machine, so the rules can be checked on
// their own.
struct DestinationFacts {
  // The partition that holds the image's directory (tav_path_to_part), null when unknown.
  const BACKUP_PARTITION_INFO* image_home = nullptr;
  // Where the destination is mounted (tav::disk::partition_mounts).
  std::vector<tav::disk::MountEntry> dest_mounts;
  // Loop devices attached to the destination's disk when that disk is an image file
  // (tav::disk::loop_devices_over_file): swap or a file system may be in use through them.
  std::vector<std::string> dest_loop_devices;
};

// The rules of check_restore_destination over given facts, in this order: a whole-disk request;
// a missing source or destination; a destination that is not a partition of a real disk; a
// source of the wrong kind (a restore reads a snapshot's partition, a clone a live one); a clone
// onto its own source or onto a range overlapping it; a destination that holds the image being
// read; a mounted destination; a destination on an image file that a loop device is attached
// to; a destination smaller than the source.
Status check_destination_facts(const RESTORE_REQUEST& request, const DestinationFacts& facts);

}  // namespace tav::engine
