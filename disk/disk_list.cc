// Disk lists: building disk objects for block devices and disk image files (size, geometry,
// table, partition nodes, mount points, file systems), the current list, and the list and
// partition functions the engines call.
#include "disk/disk_list.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/program_dir.h"
#include "core/trace.h"
#include "disk/device_io.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "disk/part_table.h"
#include "disk/sysfs_scan.h"

namespace tav::disk {
namespace {

std::mutex& current_list_mutex() {
  static std::mutex m;
  return m;
}

_DISK_INFOMATION*& current_list_head() {
  static _DISK_INFOMATION* head = nullptr;
  return head;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string sector_name(const _DISK_INFOMATION* disk, uint64_t first_sector) {
  const std::string& base = !disk->path.empty() ? disk->path : disk->name;
  return base + "@" + std::to_string(first_sector);
}

// The partition's own device node, found by its number and checked by its start (and by any
// start when the numbers disagree).
const PartitionNode* node_of(const BACKUP_PARTITION_INFO& part, const std::string& disk_name,
                             const std::vector<PartitionNode>& nodes) {
  if (part.dev_num != 0) {
    const std::string by_rule = partition_node_name(disk_name, part.dev_num);
    const std::string other = disk_name + "p" + std::to_string(part.dev_num);
    for (const PartitionNode& n : nodes) {
      if ((n.name == by_rule || n.name == other) && n.start_sector == part.first_sector) return &n;
    }
  }
  for (const PartitionNode& n : nodes) {
    if (n.start_sector == part.first_sector) return &n;
  }
  return nullptr;
}

// Device names and mount point of each partition, then its file system.
void describe_partitions(const SystemPaths& paths, const MountResolver& mounts, _DISK_INFOMATION* disk,
                         const std::string& sys_disk_dir) {
  const std::vector<PartitionNode> nodes =
      sys_disk_dir.empty() ? std::vector<PartitionNode>() : partition_nodes(sys_disk_dir);
  for (size_t i = 0; i < disk->parts.size(); ++i) {
    BACKUP_PARTITION_INFO* part = disk->parts[i].get();
    part->disk = disk;
    part->index = uint32_t(i);
    if (part->dev_num == 0) part->dev_num = part_number(*part) > 0 ? uint32_t(part_number(*part)) : uint32_t(i + 1);
    if (part->ops == nullptr) part->ops = tav_get_part_operation();
    part->dev_path.clear();
    if (const PartitionNode* node = node_of(*part, disk->name, nodes)) {
      part->dev_name = paths.dev_dir + "/" + node->name;
      // The node of an extended partition covers only its first sectors: read it through the disk.
      if (node->sector_count == part->sector_count) part->dev_path = part->dev_name;
    } else {
      part->dev_name = sector_name(disk, part->first_sector);
    }
    const std::vector<MountEntry> where = mounts.partition_mounts(part);
    part->mount_point = where.empty() ? std::string() : where.front().mount_point;
    attach_file_system(part);
  }
}

// Opens the disk, sets its geometry and reads its table. A disk that cannot be opened gets the
// default geometry and no partitions; the status says why.
Status read_disk(_DISK_INFOMATION* disk) {
  disk->ops = tav_get_disk_operation();
  disk->parts.clear();
  if (disk->ops->open(disk, kOpenRead) < 0) {
    const int err = errno;
    fill_geometry(disk, -1);
    return Status::io_error("cannot open " + disk->path + ": " + std::strerror(err));
  }
  fill_geometry(disk, disk->fd);
  Status st = disk->total_sectors == 0 ? Status::ok() : read_partition_table(disk);
  disk->ops->close(disk);
  if (!st) {
    disk->parts.clear();
    disk->table_kind = TableKind::kNone;
    return st.with_prefix(disk->path + ": ");
  }
  return st;
}

void mark_program_disk(const MountResolver& mounts, _DISK_INFOMATION* disk) {
  static const std::string program = executable_dir();
  if (program.empty()) return;
  if (mounts.mount_on_disk(mounts.mount_of_path(program), disk)) disk->excluded = 1;
}

}  // namespace

CurrentDiskList::CurrentDiskList() : lock_(current_list_mutex()) {}
_DISK_INFOMATION* CurrentDiskList::head() const { return current_list_head(); }
void CurrentDiskList::set(_DISK_INFOMATION* head) { current_list_head() = head; }
void CurrentDiskList::forget(_DISK_INFOMATION* head) {
  if (current_list_head() == head) current_list_head() = nullptr;
}

Status open_disk(const SystemPaths& paths, const MountResolver& mounts, const std::string& path,
                 std::unique_ptr<_DISK_INFOMATION>* out) {
  out->reset();
  if (path.empty()) return Status::invalid_argument("no disk path given");
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) return Status::not_found("cannot open " + path + ": " + std::strerror(err));
    return Status::io_error("cannot open " + path + ": " + std::strerror(err));
  }
  auto disk = std::make_unique<_DISK_INFOMATION>();
  disk->path = path;
  disk->name = base_name(path);
  std::string sys_disk_dir;
  if (S_ISREG(st.st_mode)) {
    if (uint64_t(st.st_size) < kSectorSize) {
      return Status::invalid_argument(path + " is smaller than one sector (" + std::to_string(st.st_size) +
                                      " bytes): not a disk image");
    }
    disk->is_file = 1;
    disk->total_sectors = uint64_t(st.st_size) / kSectorSize;
  } else if (S_ISBLK(st.st_mode)) {
    const BlockDevice dev = find_block_device(paths, major(st.st_rdev), minor(st.st_rdev));
    if (!dev.name.empty()) {
      disk->name = dev.name;
      if (dev.parent.empty()) sys_disk_dir = paths.sys_dir + "/block/" + dev.name;
    }
    int fd = open_device(path, kOpenRead);
    uint64_t bytes = 0;
    const bool sized = fd >= 0 && device_size_bytes(fd, &bytes);
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (!sized) return Status::io_error("cannot open " + path + ": " + std::strerror(err));
    disk->total_sectors = bytes / kSectorSize;
    if (!sys_disk_dir.empty()) {
      disk->removable = read_attribute(sys_disk_dir + "/removable") == "1" ? 1 : 0;
      disk->model = read_attribute(sys_disk_dir + "/device/model");
    }
  } else {
    return Status::invalid_argument(path + " is neither a block device nor a disk image file");
  }
  if (Status s = read_disk(disk.get()); !s) return s;
  describe_partitions(paths, mounts, disk.get(), sys_disk_dir);
  mark_program_disk(mounts, disk.get());
  *out = std::move(disk);
  return Status::ok();
}

