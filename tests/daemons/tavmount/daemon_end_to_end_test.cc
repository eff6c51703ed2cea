// The tavmount daemon run as a program: snapshots written by the real writer are mounted over the
// control socket and read back through the FUSE file; the file refuses writes; other users are
// refused; SIGTERM leaves no mount and no socket, promptly even with a request stuck inside; an
// absurd volume range is answered at once; a second daemon is refused and one killed outright is
// replaced cleanly. Needs root and /dev/fuse; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "format/ego_format.h"
#include "image/image_catalogue.h"
#include "format/struct_sum.h"
#include "core/file_utils.h"
#include "daemons/tavmount/protocol/control_protocol.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

extern char** environ;

namespace tav::mount {
namespace {

using sysutil_test::TempDir;
using test::SnapshotPlan;
using test::SyntheticDisk;
using test::SyntheticPartition;
using test::WrittenSnapshot;

const std::string kDaemon = std::string(TAV_BINARY_DIR) + "/bin/tavmount";
constexpr int kWaitMs = 30000;  // bound on every wait for the daemon, so a hang fails instead

// Whether anything is mounted at `dir` (as /proc/self/mountinfo lists it).
bool mounted_at(const std::string& dir) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, devices, root, mount_point;
    if (fields >> id >> parent >> devices >> root >> mount_point && mount_point == dir) return true;
  }
  return false;
}

