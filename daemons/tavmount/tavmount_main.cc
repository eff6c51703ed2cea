// tavmount: the mount daemon. Serves the mounted snapshot partition as a read-only file through
// FUSE and answers control requests on a Unix socket, both over one MountDaemon.
//
// Start-up, before any thread exists: parse the options, lock "<socket>.lock" (a second daemon
// for the same socket stops here), refuse when a daemon already answers on the socket, remove a
// stale socket and a dead FUSE mount of ours, then (unless --foreground) fork so that the parent
// can report the child's start-up result. Then the devices, the FUSE mount, the socket; readiness
// is reported once both are up. SIGTERM, SIGINT and SIGHUP end the loop; the socket is closed and
// removed and the FUSE file system unmounted, in that order.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/file_utils.h"
#include "core/last_error.h"
#include "core/program_dir.h"
#include "daemons/tavmount/protocol/control_protocol.h"
#include "daemons/tavmount/control_server.h"
#include "daemons/tavmount/fuse_server.h"
#include "daemons/tavmount/mount_daemon.h"
#include "daemons/tavmount/protocol/mount_info.h"

namespace tav::mount {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// How long stopping waits for a request inside the daemon before it ends the process anyway.
constexpr std::chrono::milliseconds kStopLimit{3000};

struct Options {
  bool foreground = false;
  bool debug = false;
  bool help = false;
  bool version = false;
  std::string fuse_dir;
  std::string socket_path;
};

constexpr const char* kUsage =
    "Usage: tavmount [--foreground] [--debug] [--fuse-dir DIR] [--socket PATH]\n"
    "Serves a mounted snapshot partition as a read-only file (root only).\n"
    "  --foreground     stay in the foreground and log to stderr\n"
    "  --debug          print every FUSE request on stderr; implies --foreground\n"
    "  --fuse-dir DIR   where the FUSE file system is mounted (default: <run dir>/tavmount)\n"
    "  --socket PATH    the control socket (default: <run dir>/tavmount.sock)\n"
    "  --help, --version\n";

// Fills *options from the command line; false (with a message on stderr) on bad use.
bool parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "tavmount: %s needs a value\n", arg.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg == "--foreground" || arg == "-f") {
      options->foreground = true;
    } else if (arg == "--debug" || arg == "-d") {
      options->debug = true;
      options->foreground = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--fuse-dir") {
      if (!value(&options->fuse_dir)) return false;
    } else if (arg == "--socket") {
      if (!value(&options->socket_path)) return false;
    } else {
      std::fprintf(stderr, "tavmount: unknown argument: %s\n", arg.c_str());
      return false;
    }
  }
  if (options->fuse_dir.empty()) options->fuse_dir = default_fuse_dir();
  if (options->socket_path.empty()) options->socket_path = control_socket_path();
  // Absolute, as /proc/self/mountinfo shows them and because a background daemon leaves its
  // working directory.
  std::error_code ec;
  options->fuse_dir = std::filesystem::absolute(options->fuse_dir, ec).lexically_normal().string();
  options->socket_path = std::filesystem::absolute(options->socket_path, ec).lexically_normal().string();
  while (options->fuse_dir.size() > 1 && options->fuse_dir.back() == '/') options->fuse_dir.pop_back();
  if (options->fuse_dir.empty() || options->socket_path.back() == '/') {
    std::fprintf(stderr, "tavmount: the FUSE directory and the socket need a path\n");
    return false;
  }
  return true;
}

// Log lines: stderr in the foreground, syslog otherwise.
std::atomic<bool> g_use_syslog{false};

[[gnu::format(printf, 2, 3)]] void log_line(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (g_use_syslog.load()) {
    vsyslog(priority, format, args);
  } else {
    std::fputs("tavmount: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
  }
  va_end(args);
}

std::string parent_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes `dir` exist: missing parents with the usual mode, `dir` itself with `mode`. An existing
// directory is left as it is.
bool make_dir(const std::string& dir, mode_t mode) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (errno != ENOENT) return false;
  if (!create_directories(parent_of(dir))) {
    errno = int(get_last_error());
    return false;
  }
  // mkdir narrows `mode` by the umask; chmod gives exactly `mode`.
  if (::mkdir(dir.c_str(), mode) != 0) return errno == EEXIST;
  return ::chmod(dir.c_str(), mode) == 0;
}

