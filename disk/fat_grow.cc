// Growing a FAT volume in place: plan the new layout, move the data area forward, rewrite the
// FATs at their new places and patch the boot sector last. The boot sector and FSInfo layouts are
// in fat_boot_sector.h.
#include "disk/fat_grow.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/trace.h"
#include "disk/fat_boot_sector.h"
#include "disk/fat_reader.h"
#include "disk/mount_table.h"

namespace tav::disk {
namespace {

using fat::ClusterRun;
using fat::FatKind;
using fat::Geometry;
namespace boot = fat::boot_layout;
namespace fsinfo = fat::fsinfo_layout;

// Sectors moved or written at a time (4 MiB).
constexpr uint32_t kChunkSectors = 8192;

// Most data clusters a volume of the type may have.
uint64_t type_max_clusters(FatKind kind) {
  switch (kind) {
    case FatKind::kFat12: return fat::kMinFat16Clusters - 1;
    case FatKind::kFat16: return fat::kMinFat32Clusters - 1;
    case FatKind::kFat32: break;
  }
  return 0x0FFFFFF5;
}

// Sectors of one FAT that hold the entries of `clusters` data clusters and the two reserved
// entries before them.
uint64_t fat_sectors_for(FatKind kind, uint64_t clusters) {
  const uint64_t bits = (clusters + 2) * fat::bits_per_entry(kind);
  const uint64_t sector_bits = uint64_t{kSectorSize} * 8;
  return (bits + sector_bits - 1) / sector_bits;
}

// Data clusters a FAT of `sectors` can describe.
uint64_t fat_capacity(FatKind kind, uint64_t sectors) {
  const uint64_t entries = sectors * kSectorSize * 8 / fat::bits_per_entry(kind);
  return entries > 2 ? entries - 2 : 0;
}

// The layout a grown volume gets.
struct Layout {
  uint64_t total_sectors = 0;
  uint64_t fat_sectors = 0;
  uint64_t clusters = 0;
};

uint64_t metadata_sectors(const Geometry& g, uint64_t fat_sectors) {
  return g.reserved_sectors + g.fat_count * fat_sectors + g.root_dir_sectors;
}

// Data clusters a volume of `total` sectors holds with FATs of `fat_sectors` sectors.
uint64_t clusters_in(const Geometry& g, uint64_t total, uint64_t fat_sectors) {
  const uint64_t meta = metadata_sectors(g, fat_sectors);
  return total > meta ? (total - meta) / g.sectors_per_cluster : 0;
}

// The layout for a volume of at most `limit` sectors: the clusters it can hold within its type,
// with the smallest FAT (not smaller than now) that describes them; or, when growing the FATs
// would cost more clusters than it gains, the present FAT size filled to its capacity.
Layout plan_layout(const Geometry& g, uint64_t limit) {
  const uint64_t type_max = type_max_clusters(g.kind);
  auto wanted = [&](uint64_t fat_sectors) { return std::min(clusters_in(g, limit, fat_sectors), type_max); };
  auto covers = [&](uint64_t fat_sectors) { return fat_sectors_for(g.kind, wanted(fat_sectors)) <= fat_sectors; };

  // `covers` turns true at some size and stays true above it (larger FATs leave fewer clusters
  // to describe); the size the present FAT's clusters need is such a size. The smallest one is
  // the fixed point searched for.
  uint64_t low = g.fat_sectors;
  uint64_t high = std::max<uint64_t>(low, fat_sectors_for(g.kind, wanted(low)));
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (covers(mid)) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  Layout grown{0, high, wanted(high)};
  Layout kept{0, g.fat_sectors,
              std::min(wanted(g.fat_sectors), fat_capacity(g.kind, g.fat_sectors))};
  Layout best = grown.clusters > kept.clusters ? grown : kept;
  // A volume whose clusters fill the space keeps the sectors past its last cluster, as a
  // freshly made one does; one held back by its type or its FAT ends after its last cluster.
  best.total_sectors = best.clusters == clusters_in(g, limit, best.fat_sectors)
                           ? limit
                           : metadata_sectors(g, best.fat_sectors) + best.clusters * g.sectors_per_cluster;
  return best;
}

// Zeroes the FAT bits from `first_bit` to the end of `bytes` (entries are little-endian bit
// fields: entry n holds bits [n * width, (n + 1) * width), for FAT12 too).
void clear_bits_from(uint8_t* bytes, size_t size, uint64_t first_bit) {
  size_t byte = size_t(first_bit / 8);
  if (byte >= size) return;
  if (first_bit % 8 != 0) {
    bytes[byte] &= uint8_t((1u << (first_bit % 8)) - 1);
    ++byte;
  }
  std::memset(bytes + byte, 0, size - byte);
}

bool is_fsinfo(const uint8_t* s) {
  return get_le32(s + fsinfo::kLeadSignature) == fsinfo::kLeadSignatureValue &&
         get_le32(s + fsinfo::kStructSignature) == fsinfo::kStructSignatureValue && fat::has_boot_signature(s);
}

// Writes the new total and FAT size into a boot sector.
void patch_boot_sector(uint8_t* b, FatKind kind, const Layout& layout) {
  const bool used_16bit_total = get_le16(b + boot::kTotalSectors16) != 0;
  if (used_16bit_total && layout.total_sectors <= UINT16_MAX) {
    put_le16(b + boot::kTotalSectors16, uint16_t(layout.total_sectors));
  } else {
    put_le16(b + boot::kTotalSectors16, 0);
    put_le32(b + boot::kTotalSectors32, uint32_t(layout.total_sectors));
  }
  if (kind == FatKind::kFat32) {
    put_le32(b + boot::kFat32FatSize, uint32_t(layout.fat_sectors));
  } else {
    put_le16(b + boot::kFatSize16, uint16_t(layout.fat_sectors));
  }
}

// Opens a partition for writing unless it is open for writing already; when the scope ends it
// closes what it opened and reopens for reading a partition it found open for reading.
class WriteOpenScope {
 public:
  explicit WriteOpenScope(BACKUP_PARTITION_INFO* part) : part_(part) {
    if (part->open_mode == kOpenWrite) return;
    was_open_for_reading_ = part->open_mode == kOpenRead || part->fd >= 0;
    errno = 0;
    if (part->ops->open(part, kOpenWrite) < 0) {
      status_ = Status::io_error(std::string("cannot open it for writing: ") + std::strerror(errno != 0 ? errno : EIO));
      return;
    }
    opened_ = true;
  }
  ~WriteOpenScope() {
    if (!opened_) return;
    const int saved = errno;
    if (part_->ops->close != nullptr) part_->ops->close(part_);
    if (was_open_for_reading_) part_->ops->open(part_, kOpenRead);
    errno = saved;
  }
  WriteOpenScope(const WriteOpenScope&) = delete;
  WriteOpenScope& operator=(const WriteOpenScope&) = delete;

