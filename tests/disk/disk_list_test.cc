// Disk lists: which /sys/block entries are disks, how partitions get their device names and
// mount points, disk image files opened as disks, the current list behind tav_path_to_part, the
// list functions the snapshot reader and restore use, and real loop devices (as root).
#include "disk/disk_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "core/program_dir.h"
#include "disk/fs_registry.h"
#include "disk/mount_table.h"
#include "disk/part_record.h"
#include "disk/sysfs_scan.h"
#include "tests/disk/disk_test_support.h"
#include "tests/disk/fixtures/sysfs_fake_tree.h"

namespace tav::disk {
namespace {

using test::FakeSystem;
using test::mount_line;
using test::TempDir;

namespace pl = tav::img::part_layout;

constexpr char kTwoPartitionMbr[] = "label: dos\\nstart=2048, size=8192, type=83\\nstart=10240, size=10240, type=7\\n";
constexpr char kOnePartitionGpt[] = "label: gpt\\nstart=2048, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n";

// Makes an image with the fixture script; false (with the reason logged) when it failed.
bool make_image(const std::string& path, uint64_t sectors, const std::string& layout,
                const std::string& ext2_part = "") {
  return test::run_fixture("sysfs_make_image.sh", {path, std::to_string(sectors), layout, ext2_part}) == 0;
}

std::vector<std::string> names_of(const _DISK_INFOMATION* head) {
  std::vector<std::string> names;
  for (const _DISK_INFOMATION* d = head; d != nullptr; d = d->next) names.push_back(d->name);
  return names;
}

const _DISK_INFOMATION* find_disk(const _DISK_INFOMATION* head, const std::string& name) {
  for (const _DISK_INFOMATION* d = head; d != nullptr; d = d->next) {
    if (d->name == name) return d;
  }
  return nullptr;
}

struct ListDeleter {
  void operator()(_DISK_INFOMATION* head) const { tav_destroy_all_disks(head); }
};
using DiskList = std::unique_ptr<_DISK_INFOMATION, ListDeleter>;

// ---- scanning a fake system ----

class FakeScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::have_tools({"sfdisk"})) GTEST_SKIP() << "needs sfdisk to write partition tables";
    ASSERT_TRUE(dir_.ok());
    sys_ = std::make_unique<FakeSystem>(dir_.path());
    // sda: MBR with two partitions; its sysfs node of the second one has a stale start.
    sys_->add_block("sda", "8:0", 20480, false, "QEMU HARDDISK");
    sys_->add_partition("sda", "sda1", "8:1", 2048, 8192);
    sys_->add_partition("sda", "sda2", "8:2", 10000, 10240);
    ASSERT_TRUE(make_image(sys_->dev("sda"), 20480, kTwoPartitionMbr));
    sys_->add_node("sda1", 8192);
    // nvme0n1: GPT, one partition with its "p" node.
    sys_->add_block("nvme0n1", "259:0", 20480);
    sys_->add_partition("nvme0n1", "nvme0n1p1", "259:1", 2048, 16384);
    ASSERT_TRUE(make_image(sys_->dev("nvme0n1"), 20480, kOnePartitionGpt));
    sys_->add_node("nvme0n1p1", 16384);
    // sdb: a card reader without a card (no device node to open).
    sys_->add_block("sdb", "8:16", 0, true);
    // loop0 is attached, loop1 is not.
    sys_->add_block("loop0", "7:0", 2048);
    sys_->attach_loop("loop0", dir_.file("backing.img"), 0);
    sys_->add_node("loop0", 2048);
    sys_->add_block("loop1", "7:1", 0);
    // Not disks.
    for (const char* name : {"ram0", "zram0", "dm-0", "md0", "sr0", "nvme0c0n1", "mmcblk0boot0", "mmcblk0rpmb"}) {
      sys_->add_block(name, "1:1", 100);
    }
    sys_->add_partition("", "sda1", "8:1", 2048, 8192);  // a partition listed at the top level
    std::filesystem::create_directories(dir_.file("mnt"));
  }

  TempDir dir_;
  std::unique_ptr<FakeSystem> sys_;
};