// Runs `argv` and waits for it; its exit code, or -1.
int run_program(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// One tavmount process started with --foreground. The destructor kills it if it still runs and
// unmounts its FUSE directory if a mount is left there, whatever the test's outcome; a daemon
// expected to be refused is made with `owns_mount` false, so that it never unmounts the mount of
// the daemon that refused it.
class Daemon {
 public:
  Daemon(std::string socket_path, std::string fuse_dir, bool owns_mount = true)
      : socket_path_(std::move(socket_path)), fuse_dir_(std::move(fuse_dir)), owns_mount_(owns_mount) {}
  ~Daemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (owns_mount_ && mounted_at(fuse_dir_)) {
      run_program({"fusermount3", "-u", "-z", fuse_dir_});
      if (mounted_at(fuse_dir_)) ::umount2(fuse_dir_.c_str(), MNT_DETACH);
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Starts the daemon; true once it reported readiness. False when it exited or stayed silent;
  // *output then holds what it printed.
  bool start(std::string* output = nullptr) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd read_end(fds[0]), write_end(fds[1]);
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(write_end.get(), STDOUT_FILENO);
      ::dup2(write_end.get(), STDERR_FILENO);
      ::execl(kDaemon.c_str(), "tavmount", "--foreground", "--socket", socket_path_.c_str(),
              "--fuse-dir", fuse_dir_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    write_end.reset();
    std::string text;
    for (;;) {
      pollfd p{read_end.get(), POLLIN, 0};
      if (::poll(&p, 1, kWaitMs) <= 0) break;
      char buffer[256];
      const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, size_t(n));
      if (text.find("tavmount: ready") != std::string::npos) {
        if (output != nullptr) *output = text;
        // Later log lines go to a pipe nobody reads; the daemon logs little, well under its size.
        output_ = std::move(read_end);
        return true;
      }
    }
    if (output != nullptr) *output = text;
    return false;
  }

  // Sends `signal` and waits (bounded) for the exit; the exit code, or -1.
  int stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    return wait_exit();
  }

  // Waits (bounded) for the process to end by itself; the exit code, or -1.
  int wait_exit() {
    UniqueFd pidfd(int(::syscall(SYS_pidfd_open, pid_, 0)));
    if (pidfd.valid()) {
      pollfd p{pidfd.get(), POLLIN, 0};
      if (::poll(&p, 1, kWaitMs) <= 0) return -1;  // the destructor kills it
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid() const { return pid_; }

 private:
  std::string socket_path_;
  std::string fuse_dir_;
  bool owns_mount_;
  pid_t pid_ = -1;
  UniqueFd output_;
};

class DaemonEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (mounts a FUSE file system)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse";
    if (::access(kDaemon.c_str(), X_OK) != 0) GTEST_SKIP() << "tavmount is not built: " << kDaemon;
    ASSERT_TRUE(dir_.ok());
    // Other users may reach the socket, so that its credential check is what refuses them.
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    socket_path_ = dir_.file("ctl.sock");
    fuse_dir_ = dir_.file("fuse");
    file_path_ = fuse_dir_ + "/" + kServedFileName;
  }

  // A one-partition full snapshot in its own folder; `content` gets what a reader must return.
  struct Snapshot {
    std::string folder;
    WrittenSnapshot written;
    uint32_t part_signature = 0;
    std::vector<uint8_t> content;
  };
  Snapshot write_snapshot(const std::string& name, uint32_t seed) {
    Snapshot s;
    s.folder = dir_.file(name) + "/";
    EXPECT_TRUE(std::filesystem::create_directory(s.folder));
    SyntheticPartition p;
    p.start_sector = 64;
    p.signature = s.part_signature = 0x5000 + seed;
    p.content = test::pattern_bytes(2048 * 512, seed);
    // Sectors 1000..1499 are not stored and read as zeros.
    p.stored = {{0, 1000}, {1500, 548}};
    SyntheticDisk disk;
    disk.total_sectors = 4096;
    disk.parts = {p};
    SnapshotPlan plan;
    plan.directory = s.folder;
    const Status st = test::write_snapshot(plan, {disk}, &s.written);
    EXPECT_TRUE(st) << st.message();
    s.content = test::expected_content({&disk.parts[0]});
    return s;
  }

  static std::vector<uint8_t> open_record(const Snapshot& s) {
    const MountInfoBytes bytes = open_record_bytes(s);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }
  static MountInfoBytes open_record_bytes(const Snapshot& s) {
    MountInformation info;
    info.drive_letter = u'M';
    info.snap_seq = s.written.snap_seq;
    info.snap_time = int64_t(int32_t(s.written.create_time));
    info.signature = s.part_signature;
    info.min_seq = s.written.first_vol;
    info.max_seq = s.written.last_vol;
    EXPECT_TRUE(set_mount_path(&info, s.folder, "imbackup"));
    MountInfoBytes bytes;
    encode_mount_info(info, &bytes);
    return bytes;
  }

  Reply request(uint32_t device, uint32_t code, const std::vector<uint8_t>& in = {}, uint32_t out_length = 4) {
    Reply reply;
    const Status st = control_request(socket_path_, device, code, in, out_length, &reply);
    EXPECT_TRUE(st) << st.message();
    return reply;
  }

  // The version the daemon answers, or 0 without a well-formed answer.
  uint32_t version() {
    const Reply reply = request(0, IOCTL_TAV_GET_VERSION);
    return reply.status == STATUS_SUCCESS && reply.out.size() == 4 ? get_le32(reply.out.data()) : 0;
  }

  void mount(const Snapshot& s) {
    const Reply reply = request(0, IOCTL_TAV_PART_OPEN, open_record(s), kMountInfoBytes);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    ASSERT_EQ(kMountInfoBytes, reply.out.size());
    const MountInformation out = decode_mount_info(std::span<const uint8_t, kMountInfoBytes>(reply.out.data(), kMountInfoBytes));
    ASSERT_EQ(0u, out.error) << reply_message(out);
  }

  // The served file's size, or -1.
  int64_t file_size() const {
    struct stat st;
    return ::stat(file_path_.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
  }

  // The whole served file through `fd` (or a fresh handle), read in pieces of an odd size so
  // reads straddle sectors.
  std::vector<uint8_t> read_served_file(int fd = -1) const {
    UniqueFd own;
    if (fd < 0) {
      own.reset(::open(file_path_.c_str(), O_RDONLY | O_CLOEXEC));
      EXPECT_TRUE(own.valid()) << std::strerror(errno);
      fd = own.get();
    }
    std::vector<uint8_t> data;
    std::vector<uint8_t> piece(100003);
    for (;;) {
      const ssize_t n = ::pread(fd, piece.data(), piece.size(), off_t(data.size()));
      if (n < 0) ADD_FAILURE() << "read: " << std::strerror(errno);
      if (n <= 0) break;
      data.insert(data.end(), piece.begin(), piece.begin() + n);
    }
    return data;
  }

  TempDir dir_;
  std::string socket_path_, fuse_dir_, file_path_;
};

TEST_F(DaemonEndToEnd, ServesSnapshotsReadOnlyAndCleansUpOnSigterm) {
  const Snapshot first = write_snapshot("first", 1);
  const Snapshot second = write_snapshot("second", 2);
  ASSERT_EQ(first.content.size(), second.content.size());
  ASSERT_NE(first.content, second.content);

  Daemon daemon(socket_path_, fuse_dir_);
  std::string output;
  ASSERT_TRUE(daemon.start(&output)) << output;

  EXPECT_EQ(5000u, version());
  EXPECT_EQ(0, file_size());  // nothing mounted yet

  mount(first);
  EXPECT_EQ(int64_t(first.content.size()), file_size());
  EXPECT_TRUE(read_served_file() == first.content);

  // Read-only in every way a writer could try.
  errno = 0;
  EXPECT_LT(::open(file_path_.c_str(), O_WRONLY | O_CLOEXEC), 0);
  EXPECT_EQ(EROFS, errno);
  errno = 0;
  EXPECT_NE(0, ::truncate(file_path_.c_str(), 0));
  EXPECT_EQ(EROFS, errno);
  errno = 0;
  EXPECT_LT(::open((fuse_dir_ + "/new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), 0);
  EXPECT_EQ(EROFS, errno);

  {
    // An open handle of the file is a reference of device 1 (the high half of the counts).
    UniqueFd held(::open(file_path_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held.valid());
    const Reply counts = request(1, IOCTL_TAV_GET_REF_COUNTS);
    ASSERT_EQ(4u, counts.out.size());
    EXPECT_EQ(1u, get_le32(counts.out.data()) >> 16);

    // A second open replaces the mount. A handle kept open across it (as an attached loop
    // device keeps one) must see the new partition, not pages cached from the first.
    EXPECT_TRUE(read_served_file(held.get()) == first.content);
    mount(second);
    EXPECT_TRUE(read_served_file(held.get()) == second.content);
  }
  EXPECT_TRUE(read_served_file() == second.content);

  const Reply closed = request(0, IOCTL_TAV_PART_CLOSE, open_record(second), kMountInfoBytes);
  EXPECT_EQ(STATUS_SUCCESS, closed.status);
  EXPECT_EQ(0, file_size());

  // Another user cannot reach the socket at all (its credentials are checked behind that too).
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(20);
    Reply reply;
    ::_exit(control_request(socket_path_, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply) ? 11 : 0);
  }
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "11: another user was answered, 20: setuid failed; status " << status;

  EXPECT_EQ(0, daemon.stop(SIGTERM));
  EXPECT_FALSE(mounted_at(fuse_dir_));
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
}

TEST_F(DaemonEndToEnd, SecondDaemonIsRefusedAndAKilledOneIsReplaced) {
  const Snapshot snapshot = write_snapshot("only", 3);
  Daemon first(socket_path_, fuse_dir_);
  std::string output;
  ASSERT_TRUE(first.start(&output)) << output;
  mount(snapshot);

  {
    Daemon second(socket_path_, fuse_dir_, /*owns_mount=*/false);
    EXPECT_FALSE(second.start(&output));
    EXPECT_NE(std::string::npos, output.find("another tavmount is running")) << output;
    EXPECT_EQ(1, second.wait_exit());
  }
  // The refused daemon touched nothing of the first one.
  EXPECT_TRUE(read_served_file() == snapshot.content);

  // Killed outright, the first daemon leaves a dead FUSE mount and its socket file behind.
  EXPECT_EQ(-1, first.stop(SIGKILL));
  ASSERT_TRUE(std::filesystem::exists(socket_path_));
  ASSERT_TRUE(mounted_at(fuse_dir_));

  Daemon replacement(socket_path_, fuse_dir_);
  ASSERT_TRUE(replacement.start(&output)) << output;
  EXPECT_EQ(5000u, version());
  EXPECT_EQ(0, file_size());
  mount(snapshot);
  EXPECT_TRUE(read_served_file() == snapshot.content);
  EXPECT_EQ(0, replacement.stop(SIGINT));
  EXPECT_FALSE(mounted_at(fuse_dir_));
}

// Started without --foreground, the daemon returns to its caller only once it serves, with exit
// code 0; it then runs on its own until SIGTERM.
TEST_F(DaemonEndToEnd, BackgroundStartReturnsWhenReady) {
  // Cleans up after a daemon that is not our child: found through the socket's peer credentials.
  struct Adopted {
    pid_t pid = -1;
    std::string fuse_dir;
    ~Adopted() {
      if (pid > 0) ::kill(pid, SIGKILL);
      if (mounted_at(fuse_dir)) ::umount2(fuse_dir.c_str(), MNT_DETACH);
    }
    // Waits (bounded) until the process is gone.
    bool wait_gone() {
      UniqueFd pidfd(int(::syscall(SYS_pidfd_open, pid, 0)));
      if (!pidfd.valid()) return errno == ESRCH;
      pollfd p{pidfd.get(), POLLIN, 0};
      return ::poll(&p, 1, kWaitMs) == 1;
    }
  } daemon{-1, fuse_dir_};

  ASSERT_EQ(0, run_program({kDaemon, "--socket", socket_path_, "--fuse-dir", fuse_dir_}));
  EXPECT_EQ(5000u, version());
  {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socket_path_.c_str());
    ASSERT_EQ(0, ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ucred cred{};
    socklen_t length = sizeof cred;
    ASSERT_EQ(0, ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length));
    daemon.pid = cred.pid;
  }
  EXPECT_TRUE(mounted_at(fuse_dir_));
  ASSERT_EQ(0, ::kill(daemon.pid, SIGTERM));
  ASSERT_TRUE(daemon.wait_gone());
  daemon.pid = -1;
  EXPECT_FALSE(mounted_at(fuse_dir_));
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
}

// A directory on a FUSE connection nobody serves: the kernel waits for an answer to the
// connection's first request that never comes, so whoever looks into the directory waits, in a
// sleep a kill ends, until the connection is aborted. The test itself must never look in.
class UnansweredDirectory {
 public:
  explicit UnansweredDirectory(std::string dir) : dir_(std::move(dir)) {
    if (::mkdir(dir_.c_str(), 0700) != 0) return;
    device_.reset(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!device_.valid()) return;
    const std::string options = "fd=" + std::to_string(device_.get()) + ",rootmode=40000,user_id=0,group_id=0";
    mounted_ = ::mount("unanswered", dir_.c_str(), "fuse", MS_NOSUID | MS_NODEV | MS_RDONLY, options.c_str()) == 0;
  }
  ~UnansweredDirectory() {
    device_.reset();  // aborts the connection: every request waiting on it fails
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  UnansweredDirectory(const UnansweredDirectory&) = delete;
  UnansweredDirectory& operator=(const UnansweredDirectory&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  UniqueFd device_;
  bool mounted_ = false;
};

using Clock = std::chrono::steady_clock;

// A second snapshot whose volume claims number 2000000000 (a forged or damaged header) makes the
// volume range a mount asks for span two billion numbers, of which two files exist. The open
// request is answered at once and serves the partition, and SIGTERM then ends the daemon.
TEST_F(DaemonEndToEnd, AnAbsurdVolumeRangeIsAnsweredPromptly) {
  constexpr uint32_t kFar = 2000000000;
  const Snapshot snapshot = write_snapshot("absurd", 4);
  ASSERT_EQ(0u, snapshot.written.first_vol);
  ASSERT_EQ(0u, snapshot.written.last_vol);
  {
    // The written volume again, as volume kFar of a snapshot made a second later.
    namespace L = img::header_layout;
    std::string bytes;
    ASSERT_EQ(0, read_whole_file(snapshot.folder + "imbackup0.ego", &bytes));
    ASSERT_GE(bytes.size(), img::kHeaderSize);
    uint8_t* header = reinterpret_cast<uint8_t*>(bytes.data());
    for (const size_t field : {L::kVol, L::kFirstVol, L::kFirstVol2}) put_le32(header + field, kFar);
    put_le32(header + L::kCreateTime, get_le32(header + L::kCreateTime) + 1);
    img::seal_struct_sum(std::span<uint8_t>(header, img::kHeaderSize), L::kSum);
    ASSERT_TRUE(sysutil_test::make_file(snapshot.folder + "imbackup" + std::to_string(kFar) + ".ego", bytes));
  }
  // The range the catalogue gives, which `tav mount` sends.
  MountInformation info;
  {
    STORAGE_DATA storage;
    ASSERT_EQ(0, libtavimg_load_image2(&storage, snapshot.folder.c_str(), "imbackup", 0));
    EXPECT_EQ(2u, storage.snaps.size());
    int max = 0, min = -1;
    const int got = libtavimg_get_imagefile_range(&storage, &max, &min);
    libtavimg_unload_image(&storage);
    ASSERT_EQ(0, got);
    ASSERT_EQ(0, min);
    ASSERT_EQ(int(kFar), max);
    info = decode_mount_info(open_record_bytes(snapshot));
    info.min_seq = uint32_t(min);
    info.max_seq = uint32_t(max);
  }
  MountInfoBytes record;
  encode_mount_info(info, &record);

  Daemon daemon(socket_path_, fuse_dir_);
  std::string output;
  ASSERT_TRUE(daemon.start(&output)) << output;
  const Clock::time_point asked = Clock::now();
  Reply reply;
  const Status st = control_request(socket_path_, 0, IOCTL_TAV_PART_OPEN, {record.begin(), record.end()},
                                    kMountInfoBytes, &reply, std::chrono::seconds(5));
  EXPECT_TRUE(st) << st.message() << " after "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count() << " ms";
  if (st) {
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    ASSERT_EQ(kMountInfoBytes, reply.out.size());
    const MountInformation out = decode_mount_info(std::span<const uint8_t, kMountInfoBytes>(reply.out.data(), kMountInfoBytes));
    EXPECT_EQ(0u, out.error) << reply_message(out);
    EXPECT_TRUE(read_served_file() == snapshot.content);
  }

  const Clock::time_point signalled = Clock::now();
  EXPECT_EQ(0, daemon.stop(SIGTERM));
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(5));
  EXPECT_FALSE(mounted_at(fuse_dir_));
}

// SIGTERM ends the daemon within its stop limit even while a request is stuck inside it (here an
// open of a storage in a directory that never answers): the daemon exits 1 without waiting for
// the request, and leaves neither its file server mounted nor its socket.
TEST_F(DaemonEndToEnd, SigtermStopsTheDaemonWithARequestStuckInside) {
  Daemon daemon(socket_path_, fuse_dir_);
  std::string output;
  ASSERT_TRUE(daemon.start(&output)) << output;
  std::future<Status> answer;
  UnansweredDirectory stuck(dir_.file("unanswered"));  // goes first, releasing whatever still waits
  ASSERT_TRUE(stuck.mounted()) << std::strerror(errno);

  MountInformation info;
  info.drive_letter = u'M';
  info.snap_time = 1;
  info.signature = 1;
  ASSERT_TRUE(set_mount_path(&info, dir_.file("unanswered") + "/", "imbackup"));
  MountInfoBytes record;
  encode_mount_info(info, &record);
  answer = std::async(std::launch::async, [this, record] {
    Reply reply;
    return control_request(socket_path_, 0, IOCTL_TAV_PART_OPEN, {record.begin(), record.end()}, kMountInfoBytes,
                           &reply, std::chrono::seconds(60));
  });
  ASSERT_EQ(std::future_status::timeout, answer.wait_for(std::chrono::milliseconds(500)))
      << "the open of an unanswered directory came back: " << answer.get().message();

  const Clock::time_point signalled = Clock::now();
  EXPECT_EQ(1, daemon.stop(SIGTERM)) << "1: stopped without the stuck request";
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(10));
  EXPECT_FALSE(mounted_at(fuse_dir_));
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
  if (daemon.pid() < 0) {
    // The daemon is gone: the client got no answer.
    ASSERT_EQ(std::future_status::ready, answer.wait_for(std::chrono::seconds(10)));
    EXPECT_FALSE(answer.get());
  }
}

// Bad use exits 2 before anything is touched; --help exits 0. Needs no root.
TEST(DaemonOptions, BadUseExitsTwo) {
  if (::access(kDaemon.c_str(), X_OK) != 0) GTEST_SKIP() << "tavmount is not built: " << kDaemon;
  struct Case {
    std::vector<std::string> args;
    int exit_code;
  } cases[] = {
      {{"--help"}, 0},
      {{"--version"}, 0},
      {{"--frobnicate"}, 2},
      {{"--socket"}, 2},
      {{"--fuse-dir", ""}, 2},
      {{"extra"}, 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {kDaemon};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(argv.back());
    EXPECT_EQ(c.exit_code, run_program(argv));
  }
}

}  // namespace
}  // namespace tav::mount