// Octal escapes of /proc/self/mountinfo ("\040" for a blank) undone.
std::string unescape_mount_path(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        field.find_first_not_of("01234567", i + 1) >= i + 4) {
      out += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Whether a file system of ours (type "fuse.tavmount") is mounted at `dir`.
bool our_fuse_mount_at(const std::string& dir) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountinfo, line)) {
    // "<id> <parent> <maj:min> <root> <mount point> <options> [optional...] - <type> <source> ..."
    std::istringstream fields(line);
    std::string id, parent, devices, root, mount_point;
    if (!(fields >> id >> parent >> devices >> root >> mount_point)) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type;
    tail >> type;
    if (type == "fuse.tavmount" && unescape_mount_path(mount_point) == dir) return true;
  }
  return false;
}

// Prepares the FUSE directory: created when missing; a mount of ours left by a daemon that died
// (its directory answers ENOTCONN) is detached. A live mount of ours, or anything else mounted
// there, is someone else's and refused.
bool prepare_fuse_dir(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 && errno == ENOTCONN) {
    if (!our_fuse_mount_at(dir)) {
      log_line(LOG_ERR, "%s is a dead FUSE mount of another program", dir.c_str());
      return false;
    }
    if (::umount2(dir.c_str(), MNT_DETACH) != 0) {
      log_line(LOG_ERR, "cannot detach the dead FUSE mount at %s: %s", dir.c_str(), std::strerror(errno));
      return false;
    }
    log_line(LOG_WARNING, "detached the FUSE mount a previous daemon left at %s", dir.c_str());
  } else if (our_fuse_mount_at(dir)) {
    log_line(LOG_ERR, "another daemon serves %s", dir.c_str());
    return false;
  }
  if (!make_dir(dir, 0700)) {
    log_line(LOG_ERR, "cannot create %s: %s", dir.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Takes the lock that keeps one daemon per socket; returns the held descriptor (invalid when
// another daemon holds it or the file cannot be made, with a message logged).
UniqueFd take_instance_lock(const std::string& socket_path) {
  const std::string path = socket_path + ".lock";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    log_line(LOG_ERR, "cannot open %s: %s", path.c_str(), std::strerror(errno));
    return fd;
  }
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) {
      log_line(LOG_ERR, "another tavmount is running for %s", socket_path.c_str());
    } else {
      log_line(LOG_ERR, "cannot lock %s: %s", path.c_str(), std::strerror(errno));
    }
    fd.reset();
  }
  return fd;
}

// Refuses when a daemon answers on the socket; removes a stale socket file.
bool claim_socket_path(const std::string& socket_path) {
  Reply reply;
  const Status st = control_request(socket_path, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply);
  if (st) {
    log_line(LOG_ERR, "a mount daemon already answers on %s", socket_path.c_str());
    return false;
  }
  struct stat sb;
  if (::lstat(socket_path.c_str(), &sb) != 0) {
    if (errno == ENOENT) return true;
    log_line(LOG_ERR, "cannot examine %s: %s", socket_path.c_str(), std::strerror(errno));
    return false;
  }
  if (!S_ISSOCK(sb.st_mode)) {
    log_line(LOG_ERR, "%s exists and is not a socket", socket_path.c_str());
    return false;
  }
  if (::unlink(socket_path.c_str()) != 0) {
    log_line(LOG_ERR, "cannot remove the stale socket %s: %s", socket_path.c_str(), std::strerror(errno));
    return false;
  }
  log_line(LOG_INFO, "removed the stale socket %s", socket_path.c_str());
  return true;
}

// Start-up result channel of a daemon that forked into the background: the child writes "0"
// when ready, or "1" and a message; the parent prints the message and exits accordingly.
struct StartReport {
  UniqueFd write_end;

  void ready(const Options& options) {
    if (write_end.valid()) {
      (void)!::write(write_end.get(), "0", 1);
      write_end.reset();
    } else {
      std::printf("tavmount: ready, socket %s, file %s/%s\n", options.socket_path.c_str(),
                  options.fuse_dir.c_str(), kServedFileName);
      std::fflush(stdout);
    }
  }
};

// Forks; the parent waits for the child's start-up report and returns its exit code through
// *parent_exit (true is returned in the child).
bool daemonize(StartReport* report, int* parent_exit) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    log_line(LOG_ERR, "cannot create a pipe: %s", std::strerror(errno));
    *parent_exit = kExitFailure;
    return false;
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    log_line(LOG_ERR, "cannot fork: %s", std::strerror(errno));
    *parent_exit = kExitFailure;
    return false;
  }
  if (pid > 0) {
    write_end.reset();
    char status = 0;
    ssize_t n;
    do {
      n = ::read(read_end.get(), &status, 1);
    } while (n < 0 && errno == EINTR);
    *parent_exit = (n == 1 && status == '0') ? kExitOk : kExitFailure;
    if (*parent_exit != kExitOk) {
      std::fprintf(stderr, "tavmount: the daemon did not start; see the system log\n");
    }
    return false;
  }
  read_end.reset();
  ::setsid();
  if (::chdir("/") != 0) {
    // Staying in the start directory is harmless; it only keeps that directory busy.
  }
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) ::close(null_fd);
  }
  openlog("tavmount", LOG_PID, LOG_DAEMON);
  g_use_syslog.store(true);
  report->write_end = std::move(write_end);
  return true;
}

