// Program and run directories from the environment and /proc/self/exe.
#include "core/program_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

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

}  // namespace tav
