// The ext2/ext3/ext4 handler: recognises the superblock, lists the blocks (clusters, with
// bigalloc) that the block bitmaps mark in use, maps a file's data blocks, and estimates how far
// the file system can shrink. Everything is read through libext2fs over the partition's own
// operations (disk/ext_io.h), read-only.
#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/engine_report.h"
#include "core/extent_vector.h"
#include "core/last_error.h"
#include "core/status.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/ext_io.h"
#include "disk/fs_copy.h"
#include "disk/fs_registry.h"
#include "disk/part_open.h"
#include "disk/part_record.h"

namespace tav::disk {
namespace {

// The superblock lies 1024 bytes into the file system whatever the block size; the two sectors
// in front of it (boot code on some disks) belong to the file system's image in every case.
constexpr uint64_t kSuperblockOffset = 1024;
constexpr size_t kSuperblockBytes = 1024;
constexpr uint64_t kBootSectors = kSuperblockOffset / kSectorSize;

// Superblock fields the probe checks (byte offsets in the superblock, little-endian).
constexpr size_t kSbBlocksCountLo = 0x04;   // u32
constexpr size_t kSbFirstDataBlock = 0x14;  // u32: 1 with 1 KiB blocks (no bigalloc), else 0
constexpr size_t kSbLogBlockSize = 0x18;    // u32: block size = 1024 << value
constexpr size_t kSbBlocksPerGroup = 0x20;  // u32
constexpr size_t kSbInodesPerGroup = 0x28;  // u32
constexpr size_t kSbMagic = 0x38;           // u16
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kMaxLogBlockSize = 6;  // 64 KiB blocks

// Blocks the shrink estimate keeps free in the last group besides its metadata and data.
constexpr uint64_t kLastGroupSlackBlocks = 50;

// A range of 512-byte sectors, 64-bit until it is checked against the 32-bit run tables.
struct SectorRange {
  uint64_t first;
  uint64_t count;
};

// Appends a range, merging it into the last one when it continues it.
void add_range(std::vector<SectorRange>* ranges, uint64_t first, uint64_t count) {
  if (count == 0) return;
  if (!ranges->empty() && ranges->back().first + ranges->back().count == first) {
    ranges->back().count += count;
  } else {
    ranges->push_back({first, count});
  }
}

std::string ext_error_text(errcode_t code) {
  static std::once_flag once;
  std::call_once(once, [] { initialize_ext2_error_table(); });
  const char* text = error_message(code);
  return text != nullptr ? text : "error " + std::to_string(code);
}

std::string part_label(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return "(null)";
  if (!part->dev_name.empty()) return part->dev_name;
  return "partition at sector " + std::to_string(part->first_sector);
}

// Leaves errno and the thread's last error set for a failed status; returns `result`.
template <typename T>
T fail(const Status& status, T result) {
  const int code = status.is_ok() ? EIO : status_errno(status);
  set_last_error(uint32_t(code));
  errno = code;
  return result;
}

// An open, read-only ext file system over a partition, with its checks passed.
class ExtVolume {
 public:
  explicit ExtVolume(BACKUP_PARTITION_INFO* part) : part_(part), scope_(part), binding_(part) {}
  ~ExtVolume() {
    if (fs_ != nullptr) ext2fs_close_free(&fs_);
  }
  ExtVolume(const ExtVolume&) = delete;
  ExtVolume& operator=(const ExtVolume&) = delete;

  Status open(bool with_block_bitmap);
  ext2_filsys fs() const { return fs_; }

