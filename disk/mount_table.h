// Mounted file systems and drive letters: /proc/self/mountinfo, the VolumeTable that maps drive
// letters to mount points, and the questions "which partition holds this path" and "is this
// partition mounted".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk {

// One line of mountinfo.
struct MountEntry {
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string root;         // root of the mount within its file system
  std::string mount_point;  // unescaped ("\040" -> ' ')
  std::string fs_type;
  std::string source;       // mount source ("/dev/sda1")
  bool read_only = false;   // the mount or its super block is read-only
};

// Parses mountinfo text; malformed lines are skipped.
std::vector<MountEntry> parse_mountinfo(const std::string& text);
// This process's mounts; empty when /proc is not there.
std::vector<MountEntry> read_mounts();

// Mounts of a partition: of its own block device, of a loop device set up over it (backing file
// = its disk image file with the partition's offset, or backing device = its disk with that
// offset), and of a device-mapper device whose slave it is. `mounts` defaults to read_mounts().
std::vector<MountEntry> partition_mounts(const BACKUP_PARTITION_INFO* part);
std::vector<MountEntry> partition_mounts(const BACKUP_PARTITION_INFO* part, const std::vector<MountEntry>& mounts);

// Drive letters: a letter names a mount point. The table is read from "Settings.ini" section
// "DriveLetters" (keys "C" .. "Z", values mount points); when the section is missing, C: is "/".
class VolumeTable {
 public:
  VolumeTable() = default;
  explicit VolumeTable(std::map<char, std::string> letters) : letters_(std::move(letters)) {}
  static VolumeTable load();  // from Settings.ini, as above

  // Mount point of a letter ('c' and 'C' alike), or empty.
  std::string mount_point(char letter) const;
  // Letter whose mount point is exactly `mount_point`, or 0.
  char letter_of(const std::string& mount_point) const;

 private:
  std::map<char, std::string> letters_;
};

// The table the library uses (VolumeTable::load() on first use); tests replace it.
const VolumeTable& volume_table();
void set_volume_table(const VolumeTable& table);

}  // namespace tav::disk

// The partition of the current disk list (the last list built by libtavdisk_get_disk_list and
// not yet destroyed) that holds `path`: the mount with the longest mount point containing the
// path, resolved to its block device, and through loop and device-mapper devices to a partition.
// Null when the path is not on a partition of the list.
BACKUP_PARTITION_INFO* tav_path_to_part(const char* path);
// The partition mounted at the letter's mount point (see VolumeTable), or null.
BACKUP_PARTITION_INFO* tav_drive_letter_to_part2(char letter);

// Before a partition or disk is written: 0 when no file system of it is mounted; otherwise -1
// (errno EBUSY) with a report naming the mount point. Nothing is unmounted on the user's behalf.
int tav_umount_part(BACKUP_PARTITION_INFO* part);
int tav_umount_disk_partitions(_DISK_INFOMATION* disk);
