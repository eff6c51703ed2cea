// Sector I/O on disks and on partitions of real disks (block devices and disk image files).
//
// A partition of a real disk is read through its own block device when it has one, else through
// the whole disk at the partition's offset (loop devices here have no partition nodes). While a
// snapshot stands in for the partition (`read_path`), reads come from the snapshot device.
//
// Writes: only through a descriptor opened with kOpenWrite. Block devices are then opened with
// O_EXCL, which the kernel refuses while a file system on the device (or, for a whole disk, on
// any of its partitions) is mounted; a write on something opened for reading fails with EBADF.
// Every access is bounds-checked against the disk's or partition's size (EINVAL / ENOSPC).
#pragma once

#include <cstdint>
#include <string>

#include "disk/disk.h"

// Operation table of partitions of real disks and of planned layouts.
const PART_OPERATIONS* tav_get_part_operation();
// Operation table of real disks.
const DISK_OPERATIONS* tav_get_disk_operation();

namespace tav::disk {

// Opens `path` for reading (O_RDONLY) or writing (O_RDWR, plus O_EXCL for block devices);
// never creates or truncates. Returns the descriptor, or -1 with errno set.
int open_device(const std::string& path, int mode);

// Bytes of a block device or regular file behind `fd`; false with errno on failure.
bool device_size_bytes(int fd, uint64_t* bytes);

// Whole-buffer positional I/O with EINTR retry; false with errno on failure or a short
// transfer (EIO when the device ended early).
bool pread_full(int fd, void* buffer, size_t bytes, uint64_t offset);
bool pwrite_full(int fd, const void* buffer, size_t bytes, uint64_t offset);

}  // namespace tav::disk
