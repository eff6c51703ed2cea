// The mount client: daemon start and version check, open and close requests, and the loop device
// and mount that present the served partition.
#include "services/mount_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "core/byte_order.h"
#include "core/console_pipe.h"
#include "core/file_utils.h"
#include "core/language.h"
#include "core/last_error.h"
#include "core/named_mutex.h"
#include "core/program_dir.h"
#include "core/trace.h"
#include "daemons/tavmount/protocol/control_protocol.h"
#include "disk/mount_table.h"
#include "disk/sysfs_scan.h"
#include "disk/tool_run.h"

namespace tav::services {
namespace {

using namespace tav::mount;

constexpr char kDaemonName[] = "tavmount";
constexpr char kInstallMutex[] = "BLOOM_DRIVE_LOAD_MUTEX";
// Held across one mount or unmount, so that two processes cannot both find nothing mounted and
// both open (the second open would replace the partition under the first one's file system).
constexpr char kClientMutex[] = "TAV_MOUNT_CLIENT_Mutex";
constexpr int kClientMutexTimeoutMs = 60000;
constexpr uint32_t kControlDevice = 0;
constexpr int kStartRounds = 3;
constexpr int kMutexWaits = 20;
constexpr auto kMutexWait = std::chrono::milliseconds(200);
// How long a started daemon gets to answer, and a stopped one to end.
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr int kStopPolls = 5;
constexpr auto kStopPoll = std::chrono::milliseconds(200);
// How long a detached loop device may take to let go of the served file.
constexpr auto kDetachTimeout = std::chrono::seconds(3);

using tav::disk::ToolRun;

std::string errno_text(int e) { return std::strerror(e); }

// ---- the daemon ----

// Connects to the control socket and reports the daemon's process id (from the socket's peer
// credentials). The connection is closed again: each request opens its own.
Status open_daemon(pid_t* pid = nullptr) {
  const std::string path = control_socket_path();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!fd.valid() || path.size() >= sizeof(addr.sun_path)) {
    TAV_TRACE(kTraceError, 0, "Open device '%s' failed.", path.c_str());
    return Status::io_error("cannot reach the mount daemon at " + path);
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int e = errno;
    TAV_TRACE(kTraceError, e, "Open device '%s' failed.", path.c_str());
    return Status::io_error("the mount daemon does not answer at " + path + ": " + errno_text(e));
  }
  if (pid != nullptr) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    *pid = ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
  }
  return Status::ok();
}

// One control request to the control device.
Status request(uint32_t code, const std::vector<uint8_t>& in, uint32_t out_length, Reply* reply) {
  return control_request(control_socket_path(), kControlDevice, code, in, out_length, reply);
}

// The interface version the daemon reports; sets the suite's error code on failure.
Status check_daemon() {
  if (Status st = open_daemon(); !st.is_ok()) {
    set_last_error(kErrMountDriverNotLoaded);
    return st;
  }
  Reply reply;
  Status st = request(IOCTL_TAV_GET_VERSION, {}, 4, &reply);
  if (!st.is_ok() || reply.status != STATUS_SUCCESS || reply.out.size() < 4) {
    TAV_TRACE(kTraceError, 0, "Get driver version failed");
    set_last_error(kErrMountDriverNotLoaded);
    return Status::io_error("the mount daemon did not report its version" +
                            (st.is_ok() ? std::string() : ": " + st.message()));
  }
  const uint32_t version = get_le32(reply.out.data());
  if (version != kInterfaceVersion) {
    TAV_TRACE(kTraceError, 0, "Driver version incorrect, %d!=%d", int(version), int(kInterfaceVersion));
    set_last_error(kErrMountDriverVersion);
    return Status::not_supported("the mount daemon speaks version " + std::to_string(version) + ", not " +
                                 std::to_string(kInterfaceVersion));
  }
  return Status::ok();
}

// A process that has ended but is not yet reaped (a zombie) counts as gone.
bool process_alive(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'Z';
}

