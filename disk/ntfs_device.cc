// libntfs-3g device operations that read through a partition object's own operations.
#include "disk/ntfs_device.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "disk/part_open.h"

namespace tav::disk {
namespace {

// Largest single pos_read (its byte count is 32-bit).
constexpr int64_t kMaxReadBytes = 1 << 20;

NtfsPartDeviceState* state_of(ntfs_device* dev) { return static_cast<NtfsPartDeviceState*>(dev->d_private); }

int64_t part_bytes(const NtfsPartDeviceState* state) {
  return int64_t(state->part->sector_count * kSectorSize);
}

int dev_open(ntfs_device* dev, int flags) {
  NtfsPartDeviceState* state = state_of(dev);
  if (NDevOpen(dev)) {
    errno = EBUSY;
    return -1;
  }
  if ((flags & O_ACCMODE) != O_RDONLY) {
    errno = EROFS;
    return -1;
  }
  BACKUP_PARTITION_INFO* part = state->part;
  state->opened_part = false;
  if (!partition_is_open(part)) {
    if (part->ops->open == nullptr || part->ops->open(part, kOpenRead) < 0) {
      if (errno == 0) errno = EIO;
      return -1;
    }
    state->opened_part = true;
  }
  state->position_bytes = 0;
  NDevSetOpen(dev);
  NDevSetReadOnly(dev);
  NDevClearDirty(dev);
  return 0;
}

int dev_close(ntfs_device* dev) {
  NtfsPartDeviceState* state = state_of(dev);
  if (!NDevOpen(dev)) {
    errno = EBADF;
    return -1;
  }
  if (state->opened_part && state->part->ops->close != nullptr) state->part->ops->close(state->part);
  state->opened_part = false;
  NDevClearOpen(dev);
  return 0;
}

// Reads [offset, offset + count) clipped to the partition; a read from the end on gives 0 bytes
// as a file would.
s64 dev_pread(ntfs_device* dev, void* buf, s64 count, s64 offset) {
  NtfsPartDeviceState* state = state_of(dev);
  if (!NDevOpen(dev)) {
    errno = EBADF;
    return -1;
  }
  if (count < 0 || offset < 0 || buf == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const int64_t size = part_bytes(state);
  if (offset >= size) return 0;
  count = std::min<int64_t>(count, size - offset);
  auto* out = static_cast<uint8_t*>(buf);
  int64_t done = 0;
  while (done < count) {
    const int64_t chunk = std::min(kMaxReadBytes, count - done);
    errno = 0;
    const int64_t got = state->part->ops->pos_read(state->part, uint64_t(offset + done), uint32_t(chunk),
                                                   out + done);
    if (got != chunk) {
      if (got >= 0 || errno == 0) errno = EIO;  // a short read is an error: the range was in bounds
      return done > 0 ? done : -1;
    }
    done += chunk;
  }
  return done;
}

s64 dev_seek(ntfs_device* dev, s64 offset, int whence) {
  NtfsPartDeviceState* state = state_of(dev);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = state->position_bytes; break;
    case SEEK_END: base = part_bytes(state); break;
    default: errno = EINVAL; return -1;
  }
  if ((offset < 0 && -offset > base) || (offset > 0 && offset > INT64_MAX - base)) {
    errno = EINVAL;
    return -1;
  }
  state->position_bytes = base + offset;
  return state->position_bytes;
}

s64 dev_read(ntfs_device* dev, void* buf, s64 count) {
  NtfsPartDeviceState* state = state_of(dev);
  const s64 got = dev_pread(dev, buf, count, state->position_bytes);
  if (got > 0) state->position_bytes += got;
  return got;
}

s64 dev_write(ntfs_device*, const void*, s64) {
  errno = EROFS;
  return -1;
}

s64 dev_pwrite(ntfs_device*, const void*, s64, s64) {
  errno = EROFS;
  return -1;
}

int dev_sync(ntfs_device* dev) {
  if (!NDevOpen(dev)) {
    errno = EBADF;
    return -1;
  }
  return 0;  // nothing is ever written
}

int dev_stat(ntfs_device* dev, struct stat* buf) {
  if (buf == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::memset(buf, 0, sizeof(*buf));
  buf->st_mode = S_IFREG | 0444;
  buf->st_size = part_bytes(state_of(dev));
  buf->st_blksize = kSectorSize;
  return 0;
}

// The library asks block devices for their size and sector size; answer those from the
// partition and refuse everything else (it copes without).
int dev_ioctl(ntfs_device* dev, unsigned long request, void* argp) {
  if (argp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  switch (request) {
    case BLKGETSIZE64:
      *static_cast<uint64_t*>(argp) = uint64_t(part_bytes(state_of(dev)));
      return 0;
    case BLKGETSIZE:
      *static_cast<unsigned long*>(argp) = static_cast<unsigned long>(state_of(dev)->part->sector_count);
      return 0;
    case BLKSSZGET:
      *static_cast<int*>(argp) = int(kSectorSize);
      return 0;
    default:
      errno = EOPNOTSUPP;
      return -1;
  }
}

ntfs_device_operations kPartDeviceOps = {
    dev_open, dev_close, dev_seek, dev_read, dev_write, dev_pread, dev_pwrite, dev_sync, dev_stat, dev_ioctl,
};

}  // namespace

ntfs_device* alloc_part_ntfs_device(NtfsPartDeviceState* state) {
  if (state == nullptr || state->part == nullptr || state->part->ops == nullptr ||
      state->part->ops->pos_read == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string name = state->part->dev_name.empty() ? std::string("partition") : state->part->dev_name;
  state->position_bytes = 0;
  state->opened_part = false;
  return ntfs_device_alloc(name.c_str(), 0, &kPartDeviceOps, state);
}

}  // namespace tav::disk
