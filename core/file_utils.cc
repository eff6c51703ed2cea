// File and directory helpers over POSIX calls, the descriptor-based tree removal behind
// TavDeleteDir, and the shared attributes of named objects. Core library (TavPub).
#include "core/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/last_error.h"

namespace tav {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

int fail(int err) {
  set_last_error(static_cast<uint32_t>(err));
  return 0;
}

// Runs an exported function's body; memory exhaustion becomes ENOMEM instead of an exception
// crossing the module boundary.
template <typename Body>
int guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  }
}

bool is_directory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool create_directories(const std::string& path, bool* created) {
  if (created) *created = false;
  if (path.empty()) {
    set_last_error(EINVAL);
    return false;
  }
  if (is_directory(path.c_str())) return true;

  // Make each prefix that ends before a '/' (skipping empty components), then the whole path.
  // EEXIST from mkdir, or any error on something that turns out to be a directory (a read-only
  // parent that already exists, a racing creator), lets the walk go on.
  size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    if (prefix.empty() || prefix.back() == '/') continue;
    const bool last = end == std::string::npos || path.find_first_not_of('/', end) == std::string::npos;
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      if (last && created) *created = true;
    } else {
      const int err = errno;
      struct stat st;
      if (::stat(prefix.c_str(), &st) != 0) {
        set_last_error(static_cast<uint32_t>(err == EEXIST ? errno : err));
        return false;
      }
      if (!S_ISDIR(st.st_mode)) {
        set_last_error(last ? EEXIST : ENOTDIR);
        return false;
      }
    }
    if (last) break;
  }
  return true;
}

int read_whole_file(const std::string& path, std::string* bytes, struct stat* st) {
  bytes->clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return errno;
  struct stat own;
  if (st == nullptr) st = &own;
  if (::fstat(fd.get(), st) != 0) return errno;
  if (!S_ISREG(st->st_mode)) return S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    bytes->append(chunk, static_cast<size_t>(n));
  }
}

namespace {

std::string dir_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// Removes the temporary file unless the rename has taken it over.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void commit() { path_.clear(); }

 private:
  std::string path_;
};

// The temporary file of a save is "<target>.tmp.<pid>": the pid keeps processes apart, and one
// of these locks (picked by the name) keeps this process's threads apart. So a file of that name
// that exists when its lock is taken was left by a crashed process with our pid, and is removed.
std::mutex& temp_name_lock(const std::string& tmp) {
  static std::array<std::mutex, 16> locks;
  return locks[std::hash<std::string>{}(tmp) % locks.size()];
}

int replace_file(const std::string& path, std::string_view bytes, bool* before_write) {
  *before_write = true;
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  mode_t mode = 0666;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
    mode = st.st_mode & 07777;
  }

  const std::string tmp = target + ".tmp." + std::to_string(::getpid());
  std::lock_guard<std::mutex> lock(temp_name_lock(tmp));
  ::unlink(tmp.c_str());
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd.valid()) return errno;
  TempFileGuard guard(tmp);
  if (exists) {
    // Best effort both: file systems without Unix ownership refuse them, and the contents
    // matter more.
    (void)::fchmod(fd.get(), mode);
    if (::geteuid() == 0 && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
      (void)::fchown(fd.get(), st.st_uid, st.st_gid);
    }
  }
  *before_write = false;
  if (const int err = write_all(fd.get(), bytes); err != 0) return err;
  if (::fsync(fd.get()) != 0) return errno;
  if (::close(fd.release()) != 0) return errno;
  if (::rename(tmp.c_str(), target.c_str()) != 0) return errno;
  guard.commit();
  UniqueFd dir(::open(dir_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) (void)::fsync(dir.get());
  return 0;
}

}  // namespace

int write_file_atomically(const std::string& path, std::string_view bytes, bool* before_write) {
  bool before = true;
  int err;
  try {
    err = replace_file(path, bytes, &before);
  } catch (const std::bad_alloc&) {
    err = ENOMEM;
  }
  if (before_write != nullptr) *before_write = before;
  return err;
}

namespace {

// The attributes every named object is created with; g_named_object_attributes is put back to
// these on each TavGetSecurityAttributes call.
constexpr NamedObjectAttributes kNamedObjectAttributes{sizeof(NamedObjectAttributes), 0600, 0};
NamedObjectAttributes g_named_object_attributes = kNamedObjectAttributes;
std::mutex g_named_object_mu;

// ---- Tree removal ------------------------------------------------------------------------------

dev_t device_of(const struct statx& st) { return makedev(st.stx_dev_major, st.stx_dev_minor); }

// statx of `name` in `dir_fd` without following a link or triggering an automount.
int stat_entry(int dir_fd, const char* name, struct statx* st) {
  return ::statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                 STATX_TYPE | STATX_MODE | STATX_INO | STATX_MNT_ID, st);
}

