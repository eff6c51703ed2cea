// Program and run directories from the environment and /proc/self/exe.
#include "core/program_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/file_utils.h"
#include "core/last_error.h"

namespace tav {
namespace {

std::string env_dir(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::string();
  std::string dir(value);
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string executable_path() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return std::string();
  path.resize(static_cast<size_t>(n));
  return path;
}

}  // namespace

std::string executable_dir() {
  std::string path = executable_path();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

std::string executable_name() {
  std::string path = executable_path();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string program_dir() {
  std::string dir = env_dir("TAV_HOME");
  if (!dir.empty()) return dir;
  dir = executable_dir();
  // An install keeps the programs in <prefix>/bin and the suite's files in <prefix>.
  constexpr std::string_view kBin = "/bin/";
  if (dir.size() > kBin.size() && dir.ends_with(kBin)) dir.resize(dir.size() - kBin.size() + 1);
  return dir;
}

std::string program_file(const std::string& name) { return program_dir() + name; }

std::string suite_program(const std::string& name) {
  const std::string dir = program_dir();
  for (const std::string& path : {dir + name, dir + "bin/" + name}) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

std::string run_dir() {
  std::string dir = env_dir("TAV_RUN_DIR");
  if (!dir.empty()) return dir;
  uid_t uid = getuid();
  if (uid == 0) return "/run/tav/";
  dir = env_dir("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir + "tav/";
  return "/tmp/tav-" + std::to_string(uid) + "/";
}

namespace {

Status refuse(int err, std::string message) {
  set_last_error(static_cast<uint32_t>(err));
  return err == EPERM || err == ENOTDIR ? Status::invalid_argument(std::move(message))
                                        : Status::io_error(std::move(message));
}

// Narrows what is directly in the directory open as `dir_fd` to its owner: regular files and
// sockets to 0600, directories to 0700. Links are left alone (their mode means nothing), and so
// is what belongs to someone else.
void narrow_entries(int dir_fd) {
  const int list_fd = ::dup(dir_fd);
  if (list_fd < 0) return;
  DIR* dir = ::fdopendir(list_fd);
  if (dir == nullptr) {
    ::close(list_fd);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat st {};
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != ::geteuid()) continue;
    if (S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode)) {
      ::fchmodat(dir_fd, entry->d_name, st.st_mode & 0600, 0);
    } else if (S_ISDIR(st.st_mode)) {
      ::fchmodat(dir_fd, entry->d_name, st.st_mode & 0700, 0);
    }
  }
  ::closedir(dir);
}

}  // namespace

Status prepare_private_dir(const std::string& path) {
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return refuse(EINVAL, "no run directory was given");
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !create_directories(dir.substr(0, slash))) {
    const int err = int(get_last_error());
    return refuse(err, "cannot create the parents of the run directory " + dir + ": " + std::strerror(err));
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    const int err = errno;
    return refuse(err, "cannot create the run directory " + dir + ": " + std::strerror(err));
  }
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno == ELOOP ? ENOTDIR : errno;
    return refuse(err, "the run directory " + dir + " is not a directory (" + std::strerror(errno) +
                           "); remove what is there or set TAV_RUN_DIR");
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    return refuse(err, "cannot examine the run directory " + dir + ": " + std::strerror(err));
  }
  if (st.st_uid != ::geteuid()) {
    return refuse(EPERM, "the run directory " + dir + " belongs to user " + std::to_string(st.st_uid) +
                             ", not to user " + std::to_string(::geteuid()) +
                             ": another user may have planted it; remove it or set TAV_RUN_DIR");
  }
  if ((st.st_mode & 07777) != 0700) {
    // Narrow the directory first: from then on nobody else can add or swap entries in it.
    if (::fchmod(fd.get(), 0700) != 0) {
      const int err = errno;
      return refuse(err, "cannot make the run directory " + dir + " private: " + std::strerror(err));
    }
    narrow_entries(fd.get());
  }
  return Status::ok();
}

Status prepare_run_dir() { return prepare_private_dir(run_dir()); }

}  // namespace tav