TEST_F(FakeScanTest, ListsDisksWithTheirPartitionNodes) {
  // The running program lies under "/", mounted from the NVMe partition: that disk is excluded.
  sys_->set_mounts({mount_line(20, "259:1", "/"), mount_line(21, "8:1", dir_.file("mnt"))});
  _DISK_INFOMATION* raw = nullptr;
  ASSERT_TRUE(scan_disks(sys_->paths(), &raw).is_ok());
  DiskList list(raw);
  ASSERT_EQ(names_of(list.get()), (std::vector<std::string>{"sda", "sdb", "loop0", "nvme0n1"}));
  uint32_t index = 0;
  for (const _DISK_INFOMATION* d = list.get(); d != nullptr; d = d->next) {
    SCOPED_TRACE(d->name);
    EXPECT_EQ(d->index, index++);
    EXPECT_EQ(d->path, sys_->dev(d->name));
    EXPECT_EQ(d->heads, 255u);
    EXPECT_EQ(d->sectors_per_track, 63u);
    EXPECT_EQ(d->sectors_per_cylinder, 255u * 63u);
    EXPECT_EQ(d->cylinders, uint32_t(d->total_sectors / (255 * 63)));
    EXPECT_EQ(d->excluded, d->name == "nvme0n1" ? 1u : 0u);
    EXPECT_EQ(d->fd, -1);  // nothing left open
  }

  const _DISK_INFOMATION* sda = find_disk(list.get(), "sda");
  EXPECT_EQ(sda->total_sectors, 20480u);
  EXPECT_EQ(sda->model, "QEMU HARDDISK");
  EXPECT_EQ(sda->table_kind, TableKind::kMbr);
  ASSERT_EQ(sda->parts.size(), 2u);
  const BACKUP_PARTITION_INFO* p1 = sda->parts[0].get();
  EXPECT_EQ(p1->dev_path, sys_->dev("sda1"));
  EXPECT_EQ(std::string(tav_get_partition_dev_name(p1)), sys_->dev("sda1"));
  EXPECT_EQ(p1->mount_point, dir_.file("mnt"));
  EXPECT_EQ(p1->ops_fs, unknown_file_system());
  EXPECT_EQ(part_used_sectors(*p1), 8192u);
  // The node "sda2" does not start where the table says: read through the disk instead.
  const BACKUP_PARTITION_INFO* p2 = sda->parts[1].get();
  EXPECT_EQ(p2->dev_path, "");
  EXPECT_EQ(std::string(tav_get_partition_dev_name(p2)), sys_->dev("sda") + "@10240");
  EXPECT_EQ(p2->mount_point, "");

  const _DISK_INFOMATION* nvme = find_disk(list.get(), "nvme0n1");
  EXPECT_EQ(nvme->table_kind, TableKind::kGpt);
  ASSERT_EQ(nvme->parts.size(), 1u);
  EXPECT_EQ(nvme->parts[0]->dev_path, sys_->dev("nvme0n1p1"));
  EXPECT_EQ(nvme->parts[0]->mount_point, "/");

  const _DISK_INFOMATION* sdb = find_disk(list.get(), "sdb");
  EXPECT_EQ(sdb->removable, 1u);
  EXPECT_TRUE(sdb->parts.empty());
  EXPECT_EQ(find_disk(list.get(), "loop0")->table_kind, TableKind::kNone);
}

