// The storage's volume files: reading inside a file's bounds, header and tailer checks on an
// open file, and the files vector through which every volume is opened (image_open_image_file).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "core/last_error.h"
#include "core/text_convert.h"
#include "format/ego_records.h"
#include "format/image_name.h"
#include "image/catalogue_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"

namespace tav::img {

ScopedFd::~ScopedFd() { reset(); }

void ScopedFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

void set_errno_from(const Status& status) {
  const int err = status_errno(status, EOPNOTSUPP);
  errno = err;
  set_last_error(uint32_t(err));
}

Status read_exact_at(int fd, uint64_t file_size, uint64_t offset, void* buffer, size_t length) {
  if (offset > file_size || uint64_t(length) > file_size - offset) {
    return Status::corruption("range " + std::to_string(offset) + "+" + std::to_string(length) +
                              " lies outside the file (" + std::to_string(file_size) + " bytes)");
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out + done, length - done, off_t(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::io_error(std::string("read failed: ") + std::strerror(errno));
    }
    if (n == 0) return Status::io_error("read came up short (file shrank)");
    done += size_t(n);
  }
  return Status::ok();
}

Status file_size_of(int fd, uint64_t* size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Status::io_error(std::string("stat failed: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Status::io_error("not a regular file");
  *size = uint64_t(st.st_size);
  return Status::ok();
}

Status read_checked_header(int fd, uint64_t file_size, EGO_IMAGE_HEADER* header) {
  std::array<uint8_t, kHeaderSize> bytes{};
  if (file_size < kHeaderSize) return Status::corruption("image header: file too small");
  if (Status s = read_exact_at(fd, file_size, 0, bytes.data(), bytes.size()); !s) return s;
  if (Status s = check_image_header(bytes); !s) return s;
  return decode_image_header(bytes, header);
}

Status read_checked_tailer(int fd, uint64_t file_size, EGO_IMAGE_TAILER* tailer) {
  if (file_size < kHeaderSize + kTailerSize) return Status::corruption("image tailer: file too small");
  std::array<uint8_t, kTailerSize> bytes{};
  const uint64_t tailer_offset = file_size - kTailerSize;
  if (Status s = read_exact_at(fd, file_size, tailer_offset, bytes.data(), bytes.size()); !s) return s;
  if (Status s = check_image_tailer(bytes); !s) return s;
  if (Status s = decode_image_tailer(bytes, tailer); !s) return s;
  // The reader follows these offsets; they must describe areas inside the file, in file order.
  if (tailer->data_start < kHeaderSize || tailer->data_start > tailer->location_offset ||
      tailer->location_offset > tailer_offset) {
    return Status::corruption("image tailer: data area " + std::to_string(tailer->data_start) + ".." +
                              std::to_string(tailer->location_offset) + " outside the file");
  }
  const uint64_t info_bytes = uint64_t(tailer->unit_info_count) * kUnitInfoSize;
  if (tailer->unit_info_offset > tailer_offset || info_bytes > tailer_offset - tailer->unit_info_offset) {
    return Status::corruption("image tailer: unit-info records outside the file");
  }
  return Status::ok();
}

std::string ansi_to_utf8(const uint8_t* bytes, size_t length) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), length);
  bool valid = true;
  for (size_t at = 0; at < text.size() && valid;) {
    size_t n = 0;
    valid = decode_utf8_char(text.substr(at), &n) >= 0;
    at += n;
  }
  if (valid) return std::string(text);
  std::string out;
  out.reserve(length * 2);
  for (const uint8_t b : std::span<const uint8_t>(bytes, length)) {
    if (b < 0x80) {
      out.push_back(char(b));
    } else {
      out.push_back(char(0xC0 | (b >> 6)));
      out.push_back(char(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

Status read_comment(int fd, uint64_t file_size, FormatVersion v, uint64_t offset, uint32_t length,
                    std::string* out) {
  out->clear();
  constexpr uint32_t kMaxCommentBytes = 2 * (kMaxCommentChars + 1);  // 1026
  const uint32_t take = std::min(length, kMaxCommentBytes);
  std::vector<uint8_t> bytes(take);
  if (Status s = read_exact_at(fd, file_size, offset, bytes.data(), bytes.size()); !s) {
    return s.with_prefix("comment: ");
  }
  if (v.comment_is_utf16()) {
    // Units up to the zero, at most kMaxCommentChars of them (a surrogate pair cut at the end
    // becomes U+FFFD in the conversion).
    size_t units = 0;
    while (units < kMaxCommentChars && 2 * units + 1 < bytes.size() &&
           (bytes[2 * units] != 0 || bytes[2 * units + 1] != 0)) {
      ++units;
    }
    *out = utf16le_bytes_to_utf8(std::span<const unsigned char>(bytes.data(), 2 * units));
    return Status::ok();
  }
  size_t end = 0;
  while (end < bytes.size() && bytes[end] != 0) ++end;
  std::string text = ansi_to_utf8(bytes.data(), end);
  // Cut to kMaxCommentChars characters, never inside one.
  size_t at = 0;
  for (uint32_t chars = 0; at < text.size() && chars < kMaxCommentChars; ++chars) {
    size_t n = 0;
    decode_utf8_char(std::string_view(text).substr(at), &n);
    at += n;
  }
  text.resize(at);
  *out = std::move(text);
  return Status::ok();
}

Status read_volume_bytes(const IMAGE_FILE_DATA& file, uint64_t offset, void* buffer, size_t length) {
  if (file.fd < 0) return Status::io_error(file.name + ": volume is not open");
  if (Status s = read_exact_at(file.fd, file.file_size, offset, buffer, length); !s) {
    return s.with_prefix(file.name + ": ");
  }
  return Status::ok();
}

namespace {

// True when the open descriptor still refers to the file under its name.
bool still_same_file(const IMAGE_FILE_DATA& file) {
  struct stat by_fd {};
  struct stat by_name {};
  if (::fstat(file.fd, &by_fd) != 0 || ::stat(file.name.c_str(), &by_name) != 0) return false;
  return by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino &&
         uint64_t(by_fd.st_size) == file.file_size;
}

// Position of `vol` in the files vector (ordered by vol), or where it belongs. The last index
// found is tried first, then its neighbours, as the reader walks volumes in order.
size_t find_file_slot(const STORAGE_DATA& storage, int32_t vol, bool* found) {
  const auto& files = storage.files;
  const int hint = storage.last_file_index;
  for (int at : {hint, hint + 1, hint - 1}) {
    if (at >= 0 && size_t(at) < files.size() && files[size_t(at)].vol == vol) {
      *found = true;
      return size_t(at);
    }
  }
  const auto it = std::lower_bound(files.begin(), files.end(), vol,
                                   [](const IMAGE_FILE_DATA& f, int32_t v) { return f.vol < v; });
  *found = it != files.end() && it->vol == vol;
  return size_t(it - files.begin());
}

// Opens the volume file of `entry` (name and vol set) and fills in its header and tailer values.
Status open_entry(STORAGE_DATA* storage, IMAGE_FILE_DATA* entry) {
  errno = 0;
  const tav::img::OpenVolumeFn open_fn =
      storage->open_volume != nullptr ? storage->open_volume : tav::img::open_volume_default;
  ScopedFd fd(open_fn(entry->name.c_str()));
  if (fd.get() < 0) {
    const int err = errno;
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "open image file %s failed", entry->name.c_str());
    return err == ENOENT ? Status::not_found(entry->name + ": " + std::strerror(err))
                         : Status::io_error(entry->name + ": " + std::strerror(err != 0 ? err : EIO));
  }
  uint64_t size = 0;
  if (Status s = file_size_of(fd.get(), &size); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "open image file %s failed", entry->name.c_str());
    return s.with_prefix(entry->name + ": ");
  }
  EGO_IMAGE_HEADER header;
  Status st = read_checked_header(fd.get(), size, &header);
  if (st && int64_t(header.vol) != entry->vol) {
    st = Status::corruption("image header: holds volume " + std::to_string(header.vol) + ", not " +
                            std::to_string(entry->vol));
  }
  if (!st) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "read image header failed(%s)", entry->name.c_str());
    return st.with_prefix(entry->name + ": ");
  }
  EGO_IMAGE_TAILER tailer;
  if (Status s = read_checked_tailer(fd.get(), size, &tailer); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "read image tailer failed(%s)", entry->name.c_str());
    return s.with_prefix(entry->name + ": ");
  }
  entry->fd = fd.release();
  entry->file_size = size;
  entry->major = header.major;
  entry->minor = header.minor;
  entry->complete = tailer.complete;
  entry->data_start = tailer.data_start;
  entry->location_offset = tailer.location_offset;
  entry->unit_info_count = tailer.unit_info_count;
  entry->unit_info_offset = tailer.unit_info_offset;
  return Status::ok();
}

}  // namespace

