// Raw sector dumps: read-only copy of a sector range into a file under the trace directory.
#include "core/disk_dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/file_utils.h"
#include "core/last_error.h"
#include "core/sector.h"
#include "core/trace.h"

namespace tav {
namespace {

// Sectors per read: 1 MiB.
constexpr uint64_t kChunkSectors = 2048;
// The highest sector whose byte offset fits in off_t.
constexpr uint64_t kMaxSector = static_cast<uint64_t>(INT64_MAX) / kSectorSize;

std::atomic<DiskPathResolver> g_resolver{nullptr};

bool is_plain_file_name(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strchr(name, '/') == nullptr;
}

// Reads up to `size` bytes at `offset`, stopping early only at the end of the device or on an
// error. Returns the bytes read; *error is 0 after a complete read, else the errno (ENXIO for the
// end of the device).
size_t read_at(int fd, unsigned char* buffer, size_t size, off_t offset, int* error) {
  size_t done = 0;
  *error = 0;
  while (done < size) {
    ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      break;
    }
    if (n == 0) {
      *error = ENXIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

// Writes all of `size` bytes; returns the bytes written and *error as read_at.
size_t write_out(int fd, const unsigned char* buffer, size_t size, int* error) {
  size_t done = 0;
  *error = 0;
  while (done < size) {
    ssize_t n = ::write(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

int dump_disk_sectors(const char* name, const char* device_path, uint64_t first_sector,
                      uint64_t count) {
  const char* shown_device = device_path != nullptr ? device_path : "";
  if (device_path == nullptr || *device_path == '\0') {
    set_last_error(EINVAL);
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to open disk %s", shown_device);
    return 0;
  }
  UniqueFd device(::open(device_path, O_RDONLY | O_CLOEXEC));
  if (!device.valid()) {
    set_last_error(static_cast<uint32_t>(errno));
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to open disk %s", device_path);
    return 0;
  }
  if (first_sector > kMaxSector) {
    set_last_error(EOVERFLOW);
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to seek disk %s", device_path);
    return 0;
  }

  if (!is_plain_file_name(name)) {
    set_last_error(EINVAL);
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to create disk dump file %s",
              name != nullptr ? name : "");
    return 0;
  }
  std::string dump_path = trace_dump_dir() + name + ".dat";
  // Not truncated on open: the dump must not destroy the device it reads, should both be the
  // same file. A link in the dump's place is refused rather than followed.
  UniqueFd out(::open(dump_path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  struct stat device_stat;
  struct stat out_stat;
  int create_error = 0;
  if (!out.valid()) {
    create_error = errno;
  } else if (fstat(device.get(), &device_stat) != 0 || fstat(out.get(), &out_stat) != 0) {
    create_error = errno;
  } else if (device_stat.st_dev == out_stat.st_dev && device_stat.st_ino == out_stat.st_ino) {
    create_error = EINVAL;
  } else if (ftruncate(out.get(), 0) != 0) {
    create_error = errno;
  }
  if (create_error != 0) {
    set_last_error(static_cast<uint32_t>(create_error));
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to create disk dump file %s", dump_path.c_str());
    return 0;
  }

  std::vector<unsigned char> buffer(std::min(count, kChunkSectors) * kSectorSize);
  for (uint64_t done = 0; done < count;) {
    uint64_t sector = first_sector + done;
    uint64_t sectors = std::min(count - done, kChunkSectors);
    // Sectors whose offset does not fit in off_t lie past the end of any device.
    uint64_t reachable = sector > kMaxSector ? 0 : std::min(sectors, kMaxSector - sector + 1);
    int error = reachable < sectors ? EOVERFLOW : 0;
    size_t bytes = 0;
    if (reachable > 0) {
      int read_error = 0;
      bytes = read_at(device.get(), buffer.data(), reachable * kSectorSize,
                      static_cast<off_t>(sector * kSectorSize), &read_error);
      if (read_error != 0) error = read_error;
    }
    // Whole sectors only: a device ending inside a sector fails at that sector.
    uint64_t whole = bytes / kSectorSize;
    int write_error = 0;
    size_t written = write_out(out.get(), buffer.data(), whole * kSectorSize, &write_error);
    if (write_error != 0) {
      set_last_error(static_cast<uint32_t>(write_error));
      TAV_TRACE(kTraceError, kTraceLastError, "Failed to write %llu sector to file %s",
                static_cast<unsigned long long>(sector + written / kSectorSize),
                dump_path.c_str());
      return 0;
    }
    if (whole < sectors) {
      set_last_error(static_cast<uint32_t>(error != 0 ? error : ENXIO));
      TAV_TRACE(kTraceError, kTraceLastError, "Failed to read %llu sector of disk %s",
                static_cast<unsigned long long>(sector + whole), device_path);
      return 0;
    }
    done += sectors;
  }
  if (::close(out.release()) != 0) {
    // Delayed write errors (a full file system over NFS, say) show only here.
    set_last_error(static_cast<uint32_t>(errno));
    TAV_TRACE(kTraceError, kTraceLastError, "Failed to write %llu sector to file %s",
              static_cast<unsigned long long>(first_sector + count - (count > 0 ? 1 : 0)),
              dump_path.c_str());
    return 0;
  }
  set_last_error(0);
  return 1;
}

}  // namespace

void set_disk_path_resolver(DiskPathResolver resolver) { g_resolver.store(resolver); }

int dump_disk(const char* name, const char* device_path, uint64_t first_sector, uint64_t count) {
  try {
    return dump_disk_sectors(name, device_path, first_sector, count);
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

}  // namespace tav

int TavDumpDisk(const char* name, int disk_number, uint64_t first_sector, uint64_t count) {
  tav::DiskPathResolver resolver = tav::g_resolver.load();
  std::string device_path;
  try {
    if (resolver != nullptr) device_path = resolver(disk_number);
  } catch (...) {
    device_path.clear();
  }
  if (device_path.empty()) {
    tav::set_last_error(ENODEV);
    TAV_TRACE(tav::kTraceError, tav::kTraceLastError, "Failed to open disk%d", disk_number);
    return 0;
  }
  return tav::dump_disk(name, device_path.c_str(), first_sector, count);
}
