// The machine as the disk library sees it: which /sys/block entries are disks, their size,
// geometry, model and partition nodes, which block device a major:minor pair names, what loop and
// device-mapper devices sit on, and how a mounted file system leads back to a partition of a disk
// list. Internal to the disk library; disk_list.h and mount_table.h are the public faces.
//
// Every function takes its roots (sysfs, /dev, mountinfo) from a SystemPaths value, so tests run
// the same code over a fake tree in a temporary directory.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/last_error.h"
#include "core/status.h"
#include "disk/disk.h"
#include "disk/mount_table.h"

namespace tav::disk {

// Roots of the system views.
struct SystemPaths {
  std::string sys_dir = "/sys";                    // sysfs: <sys_dir>/block, <sys_dir>/dev/block
  std::string dev_dir = "/dev";                    // device nodes: <dev_dir>/<name>
  std::string mountinfo = "/proc/self/mountinfo";  // mount table
};

// The paths the exported functions use (libtavdisk_get_disk_list, read_mounts, partition_mounts,
// tav_path_to_part, tav_umount_*). Tests replace them before the library is used by any other
// thread; set_system_paths(SystemPaths{}) restores the defaults.
SystemPaths system_paths();
void set_system_paths(const SystemPaths& paths);

// ---- sysfs attributes ----

// First line of a sysfs attribute with white space trimmed at both ends; empty when missing.
std::string read_attribute(const std::string& path);
// Decimal attribute; false when missing or not a number.
bool read_attribute_u64(const std::string& path, uint64_t* value);

// True when a /sys/block entry of this name can be a disk: sd*, vd*, xvd*, hd* (letters only
// after the prefix), nvme<c>n<n>, mmcblk<n>, loop<n>. Ram disks, zram, dm-*, md* and partition
// names are not.
bool is_disk_name(const std::string& name);

// Disks under `sys_block_dir`, ordered by name with digit runs compared as numbers (sda < sdb <
// sdaa, loop2 < loop10): entries with an acceptable name, no "partition" attribute, and, for
// loop devices, a backing file. Empty when the directory cannot be read.
std::vector<std::string> list_disk_names(const std::string& sys_block_dir);

// A partition node of a disk as sysfs shows it (sectors of 512 bytes).
struct PartitionNode {
  std::string name;  // "sda1", "nvme0n1p2"
  uint64_t start_sector = 0;
  uint64_t sector_count = 0;
};
// Partition nodes under the disk's sysfs directory (subdirectories with a "partition" file).
std::vector<PartitionNode> partition_nodes(const std::string& sys_disk_dir);
// Name the kernel gives partition `number` of `disk_name`: "sda" -> "sda3", "nvme0n1" ->
// "nvme0n1p3" (a 'p' when the disk name ends in a digit).
std::string partition_node_name(const std::string& disk_name, uint32_t number);

// The block device numbered major:minor.
struct BlockDevice {
  std::string name;          // sysfs name: "sda1", "loop3", "dm-0"; empty when not found
  std::string parent;        // for a partition node: its disk ("sda"), else empty
  uint64_t start_sector = 0; // for a partition node: its first sector on the parent
};
BlockDevice find_block_device(const SystemPaths& paths, uint32_t major, uint32_t minor);
// The block device called `name` (a disk, or a partition node of one); name empty when sysfs
// has no such device.
BlockDevice block_device_by_name(const SystemPaths& paths, const std::string& name);

// What a loop device is attached to.
struct LoopBacking {
  std::string backing_file;  // path as the kernel reports it
  uint64_t offset_bytes = 0;
  uint64_t size_limit_bytes = 0;  // 0: to the end of the backing file
};
// False when `name` is not a loop device with a backing file.
bool loop_backing(const SystemPaths& paths, const std::string& name, LoopBacking* out);
// The loop devices ("<dev_dir>/loop3") attached to the file at `path`, whatever name either side
// uses: a hard link, a symbolic link or a bind mount of the file is the same file. The file is
// told by device and inode, as the kernel reports them for the loop device (its backing file's
// path may have been renamed or removed since), and else by the backing file's path. Empty for a
// path that is not a regular file.
std::vector<std::string> loop_devices_over_file(const SystemPaths& paths, const std::string& path);
// Devices a device-mapper device is built on ("slaves"); empty for any other device.
std::vector<std::string> dm_slaves(const SystemPaths& paths, const std::string& name);

// Fills cylinders/heads/sectors_per_track/sectors_per_cylinder of `disk` from HDIO_GETGEO on
// `fd` (when fd >= 0 and the ioctl answers) or else 255 heads and 63 sectors per track; total
// sectors must be set. Cylinders = total / sectors_per_cylinder, capped to 32 bits.
void fill_geometry(_DISK_INFOMATION* disk, int fd);

// True when both paths name the same device (block devices: same device number) or the same
// file (same inode).
bool same_file(const std::string& a, const std::string& b);

// ---- from mounts to partitions ----

// A place a mounted file system starts: byte `offset_bytes` of the file or device at `path`.
struct DeviceRange {
  std::string path;
  uint64_t offset_bytes = 0;
};

// Every place a mount's file system starts, following partition nodes to their disk (with the
// node's offset), loop devices to their backing file or device (with the loop offset) and
// device-mapper devices to their slaves. Empty for mounts without a block device (tmpfs, proc).
std::vector<DeviceRange> mount_ranges(const MountEntry& mount, const SystemPaths& paths);

// Names under which a disk or partition device is reached: the path itself at offset 0 and, for
// a block device, what it resolves to as in mount_ranges (a loop device's backing file at the
// loop offset, a partition node's disk at the node's start).
std::vector<DeviceRange> device_aliases(const std::string& path, const SystemPaths& paths);

// Mounts and where their file systems start, worked out once per mount and kept for many
// questions. Not for use by several threads at once.
class MountResolver {
 public:
  MountResolver(std::vector<MountEntry> mounts, const SystemPaths& paths)
      : mounts_(std::move(mounts)), paths_(paths), ranges_(mounts_.size()), resolved_(mounts_.size()) {}

