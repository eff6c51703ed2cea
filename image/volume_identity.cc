// Questions about single volume files: is it one, which version, which snapshot and volume, its
// directory and base name, and its comment.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/memory.h"
#include "format/ego_records.h"
#include "format/image_name.h"
#include "image/catalogue_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"

namespace tav::img {
namespace {

constexpr char kVolumeExtension[] = ".ego";
constexpr size_t kExtensionChars = 4;

// Opens `path` as a volume and reads its checked header; keeps the file open in *fd.
Status open_with_header(const std::string& path, ScopedFd* fd, uint64_t* size, EGO_IMAGE_HEADER* header) {
  errno = 0;
  ScopedFd opened(open_volume_default(path.c_str()));
  if (opened.get() < 0) {
    const int err = errno;
    return err == ENOENT ? Status::not_found(path + ": " + std::strerror(err))
                         : Status::io_error(path + ": " + std::strerror(err != 0 ? err : EIO));
  }
  if (Status s = file_size_of(opened.get(), size); !s) return s.with_prefix(path + ": ");
  if (Status s = read_checked_header(opened.get(), *size, header); !s) return s.with_prefix(path + ": ");
  fd->reset(opened.release());
  return Status::ok();
}

struct ParsedPath {
  std::string file_name;  // without its directory
  std::string directory;  // up to and including the last '/'
  std::string base_name;
};

// Splits a volume path whose header gives volume `vol`: the base name is the file name without
// ".ego" and without up to as many trailing digits as `vol` has ("disk23.ego", vol 3 -> "disk2").
Status parse_path(const std::string& path, uint32_t vol, ParsedPath* out) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "!temp: %s", path.c_str());
    return Status::invalid_argument(path + ": no directory in the path");
  }
  out->directory = path.substr(0, slash + 1);
  out->file_name = path.substr(slash + 1);
  const size_t dot = out->file_name.find_last_of('.');
  if (dot == std::string::npos) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "!ext : %s", path.c_str());
    return Status::invalid_argument(path + ": no extension");
  }
  std::string base = out->file_name.substr(0, dot);
  size_t digits = std::to_string(vol).size();
  while (digits > 0 && !base.empty() && std::isdigit(static_cast<unsigned char>(base.back()))) {
    base.pop_back();
    --digits;
  }
  out->base_name = std::move(base);
  return Status::ok();
}

char* new_copy(const std::string& text) {
  auto* copy = static_cast<char*>(libtavpub_xmalloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

Status volume_info(const std::string& path, IMAGEFILE_INFO* info, bool want_comment) {
  *info = IMAGEFILE_INFO{};
  ScopedFd fd;
  uint64_t size = 0;
  EGO_IMAGE_HEADER h;
  if (Status s = open_with_header(path, &fd, &size, &h); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "Opening %s failed! %s", path.c_str(), s.message().c_str());
    return s;
  }
  ParsedPath parsed;
  if (Status s = parse_path(path, h.vol, &parsed); !s) return s;
  // The name must be the one the volume's own number gives; a renamed copy (imbackup2.ego saved
  // as imbackup5.ego) would otherwise be read in place of another volume. Names on Linux are case
  // sensitive and the loader opens the rebuilt name, so the comparison is exact.
  const std::optional<std::string> rebuilt = image_volume_name(parsed.directory, parsed.base_name, int(h.vol));
  if (!rebuilt || rebuilt->size() != path.size()) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "_tcsclen(path_name) != _tcsclen(name) (%s)", path.c_str());
    return Status::corruption(path + ": the name does not match volume " + std::to_string(h.vol) + " of its header");
  }
  if (*rebuilt != path) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "my_strnicmp failed! (%s)", path.c_str());
    return Status::corruption(path + ": the name does not match volume " + std::to_string(h.vol) + " of its header");
  }
  const FormatVersion v = h.version();
  info->create_time = int64_t(int32_t(h.create_time));
  info->signature = h.signature;
  info->vol = h.vol;
  info->major = h.major;
  info->minor = h.minor;
  info->compress_mode = compress_mode_of(v, h.compress_mode);
  info->directory = parsed.directory;
  info->base_name = parsed.base_name;
  bool first_volume = false;
  if (v.is_v10()) {
    info->backup_type = kBackupFull;
    first_volume = h.vol == 0;
    if (first_volume) info->total_vol = h.total_vol;
  } else if (!v.at_least(3, 0)) {
    info->backup_type = kBackupFull;
    info->snap_seq = h.snap_seq;
    info->first_vol2 = h.first_vol2;
  } else {
    info->backup_type = h.backup_type;
    info->snap_seq = h.snap_seq;
    info->first_vol2 = h.first_vol2;
    first_volume = h.first_vol2 == h.vol;
    if (first_volume) {
      info->first_vol = h.first_vol;
      info->total_vol = h.total_vol;
    }
  }
  if (!want_comment) return Status::ok();
  uint64_t comment_offset = 0;
  uint32_t comment_length = 0;
  if (first_volume) {
    comment_offset = h.comment_offset;
    comment_length = h.comment_length;
  } else if (v.at_least(3, 0)) {
    EGO_IMAGE_TAILER t;
    if (Status s = read_checked_tailer(fd.get(), size, &t); !s) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "Reading tailer of %s failed!", path.c_str());
      return s.with_prefix(path + ": ");
    }
    comment_offset = t.comment_offset;
    comment_length = t.comment_length;
  }
  if (comment_offset != 0 && comment_length != 0) {
    if (Status s = read_comment(fd.get(), size, v, comment_offset, comment_length, &info->comment); !s) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "read comment of %s failed", path.c_str());
      return s.with_prefix(path + ": ");
    }
    info->has_comment = true;
  }
  return Status::ok();
}

}  // namespace tav::img

