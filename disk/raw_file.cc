// Raw files of the disk library: open, sequential and positional I/O, seek and size by
// descriptor, with the plain forms reporting failures and the "try" forms staying quiet.
#include "disk/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/last_error.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/device_io.h"
#include "disk/disk_channel.h"

namespace tav::disk {
namespace {

// Largest single read or write; the loops below carry on past it.
constexpr size_t kMaxTransfer = size_t(1) << 30;

// Sets errno and the last error to `err` and returns -1.
int fail(int err) {
  errno = err;
  set_last_error(uint32_t(err));
  return -1;
}

const char* or_unnamed(const char* name) { return name != nullptr ? name : "(unnamed file)"; }

int open_flags(int flags, int* out) {
  int access = 0;
  switch (flags) {
    case kFileRead: access = O_RDONLY; break;
    case kFileReadWrite: access = O_RDWR; break;
    case kFileReadWriteCreate: access = O_RDWR | O_CREAT; break;
    case kFileReadWriteTruncate: access = O_RDWR | O_CREAT | O_TRUNC; break;
    case 0x202: access = O_RDWR | O_TRUNC; break;
    default: return fail(EINVAL);
  }
  *out = access | O_CLOEXEC | O_NOCTTY;
  return 0;
}

int open_file(const char* name, int flags) {
  int os_flags = 0;
  if (name == nullptr || *name == '\0') return fail(name == nullptr ? EINVAL : ENOENT);
  if (open_flags(flags, &os_flags) < 0) return -1;
  int fd;
  do {
    fd = ::open(name, os_flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    return fail(err);
  }
  return fd;
}

int64_t read_all(int fd, void* buffer, size_t length) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(fd, p + done, std::min(length - done, kMaxTransfer));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;  // end of file
    done += size_t(n);
  }
  return int64_t(done);
}

int64_t write_all(int fd, const void* buffer, size_t length, bool positional, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const size_t chunk = std::min(length - done, kMaxTransfer);
    const ssize_t n = positional ? ::pwrite(fd, p + done, chunk, off_t(offset + done)) : ::write(fd, p + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return fail(ENOSPC);
    done += size_t(n);
  }
  return int64_t(done);
}

}  // namespace
}  // namespace tav::disk

using tav::disk::fail;

// Reports through the disk library without letting the report change errno.
#define RAW_REPORT(...)                                                                  \
  do {                                                                                   \
    const int saved_errno = errno;                                                       \
    TAV_ENGINE_REPORT(tav::disk::disk_report(), true, tav::kIconError, __VA_ARGS__);     \
    errno = saved_errno;                                                                 \
  } while (0)

int tav_try_file_open(const char* name, int flags) {
  const int fd = tav::disk::open_file(name, flags);
  if (fd < 0) TAV_TRACE(tav::kTraceInfo, errno, "open %s (flags 0x%x) failed", tav::disk::or_unnamed(name), flags);
  return fd;
}

int tav_file_open(const char* name, int flags) {
  const int fd = tav::disk::open_file(name, flags);
  if (fd < 0) RAW_REPORT("cannot open %s: %s", tav::disk::or_unnamed(name), std::strerror(errno));
  return fd;
}

int64_t tav_try_file_read(int fd, void* buffer, size_t length, const char* name) {
  if (buffer == nullptr && length != 0) return fail(EINVAL);
  const int64_t n = tav::disk::read_all(fd, buffer, length);
  if (n < 0) TAV_TRACE(tav::kTraceWarn, errno, "read of %zu bytes from %s failed", length, tav::disk::or_unnamed(name));
  return n;
}

int64_t tav_try_file_write(int fd, const void* buffer, size_t length, const char* name) {
  if (buffer == nullptr && length != 0) return fail(EINVAL);
  const int64_t n = tav::disk::write_all(fd, buffer, length, false, 0);
  if (n < 0) TAV_TRACE(tav::kTraceWarn, errno, "write of %zu bytes to %s failed", length, tav::disk::or_unnamed(name));
  return n;
}

int64_t tav_file_pos_write(int fd, uint64_t offset, const void* buffer, size_t length) {
  int64_t n;
  if ((buffer == nullptr && length != 0) || offset > uint64_t(INT64_MAX) || length > uint64_t(INT64_MAX) - offset) {
    n = fail(EINVAL);
  } else {
    n = tav::disk::write_all(fd, buffer, length, true, offset);
  }
  if (n < 0) {
    RAW_REPORT("cannot write %zu bytes at offset %llu of file %d: %s", length, (unsigned long long)offset, fd,
               std::strerror(errno));
  }
  return n;
}

int64_t tav_file_llseek(int fd, int64_t offset, int whence) {
  int os_whence = SEEK_SET;
  switch (whence) {
    case 0: os_whence = SEEK_SET; break;
    case 1: os_whence = SEEK_CUR; break;
    case 2: os_whence = SEEK_END; break;
    default:
      fail(EINVAL);
      RAW_REPORT("cannot seek file %d: unknown origin %d", fd, whence);
      return -1;
  }
  const off_t pos = ::lseek(fd, off_t(offset), os_whence);
  if (pos < 0) {
    fail(errno);
    RAW_REPORT("cannot seek file %d to %lld (origin %d): %s", fd, (long long)offset, whence, std::strerror(errno));
    return -1;
  }
  return int64_t(pos);
}

int64_t tav_file_get_position(int fd) {
  const off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos < 0) {
    fail(errno);
    RAW_REPORT("cannot get the position of file %d: %s", fd, std::strerror(errno));
    return -1;
  }
  return int64_t(pos);
}

int64_t tav_get_file_size(int fd) {
  uint64_t bytes = 0;
  if (!tav::disk::device_size_bytes(fd, &bytes) || bytes > uint64_t(INT64_MAX)) {
    fail(bytes > uint64_t(INT64_MAX) ? EOVERFLOW : errno);
    RAW_REPORT("cannot get the size of file %d: %s", fd, std::strerror(errno));
    return -1;
  }
  return int64_t(bytes);
}

int tav_file_close(int fd) {
  if (fd < 0) {
    fail(EBADF);
    RAW_REPORT("cannot close file %d: %s", fd, std::strerror(errno));
    return -1;
  }
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  if (::close(fd) != 0) {
    fail(errno);
    RAW_REPORT("cannot close file %d: %s", fd, std::strerror(errno));
    return -1;
  }
  return 0;
}
