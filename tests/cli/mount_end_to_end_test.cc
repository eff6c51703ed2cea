// `tav mount`, `tav umount` and `tav mounts` end to end through the built binaries and a real
// mount daemon: snapshots of disks made by tests/fixtures/test_disk.sh and stored by `tav backup`
// are mounted read-only (ext4 by the kernel, NTFS through ntfs-3g) and every file must read back
// as the source held it at that snapshot. One snapshot is mounted at a time; a busy file system
// stays mounted; a killed daemon leaves nothing stuck; a failed mount leaves nothing set up.
// Needs root, /dev/fuse and loop devices; skips otherwise.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <map>

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

  RunResult mount(int snapshot, uint32_t partition, const std::string& mount_point) {
    return tav({"mount", store_, "--snapshot", std::to_string(snapshot), "--partition", std::to_string(partition),
                mount_point});
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

}  // namespace
}  // namespace tav::cli_test