void close_entry(IMAGE_FILE_DATA* entry) {
  if (entry->fd >= 0) ::close(entry->fd);
  entry->fd = -1;
}

Status open_image_file(STORAGE_DATA* storage, int32_t vol) {
  if (vol < 0) return Status::invalid_argument("negative volume number");
  bool found = false;
  const size_t at = find_file_slot(*storage, vol, &found);
  if (found) {
    IMAGE_FILE_DATA& entry = storage->files[at];
    storage->last_file_index = int(at);
    if (entry.fd >= 0 && still_same_file(entry)) {
      storage->cur_vol = vol;
      storage->cur_file = &entry;
      return Status::ok();
    }
    close_entry(&entry);
    storage->cur_vol = -1;
    storage->cur_file = nullptr;
    if (Status s = open_entry(storage, &entry); !s) return s;
    storage->cur_vol = vol;
    storage->cur_file = &entry;
    return Status::ok();
  }
  IMAGE_FILE_DATA entry;
  entry.vol = vol;
  const std::optional<std::string> name = image_volume_name(storage->directory, storage->base_name, vol);
  if (!name) return Status::invalid_argument("no name for volume " + std::to_string(vol));
  entry.name = *name;
  if (Status s = open_entry(storage, &entry); !s) return s;
  // Inserting may move the entries: the current file pointer is set again after it.
  storage->files.insert(storage->files.begin() + std::ptrdiff_t(at), std::move(entry));
  storage->last_file_index = int(at);
  storage->cur_vol = vol;
  storage->cur_file = &storage->files[at];
  return Status::ok();
}

}  // namespace tav::img

int image_open_image_file(STORAGE_DATA* storage, int32_t vol) {
  if (storage == nullptr) {
    errno = EINVAL;
    return -1;
  }
  tav::Status st;
  try {
    st = tav::img::open_image_file(storage, vol);
  } catch (const std::bad_alloc&) {
    st = tav::Status::out_of_memory("out of memory: (pstorage->files_vector_size+64)*sizeof(IMAGE_FILE_DATA)");
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "%s", st.message().c_str());
  }
  tav::img::set_errno_from(st);
  return st ? 0 : -1;
}

void libtavimg_close_all_image_file(STORAGE_DATA* storage) {
  if (storage == nullptr) return;
  for (IMAGE_FILE_DATA& entry : storage->files) tav::img::close_entry(&entry);
  storage->files.clear();
  storage->last_file_index = -1;
  storage->cur_vol = -1;
  storage->cur_file = nullptr;
}
