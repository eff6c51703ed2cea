// Snapshots for backup reads: which partitions need one, LVM snapshots made and removed through
// scripted stand-ins for lvm2's tools, and the exported init / uninit pair around them.
#include "disk/snapshot_provider.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/engine_report.h"
#include "core/last_error.h"
#include "disk/disk_channel.h"
#include "tests/core/scoped_env.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::TempDir;
using tav::test::ScopedEnv;
using Action = SnapshotPlan::Action;

constexpr uint64_t kGiBSectors = 2 * 1024 * 1024;

// A machine in a temporary directory: /sys and /dev trees with one LVM logical volume
// ("my-vg"/"root", dm-7), its internal layer (dm-8), a plain partition node, a bin directory
// with stand-ins for lvm2's tools that log their arguments, and mount facts per device name.
class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    for (const char* sub : {"bin", "empty_bin", "dev/mapper", "dev/my-vg", "sys/block/dm-7/dm", "sys/block/dm-8/dm",
                            "sys/block/sda/sda1"}) {
      ASSERT_TRUE(std::filesystem::create_directories(dir_.file(sub))) << sub;
    }
    write(dir_.file("sys/block/dm-7/dm/uuid"), "LVM-aaaaBBBBccccDDDDeeeeFFFFgggg0123bbbbCCCCddddEEEEffffGGGGhhhh4567\n");
    write(dir_.file("sys/block/dm-7/dm/name"), "my--vg-root\n");
    write(dir_.file("sys/block/dm-8/dm/uuid"), "LVM-aaaaBBBBccccDDDDeeeeFFFFgggg0123bbbbCCCCddddEEEEffffGGGGhhhh4567-real\n");
    write(dir_.file("sys/block/dm-8/dm/name"), "my--vg-root-real\n");
    for (const char* node : {"dev/dm-7", "dev/dm-8", "dev/sda1"}) write(dir_.file(node), "");
    ASSERT_EQ(::symlink("../dm-7", dir_.file("dev/mapper/my--vg-root").c_str()), 0);
    ASSERT_EQ(::symlink("../dm-8", dir_.file("dev/mapper/my--vg-root-real").c_str()), 0);
    set_vgs_free("1073741824");
    set_tool("lvcreate", 0);
    set_tool("lvremove", 0);

    LinuxSnapshotConfig config;
    config.sys_dir = dir_.file("sys");
    config.dev_dir = dir_.file("dev");
    config.mounts = [this](const BACKUP_PARTITION_INFO& part) { return mounts_[part.dev_name]; };
    provider_ = std::make_unique<LinuxSnapshotProvider>(config);
    previous_ = set_snapshot_provider(provider_.get());

    message_.assign(kMessageBufferBytes, '\0');
    error_flag_ = -1;  // no boxes: the text stays in message_
    libtavdisk_set_thread_gui(nullptr, message_.data(), &error_flag_);
    error_flag_ = -1;
  }
  void TearDown() override {
    set_snapshot_provider(previous_);
    libtavdisk_set_thread_gui(nullptr, nullptr, nullptr);
  }

  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

  // A stand-in tool: logs "<name> <args>", prints `output` (a printf format) and exits with
  // `exit_code`.
  void set_tool(const std::string& name, int exit_code, const std::string& output = "") {
    const std::string path = dir_.file("bin/" + name);
    write(path, "#!/bin/sh\necho \"" + name + " $*\" >> '" + log_path() + "'\nprintf '" + output +
                    "'\nexit " + std::to_string(exit_code) + "\n");
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  }
  void set_vgs_free(const std::string& bytes) { set_tool("vgs", 0, "  WARNING: stand-in\\n  " + bytes + "B\\n"); }

  std::string log_path() const { return dir_.file("tools.log"); }
  std::vector<std::string> log_lines() const {
    std::ifstream in(log_path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void clear_log() { std::remove(log_path().c_str()); }
  std::string message() const { return message_.data(); }

  // A partition of a real disk whose own device is `dev_path` (empty: read through the disk).
  BACKUP_PARTITION_INFO* add_part(const std::string& dev_name, const std::string& dev_path,
                                  uint64_t sectors = kGiBSectors) {
    if (!disk_) {
      disk_ = std::make_unique<_DISK_INFOMATION>();
      disk_->path = dir_.file("dev/sda");
      disk_->name = "sda";
    }
    auto part = std::make_unique<BACKUP_PARTITION_INFO>();
    init_part_record(*part);
    part->disk = disk_.get();
    set_part_extent(*part, 2048, sectors);
    part->dev_name = dev_name;
    part->dev_path = dev_path;
    part->ops = tav_get_part_operation();
    disk_->parts.push_back(std::move(part));
    return disk_->parts.back().get();
  }
  void mount(const std::string& dev_name, const std::string& mount_point, bool read_only) {
    MountEntry entry;
    entry.mount_point = mount_point;
    entry.source = dev_name;
    entry.fs_type = "ext4";
    entry.read_only = read_only;
    mounts_[dev_name].push_back(entry);
  }
  std::string lv_path() const { return dir_.file("dev/mapper/my--vg-root"); }
  std::string bin_path() const { return dir_.file("bin"); }
  std::string own_prefix() const { return "tav-snap-" + std::to_string(::getpid()) + "-"; }

  TempDir dir_;
  std::map<std::string, std::vector<MountEntry>> mounts_;
  std::unique_ptr<_DISK_INFOMATION> disk_;
  std::unique_ptr<LinuxSnapshotProvider> provider_;
  SnapshotProvider* previous_ = nullptr;
  std::vector<char> message_;
  int32_t error_flag_ = -1;
};

TEST_F(SnapshotTest, DecisionFollowsMountsAndDeviceKind) {
  struct Row {
    const char* name;
    bool image, file_disk;
    std::string dev_path;
    std::vector<std::pair<std::string, bool>> mounts;  // mount point, read-only
    bool tools;
    Action action;
  };
  const Row rows[] = {
      {"ImagePartitionEvenIfMountedRw", true, false, "", {{"/mnt/tav", false}}, true, Action::kNone},
      {"FileDiskUnmounted", false, true, "", {}, true, Action::kNone},
      // A loop device over the image file mounts it read-write: reading it would not be stable.
      {"FileDiskLoopMountedRw", false, true, "", {{"/mnt/loop", false}}, true, Action::kRefuse},
      {"Unmounted", false, false, "sda1", {}, true, Action::kNone},
      {"ReadOnlyEverywhere", false, false, "sda1", {{"/boot", true}, {"/srv/boot", true}}, true, Action::kNone},
      {"PlainPartitionRw", false, false, "sda1", {{"/boot", true}, {"/home", false}}, true, Action::kRefuse},
      {"NoDeviceOfItsOwnRw", false, false, "", {{"/home", false}}, true, Action::kRefuse},
      {"LogicalVolumeRw", false, false, "lv", {{"/", false}}, true, Action::kSnapshot},
      {"LogicalVolumeRwWithoutLvm2", false, false, "lv", {{"/", false}}, false, Action::kRefuse},
      {"LvmInternalLayerRw", false, false, "dev/mapper/my--vg-root-real", {{"/", false}}, true, Action::kRefuse},
      {"LogicalVolumeReadOnly", false, false, "lv", {{"/", true}}, true, Action::kNone},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedEnv path("PATH", (row.tools ? bin_path() : dir_.file("empty_bin")).c_str());
    const std::string dev_name = std::string("/dev/test-") + row.name;
    std::string dev_path;
    if (row.dev_path == "lv") {
      dev_path = lv_path();
    } else if (!row.dev_path.empty()) {
      dev_path = dir_.file(row.dev_path.rfind("dev/", 0) == 0 ? row.dev_path : "dev/" + row.dev_path);
    }
    BACKUP_PARTITION_INFO* part = add_part(dev_name, dev_path);
    part->is_image = row.image ? 1 : 0;
    disk_->is_file = row.file_disk ? 1 : 0;
    for (const auto& [point, read_only] : row.mounts) mount(dev_name, point, read_only);

    const SnapshotPlan plan = provider_->decide(*part);
    EXPECT_EQ(plan.action, row.action) << plan.reason;
    if (row.action == Action::kRefuse) {
      // The user learns which device, where it is mounted read-write, and what to do instead.
      EXPECT_NE(plan.reason.find(dev_name), std::string::npos) << plan.reason;
      EXPECT_NE(plan.reason.find(plan.mount_point), std::string::npos) << plan.reason;
      EXPECT_NE(plan.reason.find("--no-snapshot"), std::string::npos) << plan.reason;
      EXPECT_NE(plan.reason.find("read-only"), std::string::npos) << plan.reason;
      EXPECT_EQ(plan.mount_point, row.mounts.back().first);
    }
    if (row.action == Action::kSnapshot) {
      // '-' inside a volume group name is doubled in the device-mapper name.
      EXPECT_EQ(plan.volume_group, "my-vg");
      EXPECT_EQ(plan.logical_volume, "root");
    }
  }
  EXPECT_TRUE(log_lines().empty()) << "deciding runs no tool";
}

TEST_F(SnapshotTest, RefusedPartitionFailsInitWithAReport) {
  ScopedEnv path("PATH", bin_path().c_str());
  BACKUP_PARTITION_INFO* part = add_part("/dev/sda1", dir_.file("dev/sda1"));
  mount("/dev/sda1", "/home", false);
  set_last_error(0);
  EXPECT_EQ(tav_vss_part_init(part), -1);
  EXPECT_EQ(get_last_error(), uint32_t(EBUSY));
  EXPECT_TRUE(part->read_path.empty());
  EXPECT_EQ(part->snapshot, nullptr);
  EXPECT_NE(message().find("/dev/sda1 is mounted read-write at /home"), std::string::npos) << message();
  EXPECT_NE(message().find("--no-snapshot"), std::string::npos) << message();
  // Nothing was made, so there is nothing to undo.
  EXPECT_EQ(tav_vss_part_uninit(part), 0);
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(SnapshotTest, UnmountedPartitionNeedsNothing) {
  ScopedEnv path("PATH", bin_path().c_str());
  BACKUP_PARTITION_INFO* part = add_part("/dev/mapper/my--vg-root", lv_path());
  EXPECT_EQ(tav_vss_part_init(part), 0);
  EXPECT_TRUE(part->read_path.empty());
  EXPECT_EQ(part->snapshot, nullptr);
  EXPECT_EQ(tav_vss_part_uninit(part), 0);
  EXPECT_EQ(tav_vss_part_uninit(nullptr), 0);
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(SnapshotTest, LogicalVolumeSnapshotIsMadeReadAndRemovedExactlyOnce) {
  ScopedEnv path("PATH", bin_path().c_str());
  BACKUP_PARTITION_INFO* root = add_part("/dev/mapper/my--vg-root", lv_path(), 2 * kGiBSectors);
  BACKUP_PARTITION_INFO* again = add_part("/dev/mapper/my--vg-root", lv_path(), 2 * kGiBSectors);
  mount("/dev/mapper/my--vg-root", "/", false);

  // Open before the snapshot: it must not go on reading the live device.
  ASSERT_EQ(root->ops->open(root, kOpenRead), 0);
  ASSERT_EQ(tav_vss_part_init(root), 0) << message();
  ASSERT_NE(root->snapshot, nullptr);
  EXPECT_EQ(root->fd, -1);
  const std::string prefix = dir_.file("dev/my-vg/") + own_prefix();
  ASSERT_EQ(root->read_path.rfind(prefix, 0), 0u) << root->read_path;
  const std::string name = root->read_path.substr(dir_.file("dev/my-vg/").size());
  // 2 GiB origin: 10% is 209715.2 KiB, rounded up; 1 GiB is free.
  EXPECT_EQ(log_lines(), (std::vector<std::string>{
                             "vgs --noheadings --units b -o vg_free my-vg",
                             "lvcreate --snapshot --name " + name + " --size 209716k my-vg/root",
                         }));
  // A second init of the same partition keeps its snapshot.
  EXPECT_EQ(tav_vss_part_init(root), 0);
  EXPECT_EQ(log_lines().size(), 2u);

  // Another partition gets a snapshot of its own name.
  ASSERT_EQ(tav_vss_part_init(again), 0) << message();
  EXPECT_NE(again->read_path, root->read_path);
  const std::string other = again->read_path.substr(dir_.file("dev/my-vg/").size());
  clear_log();

  EXPECT_EQ(tav_vss_part_uninit(root), 0) << message();
  EXPECT_TRUE(root->read_path.empty());
  EXPECT_EQ(root->snapshot, nullptr);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"lvremove -f my-vg/" + name});
  // Twice is harmless and removes nothing more.
  EXPECT_EQ(tav_vss_part_uninit(root), 0);
  EXPECT_EQ(log_lines().size(), 1u);

  EXPECT_EQ(tav_vss_part_uninit(again), 0) << message();
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"lvremove -f my-vg/" + name, "lvremove -f my-vg/" + other}));
}

