// `tav restore` and `tav clone` end to end through the built binary. A chain of three snapshots
// (full, incremental, differential) of a disk made by tests/fixtures/test_disk.sh (FAT32, ext4
// and NTFS, MBR and GPT) is restored partition by partition onto fresh destination disk images
// whose target partition holds old data: of the same size and larger. Each restored partition
// must pass its file system's check, hold the files of its snapshot's time, span a larger
// partition, and nothing outside the partition may change. Clones of the live disk's partitions
// the same. Refused: a too-small destination (sizes in the message), a mounted one, an
// unconfirmed run; each leaves the destination as it was. A signal cancels a restore and leaves
// no valid file system behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "core/byte_order.h"
#include "tests/cli/cli_test_support.h"
#include "tests/cli/disk_fixture.h"

namespace tav::cli_test {
namespace {

// Sizes of the test disk's partitions (tests/fixtures/test_disk.sh).
constexpr uint64_t kFatSectors = 73728;
constexpr uint64_t kExtSectors = 32768;
constexpr uint64_t kNtfsSectors = 32768;

struct SourcePartition {
  TestPartition part;
  uint64_t sectors;
};
constexpr SourcePartition kFat{{1, "fat"}, kFatSectors};
constexpr SourcePartition kExt{{2, "ext"}, kExtSectors};
constexpr SourcePartition kNtfs{{3, "ntfs"}, kNtfsSectors};

// Destination disks: partition 1 a filler at 2048 (so the target lies elsewhere than its
// source), partition 2 the target, filled with a pattern of old data before every run.
constexpr uint64_t kFillerSectors = 16384;
constexpr uint64_t kTargetStart = 2048 + kFillerSectors;
constexpr uint64_t kGrowSectors = 32768;  // a larger target has 16 MiB more
constexpr uint8_t kOldData = 0xA5;

// A test disk with three snapshots of it in a storage, and the disk and file mirror of every step
// (snapshot N is step N - 1). Built once per table kind for the whole run.
struct Chain {
  std::unique_ptr<TempDir> dir = std::make_unique<TempDir>();
  std::string disk = dir->file("disk.img");
  std::string state = dir->file("state");
  std::string store = dir->file("store");
  std::string failure;  // why it could not be built; "skip: ..." when a tool is missing
  std::string disk_at(int step) const { return dir->file("disk" + std::to_string(step) + ".img"); }
  std::string state_at(int step) const { return dir->file("state" + std::to_string(step)); }
};

const Chain& chain(const std::string& table) {
  static std::map<std::string, std::unique_ptr<Chain>> chains;
  auto& slot = chains[table];
  if (slot) return *slot;
  slot = std::make_unique<Chain>();
  Chain& c = *slot;
  const int made = disk_tool("make " + shell_quote(c.disk) + " " + table + " " + shell_quote(c.state));
  if (made != 0) {
    c.failure = made == 3 ? "skip: a tool of sfdisk, dosfstools, mtools, e2fsprogs or ntfs-3g is missing"
                          : "test_disk.sh make failed";
    return c;
  }
  for (int step = 0; step < 3; ++step) {
    const std::string change = "change " + shell_quote(c.disk) + " " + std::to_string(step) + " " + shell_quote(c.state);
    if (step > 0 && disk_tool(change) != 0) {
      c.failure = "test_disk.sh change failed";
      return c;
    }
    if (shell("cp --sparse=always " + shell_quote(c.disk) + " " + shell_quote(c.disk_at(step)) + " && cp -a " +
              shell_quote(c.state) + " " + shell_quote(c.state_at(step))) != 0) {
      c.failure = "saving step " + std::to_string(step) + " failed";
      return c;
    }
    const char* kind = step == 0 ? "full" : step == 1 ? "incremental" : "differential";
    const RunResult r = run_tav(*c.dir, {"backup", c.disk, c.store, "--type", kind});
    if (r.exit_status != 0) {
      c.failure = "the " + std::string(kind) + " backup failed: " + describe(r);
      return c;
    }
  }
  return c;
}

// A fresh destination disk image with the filler and a target partition of `target_sectors`,
// the target filled with kOldData.
bool make_destination(const std::string& path, const std::string& table, uint64_t target_sectors) {
  const uint64_t total = kTargetStart + target_sectors + 2048;  // room for the backup GPT
  std::string script = table == "gpt" ? "label: gpt\n" : "label: dos\n";
  script += "start=2048, size=" + std::to_string(kFillerSectors) + ", type=" + (table == "gpt" ? "L" : "83") + "\n";
  script += "start=" + std::to_string(kTargetStart) + ", size=" + std::to_string(target_sectors) +
            ", type=" + (table == "gpt" ? "L" : "83") + "\n";
  const std::string script_path = path + ".sfdisk";
  if (!write_file(script_path, std::vector<uint8_t>(script.begin(), script.end()))) return false;
  if (shell("rm -f " + shell_quote(path) + " && truncate -s " + std::to_string(total * 512) + " " + shell_quote(path) +
            " && sfdisk --quiet " + shell_quote(path) + " <" + shell_quote(script_path) + " >/dev/null 2>&1") != 0) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::vector<uint8_t> old(1 << 20, kOldData);
  bool ok = true;
  for (uint64_t done = 0; ok && done < target_sectors * 512;) {
    const size_t n = size_t(std::min<uint64_t>(old.size(), target_sectors * 512 - done));
    ok = ::pwrite(fd, old.data(), n, off_t(kTargetStart * 512 + done)) == ssize_t(n);
    done += n;
  }
  return ::close(fd) == 0 && ok;
}

// The size in bytes the file system in `boot` (its first 2 KiB) says it has; 0 when unknown.
uint64_t file_system_bytes(const std::vector<uint8_t>& boot, const std::string& fs) {
  if (boot.size() < 2048) return 0;
  if (fs == "fat") {
    const uint64_t sectors = get_le16(&boot[0x13]) != 0 ? get_le16(&boot[0x13]) : get_le32(&boot[0x20]);
    return sectors * get_le16(&boot[0x0B]);
  }
  if (fs == "ntfs") return get_le64(&boot[0x28]) * get_le16(&boot[0x0B]);
  if (fs == "ext") return uint64_t(get_le32(&boot[1024 + 4])) * (uint64_t{1024} << get_le32(&boot[1024 + 24]));
  return 0;
}

class RestoreEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }
  RunResult tav(const std::vector<std::string>& args) { return run_tav(tmp_, args); }

