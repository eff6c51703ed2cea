// Program start and the volume and disk queries: disk kinds read from crafted sector 0s of disk
// image files put in the current disk list, programs started with and without waiting, and the
// answers for letters that name no volume.
#include "services/volume_query.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "disk/device_io.h"
#include "disk/disk_list.h"
#include "disk/disk.h"
#include "disk/mount_table.h"
#include "disk/sysfs_scan.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::services {
namespace {

using sysutil_test::TempDir;

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A table entry of sector 0.
struct TableEntry {
  uint8_t boot;
  uint8_t type;
};

std::vector<uint8_t> sector0(const std::vector<TableEntry>& entries, bool signature = true) {
  std::vector<uint8_t> s(512, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    s[446 + 16 * i] = entries[i].boot;
    s[446 + 16 * i + 4] = entries[i].type;
    s[446 + 16 * i + 8] = uint8_t(2048 * (i + 1) >> 8);  // a start and a size, as real entries have
    s[446 + 16 * i + 12] = 8;
  }
  if (signature) {
    s[510] = 0x55;
    s[511] = 0xAA;
  }
  return s;
}

// Disk image files made into the current disk list for the life of the object.
class DiskListFixture {
 public:
  DiskListFixture(const TempDir& dir, const std::vector<std::vector<uint8_t>>& first_sectors) {
    _DISK_INFOMATION** link = &head_;
    for (size_t i = 0; i < first_sectors.size(); ++i) {
      const std::string path = dir.path() + "/disk" + std::to_string(i) + ".img";
      std::vector<uint8_t> bytes = first_sectors[i];
      if (bytes.size() == 512) bytes.resize(64 * 512, 0);
      EXPECT_TRUE(sysutil_test::write_file(path, bytes));
      auto disk = std::make_unique<_DISK_INFOMATION>();
      disk->path = path;
      disk->name = "disk" + std::to_string(i);
      disk->is_file = 1;
      disk->index = uint32_t(i);
      disk->total_sectors = 64;
      disk->ops = tav_get_disk_operation();
      *link = disk.get();
      link = &disk->next;
      disks_.push_back(std::move(disk));
    }
    disk::CurrentDiskList().set(head_);
  }
  ~DiskListFixture() { disk::CurrentDiskList().forget(head_); }

 private:
  _DISK_INFOMATION* head_ = nullptr;
  std::vector<std::unique_ptr<_DISK_INFOMATION>> disks_;
};

TEST(DiskType, KindAndActiveEntryFromSectorZero) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  struct Case {
    const char* name;
    std::vector<uint8_t> sector;
    long kind;
    unsigned active;
  };
  const Case cases[] = {
      {"no boot signature", sector0({{0x80, 0x07}}, false), 0, 0},
      {"empty DOS table", sector0({}), 1, 0},
      {"first entry active", sector0({{0x80, 0x07}, {0, 0x83}}), 1, 0},
      {"third entry active", sector0({{0, 0x07}, {0, 0x0c}, {0x80, 0x83}}), 1, 2},
      {"two active entries: the first counts", sector0({{0, 0x07}, {0x80, 0x0c}, {0, 0x83}, {0x80, 0x83}}), 1, 1},
      {"second active, third dynamic", sector0({{0, 0x07}, {0x80, 0x0c}, {0, 0x42}}), 3, 1},
      {"dynamic before the active entry", sector0({{0, 0x42}, {0x80, 0x07}}), 3, 0},
      {"GPT protective entry", sector0({{0, 0xEE}}), 2, 0},
      {"protective entry after an active one", sector0({{0, 0x07}, {0x80, 0x07}, {0, 0, }, {0, 0xEE}}), 2, 1},
      {"a disk of one short sector", std::vector<uint8_t>(100, 0x55), -1, 0},
  };
  std::vector<std::vector<uint8_t>> sectors;
  for (const Case& c : cases) sectors.push_back(c.sector);
  DiskListFixture list(dir, sectors);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    unsigned active = 77;
    EXPECT_EQ(TavGetDiskType(long(i), &active), cases[i].kind);
    EXPECT_EQ(active, cases[i].active);
    EXPECT_EQ(TavGetDiskType(long(i), nullptr), cases[i].kind);
  }
  // Numbers that name no disk of the list.
  for (long number : {-1L, long(std::size(cases)), 1000L}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(TavGetDiskType(number, nullptr), -1);
  }
}