TEST_F(FakeScanTest, OneUnreadableDiskLosesNoOther) {
  // sda's table now points past the end of its disk; sda stays listed without partitions.
  std::filesystem::resize_file(sys_->dev("sda"), 12000 * kSectorSize);
  sys_->add_block("sda", "8:0", 12000);
  _DISK_INFOMATION* raw = nullptr;
  ASSERT_TRUE(scan_disks(sys_->paths().sys_dir + "/block", sys_->paths().dev_dir, &raw).is_ok());
  DiskList list(raw);
  ASSERT_EQ(names_of(list.get()), (std::vector<std::string>{"sda", "sdb", "loop0", "nvme0n1"}));
  EXPECT_TRUE(find_disk(list.get(), "sda")->parts.empty());
  EXPECT_EQ(find_disk(list.get(), "nvme0n1")->parts.size(), 1u);

  // No sysfs at all is the only failure.
  raw = reinterpret_cast<_DISK_INFOMATION*>(1);
  SystemPaths missing = sys_->paths();
  missing.sys_dir = dir_.file("nothing");
  EXPECT_FALSE(scan_disks(missing, &raw).is_ok());
  EXPECT_EQ(raw, nullptr);
}

TEST_F(FakeScanTest, CurrentListServesPathAndLetterLookups) {
  sys_->set_mounts({mount_line(21, "8:1", dir_.file("mnt"))});
  test::ScopedSystem scoped(sys_->paths());
  set_volume_table(VolumeTable({{'D', dir_.file("mnt")}, {'E', dir_.file("elsewhere")}}));
  const std::string inside = dir_.file("mnt/folder/file");

  EXPECT_EQ(tav_path_to_part(inside.c_str()), nullptr);  // no list yet
  _DISK_INFOMATION* first = libtavdisk_get_disk_list();
  DiskList first_owner(first);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(tav_path_to_part(inside.c_str()), first->parts[0].get());
  EXPECT_EQ(tav_drive_letter_to_part2('d'), first->parts[0].get());
  EXPECT_EQ(tav_drive_letter_to_part2('E'), nullptr);  // not mounted
  EXPECT_EQ(tav_drive_letter_to_part2('F'), nullptr);  // no such letter

  // A newer list takes over; destroying the older one leaves it alone.
  _DISK_INFOMATION* second = libtavdisk_get_disk_list();
  DiskList second_owner(second);
  ASSERT_NE(second, nullptr);
  first_owner.reset();
  EXPECT_EQ(tav_path_to_part(inside.c_str()), second->parts[0].get());
  second_owner.reset();
  EXPECT_EQ(tav_path_to_part(inside.c_str()), nullptr);
  EXPECT_EQ(tav_path_to_part(nullptr), nullptr);
}

// ---- image files ----