  // Checks the target partition of the destination against the files of `state_dir`: the file
  // system's check, the files, its size when the partition is larger than the source, and the
  // bytes outside the partition against `before`.
  void check_target(const std::string& dest, const std::vector<uint8_t>& before, const SourcePartition& source,
                    uint64_t target_sectors, const std::string& state_dir) {
    const std::string fs = source.part.fs;
    const std::string part_file = tmp_.file("target.img");
    const std::vector<uint8_t> after = read_all(dest);
    ASSERT_EQ(after.size(), before.size());
    const size_t begin = kTargetStart * 512;
    const size_t end = (kTargetStart + target_sectors) * 512;
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + std::ptrdiff_t(begin), before.begin()))
        << "bytes before the target partition changed (the table or the filler)";
    EXPECT_TRUE(std::equal(after.begin() + std::ptrdiff_t(end), after.end(), before.begin() + std::ptrdiff_t(end)))
        << "bytes after the target partition changed";
    ASSERT_TRUE(write_file(part_file, std::vector<uint8_t>(after.begin() + std::ptrdiff_t(begin),
                                                           after.begin() + std::ptrdiff_t(end))));
    EXPECT_EQ(disk_tool("check " + shell_quote(part_file) + " " + fs), 0) << "the file system check failed";
    // ntfsresize marks a grown NTFS for a check at its next mount (Windows runs it at boot), and
    // ntfs-3g's tools refuse to read it until the mark is gone: clear it on the copy.
    if (fs == "ntfs" && target_sectors > source.sectors) {
      EXPECT_EQ(shell("ntfsfix -d " + shell_quote(part_file) + " >/dev/null 2>&1"), 0);
    }

    const std::string files_dir = tmp_.file("files");
    fs::remove_all(files_dir);
    const std::string expected_dir = state_dir + "/" + fs;
    ASSERT_EQ(disk_tool("files " + shell_quote(part_file) + " " + fs + " " + shell_quote(files_dir) + " " +
                        shell_quote(expected_dir)),
              0);
    // The paging and hibernation files are not stored: only their size is kept.
    expect_same_files(files_dir, expected_dir, ExcludedContent::kSizeOnly);

    // The FAT32 backup boot sector must be fitted to the new place like the boot sector itself
    // (fsck.fat only mentions the difference).
    if (fs == "fat") {
      const std::vector<uint8_t> boot = read_range(part_file, 0, 512);
      ASSERT_EQ(boot.size(), 512u);
      const uint16_t backup_sector = get_le16(&boot[0x32]);
      const std::vector<uint8_t> backup = read_range(part_file, uint64_t(backup_sector) * 512, 512);
      ASSERT_EQ(backup.size(), 512u);
      EXPECT_TRUE(std::equal(boot.begin() + 0x18, boot.begin() + 0x20, backup.begin() + 0x18))
          << "the backup boot sector keeps the source's geometry and hidden sectors";
      EXPECT_EQ(get_le32(&boot[0x1C]), kTargetStart) << "hidden sectors are not the partition's first sector";
    }

    const uint64_t fs_bytes = file_system_bytes(read_range(part_file, 0, 2048), fs);
    if (target_sectors > source.sectors) {
      EXPECT_GT(fs_bytes, source.sectors * 512) << "the file system was not grown";
      EXPECT_GE(fs_bytes + (1u << 20), target_sectors * 512) << "the file system does not span the partition";
    } else {
      EXPECT_GE(fs_bytes + (1u << 20), source.sectors * 512);
    }
    EXPECT_LE(fs_bytes, target_sectors * 512);
  }

  TempDir tmp_;
};