// Stops the daemon that answers on the socket, if any: SIGTERM, then up to five checks 200 ms
// apart, then SIGKILL.
void stop_daemon() {
  pid_t pid = 0;
  if (!open_daemon(&pid).is_ok() || pid <= 0 || pid == ::getpid()) return;
  ::kill(pid, SIGTERM);
  bool alive = true;
  for (int i = 0; i < kStopPolls && alive; ++i) {
    std::this_thread::sleep_for(kStopPoll);
    alive = process_alive(pid);
  }
  if (alive) {
    ::kill(pid, SIGKILL);
    for (int i = 0; i < kStopPolls && alive; ++i) {
      std::this_thread::sleep_for(kStopPoll);
      alive = process_alive(pid);
    }
  }
  // 1 stopped, 4 running, as service states are counted.
  TAV_TRACE(kTraceInfo, 0, "Status of service '%s' is: %u", kDaemonName, alive ? 4u : 1u);
}

// The daemon program: "<program dir>tavmount" or "<program dir>bin/tavmount", else the one found
// in PATH.
Status get_daemon_file_path(std::string* path) {
  *path = suite_program(kDaemonName);
  if (!path->empty()) return Status::ok();
  *path = find_program(kDaemonName);
  if (!path->empty()) return Status::ok();
  TAV_TRACE(kTraceError, 0, "Driver '%s' not found.", program_file(kDaemonName).c_str());
  set_last_error(kErrMountDriverNotFound);
  return Status::not_found("the mount daemon program '" + std::string(kDaemonName) + "' is neither in " +
                           program_dir() + " nor in " + program_dir() + "bin/ nor in PATH");
}

// Starts `program` detached from this process (its own session, standard streams on /dev/null,
// reparented to init) and waits until the control socket accepts connections.
Status launch_daemon(const std::string& program) {
  const pid_t child = ::fork();
  if (child < 0) return Status::io_error("cannot start the mount daemon: " + errno_text(errno));
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
      if (null_fd > 2) ::close(null_fd);
    }
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execv(program.c_str(), argv);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (open_daemon().is_ok()) return Status::ok();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return Status::io_error("the mount daemon " + program + " did not start listening on " + control_socket_path());
}

// Stops whatever daemon answers, then starts ours. The result of the start.
Status install_daemon() {
  stop_daemon();
  std::string program;
  if (Status st = get_daemon_file_path(&program); !st.is_ok()) return st;
  Status st = launch_daemon(program);
  TAV_TRACE(kTraceInfo, 0, "Start service '%s' is: %d", kDaemonName, st.is_ok() ? 1 : 0);
  if (!st.is_ok()) set_last_error(kErrMountDriverNotLoaded);
  return st;
}

// ---- loop devices and mounts ----

struct LoopDevice {
  std::string name;  // "loop3"
  std::string path;  // "/dev/loop3"
};

// The path as the kernel reports a file: symbolic links of the existing part resolved.
std::string resolved(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) != nullptr) return buf;
  return path;
}

bool is_served_file(const std::string& backing, const std::string& served) {
  return backing == served || backing == served + " (deleted)";
}

// Loop devices whose backing file is the served file of `device_number`: ours, and only those.
std::vector<LoopDevice> our_loop_devices(uint32_t device_number) {
  std::vector<LoopDevice> found;
  const std::string served = served_file_path(device_number);
  const disk::SystemPaths paths = disk::system_paths();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir((paths.sys_dir + "/block").c_str()), ::closedir);
  if (!dir) return found;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.rfind("loop", 0) != 0) continue;
    disk::LoopBacking backing;
    if (disk::loop_backing(paths, name, &backing) && is_served_file(backing.backing_file, served)) {
      found.push_back({name, paths.dev_dir + "/" + name});
    }
  }
  return found;
}

bool still_ours(const LoopDevice& loop, uint32_t device_number) {
  disk::LoopBacking backing;
  return disk::loop_backing(disk::system_paths(), loop.name, &backing) &&
         is_served_file(backing.backing_file, served_file_path(device_number));
}