TEST(OpenDiskTest, ImageFilesOfEveryKind) {
  if (!test::have_tools({"sfdisk", "mkfs.ext2"})) GTEST_SKIP() << "needs sfdisk and mkfs.ext2";
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string logical = dir.file("logical.img");
  ASSERT_TRUE(make_image(logical, 20480,
                         "label: dos\\nstart=2048, size=4096, type=83\\nstart=8192, size=8192, type=5\\n"
                         "start=10240, size=2048, type=83\\n",
                         "1"));
  std::unique_ptr<_DISK_INFOMATION> disk;
  ASSERT_TRUE(open_disk(logical, &disk).is_ok());
  EXPECT_EQ(disk->name, "logical.img");
  EXPECT_EQ(disk->is_file, 1u);
  EXPECT_EQ(disk->total_sectors, 20480u);
  EXPECT_EQ(disk->table_kind, TableKind::kMbr);
  ASSERT_EQ(tav_partition_count(disk.get()), 3);
  const uint64_t starts[] = {2048, 8192, 10240};
  const uint32_t numbers[] = {1, 2, 5};
  for (size_t i = 0; i < 3; ++i) {
    const BACKUP_PARTITION_INFO* p = disk->parts[i].get();
    SCOPED_TRACE(i);
    EXPECT_EQ(p->dev_path, "");
    EXPECT_EQ(std::string(tav_get_partition_dev_name(p)), logical + "@" + std::to_string(starts[i]));
    EXPECT_EQ(p->dev_num, numbers[i]);
    EXPECT_EQ(p->index, i);
  }
  EXPECT_EQ(tav_extended_partition(disk.get()), disk->parts[1].get());
  EXPECT_EQ(tav_partition_is_primary(disk->parts[1].get()), 1);
  EXPECT_EQ(tav_partition_is_primary(disk->parts[2].get()), 0);
  // The ext2 file system in the first partition was recognised and measured.
  const BACKUP_PARTITION_INFO* ext = disk->parts[0].get();
  ASSERT_NE(ext->fs, nullptr);
  EXPECT_EQ(ext->fs->type_code, uint32_t(FS_EXT));
  EXPECT_GT(part_used_sectors(*ext), 0u);
  EXPECT_LT(part_used_sectors(*ext), ext->sector_count);

  // A file of sectors without a table is a disk without partitions; a trailing part sector is
  // not counted.
  const std::string blank = dir.file("blank.img");
  ASSERT_TRUE(make_image(blank, 64, ""));
  std::filesystem::resize_file(blank, 64 * kSectorSize + 100);
  ASSERT_TRUE(open_disk(blank, &disk).is_ok());
  EXPECT_EQ(disk->table_kind, TableKind::kNone);
  EXPECT_EQ(disk->total_sectors, 64u);
  EXPECT_EQ(tav_partition_count(disk.get()), 0);
  EXPECT_EQ(tav_disk_next_partition(disk.get(), nullptr), nullptr);

  // Refusals name the path.
  const std::string tiny = dir.file("tiny.img");
  std::ofstream(tiny) << std::string(511, 'x');
  const std::string damaged = dir.file("damaged.img");
  ASSERT_TRUE(make_image(damaged, 20480, kTwoPartitionMbr));
  std::filesystem::resize_file(damaged, 4096 * kSectorSize);
  struct Refusal {
    const char* name;
    std::string path;
    StatusCode code;
  } refusals[] = {
      {"smaller than a sector", tiny, StatusCode::kInvalidArgument},
      {"missing", dir.file("missing.img"), StatusCode::kNotFound},
      {"directory", dir.path(), StatusCode::kInvalidArgument},
      {"character device", "/dev/null", StatusCode::kInvalidArgument},
      {"table entries past the end", damaged, StatusCode::kCorruption},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    disk = std::make_unique<_DISK_INFOMATION>();
    Status st = open_disk(r.path, &disk);
    EXPECT_EQ(st.code(), r.code) << st.message();
    EXPECT_NE(st.message().find(r.path), std::string::npos) << st.message();
    EXPECT_EQ(disk, nullptr);
  }
}

// ---- list functions ----

// A partition of an image disk as the snapshot reader builds one.
std::unique_ptr<BACKUP_PARTITION_INFO> image_part(uint64_t start, uint64_t count, uint8_t type, uint32_t number,
                                                  uint32_t flags = 0) {
  auto p = std::make_unique<BACKUP_PARTITION_INFO>();
  init_part_record(*p);
  set_part_extent(*p, start, count);
  set_rec_u8(*p, pl::kPartType, type);
  set_rec_u32(*p, pl::kPartNumber, number);
  set_rec_u32(*p, pl::kPartFlags, flags);
  p->is_image = 1;
  return p;
}