  const Status& status() const { return status_; }

 private:
  BACKUP_PARTITION_INFO* part_;
  bool opened_ = false;
  bool was_open_for_reading_ = false;
  Status status_;
};

class FatGrow {
 public:
  FatGrow(BACKUP_PARTITION_INFO* part, std::string name) : part_(part), name_(std::move(name)) {}

  Status run();

 private:
  Status read(uint64_t first, uint32_t count, uint8_t* buffer);
  Status write(uint64_t first, uint32_t count, const uint8_t* buffer);
  Status flush();
  Status read_fat32_extras();
  Status move_data_area(const std::vector<ClusterRun>& runs, uint64_t shift);
  Status move_range(uint64_t first, uint64_t count, uint64_t shift);
  Status write_fats();
  Status write_boot_sectors();
  // Marks a failure after the boot sector was zeroed: the volume is no longer usable.
  Status broken(const Status& st) const {
    return st.with_prefix("The FAT file system on " + name_ + " could not be grown and is no longer usable: ");
  }

  BACKUP_PARTITION_INFO* part_;
  std::string name_;
  Geometry geo_;
  Layout layout_;
  std::vector<uint8_t> boot_;           // the boot sector as read
  std::vector<uint8_t> backup_boot_;    // FAT32 backup boot sector; empty when there is none
  std::vector<uint8_t> fsinfo_;         // FAT32 FSInfo; empty when there is none
  std::vector<uint8_t> backup_fsinfo_;  // its backup; empty when there is none
  uint32_t backup_boot_sector_ = 0;
  uint32_t fsinfo_sector_ = 0;
  std::vector<uint8_t> buffer_;
};

Status FatGrow::read(uint64_t first, uint32_t count, uint8_t* buffer) {
  errno = 0;
  if (part_->ops->read_sectors(part_, first, count, buffer) == int64_t{count}) return Status::ok();
  return Status::io_error("reading " + std::to_string(count) + " sectors at " + std::to_string(first) + " of " +
                          name_ + " failed: " + std::strerror(errno != 0 ? errno : EIO));
}

Status FatGrow::write(uint64_t first, uint32_t count, const uint8_t* buffer) {
  errno = 0;
  if (part_->ops->write_sectors(part_, first, count, buffer) == int64_t{count}) return Status::ok();
  return Status::io_error("writing " + std::to_string(count) + " sectors at " + std::to_string(first) + " of " +
                          name_ + " failed: " + std::strerror(errno != 0 ? errno : EIO));
}

Status FatGrow::flush() {
  errno = 0;
  if (part_->ops->finish == nullptr || part_->ops->finish(part_) == 0) return Status::ok();
  return Status::io_error("flushing " + name_ + " failed: " + std::strerror(errno != 0 ? errno : EIO));
}

// The FAT32 backup boot sector and the FSInfo sectors, when the volume has them.
Status FatGrow::read_fat32_extras() {
  const uint8_t* b = boot_.data();
  const uint32_t flags = get_le16(b + boot::kFat32Flags);
  if ((flags & 0x80) != 0 && (flags & 0x0F) != 0) {
    return Status::not_supported("The FAT file system on " + name_ + " keeps its size: its FATs are not mirrored " +
                                 "and copy " + std::to_string(flags & 0x0F) + " is the active one.");
  }
  const uint32_t reserved = geo_.reserved_sectors;
  backup_boot_sector_ = get_le16(b + boot::kFat32BackupBootSector);
  fsinfo_sector_ = get_le16(b + boot::kFat32FsInfoSector);
  if (backup_boot_sector_ == 0 || backup_boot_sector_ >= reserved) backup_boot_sector_ = 0;
  if (fsinfo_sector_ == 0 || fsinfo_sector_ >= reserved) fsinfo_sector_ = 0;
  if (backup_boot_sector_ != 0) {
    backup_boot_.resize(kSectorSize);
    if (Status st = read(backup_boot_sector_, 1, backup_boot_.data()); !st) return st;
    Geometry backup_geo;
    if (!fat::decode_boot_sector(backup_boot_, &backup_geo)) {
      // Not a usable copy: it becomes one of the patched boot sector.
      TAV_TRACE(kTraceWarn, 0, "%s: the backup boot sector at %u is not valid; it is rewritten", name_.c_str(),
                backup_boot_sector_);
      backup_boot_ = boot_;
    }
  }
  if (fsinfo_sector_ != 0) {
    fsinfo_.resize(kSectorSize);
    if (Status st = read(fsinfo_sector_, 1, fsinfo_.data()); !st) return st;
    if (!is_fsinfo(fsinfo_.data())) fsinfo_.clear();
    if (backup_boot_sector_ != 0 && backup_boot_sector_ + fsinfo_sector_ < reserved) {
      backup_fsinfo_.resize(kSectorSize);
      if (Status st = read(backup_boot_sector_ + fsinfo_sector_, 1, backup_fsinfo_.data()); !st) return st;
      if (!is_fsinfo(backup_fsinfo_.data())) backup_fsinfo_.clear();
    }
  }
  return Status::ok();
}

// Moves [first, first + count) to first + shift, from its end down: a write lands only on
// sectors already read or above the range.
Status FatGrow::move_range(uint64_t first, uint64_t count, uint64_t shift) {
  uint64_t end = first + count;
  while (end > first) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kChunkSectors, end - first));
    end -= n;
    if (Status st = read(end, n, buffer_.data()); !st) return st;
    if (Status st = write(end + shift, n, buffer_.data()); !st) return st;
  }
  return Status::ok();
}