TEST(DiskType, FileGoneSinceTheListWasMade) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  DiskListFixture list(dir, {sector0({{0x80, 0x07}})});
  ASSERT_EQ(TavGetDiskType(0, nullptr), 1);
  ASSERT_EQ(::unlink((dir.path() + "/disk0.img").c_str()), 0);
  EXPECT_EQ(TavGetDiskType(0, nullptr), -1);
}

TEST(RunProgram, StartsWaitsAndReportsFailure) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string out = dir.path() + "/out.txt";
  // A descriptor of this process that the program must not get.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  struct Case {
    std::string command;
    uint32_t wait_ms;
    int result;
    uint32_t error;  // the last error when not started
    const char* output;  // what the program left in out.txt, null: nothing checked
  };
  const std::string fd_check = "sh -c \"if [ -e /proc/self/fd/" + std::to_string(leaked) +
                               " ]; then echo inherited; else echo closed; fi > '" + out + "'\"";
  const Case cases[] = {
      {"sh -c \"printf '%s|' one 'two three' > '" + out + "'\"", 5000, 1, 0, "one|two three|"},
      {"sh -c \"exit 3\"", 5000, 1, 0, nullptr},  // started is success, whatever its status
      {fd_check, 5000, 1, 0, "closed\n"},
      {"/nonexistent/program", 5000, 0, ENOENT, nullptr},
      {"no-such-program-anywhere --flag", 0, 0, ENOENT, nullptr},
      {"", 0, 0, EINVAL, nullptr},
      {"   ", 0, 0, EINVAL, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ::unlink(out.c_str());
    EXPECT_EQ(TavRunProgram(c.command.c_str(), c.wait_ms, 1), c.result);
    if (c.result == 0) {
      EXPECT_EQ(get_last_error(), c.error);
    }
    if (c.output != nullptr) {
      EXPECT_EQ(read_text(out), c.output);
    }
  }
  EXPECT_EQ(TavRunProgram(nullptr, 0, 1), 0);
  ::close(leaked);
}

TEST(RunProgram, WaitEndsAtItsLimitAndTheChildIsReaped) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string pid_file = dir.path() + "/pid";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TavRunProgram(("sh -c \"echo $$ > " + pid_file + "; exec sleep 1\"").c_str(), 100, 0), 1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::milliseconds(900));
  // Not waited for: the call returns at once.
  const auto again = std::chrono::steady_clock::now();
  ASSERT_EQ(TavRunProgram("sleep 1", 0, 0), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));

  // Once it ends, no zombie of it stays behind.
  const std::string pid = read_text(pid_file);
  ASSERT_FALSE(pid.empty());
  const std::string proc = "/proc/" + pid.substr(0, pid.find('\n'));
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    gone = ::access(proc.c_str(), F_OK) != 0;
    if (!gone) ::usleep(10000);
  }
  EXPECT_TRUE(gone) << proc << " still exists";
}

TEST(VolumeQueries, LettersThatNameNoVolume) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // X names a directory nothing is mounted on; Y nothing at all.
  disk::set_volume_table(disk::VolumeTable({{'X', dir.path()}}));
  for (char letter : {'1', '\0', ':', 'X', 'x', 'Y'}) {
    SCOPED_TRACE(int(letter));
    EXPECT_EQ(TavGetFileSystem(letter), kPartFsOther);
    EXPECT_EQ(TavGetClusterSize(letter), 0u);
    int64_t start = 12345;
    EXPECT_EQ(TavGetPartDiskNumber(letter, &start), -1);
    EXPECT_EQ(start, 12345);
  }
  disk::set_volume_table(disk::VolumeTable());
}