// Which snapshots go onto which partitions: every file system and both sizes at least once per
// table kind, every snapshot kind, not the whole product.
struct RestoreCase {
  const char* table;
  int snapshot;
  SourcePartition source;
  bool larger;
};
constexpr RestoreCase kRestoreCases[] = {
    {"mbr", 1, kFat, false}, {"mbr", 1, kExt, true},   {"mbr", 1, kNtfs, true}, {"mbr", 2, kExt, false},
    {"mbr", 2, kNtfs, false}, {"mbr", 3, kFat, true},  {"mbr", 3, kExt, false}, {"gpt", 1, kNtfs, false},
    {"gpt", 2, kFat, false},  {"gpt", 3, kExt, true},  {"gpt", 3, kNtfs, true},
};

std::string case_name(const RestoreCase& c) {
  return std::string(c.table) + "_snapshot" + std::to_string(c.snapshot) + "_" + c.source.part.fs +
         (c.larger ? "_larger" : "_equal");
}
void PrintTo(const RestoreCase& c, std::ostream* os) { *os << case_name(c); }

class RestoreCaseTest : public RestoreEndToEnd, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreCaseTest, RestoredPartitionChecksCleanAndHoldsTheSnapshotsFiles) {
  const RestoreCase& c = GetParam();
  if (c.larger && ::geteuid() != 0) GTEST_SKIP() << "growing a file system uses a loop device, which needs root";
  const Chain& source = chain(c.table);
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;

  const uint64_t target_sectors = c.source.sectors + (c.larger ? kGrowSectors : 0);
  const std::string dest = tmp_.file("dest.img");
  ASSERT_TRUE(make_destination(dest, c.table, target_sectors));
  const std::vector<uint8_t> before = read_all(dest);
  const RunResult r = tav({"restore", source.store, "--snapshot", std::to_string(c.snapshot), "--partition",
                           std::to_string(c.source.part.number), "--to", dest + ":2", "--yes"});
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  // What was overwritten was said, with the destination's size in sectors.
  EXPECT_NE(r.out.find("destination: partition 2 of " + dest), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::to_string(target_sectors) + " sectors"), std::string::npos) << r.out;
  check_target(dest, before, c.source, target_sectors, source.state_at(c.snapshot - 1));
}

INSTANTIATE_TEST_SUITE_P(Cases, RestoreCaseTest, ::testing::ValuesIn(kRestoreCases),
                         [](const ::testing::TestParamInfo<RestoreCase>& info) { return case_name(info.param); });