Status scan_disks(const SystemPaths& paths, _DISK_INFOMATION** head) {
  *head = nullptr;
  tav_init_disk();
  const std::string block_dir = paths.sys_dir + "/block";
  struct stat st {};
  if (stat(block_dir.c_str(), &st) != 0) {
    return Status::not_found("cannot read " + block_dir + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) return Status::not_found("cannot read " + block_dir + ": not a directory");
  const MountResolver mounts(read_mounts(paths.mountinfo), paths);
  _DISK_INFOMATION** tail = head;
  uint32_t index = 0;
  for (const std::string& name : list_disk_names(block_dir)) {
    const std::string sys_disk_dir = block_dir + "/" + name;
    auto disk = std::make_unique<_DISK_INFOMATION>();
    disk->name = name;
    disk->path = paths.dev_dir + "/" + name;
    uint64_t size = 0;
    read_attribute_u64(sys_disk_dir + "/size", &size);  // 512-byte units whatever the sector size
    disk->total_sectors = size;
    disk->removable = read_attribute(sys_disk_dir + "/removable") == "1" ? 1 : 0;
    disk->model = read_attribute(sys_disk_dir + "/device/model");
    struct stat node {};
    disk->is_file = stat(disk->path.c_str(), &node) == 0 && S_ISREG(node.st_mode) ? 1 : 0;
    if (Status s = read_disk(disk.get()); !s) {
      // Listed all the same (no medium, no permission, a damaged table): only without partitions.
      TAV_TRACE(kTraceWarn, 0, "%s listed without partitions: %s", disk->path.c_str(), s.message().c_str());
    } else {
      describe_partitions(paths, mounts, disk.get(), sys_disk_dir);
    }
    mark_program_disk(mounts, disk.get());
    disk->index = index++;
    *tail = disk.release();
    tail = &(*tail)->next;
  }
  return Status::ok();
}

Status open_disk(const std::string& path, std::unique_ptr<_DISK_INFOMATION>* out) {
  return without_exceptions(Status::out_of_memory("out of memory opening " + path), [&] {
    tav_init_disk();
    const SystemPaths paths = system_paths();
    const MountResolver mounts(read_mounts(paths.mountinfo), paths);
    return open_disk(paths, mounts, path, out);
  });
}

Status scan_disks(const std::string& sys_block_dir, const std::string& dev_dir, _DISK_INFOMATION** head) {
  SystemPaths paths = system_paths();
  std::string block = sys_block_dir;
  while (block.size() > 1 && block.back() == '/') block.pop_back();
  const size_t slash = block.find_last_of('/');
  paths.sys_dir = slash == std::string::npos ? std::string(".") : block.substr(0, slash);
  if (base_name(block) != "block") {
    // The roots are <sys>/block; any other directory is taken as a block directory of its own.
    *head = nullptr;
    return Status::invalid_argument(sys_block_dir + " is not a sysfs block directory");
  }
  paths.dev_dir = dev_dir;
  return scan_disks(paths, head);
}

}  // namespace tav::disk

