// Helpers for the tests that mount snapshots: a private run directory (so the mount daemon, its
// socket and its served file are the test's own), the system tools in PATH, and a cleanup that
// removes, in every outcome, what the test set up: mounts of our loop devices, the loop devices
// over our served file, the daemon and its file server mount. Nothing else is touched.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tav::mount_test {

inline std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Mount points (with their sources) from /proc/self/mountinfo, unescaped enough for test paths.
struct MountLine {
  std::string mount_point;
  std::string source;
  std::string fs_type;
  std::string options;  // the mount's own ("ro,nosuid,nodev,noexec,relatime"), not the superblock's
};
inline std::vector<MountLine> mount_lines() {
  std::vector<MountLine> out;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    size_t pos = 0;
    while (pos <= line.size()) {
      const size_t sp = line.find(' ', pos);
      f.push_back(line.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos));
      if (sp == std::string::npos) break;
      pos = sp + 1;
    }
    size_t dash = 0;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 5 || dash + 2 >= f.size()) continue;
    out.push_back({f[4], f[dash + 2], f[dash + 1], f[5]});
  }
  return out;
}

inline bool is_mount_point(const std::string& path) {
  for (const MountLine& m : mount_lines()) {
    if (m.mount_point == path) return true;
  }
  return false;
}

// The options of the topmost mount at `path`, one per element; empty when nothing is mounted.
inline std::vector<std::string> mount_options(const std::string& path) {
  std::vector<std::string> options;
  for (const MountLine& m : mount_lines()) {
    if (m.mount_point != path) continue;
    options.clear();  // a later line is a mount over the earlier one
    for (size_t pos = 0; pos <= m.options.size();) {
      const size_t comma = std::min(m.options.find(',', pos), m.options.size());
      options.push_back(m.options.substr(pos, comma - pos));
      pos = comma + 1;
    }
  }
  return options;
}

// Loop devices ("/dev/loopN") whose backing file lies under `dir`.
inline std::vector<std::string> loops_backed_under(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/sys/block", ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    const std::string backing = first_line(e.path().string() + "/loop/backing_file");
    if (!backing.empty() && backing.rfind(dir + "/", 0) == 0) found.push_back("/dev/" + name);
  }
  return found;
}

// The process id of whoever listens on the Unix socket `path`, or 0.
inline pid_t socket_peer(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  pid_t pid = 0;
  if (path.size() < sizeof(addr.sun_path)) {
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
      ucred cred{};
      socklen_t len = sizeof(cred);
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) pid = cred.pid;
    }
  }
  ::close(fd);
  return pid;
}

inline bool wait_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A private run directory under TMPDIR with the daemon program found through PATH. Use
// skip_reason() first: non-empty when the machine cannot mount (not root, no /dev/fuse, no loop
// devices, tools or daemon program missing).
class MountEnvironment {
 public:
  MountEnvironment() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav_mount_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    char buf[PATH_MAX];
    dir_ = ::realpath(pattern.c_str(), buf) != nullptr ? std::string(buf) : pattern;
    run_dir_ = dir_ + "/run";
    std::filesystem::create_directories(run_dir_);
    const char* old_run = std::getenv("TAV_RUN_DIR");
    const char* old_path = std::getenv("PATH");
    had_run_ = old_run != nullptr;
    old_run_ = old_run != nullptr ? old_run : "";
    old_path_ = old_path != nullptr ? old_path : "/usr/bin:/bin";
    ::setenv("TAV_RUN_DIR", run_dir_.c_str(), 1);
    ::setenv("PATH", (old_path_ + ":/usr/sbin:/sbin").c_str(), 1);
  }
  ~MountEnvironment() {
    cleanup();
    if (had_run_) {
      ::setenv("TAV_RUN_DIR", old_run_.c_str(), 1);
    } else {
      ::unsetenv("TAV_RUN_DIR");
    }
    ::setenv("PATH", old_path_.c_str(), 1);
    // Removing files below a live mount would reach into it: only an emptied tree is removed.
    bool mounted_below = false;
    for (const MountLine& m : mount_lines()) mounted_below |= m.mount_point.rfind(dir_ + "/", 0) == 0;
    std::error_code ec;
    if (!dir_.empty() && !mounted_below) std::filesystem::remove_all(dir_, ec);
  }
  MountEnvironment(const MountEnvironment&) = delete;
  MountEnvironment& operator=(const MountEnvironment&) = delete;

  std::string skip_reason() const {
    if (dir_.empty()) return "no temporary directory";
    if (::geteuid() != 0) return "needs root (loop devices and mounts)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "no /dev/fuse";
    if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "no loop devices (/dev/loop-control)";
    if (std::system("command -v losetup >/dev/null 2>&1 && command -v mount >/dev/null 2>&1") != 0)
      return "losetup or mount missing";
    if (::access((std::string(TAV_BINARY_DIR) + "/bin/tavmount").c_str(), X_OK) != 0)
      return "the mount daemon was not built";
    return "";
  }

  const std::string& dir() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  std::string socket_path() const { return run_dir_ + "/tavmount.sock"; }
  std::string fuse_dir() const { return run_dir_ + "/tavmount"; }
  std::string served_file() const { return fuse_dir() + "/disk1"; }
  pid_t daemon_pid() const { return socket_peer(socket_path()); }

  // A new empty directory to mount at.
  std::string mount_point(const std::string& name) const {
    const std::string path = file(name);
    std::filesystem::create_directories(path);
    return path;
  }

  // Our loop devices (over the served file).
  std::vector<std::string> our_loops() const { return loops_backed_under(fuse_dir()); }

  // Takes away what a test may have left: mounts of our loop devices, the loop devices, the
  // daemon, a leftover server mount, and any mount below our directory.
  void cleanup() {
    if (dir_.empty()) return;
    const std::vector<std::string> loops = our_loops();
    for (const MountLine& m : mount_lines()) {
      bool ours = m.mount_point.rfind(dir_ + "/", 0) == 0 && m.mount_point != fuse_dir();
      for (const std::string& l : loops) ours |= m.source == l;
      if (ours) ::umount2(m.mount_point.c_str(), MNT_DETACH);
    }
    for (const std::string& l : our_loops()) {
      std::system(("losetup -d " + l + " >/dev/null 2>&1").c_str());
    }
    const pid_t pid = daemon_pid();
    if (pid > 0 && pid != ::getpid()) {
      ::kill(pid, SIGTERM);
      if (!wait_gone(pid)) {
        ::kill(pid, SIGKILL);
        wait_gone(pid);
      }
    }
    if (is_mount_point(fuse_dir())) ::umount2(fuse_dir().c_str(), MNT_DETACH);
  }

 private:
  std::string dir_;
  std::string run_dir_;
  bool had_run_ = false;
  std::string old_run_;
  std::string old_path_;
};

}  // namespace tav::mount_test