// Deletes the contents of one directory tree through descriptors only, so a path component is
// never resolved again after it was examined: a directory swapped for a symbolic link or a
// mount mid-walk is detected by comparing the opened descriptor with the examined entry.
class TreeRemover {
 public:
  // `top` is the examined root of the tree; entries on another mount than the top are left.
  explicit TreeRemover(const struct statx& top)
      : dev_(device_of(top)),
        mnt_id_(top.stx_mnt_id),
        has_mnt_id_((top.stx_mask & STATX_MNT_ID) != 0) {}

  // Opens directory `name` of `parent_fd` for reading without following a link, checks it is
  // the entry `expect` describes, and gives the owner read, write and search permission when it
  // lacks any of them. Invalid on failure, with the reason noted.
  UniqueFd open_dir(int parent_fd, const char* name, const struct statx& expect);

  // Deletes everything inside the open directory `dir_fd`, depth first.
  void remove_contents(int dir_fd);

  bool left_mount() const { return left_mount_; }
  int first_error() const { return first_error_; }

 private:
  bool on_other_mount(const struct statx& st) const {
    if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
      return true;
    }
    // A bind mount of the same file system keeps the device number; the mount id tells it apart.
    if (has_mnt_id_ && (st.stx_mask & STATX_MNT_ID) && st.stx_mnt_id != mnt_id_) return true;
    return device_of(st) != dev_;
  }
  void note(int err) {
    if (first_error_ == 0) first_error_ = err;
  }

  const dev_t dev_;
  const uint64_t mnt_id_;
  const bool has_mnt_id_;
  bool left_mount_ = false;
  int first_error_ = 0;
};

bool same_inode(const struct stat& st, const struct statx& expect) {
  return st.st_ino == expect.stx_ino && st.st_dev == device_of(expect);
}

UniqueFd TreeRemover::open_dir(int parent_fd, const char* name, const struct statx& expect) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(::openat(parent_fd, name, kFlags));
  if (!fd.valid() && errno == EACCES) {
    // No read permission: grant it through a path descriptor of the very inode examined (the
    // /proc link names that inode, so a swapped entry cannot redirect the chmod).
    UniqueFd path_fd(::openat(parent_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path_fd.valid() && ::fstat(path_fd.get(), &st) == 0 && same_inode(st, expect)) {
      const std::string link = "/proc/self/fd/" + std::to_string(path_fd.get());
      if (::chmod(link.c_str(), (st.st_mode | S_IRWXU) & 07777) == 0) {
        fd.reset(::openat(parent_fd, name, kFlags));
      }
    }
    if (!fd.valid()) errno = EACCES;
  }
  if (!fd.valid()) {
    if (errno != ENOENT) note(errno);
    return fd;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    note(errno);
    return UniqueFd();
  }
  if (!same_inode(st, expect)) {
    // Replaced between the look and the open (for example mounted over): leave it alone.
    note(EAGAIN);
    return UniqueFd();
  }
  if ((st.st_mode & S_IRWXU) != S_IRWXU && ::fchmod(fd.get(), (st.st_mode | S_IRWXU) & 07777) != 0) {
    note(errno);
  }
  return fd;
}

void TreeRemover::remove_contents(int dir_fd) {
  // Read all names first, then delete: removing entries while a stream is open may make it skip
  // some. The stream reads through its own descriptor so `dir_fd` stays usable.
  std::vector<std::string> names;
  {
    const int stream_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (stream_fd < 0) {
      note(errno);
      return;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(stream_fd), &::closedir);
    if (!dir) {
      note(errno);
      ::close(stream_fd);
      return;
    }
    errno = 0;
    while (const struct dirent* entry = ::readdir(dir.get())) {
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
      errno = 0;
    }
    if (errno != 0) note(errno);
  }

  for (const std::string& name : names) {
    struct statx st;
    if (stat_entry(dir_fd, name.c_str(), &st) != 0) {
      if (errno != ENOENT) note(errno);
      continue;
    }
    if (on_other_mount(st)) {
      left_mount_ = true;
      continue;
    }
    if (S_ISDIR(st.stx_mode)) {
      UniqueFd child = open_dir(dir_fd, name.c_str(), st);
      if (!child.valid()) continue;
      remove_contents(child.get());
      child.reset();
      if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) note(errno);
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
      note(errno);
    }
  }
}

// Removes trailing tabs, CR, LF, blanks and '/'.
std::string strip_trailing(const char* path) {
  std::string text(path);
  const size_t keep = text.find_last_not_of("\t\r\n /");
  text.resize(keep == std::string::npos ? 0 : keep + 1);
  return text;
}