// Moves every used cluster, then the fixed root directory below them, by `shift` sectors,
// from the highest address down.
Status FatGrow::move_data_area(const std::vector<ClusterRun>& runs, uint64_t shift) {
  const uint64_t per_cluster = geo_.sectors512_per_cluster();
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    if (Status st = move_range(geo_.cluster_sector512(it->first_cluster), it->count * per_cluster, shift); !st) {
      return st;
    }
  }
  if (geo_.root_dir_sectors == 0) return Status::ok();
  return move_range(geo_.root_dir_first_sector(), geo_.root_dir_sectors, shift);
}

// Writes each FAT copy at its new place, from the last copy to the first: the entries of the
// first FAT as it was (copy 0 is the source; copies 1 and up never overlap its old sectors,
// since no FAT shrinks), entries past the old clusters cleared, then zeros for the new clusters.
Status FatGrow::write_fats() {
  const uint64_t entry_sectors = fat_sectors_for(geo_.kind, geo_.cluster_count);
  const uint64_t first_free_bit = (uint64_t{geo_.cluster_count} + 2) * fat::bits_per_entry(geo_.kind);
  const uint64_t reserved = geo_.reserved_sectors;
  for (uint32_t copy = geo_.fat_count; copy-- > 0;) {
    const uint64_t base = reserved + copy * layout_.fat_sectors;
    for (uint64_t s = 0; s < entry_sectors;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(kChunkSectors, entry_sectors - s));
      if (Status st = read(reserved + s, n, buffer_.data()); !st) return st;
      if (s + n == entry_sectors) {
        clear_bits_from(buffer_.data(), size_t(n) * kSectorSize, first_free_bit - s * kSectorSize * 8);
      }
      if (Status st = write(base + s, n, buffer_.data()); !st) return st;
      s += n;
    }
    std::fill(buffer_.begin(), buffer_.end(), uint8_t{0});
    for (uint64_t s = entry_sectors; s < layout_.fat_sectors;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(kChunkSectors, layout_.fat_sectors - s));
      if (Status st = write(base + s, n, buffer_.data()); !st) return st;
      s += n;
    }
  }
  return Status::ok();
}