// The sample disk's FAT32 and ext4 partitions mounted through loop devices of the test's own, the
// disk in the current list, letters F and E naming the mount points.
class MountedSampleDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    if (::geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "needs root and loop devices";
    image_ = dir_.path() + "/sample.img";
    if (run("bash '" TAV_SOURCE_DIR "/tests/fixtures/make_sample_disk.sh' '" + image_ + "' >/dev/null") != 0) {
      GTEST_SKIP() << "sfdisk, dosfstools, mtools or e2fsprogs missing";
    }
    ASSERT_TRUE(disk::open_disk(image_, &disk_).is_ok());
    disk::CurrentDiskList().set(disk_.get());
    listed_ = true;
    if (!mount(2048 + 81920, 131072 - 2048 - 81920, "E", "ext4")) GTEST_SKIP() << "cannot mount ext4 through a loop device here";
    fat_mounted_ = mount(2048, 81920, "F", "vfat");  // not every kernel has FAT
    disk::set_volume_table(disk::VolumeTable({{'F', dir_.path() + "/F"}, {'E', dir_.path() + "/E"}}));
  }
  void TearDown() override {
    disk::set_volume_table(disk::VolumeTable());
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
      if (!it->second.empty()) run("umount '" + it->second + "'");
      run("losetup -d '" + it->first + "'");
    }
    if (listed_) disk::CurrentDiskList().forget(disk_.get());
  }

  static int run(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  bool mount(uint64_t start, uint64_t sectors, const std::string& name, const char* type) {
    const std::string point = dir_.path() + "/" + name;
    const std::string device_file = point + ".loop";
    if (::mkdir(point.c_str(), 0700) != 0) return false;
    if (run("losetup --find --show -o " + std::to_string(start * 512) + " --sizelimit " + std::to_string(sectors * 512) +
            " '" + image_ + "' > '" + device_file + "' 2>/dev/null") != 0) {
      return false;
    }
    std::string device = read_text(device_file);
    while (!device.empty() && device.back() == '\n') device.pop_back();
    if (device.rfind("/dev/loop", 0) != 0) return false;
    mounts_.push_back({device, ""});
    if (run("mount -t " + std::string(type) + " '" + device + "' '" + point + "' 2>/dev/null") != 0) return false;
    mounts_.back().second = point;
    return true;
  }

  TempDir dir_;
  std::string image_;
  std::unique_ptr<_DISK_INFOMATION> disk_;
  bool listed_ = false;
  bool fat_mounted_ = false;
  std::vector<std::pair<std::string, std::string>> mounts_;  // loop device, mount point
};

TEST_F(MountedSampleDisk, FileSystemClusterAndDiskOfALetter) {
  const std::string image = read_text(image_);
  ASSERT_EQ(image.size(), 131072u * 512);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
  // The FAT32 boot sector's bytes per sector times sectors per cluster; the ext4 superblock's
  // block size (1024 << s_log_block_size).
  const uint8_t* boot = bytes + 2048 * 512;
  const uint32_t fat_cluster = uint32_t(boot[11] | boot[12] << 8) * boot[13];
  const uint8_t* super = bytes + (2048 + 81920) * 512 + 1024;
  const uint32_t ext_block = 1024u << (super[24] | super[25] << 8);

  struct Case {
    char letter;
    PART_FILE_SYS fs;
    uint32_t cluster;
    int64_t start;
  };
  std::vector<Case> cases = {
      {'E', kPartFsOther, ext_block, (2048 + 81920) * 512},  // neither FAT nor NTFS
      {'e', kPartFsOther, ext_block, (2048 + 81920) * 512},
  };
  if (fat_mounted_) {
    cases.push_back({'F', kPartFsFat32, fat_cluster, 2048 * 512});
  } else {
    std::printf("FAT is not mountable here: only the ext4 partition is asked about\n");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letter);
    EXPECT_EQ(TavGetFileSystem(c.letter), c.fs);
    EXPECT_EQ(TavGetClusterSize(c.letter), c.cluster);
    int64_t start = -1;
    EXPECT_EQ(TavGetPartDiskNumber(c.letter, &start), 0);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(TavGetPartDiskNumber(c.letter, nullptr), 0);
  }
  unsigned active = 9;
  EXPECT_EQ(TavGetDiskType(0, &active), 1);  // the FAT32 entry is the bootable one
  EXPECT_EQ(active, 0u);
}

}  // namespace
}  // namespace tav::services
