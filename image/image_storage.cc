// The process's storage and the default way of opening volume files.
#include "image/image_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "image/image_catalogue.h"

namespace tav::img {

int open_volume_default(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK keeps a FIFO planted under a volume's name from blocking the open; it has no
  // effect on regular files, the only kind taken.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  const bool stat_ok = ::fstat(fd, &st) == 0;
  if (!stat_ok || !S_ISREG(st.st_mode)) {
    const int err = !stat_ok ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

namespace {

// Unloads at exit, so the disks and partitions of a loaded catalogue are freed.
struct ProcessStorage {
  STORAGE_DATA storage;
  ~ProcessStorage() { libtavimg_unload_image(&storage); }
};

}  // namespace

}  // namespace tav::img

STORAGE_DATA* libtavimg_get_storage_data() {
  static tav::img::ProcessStorage process_storage;
  return &process_storage.storage;
}