 private:
  BACKUP_PARTITION_INFO* part_;
  PartitionReadScope scope_;
  ExtIoBinding binding_;
  ext2_filsys fs_ = nullptr;
};

Status ExtVolume::open(bool with_block_bitmap) {
  if (!scope_.ok()) return Status::io_error("cannot open " + part_label(part_) + ": " + std::strerror(errno));
  errcode_t err =
      ext2fs_open2(binding_.name().c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, ext_io_manager(), &fs_);
  if (err != 0) {
    fs_ = nullptr;
    return Status::corruption("libext2fs cannot open the file system: " + ext_error_text(err));
  }
  ext2_super_block* sb = fs_->super;
  // A read-only open does not check these flags, but a feature this library does not know may
  // change what the bitmaps mean (as bigalloc did): trusting them could drop data.
  const uint32_t unknown_ro = sb->s_feature_ro_compat & ~uint32_t(EXT2_LIB_FEATURE_RO_COMPAT_SUPP);
  if (unknown_ro != 0) {
    char text[64];
    std::snprintf(text, sizeof(text), "unsupported read-only feature flags 0x%x", unknown_ro);
    return Status::not_supported(text);
  }
  const uint64_t fs_bytes = ext2fs_blocks_count(sb) * uint64_t(fs_->blocksize);
  const uint64_t part_bytes = part_->sector_count * kSectorSize;
  if (fs_bytes > part_bytes) {
    return Status::corruption("the superblock claims " + std::to_string(ext2fs_blocks_count(sb)) + " blocks of " +
                              std::to_string(fs_->blocksize) + " bytes, the partition holds only " +
                              std::to_string(part_bytes) + " bytes");
  }
  // Blocks allocated by transactions still in the journal are not in the on-disk bitmaps yet;
  // an image made from those bitmaps would lose them when the journal is replayed.
  if (ext2fs_has_feature_journal(sb) && ext2fs_has_feature_journal_needs_recovery(sb)) {
    return Status::not_supported("the journal needs recovery, so the block bitmaps are not complete");
  }
  // libext2fs reads a bitmap whose location lies outside the file system as all free, and a
  // descriptor with a bad checksum decides whether a bitmap is read at all: either would let
  // blocks in use go missing from the image. Such descriptors make the file system unusable.
  err = ext2fs_check_desc(fs_);
  if (err != 0) return Status::corruption("the group descriptors are damaged: " + ext_error_text(err));
  if (ext2fs_has_group_desc_csum(fs_)) {
    for (dgrp_t g = 0; g < fs_->group_desc_count; ++g) {
      if (!ext2fs_group_desc_csum_verify(fs_, g)) {
        return Status::corruption("group descriptor " + std::to_string(g) + " fails its checksum");
      }
    }
  }
  if (with_block_bitmap) {
    err = ext2fs_read_block_bitmap(fs_);
    if (err != 0) return Status::corruption("cannot read the block bitmaps: " + ext_error_text(err));
  }
  return Status::ok();
}

// Sectors in use: the boot sectors, then every block (cluster) the block bitmaps mark, from
// first_data_block to the last block of the file system; sorted and merged.
Status used_sector_ranges(ext2_filsys fs, std::vector<SectorRange>* ranges) {
  ranges->clear();
  const uint64_t sectors_per_block = fs->blocksize / kSectorSize;
  const blk64_t first = fs->super->s_first_data_block;
  const blk64_t last = ext2fs_blocks_count(fs->super) - 1;
  add_range(ranges, 0, kBootSectors);
  blk64_t pos = first;
  while (pos <= last) {
    blk64_t set_at = 0;
    errcode_t err = ext2fs_find_first_set_block_bitmap2(fs->block_map, pos, last, &set_at);
    if (err == ENOENT) break;
    if (err != 0) return Status::corruption("block bitmap search failed: " + ext_error_text(err));
    blk64_t zero_at = 0;
    err = ext2fs_find_first_zero_block_bitmap2(fs->block_map, set_at, last, &zero_at);
    if (err == ENOENT) {
      zero_at = last + 1;
    } else if (err != 0) {
      return Status::corruption("block bitmap search failed: " + ext_error_text(err));
    }
    // With bigalloc a bit is a cluster; the last cluster may reach past the last block.
    zero_at = std::min<blk64_t>(zero_at, last + 1);
    if (zero_at <= set_at) return Status::corruption("block bitmap search went backwards");
    const uint64_t first_sector = set_at * sectors_per_block;
    const uint64_t count = (zero_at - set_at) * sectors_per_block;
    // The boot sectors are block 0 of file systems with 2 KiB blocks and more.
    if (first_sector < kBootSectors) {
      const uint64_t end = first_sector + count;
      ranges->back().count = std::max(ranges->back().count, end);
    } else {
      add_range(ranges, first_sector, count);
    }
    pos = zero_at;
  }
  return Status::ok();
}

uint64_t total_sectors(const std::vector<SectorRange>& ranges) {
  uint64_t total = 0;
  for (const SectorRange& r : ranges) total += r.count;
  return total;
}

// "ext4" when the file system uses features ext3 lacks, "ext3" with a journal, else "ext2".
const char* ext_kind(ext2_super_block* sb) {
  if (ext2fs_has_feature_extents(sb) || ext2fs_has_feature_flex_bg(sb) || ext2fs_has_feature_64bit(sb) ||
      ext2fs_has_feature_bigalloc(sb)) {
    return "ext4";
  }
  return ext2fs_has_feature_journal(sb) ? "ext3" : "ext2";
}

std::string ext_label(ext2_super_block* sb) {
  const char* name = reinterpret_cast<const char*>(sb->s_volume_name);
  return std::string(name, strnlen(name, sizeof(sb->s_volume_name)));
}

// Reports a failure of get_used_runs: an error through the caller's channel when there is one.
void report_used_runs_failure(THREAD_GUI_DATA* channel, const BACKUP_PARTITION_INFO* part, const Status& status) {
  TAV_TRACE(kTraceError, 0, "ext used runs of %s: %s", part_label(part).c_str(), status.message().c_str());
  if (channel == nullptr) return;
  EngineReport report = disk_report();
  report.record = channel;
  TAV_ENGINE_REPORT(report, true, kIconError, "Cannot read the ext file system on %s: %s", part_label(part).c_str(),
                    status.message().c_str());
}

// ---- probe ----

int ext_probe(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->sector_count * kSectorSize < kSuperblockOffset + kSuperblockBytes) return 0;
  PartitionReadScope scope(part);
  if (!scope.ok()) return 0;
  uint8_t sb[kSuperblockBytes];
  if (part->ops->pos_read(part, kSuperblockOffset, kSuperblockBytes, sb) != int64_t(kSuperblockBytes)) return 0;
  if (get_le16(sb + kSbMagic) != kExtMagic) return 0;
  const uint32_t log_block_size = get_le32(sb + kSbLogBlockSize);
  if (log_block_size > kMaxLogBlockSize) return 0;
  if (get_le32(sb + kSbBlocksPerGroup) == 0 || get_le32(sb + kSbInodesPerGroup) == 0) return 0;
  if (get_le32(sb + kSbFirstDataBlock) > 1) return 0;
  // The block count against the partition size is checked by prepare: a superblock that
  // claims more than the partition holds is a damaged ext file system, not some other one.
  if (get_le32(sb + kSbBlocksCountLo) == 0) return 0;
  return 1;
}

// ---- prepare ----

int ext_prepare(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return fail(Status::invalid_argument("no partition"), -1);
  try {
    ExtVolume volume(part);
    Status status = volume.open(true);
    std::vector<SectorRange> ranges;
    if (status) status = used_sector_ranges(volume.fs(), &ranges);
    if (!status) {
      TAV_TRACE(kTraceWarn, 0, "ext on %s not prepared: %s", part_label(part).c_str(), status.message().c_str());
      TAV_ENGINE_REPORT(disk_report(), false, kIconWarning,
                        "The ext file system on %s cannot be read (%s); every sector will be copied.",
                        part_label(part).c_str(), status.message().c_str());
      return fail(status, -1);
    }
    set_part_used_sectors(*part, total_sectors(ranges));
    set_rec_text(*part, pp::kFsName, 16, ext_kind(volume.fs()->super));
    set_rec_text(*part, pp::kFsLabel, 48, ext_label(volume.fs()->super));
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(Status::out_of_memory("out of memory"), -1);
  }
}

// ---- used runs ----

IMAGE_RUN_VECTOR* ext_used_runs(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return fail(Status::invalid_argument("no partition"), nullptr);
  try {
    ExtVolume volume(part);
    Status status = volume.open(true);
    std::vector<SectorRange> ranges;
    if (status) status = used_sector_ranges(volume.fs(), &ranges);
    if (status && !ranges.empty() && ranges.back().first + ranges.back().count > UINT32_MAX) {
      report_used_runs_failure(channel, part, Status::not_supported("the file system is too large for 32-bit sector runs"));
      set_last_error(EFBIG);
      errno = EFBIG;
      return nullptr;
    }
    if (!status) {
      report_used_runs_failure(channel, part, status);
      return fail(status, nullptr);
    }
    IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
    if (v == nullptr) return fail(Status::out_of_memory("out of memory"), nullptr);
    for (const SectorRange& r : ranges) {
      IMAGE_RUN run{{uint32_t(r.first), uint32_t(r.count)}, RUN_TYPE_DATA, 0};
      if (libtavpub_append_image_run(v, &run) == 0) {
        libtavpub_release_image_run_vector(v);
        return fail(Status::out_of_memory("out of memory"), nullptr);
      }
    }
    return v;
  } catch (const std::bad_alloc&) {
    return fail(Status::out_of_memory("out of memory"), nullptr);
  }
}

// ---- file runs ----

struct FileBlocks {
  uint64_t sectors_per_block;
  std::vector<SectorRange> ranges;  // in the file's logical order
};

int collect_file_block(ext2_filsys, blk64_t* block, e2_blkcnt_t, blk64_t, int, void* data) {
  auto* file = static_cast<FileBlocks*>(data);
  add_range(&file->ranges, *block * file->sectors_per_block, file->sectors_per_block);
  return 0;
}

FLAT_RUN_VECTOR* ext_file_runs(BACKUP_PARTITION_INFO* part, const char* path) {
  if (part == nullptr || path == nullptr || path[0] != '/') {
    return fail(Status::invalid_argument("a path from the root is needed"), nullptr);
  }
  try {
    ExtVolume volume(part);
    Status status = volume.open(false);
    if (!status) {
      TAV_TRACE(kTraceWarn, 0, "ext file runs of %s on %s: %s", path, part_label(part).c_str(),
                status.message().c_str());
      return fail(status, nullptr);
    }
    ext2_filsys fs = volume.fs();
    ext2_ino_t ino = 0;
    errcode_t err = ext2fs_namei(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path, &ino);
    if (err == EXT2_ET_FILE_NOT_FOUND || err == EXT2_ET_NO_DIRECTORY) return libtavpub_create_empty_flat_run_vector();
    if (err != 0) {
      Status failed = Status::corruption("cannot look up " + std::string(path) + ": " + ext_error_text(err));
      TAV_TRACE(kTraceWarn, 0, "ext file runs on %s: %s", part_label(part).c_str(), failed.message().c_str());
      return fail(failed, nullptr);
    }
    FileBlocks file{fs->blocksize / kSectorSize, {}};
    err = ext2fs_block_iterate3(fs, ino, BLOCK_FLAG_READ_ONLY | BLOCK_FLAG_DATA_ONLY, nullptr, collect_file_block,
                                &file);
    if (err != 0) {
      Status failed = Status::corruption("cannot map " + std::string(path) + ": " + ext_error_text(err));
      TAV_TRACE(kTraceWarn, 0, "ext file runs on %s: %s", part_label(part).c_str(), failed.message().c_str());
      return fail(failed, nullptr);
    }
    const uint64_t fs_sectors = ext2fs_blocks_count(fs->super) * file.sectors_per_block;
    FLAT_RUN_VECTOR* v = libtavpub_create_empty_flat_run_vector();
    if (v == nullptr) return fail(Status::out_of_memory("out of memory"), nullptr);
    for (const SectorRange& r : file.ranges) {
      if (r.first + r.count > fs_sectors || r.first + r.count > UINT32_MAX) {
        libtavpub_release_flat_run_vector(v);
        return fail(Status::corruption(std::string(path) + " maps blocks outside the file system"), nullptr);
      }
      // Flat runs hold at most 2^31 - 1 sectors each.
      for (uint64_t done = 0; done < r.count;) {
        const uint64_t piece = std::min<uint64_t>(r.count - done, kFlatRunMaxSectors);
        FLAT_RUN run{uint32_t(r.first + done), uint32_t(piece)};
        if (libtavpub_append_flat_run(v, &run) == 0) {
          libtavpub_release_flat_run_vector(v);
          return fail(Status::out_of_memory("out of memory"), nullptr);
        }
        done += piece;
      }
    }
    return v;
  } catch (const std::bad_alloc&) {
    return fail(Status::out_of_memory("out of memory"), nullptr);
  }
}

// ---- shrink estimate ----

// Blocks a group spends on metadata wherever they lie: its superblock and descriptor copies
// (reserved descriptor blocks included), its two bitmaps and its inode table.
uint64_t group_overhead_blocks(ext2_filsys fs, dgrp_t group) {
  blk64_t super_block = 0, old_desc = 0, new_desc = 0;
  blk_t used = 0;
  ext2fs_super_and_bgd_loc2(fs, group, &super_block, &old_desc, &new_desc, &used);
  return uint64_t(used) + 2 + fs->inode_blocks_per_group;
}

// The smallest size, in blocks, a resize can give the file system:
//  1. Groups are needed for every inode in use (inode tables cannot shrink), at least one.
//  2. The data blocks in use (blocks in use per the bitmaps minus every group's metadata) must
//     fit in the kept groups after their metadata. With flex_bg the packed metadata of the
//     groups up to the end of the flex group after the last kept one is counted as well, since
//     it stays where it is while the resize runs.
//  3. The kept groups are whole except the last, which holds its metadata (all of the first
//     flex group's, while it lies in that flex group), the data that does not fit before it and
//     a slack of kLastGroupSlackBlocks; the size also covers every bitmap and inode table of the
//     kept groups wherever they lie.
//  4. With extents, a margin for extent-tree growth while blocks move: a five-hundredth of the
//     blocks given up, at most one block per extent block the data could need or per inode.
// The estimate never exceeds the current size. Cluster allocation (bigalloc) is not modelled:
// such file systems report their current size.
uint64_t min_size_blocks(ext2_filsys fs) {
  ext2_super_block* sb = fs->super;
  const uint64_t blocks = ext2fs_blocks_count(sb);
  if (ext2fs_has_feature_bigalloc(sb)) return blocks;
  const uint64_t per_group = EXT2_BLOCKS_PER_GROUP(sb);
  const dgrp_t groups_total = fs->group_desc_count;
  if (per_group == 0 || groups_total == 0) return blocks;

  std::vector<uint64_t> overhead(groups_total);
  uint64_t overhead_total = 0;
  uint64_t free_inodes = 0;
  for (dgrp_t g = 0; g < groups_total; ++g) {
    overhead[g] = group_overhead_blocks(fs, g);
    overhead_total += overhead[g];
    free_inodes += ext2fs_bg_free_inodes_count(fs, g);
  }
  uint64_t used_blocks = 0;
  for (blk64_t pos = sb->s_first_data_block; pos < blocks;) {
    blk64_t set_at = 0, zero_at = 0;
    if (ext2fs_find_first_set_block_bitmap2(fs->block_map, pos, blocks - 1, &set_at) != 0) break;
    if (ext2fs_find_first_zero_block_bitmap2(fs->block_map, set_at, blocks - 1, &zero_at) != 0) zero_at = blocks;
    if (zero_at <= set_at) return blocks;
    used_blocks += zero_at - set_at;
    pos = zero_at;
  }
  const uint64_t data_needed = used_blocks > overhead_total ? used_blocks - overhead_total : 0;
  const uint64_t inodes_used_sb = uint64_t(sb->s_inodes_count) - std::min<uint64_t>(sb->s_free_inodes_count, sb->s_inodes_count);
  const uint64_t inodes_used_gd = uint64_t(sb->s_inodes_count) - std::min<uint64_t>(free_inodes, sb->s_inodes_count);
  const uint64_t inodes_used = std::max(inodes_used_sb, inodes_used_gd);

  const bool flex = ext2fs_has_feature_flex_bg(sb) && sb->s_log_groups_per_flex < 31;
  const uint64_t flex_size = flex ? uint64_t(1) << sb->s_log_groups_per_flex : 1;
  auto flex_end = [&](uint64_t kept) {
    if (!flex) return kept;
    return std::min<uint64_t>(groups_total, kept - kept % flex_size + flex_size);
  };
  auto overhead_sum = [&](uint64_t from, uint64_t to) {
    uint64_t sum = 0;
    for (uint64_t g = from; g < to && g < groups_total; ++g) sum += overhead[g];
    return sum;
  };

  uint64_t kept = std::max<uint64_t>(1, (inodes_used + sb->s_inodes_per_group - 1) / sb->s_inodes_per_group);
  for (;; ++kept) {
    if (kept > groups_total) return blocks;
    const uint64_t room = kept * per_group;
    const uint64_t metadata = overhead_sum(0, flex_end(kept));
    if (room > metadata && room - metadata >= data_needed) break;
  }

  const uint64_t last = kept - 1;
  uint64_t data_before_last = 0;
  for (uint64_t g = 0; g < last; ++g) data_before_last += per_group > overhead[g] ? per_group - overhead[g] : 0;
  const uint64_t tail_from = (flex && last < flex_size) ? 0 : last;
  uint64_t tail = overhead_sum(tail_from, flex_end(kept)) + kLastGroupSlackBlocks;
  if (data_needed > data_before_last) tail += data_needed - data_before_last;
  uint64_t size = sb->s_first_data_block + last * per_group + tail;

  for (dgrp_t g = 0; g < kept; ++g) {
    size = std::max<uint64_t>(size, ext2fs_block_bitmap_loc(fs, g) + 1);
    size = std::max<uint64_t>(size, ext2fs_inode_bitmap_loc(fs, g) + 1);
    size = std::max<uint64_t>(size, ext2fs_inode_table_loc(fs, g) + fs->inode_blocks_per_group);
  }
  if (ext2fs_has_feature_extents(sb) && size < blocks) {
    const uint64_t extents_per_block = fs->blocksize / sizeof(ext3_extent) - 1;
    const uint64_t worst = std::max<uint64_t>((data_needed + extents_per_block - 1) / extents_per_block, inodes_used);
    size += std::min<uint64_t>((blocks - size) / 500, worst);
  }
  return std::min(size, blocks);
}

int64_t ext_min_size_bytes(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return fail(Status::invalid_argument("no partition"), int64_t(-1));
  try {
    ExtVolume volume(part);
    Status status = volume.open(true);
    if (!status) {
      TAV_TRACE(kTraceWarn, 0, "ext minimum size of %s: %s", part_label(part).c_str(), status.message().c_str());
      return fail(status, int64_t(-1));
    }
    return int64_t(min_size_blocks(volume.fs()) * uint64_t(volume.fs()->blocksize));
  } catch (const std::bad_alloc&) {
    return fail(Status::out_of_memory("out of memory"), int64_t(-1));
  }
}

const FILE_SYSTEM_TYPE kExt = {
    FS_EXT, "EXT", ext_probe, ext_prepare, ext_used_runs, ext_file_runs, ext_min_size_bytes, tav_fs_copy_used,
};

}  // namespace
}  // namespace tav::disk

void tav_file_system_ext_init() { tav::disk::register_file_system(&tav::disk::kExt); }