// --restore-mbr writes the image disk's saved boot code (code and disk signature of sector 0, and
// the sectors before the first partition) and keeps the destination's table; --make-active moves
// the boot flag to the restored partition.
TEST_F(RestoreEndToEnd, BootCodeAndActiveFlagAreRestoredOnRequest) {
  const Chain& source = chain("mbr");
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;
  const std::string dest = tmp_.file("dest.img");
  ASSERT_TRUE(make_destination(dest, "mbr", kExtSectors));
  // Boot code of another system, the filler partition active, other bytes before the partitions.
  std::vector<uint8_t> head = read_range(dest, 0, 2048 * 512);
  ASSERT_EQ(head.size(), 2048u * 512);
  std::fill(head.begin(), head.begin() + 440, 0xCC);
  head[446] = 0x80;
  std::fill(head.begin() + 512, head.end(), 0x5A);
  {
    std::fstream out(dest, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size())).good());
  }
  const std::vector<uint8_t> before = read_all(dest);

  const RunResult r = tav({"restore", source.store, "--snapshot", "1", "--partition", "2", "--to", dest + ":2",
                           "--restore-mbr", "--make-active", "--yes"});
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  const std::vector<uint8_t> after = read_range(dest, 0, 2048 * 512);
  const std::vector<uint8_t> saved = read_range(source.disk_at(0), 0, 2048 * 512);
  ASSERT_EQ(after.size(), saved.size());
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 446, saved.begin()))
      << "sector 0's code and disk signature are not the image disk's";
  EXPECT_TRUE(std::equal(after.begin() + 512, after.end(), saved.begin() + 512))
      << "the sectors before the first partition are not the image disk's";
  EXPECT_EQ(after[446], 0x00) << "the filler partition is still active";
  EXPECT_EQ(after[462], 0x80) << "the restored partition is not active";
  // The table itself is the destination's: only the boot flags changed.
  std::vector<uint8_t> table_before(before.begin() + 446, before.begin() + 512);
  std::vector<uint8_t> table_after(after.begin() + 446, after.begin() + 512);
  table_before[0] = table_after[0];
  table_before[16] = table_after[16];
  EXPECT_TRUE(table_after == table_before) << "the destination's partition entries changed";
  EXPECT_TRUE(read_range(dest, 2048 * 512, kFillerSectors * 512) ==
              std::vector<uint8_t>(before.begin() + 2048 * 512, before.begin() + kTargetStart * 512))
      << "the filler partition changed";
  const std::string part_file = tmp_.file("target.img");
  ASSERT_TRUE(write_file(part_file, read_range(dest, kTargetStart * 512, kExtSectors * 512)));
  EXPECT_EQ(disk_tool("check " + shell_quote(part_file) + " ext"), 0) << "the file system check failed";
}

TEST_F(RestoreEndToEnd, ClonedPartitionsCheckCleanAndHoldTheSourcesFiles) {
  const Chain& source = chain("mbr");
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;
  struct CloneCase {
    SourcePartition source;
    bool larger;
  };
  for (const CloneCase& c : {CloneCase{kExt, false}, CloneCase{kNtfs, true}, CloneCase{kFat, true}}) {
    SCOPED_TRACE(std::string(c.source.part.fs) + (c.larger ? " onto a larger partition" : " onto an equal one"));
    if (c.larger && ::geteuid() != 0) continue;  // growing uses a loop device
    const uint64_t target_sectors = c.source.sectors + (c.larger ? kGrowSectors : 0);
    const std::string dest = tmp_.file("dest.img");
    ASSERT_TRUE(make_destination(dest, "gpt", target_sectors));
    const std::vector<uint8_t> before = read_all(dest);
    // The last step's disk, as the live source.
    const RunResult r = tav({"clone", source.disk_at(2) + ":" + std::to_string(c.source.part.number), dest + ":2",
                             "--yes"});
    ASSERT_EQ(r.exit_status, 0) << describe(r);
    check_target(dest, before, c.source, target_sectors, source.state_at(2));
  }
}