TEST(SnapshotSizeTest, FollowsOriginAndFreeSpace) {
  struct Row {
    const char* name;
    uint64_t origin_sectors;
    uint64_t free_bytes;
    uint64_t kib;
  };
  const Row rows[] = {
      {"TenPercentRoundedUp", 2 * kGiBSectors, uint64_t(1) << 30, 209716},  // 2097152 KiB / 10
      {"TenPercentExact", 20 * kGiBSectors, uint64_t(10) << 30, 2097152},
      {"AtLeast64MiB", 100 * 2048, uint64_t(1) << 30, 65536},
      {"CappedAtFreeSpace", 2 * kGiBSectors, 32 * 1024 * 1024 + 1023, 32768},
      {"NothingFree", 2 * kGiBSectors, 1023, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(snapshot_size_kib(row.origin_sectors, row.free_bytes), row.kib);
  }
}

TEST_F(SnapshotTest, FailedCreationLeavesNoReadPath) {
  struct Row {
    const char* name;
    std::string vg_free;  // what vgs prints before "B"
    int vgs_exit;
    int lvcreate_exit;
    size_t tool_runs;     // lines in the log: lvcreate is not run when the size is unknown or 0
  };
  const Row rows[] = {
      {"LvcreateFails", "1073741824", 0, 5, 2},
      {"VgsFails", "1073741824", 5, 0, 1},
      {"VgsPrintsNoSize", "lots of ", 0, 0, 1},
      {"NoFreeSpace", "0", 0, 0, 1},
  };
  ScopedEnv path("PATH", bin_path().c_str());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clear_log();
    set_tool("vgs", row.vgs_exit, "  " + row.vg_free + "B\\n");
    set_tool("lvcreate", row.lvcreate_exit, "  Insufficient free space\\n");
    BACKUP_PARTITION_INFO* part = add_part("/dev/mapper/my--vg-root", lv_path());
    if (mounts_.empty()) mount("/dev/mapper/my--vg-root", "/", false);
    message_[0] = '\0';
    set_last_error(0);
    EXPECT_EQ(tav_vss_part_init(part), -1);
    EXPECT_EQ(get_last_error(), uint32_t(EIO));
    EXPECT_TRUE(part->read_path.empty());
    EXPECT_EQ(part->snapshot, nullptr);
    EXPECT_NE(message().find("/dev/mapper/my--vg-root"), std::string::npos) << message();
    EXPECT_EQ(log_lines().size(), row.tool_runs);
    EXPECT_EQ(tav_vss_part_uninit(part), 0);
    EXPECT_EQ(log_lines().size(), row.tool_runs) << "nothing to remove";
  }
}