int libtavimg_get_image_header(const char* file_name, uint8_t* buffer) {
  if (file_name == nullptr || buffer == nullptr) {
    errno = EINVAL;
    return -1;
  }
  tav::img::ScopedFd fd;
  uint64_t size = 0;
  tav::img::EGO_IMAGE_HEADER header;
  tav::Status st = tav::img::open_with_header(file_name, &fd, &size, &header);
  if (st) st = tav::img::read_exact_at(fd.get(), size, 0, buffer, tav::img::kHeaderSize);
  if (!st) TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "Opening %s failed!", file_name);
  tav::img::set_errno_from(st);
  return st ? 0 : -1;
}

int TavIsDiskVol(const char* file_name, uint32_t* major, uint32_t* minor) {
  if (file_name == nullptr || !libtavimg_is_image_file(file_name)) return 0;
  tav::img::ScopedFd fd;
  uint64_t size = 0;
  tav::img::EGO_IMAGE_HEADER header;
  if (!tav::img::open_with_header(file_name, &fd, &size, &header)) return 0;
  tav::img::EGO_IMAGE_TAILER tailer;
  if (tav::Status s = tav::img::read_checked_tailer(fd.get(), size, &tailer); !s) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "Reading tailer of %s failed!", file_name);
    return 0;
  }
  if (major != nullptr) *major = header.major;
  if (minor != nullptr) *minor = header.minor;
  return 1;
}

int libtavimg_is_image_file(const char* name) {
  if (name == nullptr) return 0;
  const size_t length = std::strlen(name);
  if (length <= tav::img::kExtensionChars) return 0;
  return libtavimg_my_strnicmp(name + length - tav::img::kExtensionChars, tav::img::kVolumeExtension,
                               tav::img::kExtensionChars) == 0
             ? 1
             : 0;
}

int libtavimg_my_strnicmp(const char* a, const char* b, size_t n) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
    if (ca == 0) break;
  }
  return 0;
}

int libtavimg_parse_image_pathfilename(const char* path, char** file_name, char** directory, char** base_name) {
  if (file_name != nullptr) *file_name = nullptr;
  if (directory != nullptr) *directory = nullptr;
  if (base_name != nullptr) *base_name = nullptr;
  if (path == nullptr || file_name == nullptr || directory == nullptr || base_name == nullptr ||
      !libtavimg_is_image_file(path)) {
    errno = EINVAL;
    return 0;
  }
  try {
    tav::img::ScopedFd fd;
    uint64_t size = 0;
    tav::img::EGO_IMAGE_HEADER header;
    if (tav::Status s = tav::img::open_with_header(path, &fd, &size, &header); !s) {
      TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "Getting vol of %s failed!", path);
      tav::img::set_errno_from(s);
      return 0;
    }
    tav::img::ParsedPath parsed;
    if (tav::Status s = tav::img::parse_path(path, header.vol, &parsed); !s) {
      tav::img::set_errno_from(s);
      return 0;
    }
    *file_name = tav::img::new_copy(parsed.file_name);
    *directory = tav::img::new_copy(parsed.directory);
    *base_name = tav::img::new_copy(parsed.base_name);
  } catch (const std::bad_alloc&) {
  }
  if (*file_name == nullptr || *directory == nullptr || *base_name == nullptr) {
    libtavpub_xfree(*file_name);
    libtavpub_xfree(*directory);
    libtavpub_xfree(*base_name);
    *file_name = *directory = *base_name = nullptr;
    errno = ENOMEM;
    return 0;
  }
  return 1;
}

int libtavimg_get_imagefile_info(const char* file_name, IMAGEFILE_INFO* info, bool want_comment) {
  if (file_name == nullptr || info == nullptr) {
    errno = EINVAL;
    return 0;
  }
  tav::Status st;
  try {
    st = tav::img::volume_info(file_name, info, want_comment);
  } catch (const std::bad_alloc&) {
    st = tav::Status::out_of_memory("out of memory");
  }
  tav::img::set_errno_from(st);
  return st ? 1 : 0;
}
