// Finding the partition a command-line name selects, and the line that describes it.
#include "cli/partition_target.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/image_session.h"
#include "cli/partition_columns.h"
#include "cli/progress_format.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"

namespace tav::cli {

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The canonical path, or `path` itself when it cannot be resolved.
std::string resolved(const std::string& path) {
  char* r = ::realpath(path.c_str(), nullptr);
  if (r == nullptr) return path;
  std::string out = r;
  std::free(r);
  return out;
}

// Partitions that can take data: not the extended container.
int data_partition_count(const _DISK_INFOMATION& disk) {
  int n = 0;
  for (const auto& p : disk.parts) n += disk::part_is_extended(*p) ? 0 : 1;
  return n;
}

Status select_number(_DISK_INFOMATION* disk, uint32_t number, BACKUP_PARTITION_INFO** out) {
  const int count = data_partition_count(*disk);
  if (number == 0) {
    if (count != 1) {
      return Status::invalid_argument(disk->path + " has " + std::to_string(count) +
                                      " partitions: name one as " + disk->path + ":K (K as `tav disks " +
                                      disk->path + "` shows it)");
    }
    for (const auto& p : disk->parts) {
      if (!disk::part_is_extended(*p)) *out = p.get();
    }
    return Status::ok();
  }
  for (const auto& p : disk->parts) {
    if (disk::part_number(*p) != int32_t(number)) continue;
    if (disk::part_is_extended(*p)) {
      return Status::invalid_argument("partition " + std::to_string(number) + " of " + disk->path +
                                      " is an extended partition, which holds no data of its own");
    }
    *out = p.get();
    return Status::ok();
  }
  return Status::not_found(disk->path + " has no partition " + std::to_string(number) + " (see `tav disks " +
                           disk->path + "`)");
}

}  // namespace

MachineDisks::MachineDisks() : head(libtavdisk_get_disk_list()) {}
MachineDisks::~MachineDisks() {
  if (head != nullptr) tav_destroy_all_disks(head);
}

bool same_file(const std::string& a, const std::string& b) { return resolved(a) == resolved(b); }

bool parse_partition_name(const std::string& text, PartitionName* out) {
  *out = PartitionName{};
  if (text.empty()) return false;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < text.size()) {
    const std::string digits = text.substr(colon + 1);
    const std::string path = text.substr(0, colon);
    uint32_t number = 0;
    const bool numbered = digits.find_first_not_of("0123456789") == std::string::npos;
    if (numbered && !(exists(text) && !exists(path))) {
      if (!parse_index(digits, 0x7FFFFFFFu, &number)) return false;
      out->path = path;
      out->number = number;
      return true;
    }
  }
  out->path = text;
  return true;
}

Status find_named_partition(const std::string& text, _DISK_INFOMATION* machine, NamedPartition* out) {
  *out = NamedPartition{};
  PartitionName name;
  if (!parse_partition_name(text, &name)) {
    return Status::invalid_argument("'" + text + "' names no partition: give DEVICE-OR-IMAGE[:K] with K from 1");
  }
  struct stat st {};
  if (::stat(name.path.c_str(), &st) != 0) return Status::not_found(name.path + ": " + std::strerror(errno));
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    return Status::invalid_argument(name.path + ": not a block device or a disk image file");
  }
  if (S_ISBLK(st.st_mode)) {
    const std::string real = resolved(name.path);
    for (_DISK_INFOMATION* d = machine; d != nullptr; d = d->next) {
      if (resolved(d->path) == real) {
        out->disk = d;
        return select_number(d, name.number, &out->part);
      }
      for (const auto& p : d->parts) {
        if (p->dev_path.empty() || resolved(p->dev_path) != real) continue;
        if (name.number != 0) {
          return Status::invalid_argument(name.path + " is a partition itself: name it without :" +
                                          std::to_string(name.number) + ", or its disk " + d->path + " with it");
        }
        if (disk::part_is_extended(*p)) {
          return Status::invalid_argument(name.path + " is an extended partition, which holds no data of its own");
        }
        out->disk = d;
        out->part = p.get();
        return Status::ok();
      }
    }
  }
  if (Status st2 = disk::open_disk(name.path, &out->owned); !st2.is_ok()) return st2;
  out->disk = out->owned.get();
  return select_number(out->disk, name.number, &out->part);
}

std::string describe_contents(const BACKUP_PARTITION_INFO& part) {
  std::string text = format_size(part.sector_count * kSectorSize) + " (" + std::to_string(part.sector_count) +
                     " sectors), ";
  const std::string fs = file_system_text(part);
  text += fs.empty() ? "no file system recognised" : fs;
  const std::string label = disk::part_fs_label(part);
  if (!label.empty()) text += ", label \"" + sanitize_text(label, false) + "\"";
  return text;
}

std::string describe_partition(const BACKUP_PARTITION_INFO& part) {
  std::string text = "partition " + std::to_string(disk::part_number(part));
  if (part.disk != nullptr) text += " of " + part.disk->path;
  text += std::string(" (") + tav_get_partition_dev_name(&part) + "): " + describe_contents(part);
  if (!part.mount_point.empty()) text += ", mounted on " + part.mount_point;
  return text;
}

}  // namespace tav::cli