TEST(DiskListFunctionsTest, ImageDisksAreBuiltNumberedAndFreed) {
  _DISK_INFOMATION* list = nullptr;
  auto* a = new _DISK_INFOMATION;
  a->name = "disk-a";
  a->disk_type = DEVICE_IMAGE;
  auto* b = new _DISK_INFOMATION;
  b->name = "disk-b";
  b->disk_type = DEVICE_IMAGE;
  ASSERT_EQ(tav_add_disk_device(&list, a), 0);
  ASSERT_EQ(tav_add_disk_device(&list, b), 0);
  EXPECT_EQ(tav_add_disk_device(&list, a), -1);  // twice would make the list a loop
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(tav_add_disk_device(nullptr, a), -1);
  DiskList owner(list);
  EXPECT_EQ(names_of(list), (std::vector<std::string>{"disk-a", "disk-b"}));
  EXPECT_EQ(b->index, 1u);

  // a: primary 1, extended 2 with logical 5 and 6 (numbers from the table); b: numberless.
  BACKUP_PARTITION_INFO* parts[4];
  parts[0] = image_part(63, 1000, 0x07, 1).release();
  parts[1] = image_part(2000, 5000, 0x0F, 2, kPartFlagExtended).release();
  parts[2] = image_part(2063, 1000, 0x83, 5, kPartFlagLogical).release();
  parts[3] = image_part(4000, 1000, 0x0B, 6, kPartFlagLogical).release();
  for (BACKUP_PARTITION_INFO* p : parts) ASSERT_EQ(tav_part_add(a, p), 0);
  EXPECT_EQ(tav_part_add(a, parts[0]), -1);  // owned once
  BACKUP_PARTITION_INFO* loose = image_part(100, 50, 0x83, 0).release();
  ASSERT_EQ(tav_part_add(b, loose), 0);
  ASSERT_EQ(tav_part_add(b, image_part(200, 50, 0x83, 0).release()), 0);

  EXPECT_EQ(parts[2]->disk, a);
  EXPECT_EQ(parts[2]->index, 2u);
  EXPECT_EQ(parts[2]->dev_num, 5u);
  EXPECT_EQ(loose->dev_num, 1u);
  EXPECT_EQ(std::string(tav_get_partition_dev_name(loose)), "disk-b@100");
  EXPECT_NE(parts[3]->ops_fs, nullptr);
  EXPECT_EQ(tav_extended_partition(a), parts[1]);
  EXPECT_EQ(tav_extended_partition(b), nullptr);

  // Table order, extended and logical included; a partition of another disk leads nowhere.
  std::vector<BACKUP_PARTITION_INFO*> seen;
  for (BACKUP_PARTITION_INFO* p = tav_disk_next_partition(a, nullptr); p != nullptr;
       p = tav_disk_next_partition(a, p)) {
    seen.push_back(p);
  }
  EXPECT_EQ(seen, std::vector<BACKUP_PARTITION_INFO*>(std::begin(parts), std::end(parts)));
  EXPECT_EQ(tav_disk_next_partition(a, loose), nullptr);

  // A layout moves the second partition of b; renumbering follows it.
  set_part_extent(*b->parts[1], 300, 50);
  b->parts[0]->dev_num = 7;
  EXPECT_EQ(tav_assign_dev_num_all(list), 0);
  EXPECT_EQ(b->parts[0]->dev_num, 1u);
  EXPECT_EQ(b->parts[1]->dev_num, 2u);
  EXPECT_EQ(std::string(tav_get_partition_dev_name(b->parts[1].get())), "disk-b@300");
  EXPECT_EQ(parts[3]->dev_num, 6u);
  EXPECT_STREQ(tav_get_partition_dev_name(nullptr), "");
}

