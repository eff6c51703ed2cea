// Sector I/O on real disks and their partitions.
#include "disk/device_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "disk/sysfs_scan.h"

namespace tav::disk {
namespace {

// True when a loop device of this machine is attached to the file at `path`: whatever uses that
// loop device (a mount, swap, a file system of a partition on it) would be corrupted under its
// feet by a write to the file.
bool file_backs_a_loop_device(const std::string& path) {
  return !loop_devices_over_file(system_paths(), path).empty();
}

bool range_ok(uint64_t first, uint64_t count, uint64_t limit) {
  return first <= limit && count <= limit - first;
}

}  // namespace

int open_device(const std::string& path, int mode) {
  struct stat st {};
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (stat(path.c_str(), &st) != 0) return -1;
  const bool block = S_ISBLK(st.st_mode);
  if (!block && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return -1;
  }
  int flags = O_CLOEXEC;
  if (mode == kOpenWrite) {
    flags |= O_RDWR;
    if (block) flags |= O_EXCL;  // refused by the kernel while mounted or claimed
    if (!block && file_backs_a_loop_device(path)) {
      errno = EBUSY;
      return -1;
    }
  } else if (mode == kOpenRead) {
    flags |= O_RDONLY;
  } else {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool device_size_bytes(int fd, uint64_t* bytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (S_ISBLK(st.st_mode)) {
    uint64_t size = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) return false;
    *bytes = size;
    return true;
  }
  if (S_ISREG(st.st_mode)) {
    *bytes = uint64_t(st.st_size);
    return true;
  }
  errno = ENODEV;
  return false;
}

bool pread_full(int fd, void* buffer, size_t bytes, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (bytes > 0) {
    ssize_t n = ::pread(fd, p, bytes, off_t(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    bytes -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool pwrite_full(int fd, const void* buffer, size_t bytes, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (bytes > 0) {
    ssize_t n = ::pwrite(fd, p, bytes, off_t(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    bytes -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

namespace {

// ---- disks ----

int disk_open(_DISK_INFOMATION* disk, int mode) {
  if (disk == nullptr || (mode != kOpenRead && mode != kOpenWrite)) {
    errno = EINVAL;
    return -1;
  }
  if (disk->disk_type == DEVICE_IMAGE) {
    errno = ENODEV;
    return -1;
  }
  if (disk->fd >= 0) {
    if (disk->open_mode == kOpenWrite || disk->open_mode == mode) return 0;
    ::close(disk->fd);  // reopen for writing
    disk->fd = -1;
    disk->open_mode = -1;
  }
  int fd = open_device(disk->path, mode);
  if (fd < 0) return -1;
  disk->fd = fd;
  disk->open_mode = mode;
  return 0;
}

int64_t disk_read_sectors(_DISK_INFOMATION* disk, uint64_t first, uint32_t count, void* buffer) {
  if (disk == nullptr || disk->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!range_ok(first, count, disk->total_sectors)) {
    errno = EINVAL;
    return -1;
  }
  if (!pread_full(disk->fd, buffer, size_t(count) * kSectorSize, first * kSectorSize)) return -1;
  return count;
}

int64_t disk_write_sectors(_DISK_INFOMATION* disk, uint64_t first, uint32_t count, const void* buffer) {
  if (disk == nullptr || disk->fd < 0 || disk->open_mode != kOpenWrite) {
    errno = EBADF;
    return -1;
  }
  if (!range_ok(first, count, disk->total_sectors)) {
    errno = ENOSPC;
    return -1;
  }
  if (!pwrite_full(disk->fd, buffer, size_t(count) * kSectorSize, first * kSectorSize)) return -1;
  return count;
}

int disk_flush(_DISK_INFOMATION* disk) {
  if (disk == nullptr || disk->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (disk->open_mode != kOpenWrite) return 0;
  return fsync(disk->fd) == 0 ? 0 : -1;
}

int disk_close(_DISK_INFOMATION* disk) {
  if (disk == nullptr) return -1;
  if (disk->fd >= 0) ::close(disk->fd);
  disk->fd = -1;
  disk->open_mode = -1;
  return 0;
}

const DISK_OPERATIONS kDiskOps = {disk_open, disk_read_sectors, disk_write_sectors, disk_flush,
                                  disk_close};

// ---- partitions of real disks ----

int part_open(BACKUP_PARTITION_INFO* part, int mode) {
  if (part == nullptr || part->disk == nullptr || (mode != kOpenRead && mode != kOpenWrite)) {
    errno = EINVAL;
    return -1;
  }
  if (part->fd >= 0) {
    if (part->open_mode == kOpenWrite || part->open_mode == mode) return 0;
    ::close(part->fd);
    part->fd = -1;
    part->open_mode = -1;
  }
  std::string path;
  uint64_t offset = 0;
  if (mode == kOpenRead && !part->read_path.empty()) {
    path = part->read_path;
  } else if (!part->dev_path.empty()) {
    path = part->dev_path;
  } else {
    if (part->disk->disk_type == DEVICE_IMAGE) {
      errno = ENODEV;
      return -1;
    }
    path = part->disk->path;
    offset = part->first_sector * kSectorSize;
  }
  int fd = open_device(path, mode);
  if (fd < 0) return -1;
  part->fd = fd;
  part->open_mode = mode;
  part->fd_offset = offset;
  return 0;
}

bool part_range_ok(const BACKUP_PARTITION_INFO* part, uint64_t first_byte, uint64_t bytes) {
  const uint64_t limit = part->sector_count * kSectorSize;
  return range_ok(first_byte, bytes, limit);
}

int64_t part_pos_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, void* buffer) {
  if (part == nullptr || part->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!part_range_ok(part, offset, bytes)) {
    errno = EINVAL;
    return -1;
  }
  if (!pread_full(part->fd, buffer, bytes, part->fd_offset + offset)) return -1;
  return bytes;
}

int64_t part_pos_write(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, const void* buffer) {
  if (part == nullptr || part->fd < 0 || part->open_mode != kOpenWrite) {
    errno = EBADF;
    return -1;
  }
  if (!part_range_ok(part, offset, bytes)) {
    errno = ENOSPC;
    return -1;
  }
  if (!pwrite_full(part->fd, buffer, bytes, part->fd_offset + offset)) return -1;
  return bytes;
}

int64_t part_read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
  if (part != nullptr && !range_ok(first, count, part->sector_count)) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t bytes = uint64_t(count) * kSectorSize;
  if (bytes > UINT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return part_pos_read(part, first * kSectorSize, uint32_t(bytes), buffer) < 0 ? -1 : int64_t(count);
}

int64_t part_write_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, const void* buffer) {
  if (part != nullptr && !range_ok(first, count, part->sector_count)) {
    errno = ENOSPC;
    return -1;
  }
  const uint64_t bytes = uint64_t(count) * kSectorSize;
  if (bytes > UINT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return part_pos_write(part, first * kSectorSize, uint32_t(bytes), buffer) < 0 ? -1 : int64_t(count);
}

int part_finish(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->fd < 0 || part->open_mode != kOpenWrite) return 0;
  return fsync(part->fd) == 0 ? 0 : -1;
}

int part_close(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return -1;
  if (part->fd >= 0) ::close(part->fd);
  part->fd = -1;
  part->open_mode = -1;
  part->fd_offset = 0;
  return 0;
}

const PART_OPERATIONS kPartOps = {part_pos_read,   part_pos_write, part_read_sectors, part_write_sectors,
                                  part_finish,     part_open,      part_close};

}  // namespace

}  // namespace tav::disk

const PART_OPERATIONS* tav_get_part_operation() { return &tav::disk::kPartOps; }
const DISK_OPERATIONS* tav_get_disk_operation() { return &tav::disk::kDiskOps; }
