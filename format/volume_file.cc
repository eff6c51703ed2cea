// Bounded reads from a volume file through pread.
#include "format/volume_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tav::img {

VolumeFile::~VolumeFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status VolumeFile::open(const std::string& path) {
  // O_NONBLOCK keeps open() from waiting for a writer when the path names a FIFO; the fstat
  // below refuses such files before anything is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    std::string msg = std::string("cannot open: ") + std::strerror(err);
    return err == ENOENT ? Status::not_found(msg) : Status::io_error(msg);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Status::io_error(std::string("cannot stat: ") + std::strerror(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::io_error(S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return Status::ok();
}

Status VolumeFile::read(uint64_t offset, std::span<uint8_t> out) const {
  if (fd_ < 0) return Status::invalid_argument("file not open");
  if (!contains(offset, out.size())) return Status::invalid_argument("read outside the file");
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::io_error(std::string("read failed: ") + std::strerror(errno));
    }
    if (n == 0) return Status::io_error("short read: the file shrank while being read");
    done += static_cast<size_t>(n);
  }
  return Status::ok();
}

}  // namespace tav::img