using tav::disk::part_is_extended;
using tav::disk::part_is_logical;
using tav::disk::part_number;
using tav::disk::part_type;

_DISK_INFOMATION* libtavdisk_get_disk_list() {
  _DISK_INFOMATION* head = nullptr;
  tav::Status st = tav::disk::without_exceptions(tav::Status::out_of_memory("out of memory"), [&] {
    return tav::disk::scan_disks(tav::disk::system_paths(), &head);
  });
  if (!st) {
    TAV_TRACE(tav::kTraceError, 0, "disk list: %s", st.message().c_str());
    tav_destroy_all_disks(head);  // what a failed scan left behind
    head = nullptr;
  }
  tav::disk::CurrentDiskList current;
  current.set(head);
  return head;
}

int tav_uninit_disk() {
  tav::disk::CurrentDiskList current;
  current.set(nullptr);
  return 0;
}

void tav_destroy_all_disks(_DISK_INFOMATION* head) {
  {
    tav::disk::CurrentDiskList current;
    current.forget(head);
  }
  while (head != nullptr) {
    _DISK_INFOMATION* next = head->next;
    for (auto& part : head->parts) {
      if (part->fd >= 0 && part->ops != nullptr && part->ops->close != nullptr) part->ops->close(part.get());
    }
    if (head->fd >= 0 && head->ops != nullptr && head->ops->close != nullptr) head->ops->close(head);
    delete head;
    head = next;
  }
}

BACKUP_PARTITION_INFO* tav_disk_next_partition(_DISK_INFOMATION* disk, BACKUP_PARTITION_INFO* previous) {
  if (disk == nullptr || disk->parts.empty()) return nullptr;
  if (previous == nullptr) return disk->parts.front().get();
  size_t at = previous->index;
  if (at >= disk->parts.size() || disk->parts[at].get() != previous) {
    at = 0;
    while (at < disk->parts.size() && disk->parts[at].get() != previous) ++at;
    if (at == disk->parts.size()) return nullptr;  // not a partition of this disk
  }
  return at + 1 < disk->parts.size() ? disk->parts[at + 1].get() : nullptr;
}

