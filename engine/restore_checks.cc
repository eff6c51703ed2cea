// Refusals of a partition restore or clone, decided before anything is written.
#include "engine/restore_checks.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cinttypes>
#include <cstdio>

#include "image/image_catalogue.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "disk/sysfs_scan.h"

namespace tav::engine {

namespace {

std::string dev_name(const BACKUP_PARTITION_INFO* part) { return tav_get_partition_dev_name(part); }

uint64_t end_sector(const BACKUP_PARTITION_INFO* p) { return p->first_sector + p->sector_count; }

// Devices stacked deeper than this are not followed.
constexpr int kMaxStackDepth = 8;

// Every place byte `offset` of `path` is also reached at: the disk of a partition node (at the
// node's start) and the backing file or device of a loop device (at the loop's offset), followed
// down. Device-mapper devices are not followed: where their targets lie is not known here, and
// the kernel refuses an exclusive open of a device they are built on.
void add_places(const disk::SystemPaths& paths, const std::string& path, uint64_t offset, int depth,
                std::vector<disk::DeviceRange>* out) {
  out->push_back({path, offset});
  struct stat st {};
  if (depth >= kMaxStackDepth || stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return;
  const disk::BlockDevice dev = disk::find_block_device(paths, major(st.st_rdev), minor(st.st_rdev));
  if (dev.name.empty()) return;
  if (!dev.parent.empty()) {
    add_places(paths, paths.dev_dir + "/" + dev.parent, offset + dev.start_sector * kSectorSize, depth + 1, out);
  }
  disk::LoopBacking loop;
  if (disk::loop_backing(paths, dev.name, &loop)) {
    add_places(paths, loop.backing_file, offset + loop.offset_bytes, depth + 1, out);
  }
}

// Where the first byte of a partition of a real disk lies, under every name of it.
std::vector<disk::DeviceRange> partition_places(const BACKUP_PARTITION_INFO* p) {
  std::vector<disk::DeviceRange> places;
  if (p->disk == nullptr || p->disk->disk_type == disk::DEVICE_IMAGE) return places;
  const disk::SystemPaths paths = disk::system_paths();
  if (!p->disk->path.empty()) add_places(paths, p->disk->path, p->first_sector * kSectorSize, 0, &places);
  if (!p->dev_path.empty()) add_places(paths, p->dev_path, 0, 0, &places);
  return places;
}

// True when the two partitions share a byte of one file or device, however they are named (a
// disk image file and a loop device attached over it, a disk and a partition node of it).
bool places_overlap(const BACKUP_PARTITION_INFO* a, const BACKUP_PARTITION_INFO* b) {
  const uint64_t a_bytes = a->sector_count * kSectorSize;
  const uint64_t b_bytes = b->sector_count * kSectorSize;
  if (a_bytes == 0 || b_bytes == 0) return false;
  const std::vector<disk::DeviceRange> b_places = partition_places(b);
  for (const disk::DeviceRange& x : partition_places(a)) {
    for (const disk::DeviceRange& y : b_places) {
      if (x.offset_bytes < y.offset_bytes + b_bytes && y.offset_bytes < x.offset_bytes + a_bytes &&
          disk::same_file(x.path, y.path)) {
        return true;
      }
    }
  }
  return false;
}

std::string sectors_text(uint64_t sectors) {
  char text[96];
  std::snprintf(text, sizeof text, "%" PRIu64 " sectors (%" PRIu64 " MiB)", sectors, sectors / 2048);
  return text;
}

}  // namespace

bool same_disk(const _DISK_INFOMATION* a, const _DISK_INFOMATION* b) {
  if (a == nullptr || b == nullptr) return false;
  if (a == b) return true;
  if (!a->path.empty() && a->path == b->path) return true;
  struct stat sa {}, sb {};
  if (a->path.empty() || b->path.empty() || stat(a->path.c_str(), &sa) != 0 || stat(b->path.c_str(), &sb) != 0) {
    return false;
  }
  if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
  if (S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode)) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return false;
}

bool partitions_overlap(const BACKUP_PARTITION_INFO* a, const BACKUP_PARTITION_INFO* b) {
  if (a == nullptr || b == nullptr) return false;
  if (a == b) return true;
  if (same_disk(a->disk, b->disk)) return a->first_sector < end_sector(b) && b->first_sector < end_sector(a);
  return places_overlap(a, b);
}

std::string restore_image_directory(const RESTORE_REQUEST& request) {
  if (!request.image_dir.empty()) return request.image_dir;
  if (request.image_part == nullptr) return {};
  const SNAP_DATA* snap = libtavimg_get_part_snap(request.image_part);
  if (snap == nullptr || snap->pstorage == nullptr) return {};
  return snap->pstorage->directory;
}

std::string destination_too_small_text(const BACKUP_PARTITION_INFO& dest, const BACKUP_PARTITION_INFO& source) {
  return "destination is not enouth! " + dev_name(&dest) + " has " + sectors_text(dest.sector_count) +
         ", the source needs " + sectors_text(source.sector_count);
}

Status check_destination_facts(const RESTORE_REQUEST& request, const DestinationFacts& facts) {
  if (request.whole_disk != 0) {
    return Status::not_supported("whole-disk restore is not available yet: restore the partitions one at a time");
  }
  const BACKUP_PARTITION_INFO* source = request.image_part;
  const BACKUP_PARTITION_INFO* dest = request.dest_part;
  if (source == nullptr) return Status::invalid_argument("no source partition was given");
  if (dest == nullptr) return Status::invalid_argument("no destination partition was given");
  if (dest->is_image != 0 || dest->disk == nullptr || dest->disk->disk_type != disk::DEVICE_REAL) {
    return Status::invalid_argument(dev_name(dest) + " is not a partition of a disk of this machine");
  }
  if (disk::part_is_extended(*dest)) {
    return Status::invalid_argument(dev_name(dest) + " is an extended partition: writing it would destroy the " +
                                    "logical partitions it holds");
  }
  if (request.is_clone == 0 && source->is_image == 0) {
    return Status::invalid_argument(dev_name(source) + " is not a partition of a snapshot");
  }
  if (request.is_clone != 0 && source->is_image != 0) {
    return Status::invalid_argument("a clone copies a partition of a disk, not of a snapshot");
  }
  if (request.is_clone != 0) {
    if (source == dest || (same_disk(source->disk, dest->disk) && source->first_sector == dest->first_sector)) {
      return Status::invalid_argument("cannot clone " + dev_name(source) + " onto itself");
    }
    if (partitions_overlap(source, dest)) {
      return Status::invalid_argument(dev_name(dest) + " overlaps the source " + dev_name(source));
    }
  }
  if (facts.image_home != nullptr && partitions_overlap(facts.image_home, dest)) {
    return Status::invalid_argument(dev_name(dest) + " holds the image being read (" + restore_image_directory(request) +
                                    ")");
  }
  if (!facts.dest_mounts.empty()) {
    return Status::invalid_argument(dev_name(dest) + " is mounted at " + facts.dest_mounts.front().mount_point +
                                    "; unmount it first");
  }
  if (!facts.dest_loop_devices.empty()) {
    const std::string& loop = facts.dest_loop_devices.front();
    return Status::invalid_argument(dev_name(dest) + " is on the disk image file " + dest->disk->path +
                                    ", which loop device " + loop +
                                    " is attached to: what uses it (a mount, swap) would be overwritten; detach it "
                                    "first (losetup -d " + loop + ")");
  }
  if (dest->sector_count < source->sector_count) {
    return Status::invalid_argument(destination_too_small_text(*dest, *source));
  }
  return Status::ok();
}

Status check_restore_destination(const RESTORE_REQUEST& request) {
  DestinationFacts facts;
  if (request.dest_part != nullptr && request.whole_disk == 0) {
    if (request.is_clone == 0) {
      const std::string dir = restore_image_directory(request);
      if (!dir.empty()) facts.image_home = tav_path_to_part(dir.c_str());
    }
    if (request.dest_part->is_image == 0) {
      facts.dest_mounts = disk::partition_mounts(request.dest_part);
      const _DISK_INFOMATION* disk = request.dest_part->disk;
      if (disk != nullptr && !disk->path.empty()) {
        facts.dest_loop_devices = disk::loop_devices_over_file(disk::system_paths(), disk->path);
      }
    }
  }
  return check_destination_facts(request, facts);
}

}  // namespace tav::engine