// Splits an absolute, stripped `path` into the canonical parent directory and the last
// component, resolving links only in the parent part. A last component of "." or ".." names a
// directory through its parent chain, so the whole path is resolved then. False with errno.
bool split_target(const std::string& path, std::string* parent, std::string* name) {
  std::string target;
  const size_t slash = path.rfind('/');
  const std::string last = path.substr(slash + 1);
  if (last == "." || last == "..") {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return false;
    target = real;
    std::free(real);
  } else {
    const std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    char* real = ::realpath(dir.c_str(), nullptr);
    if (real == nullptr) return false;
    target = real;
    std::free(real);
    if (target.back() != '/') target += '/';
    target += last;
  }
  if (target == "/") {
    errno = EINVAL;
    return false;
  }
  const size_t cut = target.rfind('/');
  *parent = cut == 0 ? std::string("/") : target.substr(0, cut);
  *name = target.substr(cut + 1);
  return true;
}

int delete_dir(const char* path, bool recursive) {
  if (path == nullptr) return fail(EINVAL);
  const std::string stripped = strip_trailing(path);
  if (stripped.empty() || stripped.front() != '/') return fail(EINVAL);
  std::string parent, name;
  if (!split_target(stripped, &parent, &name)) return fail(errno);

  UniqueFd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd.valid()) return fail(errno);
  if (!recursive) {
    if (::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR) != 0) return fail(errno);
    return 1;
  }

  struct statx top;
  if (stat_entry(parent_fd.get(), name.c_str(), &top) != 0) return fail(errno);
  if (!S_ISDIR(top.stx_mode)) return fail(ENOTDIR);
  TreeRemover remover(top);
  UniqueFd top_fd = remover.open_dir(parent_fd.get(), name.c_str(), top);
  if (!top_fd.valid()) return fail(remover.first_error() != 0 ? remover.first_error() : ENOENT);
  remover.remove_contents(top_fd.get());
  top_fd.reset();
  // A mount left inside keeps the directory from being empty; that is the reason to report.
  if (remover.left_mount()) return fail(EXDEV);
  if (remover.first_error() != 0) return fail(remover.first_error());
  if (::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR) != 0) return fail(errno);
  return 1;
}

}  // namespace
}  // namespace tav

const tav::NamedObjectAttributes* TavGetSecurityAttributes() {
  using tav::kNamedObjectAttributes;
  std::lock_guard<std::mutex> lock(tav::g_named_object_mu);
  // Only fields that differ are written, so readers of an unchanged record never race with this.
  tav::NamedObjectAttributes& record = tav::g_named_object_attributes;
  if (record.length != kNamedObjectAttributes.length) record.length = kNamedObjectAttributes.length;
  if (record.mode != kNamedObjectAttributes.mode) record.mode = kNamedObjectAttributes.mode;
  if (record.inherit_handle != kNamedObjectAttributes.inherit_handle) {
    record.inherit_handle = kNamedObjectAttributes.inherit_handle;
  }
  return &record;
}

int TavIsDir(const char* path) {
  if (path == nullptr) return tav::fail(EINVAL);
  struct stat st;
  if (::stat(path, &st) != 0) return tav::fail(errno);
  if (!S_ISDIR(st.st_mode)) return tav::fail(ENOTDIR);
  return 1;
}

int TavIsFile(const char* path) {
  if (path == nullptr) return tav::fail(EINVAL);
  struct stat st;
  if (::stat(path, &st) != 0) return tav::fail(errno);
  if (S_ISDIR(st.st_mode)) return tav::fail(EISDIR);
  return 1;
}

int TavGetFileSize(const char* path, uint64_t& size, unsigned unit) {
  size = 0;
  if (path == nullptr) return tav::fail(EINVAL);
  struct stat st;
  if (::stat(path, &st) != 0) return tav::fail(errno);
  if (S_ISDIR(st.st_mode)) return tav::fail(EISDIR);
  // st_size < 2^63 and unit < 2^32, so rounding up cannot overflow.
  uint64_t bytes = static_cast<uint64_t>(st.st_size);
  if (unit != 0 && bytes % unit != 0) bytes += unit - bytes % unit;
  size = bytes;
  return 1;
}

int TavIsFileReadable(const char* path) {
  if (path == nullptr) return tav::fail(EINVAL);
  tav::UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return tav::fail(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return tav::fail(errno);
  if (S_ISDIR(st.st_mode)) return tav::fail(EISDIR);
  return 1;
}

int TavRemoveFile(const char* path) {
  if (path == nullptr) return tav::fail(EINVAL);
  // unlink never looks at the file's own permission bits, and refuses directories (EISDIR).
  if (::unlink(path) != 0) return tav::fail(errno);
  return 1;
}

int TavDeleteDir(const char* path, int recursive) {
  return tav::guarded([&] { return tav::delete_dir(path, recursive != 0); });
}

int TavCreateDir(const char* path, unsigned mode) {
  if (path == nullptr || *path == '\0') return tav::fail(EINVAL);
  return tav::guarded([&] {
    bool created = false;
    if (!tav::create_directories(path, &created)) return 0;
    if (mode != 0 && ::chmod(path, mode & 07777) != 0) return tav::fail(errno);
    tav::set_last_error(created ? 0 : EEXIST);
    return 1;
  });
}