// The mount at exactly `mount_point` (the topmost when several are stacked), if any.
bool mount_at(const std::string& mount_point, disk::MountEntry* out) {
  bool found = false;
  for (const disk::MountEntry& m : disk::read_mounts()) {
    if (m.mount_point == mount_point) {
      *out = m;
      found = true;
    }
  }
  return found;
}

std::vector<disk::MountEntry> mounts_of(const LoopDevice& loop) {
  std::vector<disk::MountEntry> found;
  for (const disk::MountEntry& m : disk::read_mounts()) {
    if (m.source == loop.path) found.push_back(m);
  }
  return found;
}

// Detaches `loop` when it is still attached to our served file, and waits until the kernel has
// let go of it (a device still open by a file system server is detached when it closes).
Status detach_loop(const LoopDevice& loop, uint32_t device_number) {
  if (!still_ours(loop, device_number)) return Status::ok();
  ToolRun tool;
  if (!tool.run({"losetup", "--detach", loop.path})) {
    TAV_TRACE(kTraceError, 0, "Detach loop device '%s' failed: %s", loop.path.c_str(), tool.output().c_str());
    return Status::io_error("cannot detach " + loop.path + ": " + tool.output());
  }
  const auto deadline = std::chrono::steady_clock::now() + kDetachTimeout;
  while (still_ours(loop, device_number) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Status::ok();
}

// Attaches a read-only loop device over the served file. With direct I/O the loop device reads
// the served file without keeping a second copy of it in the page cache (the file system on top
// caches already), in larger requests: sequential reads run about twice as fast. The kernel keeps
// buffered I/O where the file does not allow direct I/O.
Status attach_loop(uint32_t device_number, LoopDevice* out) {
  const std::string served = served_file_path(device_number);
  ToolRun tool;
  if (!tool.run({"losetup", "--find", "--show", "--read-only", "--direct-io=on", served}) || tool.lines().empty()) {
    return Status::io_error("cannot attach a loop device to " + served + ": " + tool.output());
  }
  const std::string path = tool.lines().front();
  const size_t slash = path.rfind('/');
  if (path.rfind("/dev/", 0) != 0 || slash == std::string::npos) {
    return Status::io_error("losetup printed '" + path + "' instead of a loop device");
  }
  *out = {path.substr(slash + 1), path};
  return Status::ok();
}

// Whether the directory holds nothing but "." and ".."; one that cannot be read counts as not
// empty.
bool directory_is_empty(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

bool kernel_has_file_system(const std::string& name) {
  std::ifstream in("/proc/filesystems");
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.rfind('\t');
    if ((tab == std::string::npos ? line : line.substr(tab + 1)) == name) return true;
  }
  return false;
}

// The mount options and type for the file system on `device`, told from its first sectors.
// NTFS goes through ntfs-3g when the kernel has no ntfs driver. ext2/3/4 is mounted without
// replaying its journal: a snapshot of a mounted file system holds an unreplayed journal, and
// the device is read-only. Whatever the file system, set-user-ID bits and device nodes of the
// snapshot count for nothing, and its programs do not run unless `options` allows it: a
// snapshot is someone's old disk, not software this machine chose to trust.
std::vector<std::string> mount_arguments(const std::string& device, const std::string& mount_point,
                                         const MountOptions& options) {
  uint8_t head[2048] = {};
  {
    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.valid()) {
      ssize_t n = 0;
      do {
        n = ::pread(fd.get(), head, sizeof(head), 0);
      } while (n < 0 && errno == EINTR);
    }
  }
  const std::string safe = options.allow_exec ? "ro,nosuid,nodev" : "ro,nosuid,nodev,noexec";
  std::vector<std::string> argv = {"mount"};
  if (std::memcmp(head + 3, "NTFS    ", 8) == 0) {
    const bool kernel_ntfs = kernel_has_file_system("ntfs");
    argv.insert(argv.end(), {"-t", kernel_ntfs ? "ntfs" : "ntfs-3g", "-o", safe});
  } else if (get_le16(head + 1024 + 56) == 0xEF53) {
    argv.insert(argv.end(), {"-t", "ext4", "-o", safe + ",noload"});
  } else {
    argv.insert(argv.end(), {"-o", safe});
  }
  argv.insert(argv.end(), {device, mount_point});
  return argv;
}

