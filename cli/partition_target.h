// Partitions named on the command line of `tav restore` and `tav clone`: DEVICE-OR-IMAGE[:K],
// where DEVICE-OR-IMAGE is a whole-disk block device, a disk image file or a partition's own
// block device, and K the partition number `tav disks` shows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/status.h"
#include "disk/disk.h"

namespace tav::cli {

// The machine's disk list (libtavdisk_get_disk_list) for the length of a command: partitions
// the engine works on belong to it, and it answers which partition holds a path.
struct MachineDisks {
  MachineDisks();
  ~MachineDisks();
  MachineDisks(const MachineDisks&) = delete;
  MachineDisks& operator=(const MachineDisks&) = delete;
  _DISK_INFOMATION* head = nullptr;
};

// True when both paths name the same file (after links are followed).
bool same_file(const std::string& a, const std::string& b);

// A partition name split into its path and number (0 when no ":K" was given). A path may hold
// colons itself: only a last ":" followed by decimal digits names the partition, and not when
// the whole text names an existing file and the part before the colon does not.
struct PartitionName {
  std::string path;
  uint32_t number = 0;
};
bool parse_partition_name(const std::string& text, PartitionName* out);

// The partition a name selects, with the disk it lies on.
struct NamedPartition {
  std::unique_ptr<_DISK_INFOMATION> owned;  // the disk when it is not one of the machine list's
  _DISK_INFOMATION* disk = nullptr;
  BACKUP_PARTITION_INFO* part = nullptr;
};

// Finds the partition `text` names. `machine` is the machine's disk list (may be null): block
// devices are taken from it (a partition's own node too), anything else is opened as a disk.
// Without ":K" the disk must have exactly one partition (an extended one does not count).
// Errors name the path and say what is wrong (a wrong number lists how many there are).
Status find_named_partition(const std::string& text, _DISK_INFOMATION* machine, NamedPartition* out);

// One line that tells the user which partition this is and what it holds: device, number,
// size, file system and label, e.g.
// "partition 2 of /tmp/d.img (/tmp/d.img@75776): 16.0 MiB, ext4, label \"testext\"".
std::string describe_partition(const BACKUP_PARTITION_INFO& part);
// Its size, file system and label only: "16.0 MiB (32768 sectors), ext4, label \"testext\"".
std::string describe_contents(const BACKUP_PARTITION_INFO& part);

}  // namespace tav::cli
