// Pieces shared by the catalogue's source files (volume files, image file questions, snapshot
// loading and the image disks). Not part of the library's interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/status.h"
#include "format/ego_format.h"
#include "image/image_catalogue.h"
#include "image/image_storage.h"

namespace tav::img {

// A file descriptor closed when it goes out of scope.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd();
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  // Closes the descriptor held and takes `fd`.
  void reset(int fd = -1);
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Exactly `length` bytes at `offset` of `fd`; corruption when [offset, offset + length) does not
// lie inside `file_size`, io_error when the read fails or comes up short.
Status read_exact_at(int fd, uint64_t file_size, uint64_t offset, void* buffer, size_t length);

// Size of an open regular file; io_error otherwise.
Status file_size_of(int fd, uint64_t* size);

// The header of an open volume (kHeaderSize bytes at offset 0), checked and decoded.
Status read_checked_header(int fd, uint64_t file_size, EGO_IMAGE_HEADER* header);
// The tailer at the end of an open volume, checked and decoded; its data area, location table
// and unit-info records must lie inside the file.
Status read_checked_tailer(int fd, uint64_t file_size, EGO_IMAGE_TAILER* tailer);

// The comment stored at [offset, offset + length) in the form of version `v` (UTF-16LE, ANSI up to
// 3.1) as UTF-8, cut to kMaxCommentChars characters. At most 1026 bytes are read; the range must
// lie inside the file.
Status read_comment(int fd, uint64_t file_size, FormatVersion v, uint64_t offset, uint32_t length,
                    std::string* out);

// ANSI text of an old volume or a name field: valid UTF-8 is taken as it is, anything else as
// Latin-1.
std::string ansi_to_utf8(const uint8_t* bytes, size_t length);

// What libtavimg_get_imagefile_info tells, as a status.
Status volume_info(const std::string& path, IMAGEFILE_INFO* info, bool want_comment);

// image_open_image_file as a status; storage->cur_file points into the files vector until the
// next volume is opened.
Status open_image_file(STORAGE_DATA* storage, int32_t vol);
// Closes the entry's descriptor.
void close_entry(IMAGE_FILE_DATA* entry);

// Frees a snapshot record: its disks (with their partitions), then their private data.
void destroy_snap(std::unique_ptr<SNAP_DATA> snap);

// Forgets every reading state that points into the storage's snapshots: ends the partition the
// reader has open and empties the unit cache (its keys are partition pointers, which a later
// allocation may reuse).
void forget_reader_state(STORAGE_DATA* storage);

// Reads the disk table of the snapshot's volume `file` and builds its image disks and image
// partitions into snap->disks and snap->part_data.
Status load_image_disks(const IMAGE_FILE_DATA& file, SNAP_DATA* snap);

// Loads the snapshot of the volume file at `path` into the storage, as the directory scan does
// for each file it takes. A file that is skipped (not a first volume with first_only, or its
// snapshot already loaded from its first volume) is a success.
Status tav_load_snap(STORAGE_DATA* storage, const std::string& path, bool first_only);

// Allocates the inflate workspace and the unit cache of the storage and marks every slot empty.
Status prepare_reader_buffers(STORAGE_DATA* storage);

// Sets errno and the thread's last error from a status (0 for ok).
void set_errno_from(const Status& status);

}  // namespace tav::img