// Closes the partition in the daemon; the reply record in *reply when it answered.
Status part_close(char16_t drive_letter, MountInformation* reply) {
  MountInformation info;
  info.drive_letter = drive_letter;
  MountInfoBytes bytes{};
  encode_mount_info(info, &bytes);
  Reply r;
  Status st = request(IOCTL_TAV_PART_CLOSE, std::vector<uint8_t>(bytes.begin(), bytes.end()), kMountInfoBytes, &r);
  // Nothing open any more (another client closed it first): what was asked for is done.
  if (st.is_ok() && r.status == STATUS_NO_MEDIA_IN_DEVICE) return Status::ok();
  if (!st.is_ok() || r.status != STATUS_SUCCESS) {
    TAV_TRACE(kTraceError, 0, "IOCTL_TAV_PART_CLOSE failed");
    return st.is_ok() ? Status::io_error("the mount daemon refused to close the partition") : st;
  }
  if (r.out.size() == kMountInfoBytes && reply != nullptr) {
    *reply = decode_mount_info(std::span<const uint8_t, kMountInfoBytes>(r.out.data(), kMountInfoBytes));
  }
  return Status::ok();
}

// What a failed mount undoes, in reverse order of setting it up.
class MountUndo {
 public:
  MountUndo(char16_t letter, uint32_t device_number) : letter_(letter), device_number_(device_number) {}
  ~MountUndo() {
    if (!armed_) return;
    if (!loop_.path.empty()) {
      if (Status st = detach_loop(loop_, device_number_); !st.is_ok()) {
        TAV_TRACE(kTraceError, 0, "%s", st.message().c_str());
      }
    }
    if (opened_) {
      if (Status st = part_close(letter_, nullptr); !st.is_ok()) TAV_TRACE(kTraceError, 0, "%s", st.message().c_str());
    }
  }
  MountUndo(const MountUndo&) = delete;
  MountUndo& operator=(const MountUndo&) = delete;

  void opened() { opened_ = true; }
  void attached(const LoopDevice& loop) { loop_ = loop; }
  void release() { armed_ = false; }

 private:
  char16_t letter_;
  uint32_t device_number_;
  bool armed_ = true;
  bool opened_ = false;
  LoopDevice loop_;
};

// When no daemon answers but its file server is still mounted (the daemon was killed), the dead
// mount is taken away lazily so that the next daemon can serve there again. Only a FUSE mount at
// our own served directory is touched.
void clear_dead_server(uint32_t device_number) {
  if (open_daemon().is_ok()) return;
  const std::string served = served_file_path(device_number);
  const std::string dir = served.substr(0, served.rfind('/'));
  disk::MountEntry m;
  if (mount_at(dir, &m) && m.fs_type.rfind("fuse", 0) == 0) {
    if (::umount2(dir.c_str(), MNT_DETACH) != 0) {
      TAV_TRACE(kTraceError, errno, "Unmount of the dead server mount '%s' failed", dir.c_str());
    }
  }
}

// Takes the client mutex for the caller's scope.
Status lock_client(NamedMutex* mutex) {
  if (Status s = prepare_run_dir(); !s) return s;
  if (!mutex->open(kClientMutex) || !mutex->lock_for(kClientMutexTimeoutMs)) {
    const int e = int(get_last_error());
    return Status::io_error("another mount or unmount did not finish: " + errno_text(e));
  }
  return Status::ok();
}

