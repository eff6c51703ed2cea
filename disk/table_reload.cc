// Re-reading a disk's partition table after one of its entries changed.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/trace.h"
#include "disk/fs_copy.h"

namespace tav::disk {

Status reload_partition_table(_DISK_INFOMATION* disk) {
  if (disk == nullptr || disk->path.empty()) return Status::invalid_argument("no disk to re-read");
  struct stat st {};
  if (::stat(disk->path.c_str(), &st) != 0) {
    return Status::io_error("cannot re-read the partition table of " + disk->path + ": " + std::strerror(errno));
  }
  if (!S_ISBLK(st.st_mode)) return Status::ok();  // a disk image file: nobody caches its table
  int fd;
  do {
    fd = ::open(disk->path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return Status::io_error("cannot open " + disk->path + " to re-read its partition table: " +
                            std::strerror(errno));
  }
  int rc;
  do {
    rc = ::ioctl(fd, BLKRRPART);
  } while (rc != 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (rc == 0) {
    TAV_TRACE(kTraceInfo, 0, "partition table of %s re-read", disk->path.c_str());
    return Status::ok();
  }
  if (error == EBUSY) {
    return Status::io_error("The partition table of " + disk->path +
                            " was not re-read: the disk is in use (a partition on it is mounted or open). "
                            "The new table takes effect after the disk is released or the system restarts.");
  }
  return Status::io_error("cannot re-read the partition table of " + disk->path + ": " + std::strerror(error));
}

}  // namespace tav::disk