int serve(const Options& options, StartReport* report) {
  // Every thread started from here on inherits these blocked; the signal thread takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  MountDaemon daemon;
  FuseServer fuse(&daemon);
  Status st = fuse.mount(options.fuse_dir, options.debug);
  if (!st) {
    log_line(LOG_ERR, "%s", st.message().c_str());
    return kExitFailure;
  }
  // The control server's threads use `fuse` only while it is mounted: the server stops first.
  ControlServer control(&daemon, [&fuse] { fuse.media_changed(); });
  st = control.listen(options.socket_path);
  if (!st) {
    log_line(LOG_ERR, "%s", st.message().c_str());
    return kExitFailure;
  }

  std::atomic<bool> shutting_down{false};
  std::thread signal_thread([&] {
    int signal_number = 0;
    if (sigwait(&stop_signals, &signal_number) != 0 || shutting_down.load()) return;
    log_line(LOG_INFO, "signal %d: shutting down", signal_number);
    fuse.request_exit();
  });

  report->ready(options);
  log_line(LOG_INFO, "serving %s/%s, control socket %s", options.fuse_dir.c_str(), kServedFileName,
           options.socket_path.c_str());
  st = fuse.run();
  if (!st) log_line(LOG_ERR, "%s", st.message().c_str());

  shutting_down.store(true);
  pthread_kill(signal_thread.native_handle(), SIGTERM);  // wakes it when no signal came
  signal_thread.join();
  if (!control.stop(kStopLimit)) {
    // A request is stuck inside the daemon (a slow disk, a huge storage). Stopping must not wait
    // for it: the mount is detached and the process ends around the request's thread.
    log_line(LOG_WARNING, "a request did not finish within %lld ms; stopping without it",
             static_cast<long long>(kStopLimit.count()));
    if (::umount2(options.fuse_dir.c_str(), MNT_DETACH) != 0) {
      log_line(LOG_ERR, "cannot detach %s: %s", options.fuse_dir.c_str(), std::strerror(errno));
    }
    log_line(LOG_INFO, "stopped");
    std::fflush(nullptr);
    ::_exit(kExitFailure);
  }
  fuse.unmount();
  log_line(LOG_INFO, "stopped");
  return st ? kExitOk : kExitFailure;
}

int run_daemon(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("tavmount %s (interface %u)\n", TAV_VERSION_STRING, kInterfaceVersion);
    return kExitOk;
  }
  if (::geteuid() != 0) {
    log_line(LOG_ERR, "must run as root");
    return kExitFailure;
  }
  ::signal(SIGPIPE, SIG_IGN);

  // The run directory holds the socket, the FUSE directory and the clients' lock files: it is
  // made private (or refused) before anything goes in. A socket placed elsewhere on purpose
  // keeps its directory as it is.
  const std::string socket_dir = parent_of(options.socket_path);
  if (socket_dir + "/" == run_dir()) {
    if (const Status st = prepare_run_dir(); !st) {
      log_line(LOG_ERR, "%s", st.message().c_str());
      return kExitFailure;
    }
  } else if (!make_dir(socket_dir, 0700)) {
    log_line(LOG_ERR, "cannot create %s: %s", socket_dir.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  UniqueFd lock = take_instance_lock(options.socket_path);
  if (!lock.valid()) return kExitFailure;
  if (!claim_socket_path(options.socket_path)) return kExitFailure;
  if (!prepare_fuse_dir(options.fuse_dir)) return kExitFailure;

  StartReport report;
  if (!options.foreground) {
    int parent_exit = kExitOk;
    if (!daemonize(&report, &parent_exit)) return parent_exit;
  }
  return serve(options, &report);
}

}  // namespace
}  // namespace tav::mount

int main(int argc, char** argv) {
  try {
    return tav::mount::run_daemon(argc, argv);
  } catch (const std::exception& e) {
    tav::mount::log_line(LOG_ERR, "stopped by an unexpected failure: %s", e.what());
    return 1;
  }
}