bool valid_record(const uint8_t* record, uint32_t size) {
  if (record == nullptr || size != kMountInfoBytes) {
    TAV_TRACE(kTraceError, 0, "Invalid params, pMntInfo=0x%p, Size=%d", static_cast<const void*>(record), int(size));
    set_last_error(EINVAL);
    return false;
  }
  return true;
}

MountInformation decode_record(const uint8_t* record) {
  return decode_mount_info(std::span<const uint8_t, kMountInfoBytes>(record, kMountInfoBytes));
}

bool is_letter(char16_t c) { return c < 128 && std::isalpha(static_cast<unsigned char>(c)); }

// The record and the mount point its drive letter stands for; false (EINVAL) for a bad record
// or a letter the VolumeTable does not map.
bool record_and_mount_point(const uint8_t* record, uint32_t size, MountInformation* info, std::string* mount_point) {
  if (!valid_record(record, size)) return false;
  *info = decode_record(record);
  if (is_letter(info->drive_letter)) {
    *mount_point = disk::volume_table().mount_point(static_cast<char>(info->drive_letter));
  }
  if (mount_point->empty()) {
    TAV_TRACE(kTraceError, 0, "Invalid params, pMntInfo=0x%p, Size=%d", static_cast<const void*>(record), int(size));
    set_last_error(EINVAL);
    return false;
  }
  return true;
}

void encode_record(const MountInformation& info, uint8_t* record) {
  MountInfoBytes bytes{};
  encode_mount_info(info, &bytes);
  std::memcpy(record, bytes.data(), bytes.size());
}


std::string path_text(const MountInformation& info) {
  std::string folder, base;
  if (get_mount_path(info, &folder, &base)) return folder + base;
  return reply_message(info);
}

}  // namespace

std::string served_file_path(uint32_t device_number) {
  // The served directory itself cannot be resolved while its server is dead: resolve its parent.
  const std::string dir = default_fuse_dir();
  const size_t slash = dir.rfind('/');
  return resolved(dir.substr(0, slash)) + dir.substr(slash) + "/disk" + std::to_string(device_number);
}

Status start_daemon() {
  if (Status s = prepare_run_dir(); !s) return s;
  NamedMutex mutex;
  Status result = Status::io_error("the mount daemon could not be started");
  bool gave_up = false;
  for (int round = 0; round < kStartRounds && !gave_up; ++round) {
    result = check_daemon();
    if (result.is_ok()) {
      TAV_TRACE(kTraceInfo, 0, "Start driver successful");
      return Status::ok();
    }
    mutex.close();
    if (!mutex.open(kInstallMutex)) {
      TAV_TRACE(kTraceError, kTraceLastError, "Create mutex failed");
      break;
    }
    if (!mutex.already_existed()) {
      // This process restarts the daemon; the others see the mutex and wait. One that restarted
      // it between our check and our opening the mutex has already done the work.
      if (check_daemon().is_ok()) {
        TAV_TRACE(kTraceInfo, 0, "Start driver successful");
        return Status::ok();
      }
      if (Status st = install_daemon(); !st.is_ok()) {
        result = st;
        gave_up = true;
      }
      continue;
    }
    // Another process restarts the daemon: wait until it is done (the mutex no longer existed
    // before our open) or 20 waits have passed, then check again in the next round.
    for (int sleeps = 0; sleeps < kMutexWaits; ++sleeps) {
      std::this_thread::sleep_for(kMutexWait);
      // Waiters hold the mutex open too, so with several of them it keeps "existing" after the
      // restart is done: the daemon answering ends the wait as well.
      if (check_daemon().is_ok()) {
        TAV_TRACE(kTraceInfo, 0, "Start driver successful");
        return Status::ok();
      }
      mutex.close();
      if (!mutex.open(kInstallMutex)) {
        TAV_TRACE(kTraceError, kTraceLastError, "Create mutex failed");
        gave_up = true;
        break;
      }
      if (!mutex.already_existed()) break;
    }
  }
  TAV_TRACE(kTraceError, kTraceLastError, "Start driver failed");
  const uint32_t code = get_last_error();
  mutex.close();
  set_last_error(code);
  return result;
}