TEST_F(RestoreEndToEnd, RefusedRunsLeaveTheDestinationAsItWas) {
  const Chain& source = chain("mbr");
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;
  const std::string live_ext = source.disk_at(2) + ":2";
  struct RefusalCase {
    const char* what;
    uint64_t target_sectors;
    std::vector<std::string> args;  // "DEST" stands for the destination partition
    std::vector<std::string> in_message;
  };
  const RefusalCase cases[] = {
      {"restore onto a smaller partition", kFatSectors - 1,
       {"restore", source.store, "--snapshot", "1", "--partition", "1", "--to", "DEST", "--yes"},
       {std::to_string(kFatSectors), std::to_string(kFatSectors - 1)}},
      {"clone onto a smaller partition", 30000, {"clone", live_ext, "DEST", "--yes"},
       {std::to_string(kExtSectors), "30000"}},
      {"restore answered no", kExtSectors,
       {"--no", "restore", source.store, "--snapshot", "1", "--partition", "2", "--to", "DEST"},
       {"not confirmed"}},
      {"restore onto a disk of two partitions without :K", kExtSectors,
       {"restore", source.store, "--snapshot", "1", "--partition", "2", "--to", "DISK", "--yes"},
       {"has 2 partitions"}},
      {"clone onto itself", kExtSectors, {"clone", live_ext, live_ext, "--yes"}, {"overlaps"}},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dest = tmp_.file("dest.img");
    ASSERT_TRUE(make_destination(dest, "mbr", c.target_sectors));
    const std::vector<uint8_t> before = read_all(dest);
    const std::vector<uint8_t> live_before = read_all(source.disk_at(2));
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (a == "DEST") a = dest + ":2";
      if (a == "DISK") a = dest;
    }
    const RunResult r = tav(args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    for (const std::string& text : c.in_message) EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_TRUE(read_all(dest) == before) << "the destination changed";
    EXPECT_TRUE(read_all(source.disk_at(2)) == live_before) << "the clone's source changed";
  }
}

TEST_F(RestoreEndToEnd, MountedDestinationIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a partition through a loop device needs root";
  const Chain& source = chain("mbr");
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;
  const std::string dest = tmp_.file("dest.img");
  ASSERT_TRUE(make_destination(dest, "mbr", kExtSectors));
  ASSERT_EQ(shell("mkfs.ext4 -q -F -L mounted -E offset=" + std::to_string(kTargetStart * 512) + " " +
                  shell_quote(dest) + " " + std::to_string(kExtSectors / 2) + "k >/dev/null 2>&1"),
            0);
  const std::string mount_point = tmp_.file("mnt");
  LoopMount mounted(dest, kTargetStart * 512, kExtSectors * 512, mount_point);
  if (!mounted.mounted()) GTEST_SKIP() << "cannot set up a loop device and mount it here";
  ASSERT_TRUE(write_file(mount_point + "/keep.txt", {'k', 'e', 'e', 'p'}));
  ::sync();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"restore", source.store, "--snapshot", "1", "--partition", "2", "--to", dest + ":2",
                                 "--yes"},
        std::vector<std::string>{"clone", source.disk_at(2) + ":2", dest + ":2", "--yes"}}) {
    SCOPED_TRACE(args[0]);
    const RunResult r = tav(args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_NE(r.err.find("mounted"), std::string::npos) << r.err;
    EXPECT_EQ(read_text(mount_point + "/keep.txt"), "keep");
  }
}

// A loop device of the test's own over part of an image, in use as swap where the machine allows
// it; swap turned off and the device detached in every outcome.
class LoopSwap {
 public:
  LoopSwap(const std::string& image, uint64_t offset_bytes, uint64_t size_bytes, const std::string& scratch) {
    if (shell("losetup --find --show -o " + std::to_string(offset_bytes) + " --sizelimit " +
              std::to_string(size_bytes) + " " + shell_quote(image) + " >" + shell_quote(scratch) + " 2>/dev/null") != 0) {
      return;
    }
    device_ = read_text(scratch);
    while (!device_.empty() && (device_.back() == '\n' || device_.back() == ' ')) device_.pop_back();
    if (device_.rfind("/dev/loop", 0) != 0) {
      device_.clear();
      return;
    }
    swapping_ = shell("mkswap " + shell_quote(device_) + " >/dev/null 2>&1 && swapon " + shell_quote(device_) +
                      " >/dev/null 2>&1") == 0;
  }
  ~LoopSwap() {
    if (swapping_) shell("swapoff " + shell_quote(device_) + " 2>/dev/null");
    if (!device_.empty()) shell("losetup -d " + shell_quote(device_) + " 2>/dev/null");
  }
  LoopSwap(const LoopSwap&) = delete;
  LoopSwap& operator=(const LoopSwap&) = delete;
  const std::string& device() const { return device_; }

 private:
  std::string device_;
  bool swapping_ = false;
};