  const std::vector<MountEntry>& mounts() const { return mounts_; }
  // Mounts of the partition, in mountinfo order.
  std::vector<MountEntry> partition_mounts(const BACKUP_PARTITION_INFO* part) const;
  // Mounts on the disk or any of its partitions, in mountinfo order.
  std::vector<MountEntry> disk_mounts(const _DISK_INFOMATION* disk) const;
  // The mount whose mount point is the longest one containing `path` (symbolic links resolved;
  // a path that does not exist yet counts by its nearest existing parent); the later of two
  // mounts on the same point, as the later one hides the earlier. -1 when none.
  int mount_of_path(const std::string& path) const;
  // The partition of the list holding the file system of mount `index`, or null.
  BACKUP_PARTITION_INFO* partition_of_mount(_DISK_INFOMATION* list, int index) const;
  // The mount (last one) whose mount point is exactly `mount_point`, or -1.
  int mount_at(const std::string& mount_point) const;
  // True when the file system of mount `index` is on the disk (itself or one of its partitions).
  bool mount_on_disk(int index, const _DISK_INFOMATION* disk) const;

 private:
  const std::vector<DeviceRange>& ranges(size_t index) const;
  const std::vector<DeviceRange>& aliases(const std::string& path) const;
  // A file system starting at `range` lies in `part`: inside its extent on its disk (a restore
  // layout's partition is looked up on the disk the layout was made from) or on its own device.
  // Extended partitions never hold one.
  bool in_partition(const DeviceRange& range, const BACKUP_PARTITION_INFO* part) const;
  // On the disk itself or on the own device of one of its partitions.
  bool on_disk(const DeviceRange& range, const _DISK_INFOMATION* disk) const;

  std::vector<MountEntry> mounts_;
  SystemPaths paths_;
  mutable std::vector<std::vector<DeviceRange>> ranges_;  // per mount, filled on first use
  mutable std::vector<bool> resolved_;
  mutable std::map<std::string, std::vector<DeviceRange>> aliases_;  // per device path
};

// Mount entries of a mountinfo file; empty when it cannot be read.
std::vector<MountEntry> read_mounts(const std::string& mountinfo_path);

// The partition of `list` that holds `path`, or null (see MountResolver::mount_of_path).
BACKUP_PARTITION_INFO* path_to_part(_DISK_INFOMATION* list, const std::string& path, const MountResolver& mounts);

// ---- building disk lists ----

// Disk object for the block device or regular file at `path` (see tav::disk::open_disk), over
// the given roots and mounts.
Status open_disk(const SystemPaths& paths, const MountResolver& mounts, const std::string& path,
                 std::unique_ptr<_DISK_INFOMATION>* out);
// Disk list of <paths.sys_dir>/block with nodes under paths.dev_dir. One disk's failure leaves it
// listed without partitions; only an unreadable sysfs is an error (`*head` is then null).
Status scan_disks(const SystemPaths& paths, _DISK_INFOMATION** head);

// Runs `fn` at an exported function's edge: an exception (out of memory) becomes `on_failure`
// with errno and the thread's last error set to ENOMEM.
template <typename T, typename Fn>
T without_exceptions(T on_failure, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    errno = ENOMEM;
    set_last_error(ENOMEM);
    return on_failure;
  }
}

// The current disk list: the last list returned by libtavdisk_get_disk_list and not destroyed
// yet. A CurrentDiskList holds the lock that tav_destroy_all_disks also takes, so the list cannot
// be freed while one exists; hold it briefly and call no disk-list function meanwhile.
class CurrentDiskList {
 public:
  CurrentDiskList();
  _DISK_INFOMATION* head() const;
  void set(_DISK_INFOMATION* head);
  // Clears the current list when it is `head`.
  void forget(_DISK_INFOMATION* head);

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace tav::disk