TEST(DiskListFunctionsTest, PartitionKinds) {
  _DISK_INFOMATION disk;
  struct Case {
    const char* name;
    uint8_t type;
    uint64_t count;
    uint32_t flags;
    bool selected, whole_disk;
    int active, backup, primary;
  } cases[] = {
      {"selected primary", 0x07, 100, 0, true, false, 1, 1, 1},
      {"unselected primary", 0x07, 100, 0, false, false, 1, 0, 1},
      {"whole disk chosen", 0x83, 100, kPartFlagLogical, false, true, 1, 1, 0},
      {"extended is never backed up", 0x05, 100, kPartFlagExtended, true, true, 1, 0, 1},
      {"empty slot", 0x00, 100, 0, true, false, 0, 0, 1},
      {"no sectors", 0x83, 0, 0, true, false, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = image_part(10, c.count, c.type, 1, c.flags);
    p->disk = &disk;
    p->selected = c.selected;
    disk.whole_disk = c.whole_disk;
    EXPECT_EQ(tav_partition_is_active(p.get()), c.active);
    EXPECT_EQ(tav_partition_is_backup(p.get()), c.backup);
    EXPECT_EQ(tav_partition_is_primary(p.get()), c.primary);
  }
  EXPECT_EQ(tav_partition_is_active(nullptr), 0);
  EXPECT_EQ(tav_partition_is_backup(nullptr), 0);
}

// ---- real loop devices ----

TEST(LoopDeviceTest, AttachedImageIsADiskAndItsMountIsFound) {
  const std::string why = test::loop_tests_unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(make_image(image, 20480, kTwoPartitionMbr));

  // The whole image on a loop device: a disk of the right size in a sysfs view that shows
  // this loop device and nothing else of the machine.
  test::LoopDevice whole(image);
  if (!whole.ok()) GTEST_SKIP() << "losetup could not attach a loop device";
  FakeSystem view(dir.file("view"));
  std::filesystem::create_directory_symlink("/sys/block/" + whole.name(), view.block(whole.name()));
  SystemPaths paths = view.paths();
  paths.dev_dir = "/dev";
  paths.mountinfo = "/proc/self/mountinfo";
  _DISK_INFOMATION* raw = nullptr;
  ASSERT_TRUE(scan_disks(paths, &raw).is_ok());
  DiskList list(raw);
  ASSERT_EQ(names_of(list.get()), std::vector<std::string>{whole.name()});
  EXPECT_EQ(list->path, whole.path());
  EXPECT_EQ(list->is_file, 0u);
  EXPECT_EQ(list->total_sectors, 20480u);
  EXPECT_EQ(list->table_kind, TableKind::kMbr);
  ASSERT_EQ(list->parts.size(), 2u);  // no partition nodes for loop devices here
  EXPECT_EQ(list->parts[0]->dev_path, "");

  // The first partition on its own loop device, with an ext2 mounted from it.
  test::LoopDevice part_loop(image, 2048 * kSectorSize, 8192 * kSectorSize);
  ASSERT_TRUE(part_loop.ok());
  ASSERT_EQ(std::system(("mkfs.ext2 -q -F '" + part_loop.path() + "' >/dev/null 2>&1").c_str()), 0);
  const std::string mount_dir = dir.file("mnt");
  std::filesystem::create_directory(mount_dir);
  test::MountGuard mounted(part_loop.path(), mount_dir, "ext2");
  if (!mounted.ok()) GTEST_SKIP() << "cannot mount ext2 here";

  std::unique_ptr<_DISK_INFOMATION> disk;
  ASSERT_TRUE(open_disk(image, &disk).is_ok());
  BACKUP_PARTITION_INFO* first = disk->parts[0].get();
  BACKUP_PARTITION_INFO* second = disk->parts[1].get();
  EXPECT_EQ(first->mount_point, mount_dir);
  EXPECT_EQ(second->mount_point, "");
  ASSERT_EQ(partition_mounts(first).size(), 1u);
  EXPECT_EQ(partition_mounts(first)[0].fs_type, "ext2");
  EXPECT_TRUE(partition_mounts(second).empty());
  const MountResolver mounts(read_mounts(), system_paths());
  EXPECT_EQ(path_to_part(disk.get(), mount_dir + "/lost+found", mounts), first);
  struct Forget {
    _DISK_INFOMATION* disk;
    ~Forget() { CurrentDiskList().forget(disk); }
  } forget{disk.get()};
  CurrentDiskList().set(disk.get());
  const std::string inside = mount_dir + "/new-folder";
  EXPECT_EQ(tav_path_to_part(inside.c_str()), first);
  test::ScopedSystem scoped{SystemPaths{}};
  char message[kMessageBufferBytes] = {};
  int32_t error_flag = 0;
  libtavdisk_set_thread_gui(nullptr, message, &error_flag);
  EXPECT_EQ(tav_umount_part(first), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_NE(std::string(message).find(mount_dir), std::string::npos) << message;
  EXPECT_EQ(tav_umount_part(second), 0);
  // The whole-image loop device lists the same partition as mounted too.
  EXPECT_EQ(tav_umount_disk_partitions(list.get()), -1);
}

}  // namespace
}  // namespace tav::disk
