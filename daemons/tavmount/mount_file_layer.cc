// The mount daemon's file and memory layer: read-only opens as the client, positioned reads and
// seeks with the daemon's failure texts, and zero-filled blocks.
#include "daemons/tavmount/mount_file_layer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/engine_report.h"
#include "daemons/tavmount/mount_report.h"

namespace tav::mount {
namespace {

std::mutex g_credentials_mutex;
FileCredentials g_credentials;  // guarded by g_credentials_mutex

// The calling thread's file-system identity switched to `who` for its lifetime. The raw
// setgroups system call changes only this thread's groups (the C library's wrapper would change
// every thread's); setfsuid and setfsgid are per thread already. Leaving uid 0 drops the file
// capabilities, so the kernel checks the client's rights on every path component.
class ScopedFileIdentity {
 public:
  explicit ScopedFileIdentity(const FileCredentials& who) {
    if (::geteuid() != 0) {
      // Without the right to switch, never open with more rights than the client has.
      ok_ = who.uid == 0 || who.uid == ::geteuid();
      return;
    }
    const int count = ::getgroups(0, nullptr);
    if (count < 0) return;
    saved_groups_.resize(size_t(count));
    if (count > 0 && ::getgroups(count, saved_groups_.data()) != count) return;
    saved_gid_ = gid_t(::setfsgid(gid_t(-1)));
    if (::syscall(SYS_setgroups, who.groups.size(), who.groups.data()) != 0) return;
    switched_ = true;
    ::setfsgid(who.gid);
    ::setfsuid(who.uid);
    ok_ = uid_t(::setfsuid(uid_t(-1))) == who.uid && gid_t(::setfsgid(gid_t(-1))) == who.gid;
  }
  ~ScopedFileIdentity() {
    if (!switched_) return;
    ::setfsuid(0);
    ::setfsgid(saved_gid_);
    ::syscall(SYS_setgroups, saved_groups_.size(), saved_groups_.data());
  }
  ScopedFileIdentity(const ScopedFileIdentity&) = delete;
  ScopedFileIdentity& operator=(const ScopedFileIdentity&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  bool switched_ = false;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> saved_groups_;
};

}  // namespace

FileCredentials credentials_of(uid_t uid, gid_t gid) {
  FileCredentials who;
  who.uid = uid;
  who.gid = gid;
  std::vector<char> text(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, text.data(), text.size(), &found) != 0 || found == nullptr) return who;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
    groups.resize(size_t(count));
    if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) return who;
  }
  groups.resize(size_t(count));
  who.groups = std::move(groups);
  return who;
}

void set_volume_credentials(const FileCredentials& credentials) {
  std::lock_guard<std::mutex> lock(g_credentials_mutex);
  g_credentials = credentials;
}

int open_volume_as_client(const char* path) {
  FileCredentials who;
  {
    std::lock_guard<std::mutex> lock(g_credentials_mutex);
    who = g_credentials;
  }
  ScopedFileIdentity identity(who);
  if (!identity.ok()) {
    TAV_MOUNT_REPORT("file open: status = %lx\n", static_cast<unsigned long>(EPERM));
    errno = EPERM;
    return -1;
  }
  return tav_try_file_open(path, 0);
}

int tav_try_file_open(const char* path, int /*mode*/) {
  if (path == nullptr) {
    TAV_MOUNT_REPORT("file open: status = %lx\n", static_cast<unsigned long>(EINVAL));
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK keeps a FIFO planted under the name from blocking; regular files only.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  int err = errno;
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
  }
  TAV_MOUNT_REPORT("file open: status = %lx\n", static_cast<unsigned long>(err));
  errno = err;
  return -1;
}

uint32_t tav_try_file_read(int handle, void* buffer, uint32_t length, const char* /*name*/) {
  ssize_t got = 0;
  do {
    got = ::read(handle, buffer, length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    const int err = errno;
    TAV_MOUNT_REPORT("file read: status = %lx\n", static_cast<unsigned long>(err));
    errno = err;
    return 0;
  }
  return uint32_t(got);
}

int64_t tav_file_get_position(int handle) {
  const off_t at = ::lseek(handle, 0, SEEK_CUR);
  if (at < 0) {
    const int err = errno;
    TAV_MOUNT_REPORT("file_get_position: status = %lx\n", static_cast<unsigned long>(err));
    errno = err;
    return -1;
  }
  return at;
}

int64_t tav_get_file_size(int handle) {
  struct stat st {};
  if (::fstat(handle, &st) != 0) {
    const int err = errno;
    TAV_MOUNT_REPORT("get_file_size: status = %lx\n", static_cast<unsigned long>(err));
    errno = err;
    return -1;
  }
  return st.st_size;
}

int64_t tav_file_llseek(int handle, int64_t offset, int origin) {
  if (origin != SEEK_SET) {
    TAV_MOUNT_REPORT("origin != SEEK_SET \n");
    errno = EINVAL;
    return -1;
  }
  const off_t at = ::lseek(handle, off_t(offset), SEEK_SET);
  if (at < 0) {
    const int err = errno;
    TAV_MOUNT_REPORT("file_llseek: status = %lx\n", static_cast<unsigned long>(err));
    errno = err;
    return -1;
  }
  return at;
}

int tav_file_close(int handle) {
  if (handle >= 0) ::close(handle);
  return 0;
}

int tav_file_exists(const char* path) {
  const int fd = tav_try_file_open(path, 0);
  if (fd < 0) return 0;
  tav_file_close(fd);
  return 1;
}

void* mount_xmalloc(size_t bytes) {
  void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (block == nullptr) TAV_MOUNT_REPORT("Allocating memory failed: %d", int(bytes));
  return block;
}

char16_t* mount_strdup(const char16_t* text) {
  if (text == nullptr) {
    TAV_MOUNT_REPORT("null string pointer");
    return nullptr;
  }
  size_t length = 0;
  while (text[length] != 0) ++length;
  const size_t bytes = (length + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::calloc(1, bytes));
  if (copy == nullptr) {
    TAV_MOUNT_REPORT("Allocating memory failed: %d", int(bytes));
    return nullptr;
  }
  std::memcpy(copy, text, bytes);
  return copy;
}

void mount_xfree(void* block) { std::free(block); }

int mount_leak_report(char* /*buffer*/, size_t /*buffer_chars*/) { return 0; }

}  // namespace tav::mount