// An image file that backs a loop device is in use whatever name reaches it: a hard link, a
// symbolic link or a bind mount of it. The refusal comes before any question, with its reason.
TEST_F(RestoreEndToEnd, LoopBackedDestinationIsRefusedUnderEveryName) {
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  const Chain& source = chain("mbr");
  if (source.failure.rfind("skip:", 0) == 0) GTEST_SKIP() << source.failure;
  ASSERT_TRUE(source.failure.empty()) << source.failure;
  const std::string dest = tmp_.file("dest.img");
  ASSERT_TRUE(make_destination(dest, "mbr", kExtSectors));
  LoopSwap swap(dest, kTargetStart * 512, kExtSectors * 512, tmp_.file("loop.txt"));
  if (swap.device().empty()) GTEST_SKIP() << "cannot attach a loop device here";
  const std::vector<uint8_t> before = read_all(dest);

  const std::string hard = tmp_.file("hl.img");
  const std::string soft = tmp_.file("sl.img");
  const std::string bound = tmp_.file("bm.img");
  ASSERT_EQ(::link(dest.c_str(), hard.c_str()), 0);
  ASSERT_EQ(::symlink(dest.c_str(), soft.c_str()), 0);
  ASSERT_TRUE(write_file(bound, {}));
  const bool bind_mounted = ::mount(dest.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) == 0;
  struct Unbind {
    std::string path;
    ~Unbind() {
      if (!path.empty()) ::umount2(path.c_str(), MNT_DETACH);
    }
  } unbind{bind_mounted ? bound : std::string()};

  std::vector<std::string> names = {dest, hard, soft};
  if (bind_mounted) names.push_back(bound);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    // No --yes: a question would come first and be answered no; the refusal must come before it.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"restore", source.store, "--snapshot", "1", "--partition", "2", "--to", name + ":2"},
          std::vector<std::string>{"clone", source.disk_at(2) + ":2", name + ":2"}}) {
      SCOPED_TRACE(args[0]);
      const RunResult r = tav(args);
      ASSERT_TRUE(r.exited) << describe(r);
      EXPECT_EQ(r.exit_status, 1) << describe(r);
      EXPECT_NE(r.err.find("loop device " + swap.device()), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("losetup -d"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("not confirmed"), std::string::npos) << "asked before refusing: " << r.err;
      EXPECT_EQ(r.out.find("overwrite"), std::string::npos) << "asked before refusing: " << r.out;
    }
  }
  EXPECT_TRUE(read_all(dest) == before) << "the destination changed";
}

// Bytes the file at `path` takes on disk (a fresh destination image is sparse: this grows as the
// restore writes).
uint64_t allocated_bytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

TEST_F(RestoreEndToEnd, SignalCancelsAndLeavesNoValidFileSystem) {
  const std::string big = tmp_.file("big.img");
  const int made = disk_tool("big " + shell_quote(big) + " 192", true);
  if (made == 3) GTEST_SKIP() << "sfdisk or e2fsprogs missing";
  ASSERT_EQ(made, 0);
  const std::string store = tmp_.file("store");
  const RunResult backup = tav({"backup", big, store, "--compress", "none"});
  ASSERT_EQ(backup.exit_status, 0) << describe(backup);

  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    // The same table on a fresh, sparse image.
    const std::string dest = tmp_.file("dest.img");
    ASSERT_EQ(shell("rm -f " + shell_quote(dest) + " && truncate -s $(stat -c %s " + shell_quote(big) + ") " +
                    shell_quote(dest) + " && sfdisk -d " + shell_quote(big) + " | sfdisk --quiet " + shell_quote(dest) +
                    " >/dev/null 2>&1"),
              0);
    const pid_t pid = start_tav(tmp_, {"restore", store, "--snapshot", "1", "--partition", "1", "--to", dest, "--yes"});
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false, signalled = false;
    const uint64_t allocated_before = allocated_bytes(dest);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!ended && !signalled && std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
      // Once the run has written 8 MiB: let it go on a moment, then stop it.
      if (allocated_bytes(dest) > allocated_before + (8u << 20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        signalled = ::kill(pid, signal_number) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) {
      if (!signalled) ::kill(pid, SIGKILL);
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    const RunResult r = collect_run(tmp_, status);
    if (r.exited && r.exit_status == 0) GTEST_SKIP() << "the restore ended before the signal came";
    ASSERT_TRUE(signalled) << describe(r);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 130) << describe(r);
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
    // The superblock is written last: the partition holds no file system a check would accept.
    const std::vector<uint8_t> head = read_range(dest, 2048 * 512, 4096);
    ASSERT_EQ(head.size(), 4096u);
    EXPECT_TRUE(std::all_of(head.begin(), head.end(), [](uint8_t b) { return b == 0; }))
        << "the first sectors of the partition were written";
  }
}

}  // namespace
}  // namespace tav::cli_test
