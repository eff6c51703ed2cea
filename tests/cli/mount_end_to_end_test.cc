// `tav mount`, `tav umount` and `tav mounts` end to end through the built binaries and a real
// mount daemon: snapshots of disks made by tests/fixtures/test_disk.sh and stored by `tav backup`
// are mounted read-only (ext4 by the kernel, NTFS through ntfs-3g) and every file must read back
// as the source held it at that snapshot. One snapshot is mounted at a time; a busy file system
// stays mounted; a killed daemon leaves nothing stuck; a failed mount leaves nothing set up; a
// snapshot's set-user-ID programs and device nodes count for nothing and its programs run only
// with --exec; a mount point that holds files is refused; an unmount after another client closed
// the partition succeeds. Needs root, /dev/fuse and loop devices; skips otherwise.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <functional>
#include <map>

#include "daemons/tavmount/protocol/control_protocol.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "tests/cli/cli_test_support.h"
#include "tests/services/mount_test_support.h"

namespace tav::cli_test {
namespace {

namespace fs = std::filesystem;
using mount_test::MountEnvironment;
using mount_test::is_mount_point;

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int disk_tool(const std::string& args) {
  return shell("bash " + shell_quote(std::string(TAV_SOURCE_DIR) + "/tests/fixtures/test_disk.sh") + " " + args +
               " >/dev/null 2>&1");
}

std::string read_all(const std::string& path) { return read_text(path); }

// The command ran and refused with exit status 1 (not a crash or a sanitizer report).
void expect_refused(const RunResult& r) {
  EXPECT_TRUE(r.exited) << describe(r);
  EXPECT_EQ(r.exit_status, 1) << describe(r);
}

bool is_excluded_file(const std::string& name) { return name == "pagefile.sys" || name == "hiberfil.sys"; }

// Regular files under `dir` by relative path; file system metadata (lost+found, NTFS system
// files) left out.
std::map<std::string, std::string> tree(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string rel = fs::relative(it->path(), dir).string();
    if (rel.rfind("lost+found", 0) == 0 || rel[0] == '$' || rel.rfind("System Volume Information", 0) == 0) continue;
    if (it->is_regular_file()) files[rel] = read_all(it->path().string());
  }
  return files;
}

bool has_option(const std::vector<std::string>& options, const std::string& option) {
  return std::find(options.begin(), options.end(), option) != options.end();
}

// What a child process did: its exit status (-1 when it did not exit) and what it printed.
struct ChildRun {
  int exit_status = -1;
  std::string out;
};

// Runs `body` in a child process as user and group `uid` (no supplementary groups; root stays
// root); the child exits with what `body` returns, and its standard output is collected.
ChildRun run_as(uid_t uid, const std::function<int()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(125);
    ::_exit(body());
  }
  ::close(fds[1]);
  ChildRun r;
  char buffer[256];
  for (ssize_t n; pid > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) {
      r.out.append(buffer, size_t(n));
    } else if (errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  return r;
}

constexpr uid_t kNobody = 65534;

struct FsPartition {
  uint32_t number;
  const char* fs;  // the fixture script's name
};
constexpr FsPartition kMountable[] = {{2, "ext"}, {3, "ntfs"}};

class MountEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    const std::string reason = env_.skip_reason();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }
  void TearDown() override { env_.cleanup(); }

  RunResult tav(const std::vector<std::string>& args) { return run_tav(tmp_, args); }

  // A disk with FAT32, ext4 and NTFS, backed up `snapshots` times (full, then incremental), with
  // the file mirror of each snapshot's time in state_at(i).
  void make_chain(int snapshots) {
    const int made = disk_tool("make " + shell_quote(disk_) + " mbr " + shell_quote(state_));
    if (made == 3) GTEST_SKIP() << "a tool of sfdisk, dosfstools, mtools, e2fsprogs or ntfs-3g is missing";
    ASSERT_EQ(made, 0);
    for (int step = 0; step < snapshots; ++step) {
      if (step > 0) {
        ASSERT_EQ(disk_tool("change " + shell_quote(disk_) + " " + std::to_string(step) + " " + shell_quote(state_)), 0);
      }
      ASSERT_EQ(shell("cp -a " + shell_quote(state_) + " " + shell_quote(state_at(step))), 0);
      const RunResult r = tav({"backup", disk_, store_});
      ASSERT_EQ(r.exit_status, 0) << describe(r);
    }
  }
  std::string state_at(int step) const { return tmp_.file("state" + std::to_string(step)); }

  // The disk of test_disk.sh's "unsafe" command, backed up once: partition 1 is ext4 with a
  // set-user-ID-root program and device nodes, partition 2 NTFS.
  void make_unsafe() {
    const int made = disk_tool("unsafe " + shell_quote(disk_));
    if (made == 3) GTEST_SKIP() << "a tool of sfdisk, e2fsprogs or ntfs-3g is missing";
    ASSERT_EQ(made, 0);
    const RunResult r = tav({"backup", disk_, store_});
    ASSERT_EQ(r.exit_status, 0) << describe(r);
  }

  RunResult mount(int snapshot, uint32_t partition, const std::string& mount_point, bool exec = false) {
    std::vector<std::string> args = {"mount", store_, "--snapshot", std::to_string(snapshot), "--partition",
                                     std::to_string(partition)};
    if (exec) args.push_back("--exec");
    args.push_back(mount_point);
    return tav(args);
  }

  // The files of the mounted snapshot equal the mirror of its time; the excluded paging and
  // hibernation files read as zeros of their size.
  void expect_files(const std::string& mount_point, const std::string& expected_dir) {
    const auto expected = tree(expected_dir);
    const auto got = tree(mount_point);
    ASSERT_FALSE(expected.empty());
    std::vector<std::string> expected_names, got_names;
    for (const auto& [name, bytes] : expected) expected_names.push_back(name);
    for (const auto& [name, bytes] : got) got_names.push_back(name);
    EXPECT_EQ(got_names, expected_names);
    for (const auto& [name, bytes] : expected) {
      const auto it = got.find(name);
      if (it == got.end()) continue;
      if (is_excluded_file(name)) {
        EXPECT_EQ(it->second.size(), bytes.size()) << name;
        EXPECT_TRUE(std::all_of(it->second.begin(), it->second.end(), [](char c) { return c == 0; })) << name;
      } else {
        EXPECT_TRUE(it->second == bytes) << name << " differs";
      }
    }
  }

  void expect_read_only(const std::string& mount_point) {
    struct statvfs sv {};
    ASSERT_EQ(::statvfs(mount_point.c_str(), &sv), 0);
    EXPECT_NE(sv.f_flag & ST_RDONLY, 0u) << "the file system does not report read-only";
    const int fd = ::open((mount_point + "/new.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_LT(fd, 0) << "a file could be created";
    if (fd >= 0) ::close(fd);
  }

  // The mount at `mount_point` is read-only, nosuid and nodev, and noexec unless `exec`.
  void expect_safe_options(const std::string& mount_point, bool exec) {
    const std::vector<std::string> options = mount_test::mount_options(mount_point);
    EXPECT_TRUE(has_option(options, "ro") && has_option(options, "nosuid") && has_option(options, "nodev"))
        << ::testing::PrintToString(options);
    EXPECT_EQ(has_option(options, "noexec"), !exec) << ::testing::PrintToString(options);
  }

  // Nothing of ours is left: no loop device over the served file, the mount point free.
  void expect_nothing_left(const std::string& mount_point) {
    EXPECT_FALSE(is_mount_point(mount_point)) << mount_point << " is still mounted";
    EXPECT_TRUE(env_.our_loops().empty()) << "a loop device over the served file is left";
  }

  TempDir tmp_;
  MountEnvironment env_;
  std::string disk_ = tmp_.file("disk.img");
  std::string state_ = tmp_.file("state");
  std::string store_ = tmp_.file("store");
};

TEST_F(MountEndToEnd, EverySnapshotMountsReadOnlyAsTheSourceWas) {
  make_chain(2);
  const std::string mp = env_.mount_point("mnt");
  for (int snapshot = 1; snapshot <= 2; ++snapshot) {
    for (const FsPartition& part : kMountable) {
      SCOPED_TRACE("snapshot " + std::to_string(snapshot) + " partition " + part.fs);
      const RunResult r = mount(snapshot, part.number, mp);
      ASSERT_EQ(r.exit_status, 0) << describe(r);
      ASSERT_TRUE(is_mount_point(mp));
      expect_files(mp, state_at(snapshot - 1) + "/" + part.fs);
      expect_read_only(mp);

      const RunResult listed = tav({"mounts"});
      EXPECT_EQ(listed.exit_status, 0) << describe(listed);
      EXPECT_NE(listed.out.find("mounted at \"" + mp + "\""), std::string::npos) << listed.out;
      EXPECT_NE(listed.out.find("read-only"), std::string::npos) << listed.out;
      EXPECT_NE(listed.out.find(store_), std::string::npos) << listed.out;

      const RunResult u = tav({"umount", mp});
      ASSERT_EQ(u.exit_status, 0) << describe(u);
      expect_nothing_left(mp);
    }
  }
  const RunResult listed = tav({"mounts"});
  EXPECT_NE(listed.out.find("no snapshot is open"), std::string::npos) << describe(listed);
}

TEST_F(MountEndToEnd, OneAtATimeBusyStaysAndAKilledDaemonLeavesNothingStuck) {
  make_chain(1);
  const std::string mp = env_.mount_point("mnt");
  const std::string other = env_.mount_point("other");
  ASSERT_EQ(mount(1, 2, mp).exit_status, 0);
  const std::string readme = read_all(state_at(0) + "/ext/README.txt");

  // A second mount is refused and the first one keeps working.
  const RunResult second = mount(1, 3, other);
  expect_refused(second);
  EXPECT_NE(second.err.find("already mounted at " + mp), std::string::npos) << second.err;
  EXPECT_FALSE(is_mount_point(other));
  EXPECT_EQ(read_all(mp + "/README.txt"), readme);
  // So is a mount onto a mount point in use.
  const RunResult taken = mount(1, 3, mp);
  expect_refused(taken);

  // Busy: refused, mounted and readable as before.
  {
    const int fd = ::open((mp + "/README.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const RunResult busy = tav({"umount", mp});
    expect_refused(busy);
    EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
    EXPECT_TRUE(is_mount_point(mp));
    char buf[64] = {};
    EXPECT_EQ(::pread(fd, buf, sizeof(buf), 0), ssize_t(std::min<size_t>(sizeof(buf), readme.size())));
    ::close(fd);
    EXPECT_EQ(read_all(mp + "/README.txt"), readme);
  }

  // A mount that is not ours is left alone.
  ASSERT_EQ(::mount("tmpfs", other.c_str(), "tmpfs", 0, "size=1m"), 0);
  const RunResult foreign = tav({"umount", other});
  expect_refused(foreign);
  EXPECT_TRUE(is_mount_point(other));
  ::umount2(other.c_str(), 0);

  // The daemon dies under the mount: umount still clears everything.
  const pid_t daemon = env_.daemon_pid();
  ASSERT_GT(daemon, 0);
  ASSERT_EQ(::kill(daemon, SIGKILL), 0);
  ASSERT_TRUE(mount_test::wait_gone(daemon));
  const RunResult after = tav({"umount", mp});
  EXPECT_EQ(after.exit_status, 0) << describe(after);
  EXPECT_NE(after.err.find("not running"), std::string::npos) << after.err;
  expect_nothing_left(mp);
  EXPECT_FALSE(is_mount_point(env_.fuse_dir())) << "the dead file server mount is left";

  // And the next mount starts a new daemon.
  const RunResult again = mount(1, 2, mp);
  ASSERT_EQ(again.exit_status, 0) << describe(again);
  EXPECT_EQ(read_all(mp + "/README.txt"), readme);
  EXPECT_EQ(tav({"umount", mp}).exit_status, 0);
  expect_nothing_left(mp);
}

TEST_F(MountEndToEnd, AFailedMountLeavesNothingSetUp) {
  // One partition of zeros: stored and served, but holding no file system to mount.
  ASSERT_EQ(shell("truncate -s 8M " + shell_quote(disk_) + " && printf 'start=2048, size=12288, type=83\\n' | "
                  "sfdisk -q " + shell_quote(disk_) + " >/dev/null 2>&1"),
            0);
  const RunResult b = tav({"backup", disk_, store_});
  ASSERT_EQ(b.exit_status, 0) << describe(b);
  const std::string mp = env_.mount_point("mnt");

  const RunResult r = mount(1, 1, mp);
  expect_refused(r);
  EXPECT_NE(r.err.find("cannot mount"), std::string::npos) << r.err;
  expect_nothing_left(mp);
  const RunResult listed = tav({"mounts"});
  EXPECT_NE(listed.out.find("no snapshot is open"), std::string::npos) << describe(listed);

  // Wrong numbers are refused before anything is set up.
  const RunResult no_part = mount(1, 7, mp);
  expect_refused(no_part);
  EXPECT_NE(no_part.err.find("no partition 7"), std::string::npos) << no_part.err;
  const RunResult nothing = tav({"umount", mp});
  expect_refused(nothing);
  expect_nothing_left(mp);
}

// A snapshot is someone's old disk: its set-user-ID programs gain nothing, its device nodes open
// nothing (for root neither), and its programs run only with --exec; NTFS through ntfs-3g alike.
TEST_F(MountEndToEnd, SetUserIdAndDeviceNodesCountForNothingAndProgramsRunOnlyWithExec) {
  ASSERT_NO_FATAL_FAILURE(make_unsafe());
  if (IsSkipped()) return;
  // Another user must reach the mount point; the test's directory is private.
  ASSERT_EQ(::chmod(env_.dir().c_str(), 0711), 0);
  const std::string mp = env_.mount_point("mnt");
  for (const bool exec : {false, true}) {
    SCOPED_TRACE(exec ? "with --exec" : "without --exec");
    {
      SCOPED_TRACE("ext4");
      const RunResult r = mount(1, 1, mp, exec);
      ASSERT_EQ(r.exit_status, 0) << describe(r);
      expect_safe_options(mp, exec);

      // The snapshot holds what the fixture put there.
      const std::string program = mp + "/suid-id";
      struct stat st {};
      ASSERT_EQ(::stat(program.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 04755u);
      EXPECT_EQ(st.st_uid, 0u);

      // Run by another user, the set-user-ID-root program either does not run or runs as that user.
      const ChildRun ran = run_as(kNobody, [&program] {
        ::execl(program.c_str(), "suid-id", "-u", static_cast<char*>(nullptr));
        ::dprintf(STDOUT_FILENO, "errno %d", errno);
        return 127;
      });
      if (exec) {
        EXPECT_EQ(ran.exit_status, 0) << ran.out;
        EXPECT_EQ(ran.out, std::to_string(kNobody) + "\n") << "the effective user is not the caller";
      } else {
        EXPECT_EQ(ran.exit_status, 127) << ran.out;
        EXPECT_EQ(ran.out, "errno " + std::to_string(EACCES));
      }

      // Device nodes: open for nobody, root included.
      for (const auto& [name, minor] : {std::pair{"null", 3u}, std::pair{"zero", 5u}}) {
        SCOPED_TRACE(name);
        const std::string node = mp + "/" + name;
        ASSERT_EQ(::stat(node.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_rdev, ::makedev(1, minor));
        errno = 0;
        const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_LT(fd, 0) << "root opened the device node";
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(errno, EACCES);
        const ChildRun opened = run_as(kNobody, [&node] {
          const int child_fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
          return child_fd >= 0 ? 0 : errno;
        });
        EXPECT_EQ(opened.exit_status, EACCES) << "0: another user opened the device node";
      }
      const RunResult u = tav({"umount", mp});
      ASSERT_EQ(u.exit_status, 0) << describe(u);
      expect_nothing_left(mp);
    }
    {
      SCOPED_TRACE("NTFS");
      const RunResult r = mount(1, 2, mp, exec);
      ASSERT_EQ(r.exit_status, 0) << describe(r);
      expect_safe_options(mp, exec);
      // ntfs-3g shows every file with every permission: only noexec keeps it from running.
      const std::string file = mp + "/README.txt";
      EXPECT_EQ(read_all(file), "Sample ntfs volume of the unsafe disk.\n");
      errno = 0;
      EXPECT_EQ(::access(file.c_str(), X_OK), exec ? 0 : -1);
      if (!exec) {
        EXPECT_EQ(errno, EACCES);
      }
      const RunResult u = tav({"umount", mp});
      ASSERT_EQ(u.exit_status, 0) << describe(u);
      expect_nothing_left(mp);
    }
  }
}

// Mounting over files would hide them: a mount point holding anything, a hidden file included,
// is refused before anything is set up.
TEST_F(MountEndToEnd, ANonEmptyMountPointIsRefusedAndNothingIsSetUp) {
  ASSERT_NO_FATAL_FAILURE(make_unsafe());
  if (IsSkipped()) return;
  const std::string mp = env_.mount_point("mnt");
  for (const char* name : {"kept.txt", ".hidden"}) {
    SCOPED_TRACE(name);
    const std::string kept = mp + "/" + name;
    ASSERT_TRUE(write_file(kept, {'m', 'i', 'n', 'e'}));
    const RunResult r = mount(1, 1, mp);
    expect_refused(r);
    EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r.err;
    expect_nothing_left(mp);
    EXPECT_EQ(read_all(kept), "mine");
    const RunResult listed = tav({"mounts"});
    EXPECT_NE(listed.out.find("no snapshot is open"), std::string::npos) << describe(listed);
    ASSERT_EQ(::unlink(kept.c_str()), 0);
  }
  // Emptied, the same directory takes the mount.
  const RunResult r = mount(1, 1, mp);
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  EXPECT_EQ(tav({"umount", mp}).exit_status, 0);
  expect_nothing_left(mp);
}

// Another client (a second tool, or a user with the control socket) closes the partition in the
// daemon while it is mounted; the unmount still removes the mount and the loop device and counts
// as done.
TEST_F(MountEndToEnd, UmountSucceedsAfterAnotherClientClosedThePartition) {
  ASSERT_NO_FATAL_FAILURE(make_unsafe());
  if (IsSkipped()) return;
  const std::string mp = env_.mount_point("mnt");
  const RunResult r = mount(1, 1, mp);
  ASSERT_EQ(r.exit_status, 0) << describe(r);

  mount::MountInfoBytes record{};
  mount::encode_mount_info(mount::MountInformation{}, &record);
  mount::Reply closed;
  const Status st = mount::control_request(env_.socket_path(), 0, mount::IOCTL_TAV_PART_CLOSE, {record.begin(), record.end()},
                                           mount::kMountInfoBytes, &closed);
  ASSERT_TRUE(st.is_ok()) << st.message();
  ASSERT_EQ(closed.status, mount::STATUS_SUCCESS);

  const RunResult u = tav({"umount", mp});
  EXPECT_EQ(u.exit_status, 0) << describe(u);
  expect_nothing_left(mp);
  const RunResult listed = tav({"mounts"});
  EXPECT_NE(listed.out.find("no snapshot is open"), std::string::npos) << describe(listed);
}

}  // namespace
}  // namespace tav::cli_test