// FSInfo (free count and hint unknown: the next check counts them), the backup boot sector and
// last the boot sector, each step flushed.
Status FatGrow::write_boot_sectors() {
  for (std::vector<uint8_t>* info : {&fsinfo_, &backup_fsinfo_}) {
    if (info->empty()) continue;
    put_le32(info->data() + fsinfo::kFreeCount, fsinfo::kUnknown);
    put_le32(info->data() + fsinfo::kNextFree, fsinfo::kUnknown);
  }
  if (!fsinfo_.empty()) {
    if (Status st = write(fsinfo_sector_, 1, fsinfo_.data()); !st) return st;
  }
  if (!backup_fsinfo_.empty()) {
    if (Status st = write(backup_boot_sector_ + fsinfo_sector_, 1, backup_fsinfo_.data()); !st) return st;
  }
  if (Status st = flush(); !st) return st;
  patch_boot_sector(boot_.data(), geo_.kind, layout_);
  if (!backup_boot_.empty()) {
    patch_boot_sector(backup_boot_.data(), geo_.kind, layout_);
    if (Status st = write(backup_boot_sector_, 1, backup_boot_.data()); !st) return st;
    if (Status st = flush(); !st) return st;
  }
  if (Status st = write(0, 1, boot_.data()); !st) return st;
  return flush();
}

