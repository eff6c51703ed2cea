// Mount table: mountinfo parsing, the way from a mount back to its partition (own node, loop
// device over an image file, device-mapper device), the path and drive-letter lookups, and the
// refusals before a mounted partition or disk is written.
#include "disk/mount_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "core/last_error.h"
#include "disk/disk_channel.h"
#include "disk/disk_list.h"
#include "disk/sysfs_scan.h"
#include "tests/core/scoped_env.h"
#include "tests/disk/disk_test_support.h"
#include "tests/disk/fixtures/sysfs_fake_tree.h"

namespace tav::disk {
namespace {

using test::FakeSystem;
using test::mount_line;
using test::TempDir;

// ---- parsing ----

struct ParseCase {
  const char* name;
  const char* line;
  bool parsed;
  uint32_t major = 0, minor = 0;
  const char* root = "";
  const char* mount_point = "";
  const char* fs_type = "";
  const char* source = "";
  bool read_only = false;
};

const ParseCase kParseCases[] = {
    {"optional field", "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue", true, 98, 0,
     "/mnt1", "/mnt2", "ext3", "/dev/root", false},
    {"no optional field", "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw,discard", true, 254, 0, "/", "/", "ext4",
     "/dev/vda", false},
    {"several optional fields", "40 27 8:17 / /data rw shared:5 master:2 propagate_from:1 - xfs /dev/sdb1 rw", true, 8,
     17, "/", "/data", "xfs", "/dev/sdb1", false},
    {"escapes", "41 27 8:1 / /media/my\\040disk\\011tab\\012nl\\134back rw - vfat /dev/disk/by-label/a\\040b rw",
     true, 8, 1, "/", "/media/my disk\ttab\nnl\\back", "vfat", "/dev/disk/by-label/a b", false},
    {"backslash without octal digits stays", "42 27 8:1 / /x\\9y rw - ext4 /dev/sda1 rw", true, 8, 1, "/", "/x\\9y",
     "ext4", "/dev/sda1", false},
    {"bind mount of a directory", "43 27 8:2 /var/lib/some\\040data /srv/data rw - ext4 /dev/sda2 rw", true, 8, 2,
     "/var/lib/some data", "/srv/data", "ext4", "/dev/sda2", false},
    {"read-only mount", "44 27 8:3 / /ro ro,relatime - ext4 /dev/sda3 rw", true, 8, 3, "/", "/ro", "ext4",
     "/dev/sda3", true},
    {"read-only super block", "45 27 8:4 / /rosb rw,relatime - ext4 /dev/sda4 ro,errors=continue", true, 8, 4, "/",
     "/rosb", "ext4", "/dev/sda4", true},
    {"errors=remount-ro is not read-only", "46 27 8:5 / /w rw - ext4 /dev/sda5 rw,errors=remount-ro", true, 8, 5,
     "/", "/w", "ext4", "/dev/sda5", false},
    {"empty source", "47 27 0:50 / /run/x rw - tmpfs  rw,size=4k", true, 0, 50, "/", "/run/x", "tmpfs", "", false},
    {"no super options", "48 27 0:51 / /old rw - proc proc", true, 0, 51, "/", "/old", "proc", "proc", false},
    {"no separator", "49 27 8:1 / /a rw shared:1 ext4 /dev/sda1 rw", false},
    {"bad device numbers", "50 27 8-1 / /a rw - ext4 /dev/sda1 rw", false},
    {"minor too large", "51 27 8:99999999999 / /a rw - ext4 /dev/sda1 rw", false},
    {"nothing after the separator", "52 27 8:1 / /a rw -", false},
    {"too few fields", "53 27 8:1 / -", false},
    {"empty line", "", false},
};

TEST(MountTableTest, ParsesMountinfoLines) {
  std::string all;
  std::vector<const ParseCase*> good;
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.name);
    all += std::string(c.line) + "\n";
    if (c.parsed) good.push_back(&c);
    const std::vector<MountEntry> got = parse_mountinfo(c.line);
    ASSERT_EQ(got.size(), c.parsed ? 1u : 0u);
    if (!c.parsed) continue;
    const MountEntry& e = got[0];
    EXPECT_EQ(e.major, c.major);
    EXPECT_EQ(e.minor, c.minor);
    EXPECT_EQ(e.root, c.root);
    EXPECT_EQ(e.mount_point, c.mount_point);
    EXPECT_EQ(e.fs_type, c.fs_type);
    EXPECT_EQ(e.source, c.source);
    EXPECT_EQ(e.read_only, c.read_only);
  }
  // Bad lines in between cost nothing but themselves.
  const std::vector<MountEntry> together = parse_mountinfo(all);
  ASSERT_EQ(together.size(), good.size());
  for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(together[i].mount_point, good[i]->mount_point);
}

// ---- from mounts to partitions ----

