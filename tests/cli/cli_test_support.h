// Helpers for the command tests: a temporary directory, file surgery on volume bytes, and running
// the built `tav` binary as a child process with its output captured.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/core/file_utils_test_support.h"

namespace tav::cli_test {

// A fresh directory under TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav_cli_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using sysutil_test::write_file;

inline std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct RunResult {
  bool exited = false;  // false when the child crashed (a signal or a sanitizer report) or could not start
  int exit_status = -1;
  int signal = 0;
  std::string out;
  std::string err;
};

// Starts the built `tav` with `args`, stdout and stderr going to files in `dir`. With `tty`
// named, the child runs in a session of its own whose controlling terminal (and stdin) is that
// terminal. The child gets a CPU limit, so a command caught in a loop dies of SIGXCPU. -1 when
// it could not be started.
inline pid_t start_tav(const TempDir& dir, const std::vector<std::string>& args, const std::string& tty = "") {
  const std::string out_path = dir.file("stdout.txt");
  const std::string err_path = dir.file("stderr.txt");
  std::vector<std::string> argv_store = {TAV_EXE};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (!tty.empty()) {
    ::setsid();
    const int tty_fd = ::open(tty.c_str(), O_RDWR);  // becomes the controlling terminal
    if (tty_fd < 0 || ::dup2(tty_fd, 0) < 0) ::_exit(126);
  }
  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) ::_exit(126);
  struct rlimit cpu = {60, 60};
  ::setrlimit(RLIMIT_CPU, &cpu);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// The result of a child started by start_tav that ended with wait status `status`.
inline RunResult collect_run(const TempDir& dir, int status) {
  RunResult result;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.out = read_text(dir.file("stdout.txt"));
  result.err = read_text(dir.file("stderr.txt"));
  // Under the sanitizer build a memory error ends the child with an ordinary exit status (1 for
  // AddressSanitizer, the same as a failed check); its report on stderr marks it as a crash.
  if (result.err.find("Sanitizer") != std::string::npos || result.err.find("runtime error:") != std::string::npos)
    result.exited = false;
  return result;
}

// Runs the built `tav` with `args`, stdout and stderr captured through files in `dir`.
inline RunResult run_tav(const TempDir& dir, const std::vector<std::string>& args) {
  const pid_t pid = start_tav(dir, args);
  if (pid < 0) return RunResult{};
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return RunResult{};
  }
  return collect_run(dir, status);
}

inline std::string describe(const RunResult& r) {
  std::ostringstream s;
  s << (r.exited ? "exit " + std::to_string(r.exit_status) : "killed by signal " + std::to_string(r.signal))
    << "\n--- stdout ---\n"
    << r.out.substr(0, 4000) << "\n--- stderr ---\n"
    << r.err;
  return s.str();
}

}  // namespace tav::cli_test
