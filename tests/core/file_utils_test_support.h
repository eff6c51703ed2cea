// Helpers for the system-utility tests: a temporary directory, small file makers, and a forked
// child process with a byte channel each way, for cases that need a second process or another
// user.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace tav::sysutil_test {

// A fresh directory under TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav_sysutil_XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Give back permissions a test took away, so the removal cannot stop half-way.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates (or replaces) `path` holding `text`, then sets its mode.
inline bool make_file(const std::string& path, const std::string& text = "x", mode_t mode = 0644) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::fchmod(fd, mode) == 0 && ok;
  return ::close(fd) == 0 && ok;
}

// Writes `bytes` as the whole content of `path`. Overwrites in place and then sets the size,
// rather than truncating first: on ext4, truncate-and-rewrite forces a flush at close, which
// makes the loops that rewrite a volume thousands of times wait on the disk.
inline bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  return ::close(fd) == 0 && ok;
}

inline bool exists_no_follow(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// One byte to a pipe / the next byte from one (-1 at the end).
inline bool send_byte(int fd, char c) { return ::write(fd, &c, 1) == 1; }
inline int receive_byte(int fd) {
  char c;
  ssize_t n;
  do {
    n = ::read(fd, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? static_cast<unsigned char>(c) : -1;
}

// A forked child running `body(to_parent, from_parent)`; the child's exit code is its result.
// Each side sends single bytes: send() / receive() in the parent, the descriptors in the child.
// The destructor kills and reaps a child still running, so a failed assertion leaks nothing.
class Child {
 public:
  explicit Child(const std::function<int(int to_parent, int from_parent)>& body) {
    int up[2], down[2];
    if (::pipe2(up, O_CLOEXEC) != 0) return;
    if (::pipe2(down, O_CLOEXEC) != 0) {
      ::close(up[0]);
      ::close(up[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up[0]);
      ::close(down[1]);
      int code = 255;
      try {
        code = body(up[1], down[0]);
      } catch (...) {
      }
      ::_exit(code);
    }
    ::close(up[1]);
    ::close(down[0]);
    from_child_ = up[0];
    to_child_ = down[1];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    if (from_child_ >= 0) ::close(from_child_);
    if (to_child_ >= 0) ::close(to_child_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  bool send(char c) { return send_byte(to_child_, c); }
  // The next byte from the child, or -1 when it closed its end (exited).
  int receive() { return receive_byte(from_child_); }
  // Whether a byte (or the end) is waiting right now.
  bool message_waiting() {
    struct pollfd p = {from_child_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  // Reaps the child: its exit code, or 128 + the signal that ended it.
  int wait() {
    if (reaped_) return status_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int from_child_ = -1;
  int to_child_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace tav::sysutil_test