// Two disks of the fake system: "sda" (a block device with partition nodes sda1, sda2, and an
// unmounted third partition without a node) and "disk.img" (an image file, partitions read
// through the file), each partitioned as [2048, +8192) and [10240, +10240).
class MountMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    sys_ = std::make_unique<FakeSystem>(dir_.path());
    sys_->add_block("sda", "8:0", 20480);
    sys_->add_partition("sda", "sda1", "8:1", 2048, 8192);
    sys_->add_partition("sda", "sda2", "8:2", 10240, 10240);
    sys_->add_node("sda", 20480);
    sys_->add_node("sda1", 8192);
    sys_->add_node("sda2", 10240);
    sys_->add_block("sdc", "8:32", 4096);
    sys_->add_node("sdc", 4096);
    image_ = dir_.file("disk.img");
    std::ofstream(image_).close();
    std::filesystem::resize_file(image_, 20480 * kSectorSize);

    sda_ = test::file_disk(sys_->dev("sda"));
    sda_->name = "sda";
    sda1_ = test::add_file_partition(sda_.get(), 2048, 8192, 0x83);
    sda1_->dev_path = sda1_->dev_name = sys_->dev("sda1");
    sda2_ = test::add_file_partition(sda_.get(), 10240, 10240, 0x83);
    sda2_->dev_path = sda2_->dev_name = sys_->dev("sda2");
    sda3_ = test::add_file_partition(sda_.get(), 100, 100, 0x83);
    img_ = test::file_disk(image_);
    img1_ = test::add_file_partition(img_.get(), 2048, 8192, 0x83);
    img2_ = test::add_file_partition(img_.get(), 10240, 10240, 0x07);
    sdc_ = test::file_disk(sys_->dev("sdc"));
    sda_->next = img_.get();
    img_->next = sdc_.get();

    // Loop devices over the image file at the first partition, inside the second one, and over
    // the whole file; one over the disk "device" at the first partition.
    sys_->add_block("loop0", "7:0", 8192);
    sys_->attach_loop("loop0", image_, 2048 * kSectorSize, 8192 * kSectorSize);
    sys_->add_block("loop1", "7:1", 100);
    sys_->attach_loop("loop1", image_, (10240 + 100) * kSectorSize);
    sys_->add_block("loop2", "7:2", 20480);
    sys_->attach_loop("loop2", image_, 0);
    sys_->add_block("loop3", "7:3", 8192);
    sys_->attach_loop("loop3", sys_->dev("sda"), 2048 * kSectorSize);
    sys_->add_block("dm-0", "253:0", 10240);
    sys_->add_slaves("dm-0", {"sda2"});
    for (const char* d : {"root", "m/sda1", "m/loop0", "m/loop1", "m/loop2", "m/loop3", "m/dm 0", "m/tmp",
                          "m/stack", "m/loop0y", "m/sdc"}) {
      std::filesystem::create_directories(mp(d));
    }
    mounts_ = {
        mount_line(20, "8:1", "/"),
        mount_line(21, "8:1", mp("m/sda1")),
        mount_line(22, "7:0", mp("m/loop0"), "ext2", "/dev/loop0"),
        mount_line(23, "7:1", mp("m/loop1")),
        mount_line(24, "7:2", mp("m/loop2")),
        mount_line(25, "7:3", mp("m/loop3")),
        mount_line(26, "253:0", mp("m/dm 0"), "xfs", "/dev/mapper/vg-lv"),
        mount_line(27, "0:40", mp("m/tmp"), "tmpfs", "tmpfs"),
        mount_line(28, "7:0", mp("m/stack")),
        mount_line(29, "7:1", mp("m/stack")),  // mounted over the one before: it is what the path shows
        mount_line(30, "8:32", mp("m/sdc")),
    };
    sys_->set_mounts(mounts_);
  }

  std::string mp(const std::string& relative) const { return dir_.path() + "/" + relative; }
  MountResolver resolver() const { return MountResolver(read_mounts(sys_->paths().mountinfo), sys_->paths()); }

  static std::vector<std::string> points(const std::vector<MountEntry>& mounts) {
    std::vector<std::string> out;
    for (const MountEntry& m : mounts) out.push_back(m.mount_point);
    return out;
  }

  TempDir dir_;
  std::unique_ptr<FakeSystem> sys_;
  std::string image_;
  std::unique_ptr<_DISK_INFOMATION> sda_, img_, sdc_;
  BACKUP_PARTITION_INFO *sda1_ = nullptr, *sda2_ = nullptr, *sda3_ = nullptr, *img1_ = nullptr, *img2_ = nullptr;
  std::vector<std::string> mounts_;
};

