// Frozen views of live partitions for the backup (disk library): before a partition is read,
// tav_vss_part_init decides whether a snapshot must stand in for it and makes one; afterwards
// tav_vss_part_uninit removes it.
//
// Rules of the Linux provider:
//   - partitions of a snapshot (is_image): nothing to do;
//   - not mounted anywhere, or mounted read-only everywhere: nothing to do (reads are stable);
//   - mounted read-write, and the partition's own device is an LVM logical volume and lvm2's
//     tools (lvcreate, lvremove, vgs) are installed: an LVM snapshot of it, read instead of the
//     partition (`read_path`) until it is removed;
//   - mounted read-write otherwise: refused, since reading a file system while it changes gives
//     an inconsistent image. Partitions of disk image files are no exception: a loop device can
//     mount them read-write too. The user can back up without a snapshot (--no-snapshot) or
//     unmount the file system or remount it read-only first.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/status.h"
#include "disk/disk.h"
#include "disk/mount_table.h"

namespace tav::disk {

// What the provider means to do before a partition is read.
struct SnapshotPlan {
  enum class Action { kNone, kSnapshot, kRefuse };
  Action action = Action::kNone;
  // kNone: why nothing is needed (for the trace); kRefuse: the message for the user, naming the
  // device and the mount point and what the user can do instead.
  std::string reason;
  std::string device;       // the partition's device name
  std::string mount_point;  // kSnapshot, kRefuse: a mount point where it is mounted read-write
  // kSnapshot: the logical volume to take a snapshot of.
  std::string volume_group;
  std::string logical_volume;
};

// A snapshot standing in for a partition. tav_vss_part_init allocates it and keeps it in the
// partition's `snapshot` pointer; tav_vss_part_uninit deletes it.
struct SnapshotState {
  std::string read_path;     // device read instead of the partition
  std::string volume_group;  // the snapshot volume, as the provider named it
  std::string name;
};

// Makes and removes snapshots. The library uses one provider at a time (see
// set_snapshot_provider); its calls come from the thread that backs up the partition.
class SnapshotProvider {
 public:
  virtual ~SnapshotProvider() = default;

  virtual SnapshotPlan decide(const BACKUP_PARTITION_INFO& part) = 0;
  // Makes the snapshot `plan` (kSnapshot) asks for and describes it in `state`.
  virtual Status create(const BACKUP_PARTITION_INFO& part, const SnapshotPlan& plan, SnapshotState* state) = 0;
  // Removes a snapshot that create() of this process made; refuses any other.
  virtual Status remove(const SnapshotState& state) = 0;
};

// Where the Linux provider looks. Tests point it at their own trees and mount facts.
struct LinuxSnapshotConfig {
  // Mounts of a partition; empty: partition_mounts() of the running system.
  std::function<std::vector<MountEntry>(const BACKUP_PARTITION_INFO&)> mounts;
  std::string sys_dir = "/sys";  // sysfs: block/dm-N/dm/{uuid,name}
  std::string dev_dir = "/dev";  // LVM's nodes: <dev_dir>/<vg>/<lv>
};

// The provider described at the top of this file. lvcreate, lvremove and vgs are looked up in
// PATH and run through the console pipe with an argument vector. Snapshots are named
// "tav-snap-<pid>-<n>", sized at 10% of the origin, at least 64 MiB, at most the volume group's
// free space. Safe to use from several threads.
class LinuxSnapshotProvider : public SnapshotProvider {
 public:
  LinuxSnapshotProvider() = default;
  explicit LinuxSnapshotProvider(LinuxSnapshotConfig config) : config_(std::move(config)) {}

  SnapshotPlan decide(const BACKUP_PARTITION_INFO& part) override;
  Status create(const BACKUP_PARTITION_INFO& part, const SnapshotPlan& plan, SnapshotState* state) override;
  Status remove(const SnapshotState& state) override;

 private:
  LinuxSnapshotConfig config_;
};

// Size in KiB of a snapshot of an origin of `origin_sectors`, with `vg_free_bytes` free in its
// volume group: 10% of the origin (rounded up), at least 64 MiB, at most the free space. 0 when
// nothing is free.
uint64_t snapshot_size_kib(uint64_t origin_sectors, uint64_t vg_free_bytes);

// The provider the library uses: the one last set, else a LinuxSnapshotProvider for the running
// system. Setting null goes back to that default. The caller keeps ownership and keeps the
// provider alive while it is set. Not to be changed while a backup runs. Returns the previous
// one set (null for the default).
SnapshotProvider& snapshot_provider();
SnapshotProvider* set_snapshot_provider(SnapshotProvider* provider);

}  // namespace tav::disk

// Before a backup reads `part`: 0 when it may be read (a snapshot now stands in for it when one
// was needed; a partition that already has one keeps it); -1 when it may not, with a report
// through the disk library's report target and the thread's last error set (EBUSY: mounted
// read-write and no snapshot possible; EIO: the snapshot could not be made; EINVAL: null).
// `read_path` is set only on success. A partition that is open when its snapshot is made is
// closed, so that its next open reads the snapshot.
int tav_vss_part_init(BACKUP_PARTITION_INFO* part);

// After the backup has read `part`: removes the snapshot tav_vss_part_init made and clears
// `read_path` and `snapshot`. A partition still open for reading is closed first (it reads from
// the snapshot). 0 on success and when there is nothing to remove (no init, a second call, a
// null partition); -1 when the removal failed (reported as a warning naming the snapshot; the
// partition is detached from it either way).
int tav_vss_part_uninit(BACKUP_PARTITION_INFO* part);
