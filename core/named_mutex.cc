// Named mutexes as flock locks on files in the run directory. Core library (TavPub).
#include "core/named_mutex.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "core/last_error.h"
#include "core/program_dir.h"

namespace tav {
namespace {

constexpr std::string_view kRefSuffix = ".ref";

bool fail(int err) {
  set_last_error(static_cast<uint32_t>(err));
  return false;
}

// Opens the named-object file `path` with `flags`, creating it with the shared attributes when
// missing. Never follows a link, never blocks on a FIFO, and accepts only a regular file.
UniqueFd open_named_file(const std::string& path, int flags) {
  const NamedObjectAttributes* attributes = TavGetSecurityAttributes();
  const mode_t mode = attributes->mode;
  flags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (attributes->inherit_handle ? 0 : O_CLOEXEC);
  // A file deleted between the two opens is simply created again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, mode));
    if (fd.valid()) {
      // Only the creator sets the mode: a file someone else made is not ours to change.
      if (::fchmod(fd.get(), mode) != 0) return UniqueFd();
      return fd;
    }
    if (errno != EEXIST) return UniqueFd();
    fd.reset(::open(path.c_str(), flags));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;
      return UniqueFd();
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      return UniqueFd();
    }
    return fd;
  }
  errno = ENOENT;
  return UniqueFd();
}

int flock_retry(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Exclusive record lock on byte 0 of `fd` (open for writing), owned by the open file
// description, so it serialises openers across threads as well as processes.
int set_open_guard(int fd, short type) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLKW, &range);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

std::string NamedMutex::lock_file_name(std::string_view name) {
  std::string file(name);
  std::replace_if(file.begin(), file.end(), [](char c) { return c == '/' || c == '\\' || c == '\0'; }, '_');
  if (file == "." || file == "..") file.assign(file.size(), '_');
  return file;
}

NamedMutex::~NamedMutex() { close(); }

bool NamedMutex::open(std::string_view name) {
  close();
  if (name.empty()) return fail(EINVAL);
  try {
    const std::string file = lock_file_name(name);
    if (file.size() + kRefSuffix.size() > NAME_MAX) return fail(ENAMETOOLONG);
    const std::string dir = run_dir();
    if (!prepare_run_dir()) return false;  // last error already set
    const std::string path = dir + file;

    UniqueFd lock_fd = open_named_file(path, O_RDONLY);
    if (!lock_fd.valid()) return fail(errno);
    UniqueFd ref_fd = open_named_file(path + std::string(kRefSuffix), O_RDWR);
    if (!ref_fd.valid()) return fail(errno);

    // The order that makes "already existed" exact is described in the header.
    if (set_open_guard(ref_fd.get(), F_WRLCK) != 0) return fail(errno);
    bool existed = false;
    int err = 0;
    if (flock_retry(ref_fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) existed = true; else err = errno;
    }
    if (err == 0 && flock_retry(ref_fd.get(), LOCK_SH) != 0) err = errno;
    set_open_guard(ref_fd.get(), F_UNLCK);
    if (err != 0) return fail(err);

    lock_fd_ = std::move(lock_fd);
    ref_fd_ = std::move(ref_fd);
    path_ = path;
    already_existed_ = existed;
    return true;
  } catch (const std::bad_alloc&) {
    return fail(ENOMEM);
  }
}

void NamedMutex::close() {
  if (owner_.load() == std::this_thread::get_id()) {
    depth_ = 0;
    flock_retry(lock_fd_.get(), LOCK_UN);
    owner_.store(std::thread::id());
    thread_mu_.unlock();
  }
  lock_fd_.reset();
  ref_fd_.reset();
  path_.clear();
  already_existed_ = false;
}

bool NamedMutex::relock_if_owner() {
  if (owner_.load() != std::this_thread::get_id()) return false;
  ++depth_;
  return true;
}

bool NamedMutex::finish_lock(bool ok, int err) {
  if (!ok) {
    thread_mu_.unlock();
    return fail(err);
  }
  depth_ = 1;
  owner_.store(std::this_thread::get_id());
  return true;
}

bool NamedMutex::lock() {
  if (!is_open()) return fail(EBADF);
  if (relock_if_owner()) return true;
  thread_mu_.lock();
  const bool ok = flock_retry(lock_fd_.get(), LOCK_EX) == 0;
  return finish_lock(ok, errno);
}

bool NamedMutex::try_lock() {
  if (!is_open()) return fail(EBADF);
  if (relock_if_owner()) return true;
  if (!thread_mu_.try_lock()) return fail(EWOULDBLOCK);
  const bool ok = flock_retry(lock_fd_.get(), LOCK_EX | LOCK_NB) == 0;
  return finish_lock(ok, errno);
}

bool NamedMutex::lock_for(int timeout_ms) {
  if (timeout_ms < 0) return lock();
  if (!is_open()) return fail(EBADF);
  if (relock_if_owner()) return true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!thread_mu_.try_lock_until(deadline)) return fail(ETIMEDOUT);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock_retry(lock_fd_.get(), LOCK_EX | LOCK_NB) == 0) return finish_lock(true, 0);
    if (errno != EWOULDBLOCK) return finish_lock(false, errno);
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return finish_lock(false, ETIMEDOUT);
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool NamedMutex::unlock() {
  if (owner_.load() != std::this_thread::get_id()) return fail(EPERM);
  if (--depth_ > 0) return true;
  const bool ok = flock_retry(lock_fd_.get(), LOCK_UN) == 0;
  const int err = errno;
  owner_.store(std::thread::id());
  thread_mu_.unlock();
  return ok ? true : fail(err);
}

}  // namespace tav