TEST_F(MountMappingTest, MountsOfEachPartition) {
  const MountResolver mounts = resolver();
  struct Case {
    const char* name;
    const BACKUP_PARTITION_INFO* part;
    std::vector<std::string> expected;
  } cases[] = {
      {"own node, and a loop over the disk at its start", sda1_, {"/", mp("m/sda1"), mp("m/loop3")}},
      {"device-mapper device on its node", sda2_, {mp("m/dm 0")}},
      {"not mounted", sda3_, {}},
      {"loop over the image file at its start", img1_, {mp("m/loop0"), mp("m/stack")}},
      {"loop starting inside it", img2_, {mp("m/loop1"), mp("m/stack")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(points(mounts.partition_mounts(c.part)), c.expected);
  }
  // The whole-file loop holds no partition, but it is on the disk.
  EXPECT_EQ(points(mounts.disk_mounts(img_.get())),
            (std::vector<std::string>{mp("m/loop0"), mp("m/loop1"), mp("m/loop2"), mp("m/stack"), mp("m/stack")}));
  EXPECT_EQ(points(mounts.disk_mounts(sdc_.get())), std::vector<std::string>{mp("m/sdc")});
}

TEST_F(MountMappingTest, PathToPartitionTakesTheLongestMountPoint) {
  const MountResolver mounts = resolver();
  std::filesystem::create_directories(mp("m/loop0/sub"));
  std::filesystem::create_symlink(mp("m/loop0/sub"), mp("link"));
  struct Case {
    const char* name;
    std::string path;
    const BACKUP_PARTITION_INFO* expected;
  } cases[] = {
      {"mount point itself", mp("m/loop0"), img1_},
      {"below it, not created yet", mp("m/loop0/sub/new/deeper"), img1_},
      {"a longer name is not below it", mp("m/loop0y/file"), sda1_},
      {"through a symbolic link", mp("link/file"), img1_},
      {"with a space", mp("m/dm 0/f"), sda2_},
      {"later of two mounts on one point", mp("m/stack/f"), img2_},
      {"file system on no partition", mp("m/loop2"), nullptr},
      {"memory file system", mp("m/tmp/x"), nullptr},
      {"dot-dot leaves the mount", mp("m/loop0/../sda1/x"), sda1_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(path_to_part(sda_.get(), c.path, mounts), c.expected);
  }
  EXPECT_EQ(path_to_part(nullptr, mp("m/loop0"), mounts), nullptr);
}

TEST_F(MountMappingTest, WritesToMountedPartitionsAndDisksAreRefused) {
  test::ScopedSystem scoped(sys_->paths());
  char message[tav::kMessageBufferBytes] = {};
  int32_t error_flag = 0;
  libtavdisk_set_thread_gui(nullptr, message, &error_flag);

  errno = 0;
  EXPECT_EQ(tav_umount_part(sda3_), 0);
  EXPECT_STREQ(message, "");

  EXPECT_EQ(tav_umount_part(img2_), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(get_last_error(), uint32_t(EBUSY));
  EXPECT_NE(std::string(message).find(mp("m/loop1")), std::string::npos) << message;

  // A disk is busy when any of its partitions is mounted, and when a file system sits on the
  // whole disk without a partition table.
  EXPECT_EQ(tav_umount_disk_partitions(sda_.get()), -1);
  EXPECT_EQ(tav_umount_disk_partitions(sdc_.get()), -1);
  EXPECT_NE(std::string(message).find(mp("m/sdc")), std::string::npos) << message;
  // A restore layout is checked against the disk it was made from.
  _DISK_INFOMATION layout;
  layout.disk_type = DEVICE_RESTORE;
  layout.made_from = sdc_.get();
  EXPECT_EQ(tav_umount_disk_partitions(&layout), -1);

  sys_->set_mounts({});
  EXPECT_EQ(tav_umount_disk_partitions(sda_.get()), 0);
  EXPECT_EQ(tav_umount_part(img2_), 0);
  // The exported form with a mount list of the caller's.
  EXPECT_EQ(points(partition_mounts(img1_, read_mounts(sys_->paths().mountinfo))), std::vector<std::string>{});
  sys_->set_mounts(mounts_);
  EXPECT_EQ(points(partition_mounts(img1_)), (std::vector<std::string>{mp("m/loop0"), mp("m/stack")}));
}

// ---- drive letters ----

TEST(VolumeTableTest, LoadsLettersFromSettings) {
  TempDir home;
  ASSERT_TRUE(home.ok());
  tav::test::ScopedEnv env("TAV_HOME", (home.path() + "/").c_str());
  struct Case {
    const char* name;
    const char* ini;  // null: no Settings.ini
    std::map<char, std::string> expected;
  } cases[] = {
      {"no file", nullptr, {{'C', "/"}}},
      {"no section", "[Log]\nLogSize=10\n", {{'C', "/"}}},
      {"letters", "[DriveLetters]\nd=/mnt/data/\nE = /media/usb stick\nA=/floppy\nCC=/x\nF=\nG=/\n",
       {{'D', "/mnt/data"}, {'E', "/media/usb stick"}, {'G', "/"}}},
      {"empty section", "[driveletters]\n; none\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(home.file("Settings.ini"));
    if (c.ini != nullptr) std::ofstream(home.file("Settings.ini")) << c.ini;
    const VolumeTable table = VolumeTable::load();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      auto it = c.expected.find(letter);
      EXPECT_EQ(table.mount_point(letter), it == c.expected.end() ? "" : it->second) << letter;
      EXPECT_EQ(table.mount_point(char(letter - 'A' + 'a')), table.mount_point(letter));
    }
    for (const auto& [letter, point] : c.expected) EXPECT_EQ(table.letter_of(point), letter);
  }
  EXPECT_EQ(VolumeTable({{'D', "/mnt/data"}}).letter_of("/mnt/data/sub"), 0);
}

}  // namespace
}  // namespace tav::disk