int tav_partition_is_active(const BACKUP_PARTITION_INFO* part) {
  return part != nullptr && part_type(*part) != 0 && part->sector_count != 0 ? 1 : 0;
}

int tav_partition_is_backup(const BACKUP_PARTITION_INFO* part) {
  if (!tav_partition_is_active(part) || part_is_extended(*part)) return 0;
  return part->selected != 0 || (part->disk != nullptr && part->disk->whole_disk != 0) ? 1 : 0;
}

int tav_partition_is_primary(const BACKUP_PARTITION_INFO* part) {
  return part != nullptr && !part_is_logical(*part) ? 1 : 0;
}

BACKUP_PARTITION_INFO* tav_extended_partition(_DISK_INFOMATION* disk) {
  if (disk == nullptr) return nullptr;
  for (auto& part : disk->parts) {
    if (part_is_extended(*part)) return part.get();
  }
  return nullptr;
}

int tav_partition_count(const _DISK_INFOMATION* disk) { return disk == nullptr ? 0 : int(disk->parts.size()); }

const char* tav_get_partition_dev_name(const BACKUP_PARTITION_INFO* part) {
  return part == nullptr ? "" : part->dev_name.c_str();
}

int tav_add_disk_device(_DISK_INFOMATION** list, _DISK_INFOMATION* disk) {
  if (list == nullptr || disk == nullptr) {
    errno = EINVAL;
    return -1;
  }
  uint32_t index = 0;
  _DISK_INFOMATION** tail = list;
  while (*tail != nullptr) {
    if (*tail == disk) {  // already there: appending again would make a loop
      errno = EEXIST;
      return -1;
    }
    tail = &(*tail)->next;
    ++index;
  }
  disk->next = nullptr;
  disk->index = index;
  *tail = disk;
  return 0;
}

int tav_part_add(_DISK_INFOMATION* disk, BACKUP_PARTITION_INFO* part) {
  if (disk == nullptr || part == nullptr) {
    errno = EINVAL;
    return -1;
  }
  for (const auto& p : disk->parts) {
    if (p.get() == part) {  // owned once only
      errno = EEXIST;
      return -1;
    }
  }
  // On failure (no memory) the caller still owns the partition.
  return tav::disk::without_exceptions(-1, [&] {
    disk->parts.reserve(disk->parts.size() + 1);
    if (part->dev_name.empty()) part->dev_name = tav::disk::sector_name(disk, part->first_sector);
    part->disk = disk;
    part->index = uint32_t(disk->parts.size());
    if (part->dev_num == 0) part->dev_num = part_number(*part) > 0 ? uint32_t(part_number(*part)) : part->index + 1;
    if (part->ops_fs == nullptr) {
      part->ops_fs = part->fs != nullptr ? part->fs : libtavdisk_file_system_type_get(part_type(*part));
    }
    disk->parts.emplace_back(part);  // cannot throw after the reserve
    return 0;
  });
}

int tav_assign_dev_num_all(_DISK_INFOMATION* list) {
  return tav::disk::without_exceptions(-1, [&] {
    uint32_t disk_index = 0;
    for (_DISK_INFOMATION* disk = list; disk != nullptr; disk = disk->next) {
      disk->index = disk_index++;
      for (size_t i = 0; i < disk->parts.size(); ++i) {
        BACKUP_PARTITION_INFO* part = disk->parts[i].get();
        part->disk = disk;
        part->index = uint32_t(i);
        part->dev_num = part_number(*part) > 0 ? uint32_t(part_number(*part)) : uint32_t(i + 1);
        // A name made from the first sector follows the partition when a layout moves it.
        if (part->dev_path.empty() && (part->dev_name.empty() || part->dev_name.find('@') != std::string::npos)) {
          part->dev_name = tav::disk::sector_name(disk, part->first_sector);
        }
      }
    }
    return 0;
  });
}