Status FatGrow::run() {
  boot_.resize(kSectorSize);
  if (Status st = read(0, 1, boot_.data()); !st) return st;
  if (Status st = fat::decode_boot_sector(boot_, &geo_); !st) {
    return st.with_prefix("no FAT file system on " + name_ + " to grow: ");
  }
  if (geo_.bytes_per_sector != kSectorSize) {
    return Status::not_supported("The FAT file system on " + name_ + " keeps its size: it has " +
                                 std::to_string(geo_.bytes_per_sector) +
                                 "-byte sectors, and only volumes with 512-byte sectors can be grown.");
  }
  std::unique_ptr<fat::Volume> volume;
  if (Status st = fat::Volume::open(part_, &volume); !st) return st.with_prefix(name_ + ": ");
  if (geo_.kind == FatKind::kFat32) {
    if (Status st = read_fat32_extras(); !st) return st;
  }

  const uint64_t limit = std::min<uint64_t>(part_->sector_count, UINT32_MAX);
  layout_ = plan_layout(geo_, limit);
  if (layout_.total_sectors <= geo_.total_sectors) {
    TAV_TRACE(kTraceInfo, 0, "the %s file system on %s cannot grow (%" PRIu64 " clusters of %" PRIu64
              " allowed); it keeps %" PRIu64 " of %" PRIu64 " sectors",
              fat::kind_name(geo_.kind), name_.c_str(), uint64_t{geo_.cluster_count}, type_max_clusters(geo_.kind),
              geo_.total_sectors, part_->sector_count);
    return Status::ok();
  }
  if (layout_.total_sectors < part_->sector_count) {
    TAV_TRACE(kTraceInfo, 0, "%s allows %" PRIu64 " clusters here: the volume on %s grows to %" PRIu64
              " of the partition's %" PRIu64 " sectors",
              fat::kind_name(geo_.kind), layout_.clusters, name_.c_str(), layout_.total_sectors,
              part_->sector_count);
  }

  // Which clusters hold data, read (and the FAT checked) before anything is written.
  std::vector<ClusterRun> runs;
  uint64_t used_clusters = 0;
  uint32_t last_used = 0;
  Status st = volume->scan_used_clusters(
      [&runs](const ClusterRun& run) {
        runs.push_back(run);
        return Status::ok();
      },
      &used_clusters, &last_used);
  if (!st) return st.with_prefix(name_ + ": ");
  volume.reset();
  buffer_.resize(size_t(kChunkSectors) * kSectorSize);

  const uint64_t shift = (layout_.fat_sectors - geo_.fat_sectors) * geo_.fat_count;
  TAV_TRACE(kTraceInfo, 0, "growing the %s file system on %s: %" PRIu64 " -> %" PRIu64 " sectors, %u -> %" PRIu64
            " clusters, FAT %u -> %" PRIu64 " sectors; %" PRIu64 " used clusters move by %" PRIu64 " sectors",
            fat::kind_name(geo_.kind), name_.c_str(), geo_.total_sectors, layout_.total_sectors, geo_.cluster_count,
            layout_.clusters, geo_.fat_sectors, layout_.fat_sectors, used_clusters, shift);

  // From here on the volume is unusable until its boot sector is written again.
  const std::vector<uint8_t> zeros(kSectorSize, 0);
  if (st = write(0, 1, zeros.data()); !st) return st;
  if (backup_boot_sector_ != 0) {
    if (st = write(backup_boot_sector_, 1, zeros.data()); !st) return broken(st);
  }
  if (st = flush(); !st) return broken(st);
  if (shift > 0) {
    if (st = move_data_area(runs, shift); !st) return broken(st);
  }
  if (st = write_fats(); !st) return broken(st);
  if (st = write_boot_sectors(); !st) return broken(st);
  TAV_TRACE(kTraceInfo, 0, "grown: the %s file system on %s now has %" PRIu64 " sectors", fat::kind_name(geo_.kind),
            name_.c_str(), layout_.total_sectors);
  return Status::ok();
}

}  // namespace

Status grow_fat(BACKUP_PARTITION_INFO* dest) {
  if (dest == nullptr || dest->ops == nullptr || dest->ops->open == nullptr || dest->ops->read_sectors == nullptr ||
      dest->ops->write_sectors == nullptr) {
    return Status::invalid_argument("no writable partition to grow");
  }
  std::string name = dest->dev_name;
  if (name.empty() && dest->disk != nullptr) name = dest->disk->path + "@" + std::to_string(dest->first_sector);
  if (name.empty()) name = "the partition";
  if (!dest->is_image && dest->disk != nullptr) {
    const std::vector<MountEntry> mounts = partition_mounts(dest);
    if (!mounts.empty()) {
      return Status::invalid_argument("The FAT file system on " + name + " is mounted at " +
                                      mounts.front().mount_point + "; it is not grown.");
    }
  }
  try {
    WriteOpenScope scope(dest);
    if (!scope.status()) return scope.status().with_prefix(name + ": ");
    return FatGrow(dest, name).run();
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory("out of memory while growing the FAT file system on " + name);
  }
}

}  // namespace tav::disk
