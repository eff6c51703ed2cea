// Partition and disk sizes of the restore layouts; the rules are in layout_size.h.
#include "disk/layout_size.h"

#include <limits>

#include "disk/part_record.h"

namespace tav::disk {
namespace {

constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();

uint64_t add_saturating(uint64_t a, uint64_t b) { return a > kSaturated - b ? kSaturated : a + b; }

// Sectors a partition of `own_sectors` takes in a layout: one track more when it gets the gap,
// then whole cylinders.
uint64_t placed_sectors(const BACKUP_PARTITION_INFO& part, uint64_t own_sectors, const LayoutGeometry& g) {
  const uint64_t gap = layout_gets_track_gap(part) ? g.sectors_per_track : 0;
  return round_up_to_cylinders(add_saturating(own_sectors, gap), g);
}

// Smallest size of the partition's own data: what its file system allows, else its size.
uint64_t own_min_sectors(const BACKUP_PARTITION_INFO& part) {
  const FILE_SYSTEM_TYPE* handler = part.ops_fs;
  if (handler == nullptr || handler->min_size_bytes == nullptr) return part.sector_count;
  // Handlers open the partition themselves and leave it as they found it; the object is not
  // changed in any way a caller could see.
  const int64_t bytes = handler->min_size_bytes(const_cast<BACKUP_PARTITION_INFO*>(&part));
  if (bytes < 0) return part.sector_count;
  const uint64_t sectors = (uint64_t(bytes) + kSectorSize - 1) / kSectorSize;
  // The file system fits in its own partition, whatever the handler computed.
  return sectors < part.sector_count ? sectors : part.sector_count;
}

enum class SizeKind { kMatch, kMin };

uint64_t layout_part_sectors(const LayoutGeometry& g, const BACKUP_PARTITION_INFO& part, SizeKind kind) {
  if (!layout_part_is_used(part)) return 0;
  if (part_is_extended(part)) {
    // The extended partition spans its logical partitions and adds nothing of its own.
    uint64_t sum = 0;
    if (part.disk == nullptr) return 0;
    for (const auto& other : part.disk->parts) {
      if (other.get() == &part || !part_is_logical(*other)) continue;
      sum = add_saturating(sum, layout_part_sectors(g, *other, kind));
    }
    return sum;
  }
  const uint64_t own = kind == SizeKind::kMatch ? part.sector_count : own_min_sectors(part);
  return placed_sectors(part, own, g);
}

bool counts_for_min_layout(const _DISK_INFOMATION& disk, const BACKUP_PARTITION_INFO& part) {
  return layout_part_is_used(part) && !part_is_extended(part) && (part.selected != 0 || disk.whole_disk != 0);
}

}  // namespace

LayoutGeometry layout_geometry(const _DISK_INFOMATION* disk) {
  LayoutGeometry g;
  if (disk != nullptr && disk->heads != 0 && disk->sectors_per_track != 0) {
    g.sectors_per_track = disk->sectors_per_track;
    g.sectors_per_cylinder = uint64_t(disk->heads) * disk->sectors_per_track;
  }
  return g;
}

bool layout_gets_track_gap(const BACKUP_PARTITION_INFO& part) {
  const int32_t number = part_number(part);
  return number < 2 || number > 4;
}

uint64_t round_up_to_cylinders(uint64_t sectors, const LayoutGeometry& g) {
  const uint64_t cylinders = sectors / g.sectors_per_cylinder + (sectors % g.sectors_per_cylinder != 0);
  if (cylinders > kSaturated / g.sectors_per_cylinder) return kSaturated;
  return cylinders * g.sectors_per_cylinder;
}

uint64_t round_down_to_cylinders(uint64_t sectors, const LayoutGeometry& g) {
  return sectors - sectors % g.sectors_per_cylinder;
}

bool layout_part_is_used(const BACKUP_PARTITION_INFO& part) {
  return part_type(part) != 0 && part.sector_count != 0;
}

}  // namespace tav::disk

using tav::disk::LayoutGeometry;
using tav::disk::layout_geometry;

uint64_t tav_get_match_part_sectors(const _DISK_INFOMATION* geometry, const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return 0;
  return tav::disk::layout_part_sectors(layout_geometry(geometry), *part, tav::disk::SizeKind::kMatch);
}

uint64_t tav_get_min_part_sectors(const _DISK_INFOMATION* geometry, const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return 0;
  return tav::disk::layout_part_sectors(layout_geometry(geometry), *part, tav::disk::SizeKind::kMin);
}

uint64_t tav_get_min_disk_sectors(const _DISK_INFOMATION* geometry, _DISK_INFOMATION* image_disk) {
  if (image_disk == nullptr) return 0;
  uint64_t sum = 0;
  for (const auto& part : image_disk->parts) {
    if (!tav::disk::counts_for_min_layout(*image_disk, *part)) continue;
    sum = tav::disk::add_saturating(sum, tav_get_min_part_sectors(geometry, part.get()));
  }
  return sum;
}

int tav_match_match_disk_space(const _DISK_INFOMATION* geometry, _DISK_INFOMATION* image_disk) {
  if (geometry == nullptr || image_disk == nullptr) return 0;
  // The match layout places every used partition, one after the other; the extended partition
  // only spans its logical ones.
  uint64_t sum = 0;
  for (const auto& part : image_disk->parts) {
    if (!tav::disk::layout_part_is_used(*part) || tav::disk::part_is_extended(*part)) continue;
    sum = tav::disk::add_saturating(sum, tav_get_match_part_sectors(geometry, part.get()));
  }
  const LayoutGeometry g = layout_geometry(geometry);
  return sum <= tav::disk::round_down_to_cylinders(geometry->total_sectors, g) ? 1 : 0;
}

int tav_match_min_disk_space(_DISK_INFOMATION* dest, _DISK_INFOMATION* source) {
  if (dest == nullptr || source == nullptr) return 0;
  const uint64_t needed = tav_get_min_disk_sectors(dest, source);
  return needed <= tav::disk::round_down_to_cylinders(dest->total_sectors, layout_geometry(dest)) ? 1 : 0;
}
