// Read-only access to one volume file with reads bounded by the file's size.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/status.h"

namespace tav::img {

// Owns an open descriptor of a regular file. Not safe for concurrent use.
class VolumeFile {
 public:
  VolumeFile() = default;
  ~VolumeFile();
  VolumeFile(const VolumeFile&) = delete;
  VolumeFile& operator=(const VolumeFile&) = delete;

  // Opens `path` for reading. Refuses anything but a regular file (a FIFO or a device could block
  // or never end). not_found when the file does not exist, io_error otherwise.
  Status open(const std::string& path);

  // Size in bytes at the time of open().
  uint64_t size() const { return size_; }

  // True when [offset, offset + length) lies inside the file; safe against overflow.
  bool contains(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }

  // Reads exactly out.size() bytes at `offset`. invalid_argument when the range is not inside
  // the file, io_error when the read fails or comes up short (the file shrank).
  Status read(uint64_t offset, std::span<uint8_t> out) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace tav::img