TEST_F(SnapshotTest, OnlySnapshotsOfThisProcessAreRemoved) {
  ScopedEnv path("PATH", bin_path().c_str());
  struct Row {
    const char* name;
    std::string volume;
  };
  const Row rows[] = {
      {"AnotherProcess", "tav-snap-1-1"},
      {"NotOurs", "home"},
      {"OurPatternNeverMade", own_prefix() + "999999"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BACKUP_PARTITION_INFO* part = add_part("/dev/mapper/my--vg-root", lv_path());
    auto* forged = new SnapshotState;
    forged->volume_group = "my-vg";
    forged->name = row.volume;
    forged->read_path = dir_.file("dev/my-vg/") + row.volume;
    part->snapshot = forged;  // uninit takes it over
    part->read_path = forged->read_path;
    EXPECT_EQ(tav_vss_part_uninit(part), -1);
    EXPECT_EQ(part->snapshot, nullptr);
    EXPECT_TRUE(part->read_path.empty());
    EXPECT_NE(message().find("my-vg/" + row.volume), std::string::npos) << message();
  }
  EXPECT_TRUE(log_lines().empty()) << "lvremove must not run";
}

TEST_F(SnapshotTest, FailedRemovalIsReportedAndTheSnapshotForgotten) {
  ScopedEnv path("PATH", bin_path().c_str());
  BACKUP_PARTITION_INFO* part = add_part("/dev/mapper/my--vg-root", lv_path());
  mount("/dev/mapper/my--vg-root", "/", false);
  ASSERT_EQ(tav_vss_part_init(part), 0) << message();
  const std::string name = part->read_path.substr(dir_.file("dev/my-vg/").size());
  set_tool("lvremove", 5, "  Logical volume in use\\n");
  clear_log();
  EXPECT_EQ(tav_vss_part_uninit(part), -1);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"lvremove -f my-vg/" + name});
  EXPECT_NE(message().find("my-vg/" + name), std::string::npos) << message();
  EXPECT_NE(message().find("Logical volume in use"), std::string::npos) << message();
  EXPECT_EQ(part->snapshot, nullptr);
  EXPECT_TRUE(part->read_path.empty());
  EXPECT_EQ(tav_vss_part_uninit(part), 0);
}

}  // namespace
}  // namespace tav::disk