Status mount_snapshot(MountInformation* info, const std::string& mount_point, uint32_t device_number,
                      const MountOptions& options) {
  struct stat st {};
  if (mount_point.empty() || ::stat(mount_point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::invalid_argument("the mount point " + mount_point + " is not a directory");
  }
  if (!directory_is_empty(mount_point)) {
    // Mounting over files would hide them while the snapshot is mounted.
    return Status::invalid_argument("the mount point " + mount_point + " is not empty");
  }
  NamedMutex client;
  if (Status s = lock_client(&client); !s.is_ok()) return s;
  const std::string where = resolved(mount_point);
  disk::MountEntry existing;
  if (mount_at(where, &existing)) {
    TAV_TRACE(kTraceError, 0, "Volume '%s' already exist", where.c_str());
    return Status::invalid_argument(where + " is already a mount point (of " + existing.source + ")");
  }
  // One snapshot at a time: a new open would replace the partition under a mounted file system.
  // Loop devices of ours left unmounted by an interrupted run are cleared instead.
  for (const LoopDevice& loop : our_loop_devices(device_number)) {
    const std::vector<disk::MountEntry> in_use = mounts_of(loop);
    if (!in_use.empty()) {
      return Status::invalid_argument("a snapshot is already mounted at " + in_use.front().mount_point +
                                      "; unmount it first (tav umount " + in_use.front().mount_point + ")");
    }
    if (Status s = detach_loop(loop, device_number); !s.is_ok()) return s;
  }
  if (Status s = open_daemon(); !s.is_ok()) {
    set_last_error(kErrMountDriverNotLoaded);
    return s;
  }

  MountUndo undo(info->drive_letter, device_number);
  MountInfoBytes bytes{};
  encode_mount_info(*info, &bytes);
  Reply reply;
  Status s = request(IOCTL_TAV_PART_OPEN, std::vector<uint8_t>(bytes.begin(), bytes.end()), kMountInfoBytes, &reply);
  if (s.is_ok() && reply.out.size() == kMountInfoBytes) {
    *info = decode_mount_info(std::span<const uint8_t, kMountInfoBytes>(reply.out.data(), kMountInfoBytes));
  }
  if (!s.is_ok() || reply.status != STATUS_SUCCESS || reply.out.size() != kMountInfoBytes || info->error != 0) {
    TAV_TRACE(kTraceError, 0, "IOCTL_TAV_PART_OPEN failed");
    // The daemon may hold a half-done open; close it either way.
    undo.opened();
    if (!s.is_ok()) return s.with_prefix("the open request failed: ");
    if (reply.status != STATUS_SUCCESS || reply.out.size() != kMountInfoBytes) {
      char code[16];
      std::snprintf(code, sizeof(code), "0x%08X", reply.status);
      return Status::io_error(std::string("the mount daemon refused the open request (status ") + code + ")");
    }
    return Status::io_error("the mount daemon could not open the snapshot (error " + std::to_string(info->error) +
                            "): " + reply_message(*info));
  }
  undo.opened();

  LoopDevice loop;
  if (Status a = attach_loop(device_number, &loop); !a.is_ok()) {
    TAV_TRACE(kTraceError, 0, "Add dos device failed");
    return a;
  }
  undo.attached(loop);
  ToolRun tool;
  const std::vector<std::string> argv = mount_arguments(loop.path, where, options);
  if (!tool.run(argv)) {
    TAV_TRACE(kTraceError, 0, "Add dos device failed");
    return Status::io_error("cannot mount " + loop.path + " at " + where + ": " + tool.output());
  }
  undo.release();
  return Status::ok();
}

Status unmount_snapshot(const std::string& mount_point, uint32_t device_number, MountInformation* reply,
                        std::string* note) {
  NamedMutex client;
  if (Status s = lock_client(&client); !s.is_ok()) return s;
  const std::string where = resolved(mount_point);
  disk::MountEntry m;
  if (!mount_at(where, &m)) {
    TAV_TRACE(kTraceError, 0, "Open volume '%s' failed", where.c_str());
    return Status::not_found("nothing is mounted at " + where);
  }
  LoopDevice loop;
  for (const LoopDevice& l : our_loop_devices(device_number)) {
    if (m.source == l.path) loop = l;
  }
  if (loop.path.empty()) {
    TAV_TRACE(kTraceError, 0, "Open volume '%s' failed", where.c_str());
    return Status::invalid_argument(where + " does not hold a mounted snapshot (" + m.source + " is mounted there); left alone");
  }
  if (::umount2(where.c_str(), 0) != 0) {
    const int e = errno;
    TAV_TRACE(kTraceError, e, "Dismount volume '%s' failed", where.c_str());
    if (e == EBUSY) {
      return Status::io_error(where + " is busy: files or directories on it are open (or it is a working "
                              "directory); the snapshot stays mounted. Close them and try again.");
    }
    return Status::io_error("cannot unmount " + where + ": " + errno_text(e));
  }
  Status first = detach_loop(loop, device_number);
  // The loop device may have been mounted a second time elsewhere; it then stays.
  if (!first.is_ok()) return first;

  if (!open_daemon().is_ok()) {
    clear_dead_server(device_number);
    if (note != nullptr) {
      *note = "the mount daemon was not running; the file system and its loop device were removed, and "
              "nothing was left open";
    }
    return Status::ok();
  }
  return part_close(0, reply);
}

Status mount_state(uint32_t device_number, MountState* out) {
  *out = MountState{};
  for (const LoopDevice& loop : our_loop_devices(device_number)) {
    const std::vector<disk::MountEntry> mounts = mounts_of(loop);
    if (mounts.empty()) out->presented.push_back({loop.path, "", "", true});
    for (const disk::MountEntry& m : mounts) out->presented.push_back({loop.path, m.mount_point, m.fs_type, m.read_only});
  }
  if (!open_daemon().is_ok()) {
    out->status = kMountStatusNoDaemon;
    return Status::ok();
  }
  Reply reply;
  Status st = request(IOCTL_TAV_PART_QUERY, {}, kMountInfoBytes, &reply);
  // Without a mounted partition the daemon refuses the query as having no media: nothing is open.
  if (st.is_ok() && reply.status == STATUS_NO_MEDIA_IN_DEVICE) {
    out->status = kMountStatusNone;
    return Status::ok();
  }
  if (!st.is_ok() || reply.status != STATUS_SUCCESS) {
    TAV_TRACE(kTraceError, 0, "IOCTL_TAV_PART_QUERY failed");
    out->status = kMountStatusQueryFailed;
    return st.is_ok() ? Status::io_error("the mount daemon refused the query") : st;
  }
  if (reply.information < 36 || reply.out.size() < 36) {
    out->status = kMountStatusNone;
    return Status::ok();
  }
  MountInfoBytes bytes{};
  std::memcpy(bytes.data(), reply.out.data(), std::min(reply.out.size(), bytes.size()));
  out->info = decode_mount_info(bytes);
  out->status = kMountStatusMounted;
  return Status::ok();
}

}  // namespace tav::services

