// A libntfs-3g device over a partition object: the library reads the volume through the
// partition's own pos_read, so the NTFS handler works the same on a partition with its own block
// device, on one read through its whole disk at an offset, and on a partition of a snapshot.
// Part of the disk library; used only by fs_ntfs.cc.
//
// The device is read-only: opening it for writing fails with EROFS, and so does every write.
//
// This header also includes the libntfs-3g headers the way this library uses them: they expect
// a few standard headers that their own build configuration would otherwise pull in, and C
// linkage.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/support.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/volume.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/runlist.h>
}

// support.h defines function-like min and max macros, which would break std::min and std::max.
#undef min
#undef max

#include "disk/disk.h"

namespace tav::disk {

// State behind one device. It belongs to the caller and must outlive the device.
struct NtfsPartDeviceState {
  BACKUP_PARTITION_INFO* part = nullptr;
  int64_t position_bytes = 0;  // for the library's seek/read pair
  bool opened_part = false;    // the device's open opened the partition, so its close closes it
};

// Allocates a device named after the partition whose operations read through state->part->ops.
// The device's open opens the partition for reading when it is not open yet, and its close
// closes it again only in that case. Returns null with errno set when the partition has no
// operations or memory runs out.
// Ownership: a device passed to a successful ntfs_device_mount is freed by ntfs_umount;
// otherwise the caller frees it with ntfs_device_free.
ntfs_device* alloc_part_ntfs_device(NtfsPartDeviceState* state);

}  // namespace tav::disk