using namespace tav;
using namespace tav::mount;

int TavStartDriver() {
  try {
    return services::start_daemon().is_ok() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

int InternalMount(uint8_t* record, uint32_t size, uint32_t device_number) {
  try {
    MountInformation info;
    std::string mount_point;
    if (!services::record_and_mount_point(record, size, &info, &mount_point)) return 0;
    const Status st = services::mount_snapshot(&info, mount_point, device_number);
    services::encode_record(info, record);
    if (!st.is_ok()) {
      TAV_TRACE(kTraceError, 0, "%s", st.message().c_str());
      if (st.code() == StatusCode::kInvalidArgument) set_last_error(EINVAL);
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

int InternalUnmount(uint8_t* record, uint32_t size) {
  try {
    MountInformation info;
    std::string mount_point;
    if (!services::record_and_mount_point(record, size, &info, &mount_point)) return 0;
    MountInformation reply = info;
    std::string note;
    const Status st = services::unmount_snapshot(mount_point, services::kDiskDevice, &reply, &note);
    if (!note.empty()) TAV_TRACE(kTraceWarn, 0, "%s", note.c_str());
    services::encode_record(reply, record);
    if (!st.is_ok()) {
      TAV_TRACE(kTraceError, 0, "%s", st.message().c_str());
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

int InternalMountStatus(uint8_t* record, uint32_t size, int* status) {
  try {
    if (record == nullptr || size != kMountInfoBytes || status == nullptr) {
      TAV_TRACE(kTraceError, 0, "Invalid params, pMntInfo=0x%p, Size=%d", static_cast<const void*>(record), int(size));
      set_last_error(EINVAL);
      if (status != nullptr) *status = kMountStatusBadArgs;
      return 0;
    }
    services::MountState state;
    const Status st = services::mount_state(services::kDiskDevice, &state);
    *status = state.status;
    if (state.status == kMountStatusMounted) services::encode_record(state.info, record);
    return st.is_ok() && state.status != kMountStatusNoDaemon ? 1 : 0;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

namespace {

void trace_record(const char* what, const MountInformation& info, int state) {
  const std::string path = services::path_text(info);
  const char letter = services::is_letter(info.drive_letter) ? static_cast<char>(info.drive_letter) : '?';
  if (std::strcmp(what, "mount") == 0) {
    TAV_TRACE(kTraceError, 0, "Mount drive %c: failed, error=%d, snap_seq=%d, signature=%d, min_seq=%d, max_seq=%d, path=%s",
              letter, int(info.error), int(info.snap_seq), int(info.signature), int(info.min_seq), int(info.max_seq),
              path.c_str());
  } else if (std::strcmp(what, "unmount") == 0) {
    TAV_TRACE(kTraceError, 0,
              "Unmount drive %c: failed, drive_letter=%c, error=%d, snap_seq=%d, signature=%d, min_seq=%d, max_seq=%d, path=%s",
              letter, letter, int(info.error), int(info.snap_seq), int(info.signature), int(info.min_seq),
              int(info.max_seq), path.c_str());
  } else {
    TAV_TRACE(kTraceError, 0,
              "MountStatus failed, State=%d, drive_letter=%c, error=%d, snap_seq=%d, signature=%d, min_seq=%d, max_seq=%d, path=%s",
              state, letter, int(info.error), int(info.snap_seq), int(info.signature), int(info.min_seq),
              int(info.max_seq), path.c_str());
  }
}

}  // namespace

int TavMountDrive(uint8_t* record, uint32_t size) {
  try {
    const int ok = InternalMount(record, size, services::kDiskDevice);
    if (record == nullptr || size != kMountInfoBytes) return 0;
    const MountInformation info = services::decode_record(record);
    if (ok == 1 && info.error == 0) return 1;
    trace_record("mount", info, 0);
    return 0;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

int TavUnmountDrive(char16_t letter) {
  try {
    MountInformation info;
    info.drive_letter = letter;
    MountInfoBytes bytes{};
    encode_mount_info(info, &bytes);
    const int ok = InternalUnmount(bytes.data(), kMountInfoBytes);
    info = decode_mount_info(bytes);
    if (ok == 1 && info.error == 0) return 1;
    trace_record("unmount", info, 0);
    return 0;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}

char16_t TavGetMountedDrive() {
  try {
    MountInfoBytes bytes{};
    int state = 0;
    InternalMountStatus(bytes.data(), kMountInfoBytes, &state);
    const MountInformation info = decode_mount_info(bytes);
    if (state == kMountStatusMounted && services::is_letter(info.drive_letter)) {
      return static_cast<char16_t>(std::toupper(static_cast<int>(info.drive_letter)));
    }
    trace_record("status", info, state);
    return 0;
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
    return 0;
  }
}
