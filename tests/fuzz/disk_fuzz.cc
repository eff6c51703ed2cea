// Fuzz target: any bytes as a disk image. The partition table reader and the FAT reader either
// describe it or refuse it; they never crash, hang or write. The disk and its partitions are
// served from memory by operation tables whose write entries abort.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/extent_vector.h"
#include "disk/disk.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "disk/part_table.h"

namespace {

std::vector<uint8_t> g_image;  // the disk, a whole number of sectors

bool in_image(uint64_t offset, uint64_t bytes) {
  return offset <= g_image.size() && bytes <= g_image.size() - offset;
}

int disk_open(_DISK_INFOMATION* disk, int mode) {
  if (mode != tav::disk::kOpenRead) abort();  // readers never ask to write
  disk->open_mode = mode;
  disk->fd = 0;
  return 0;
}
int64_t disk_read(_DISK_INFOMATION*, uint64_t first, uint32_t count, void* buffer) {
  const uint64_t offset = first * tav::kSectorSize, bytes = uint64_t(count) * tav::kSectorSize;
  if (first > UINT64_MAX / tav::kSectorSize || !in_image(offset, bytes)) return -1;
  std::memcpy(buffer, g_image.data() + offset, bytes);
  return count;
}
int64_t disk_write(_DISK_INFOMATION*, uint64_t, uint32_t, const void*) { abort(); }
int disk_flush(_DISK_INFOMATION*) { return 0; }
int disk_close(_DISK_INFOMATION* disk) {
  disk->open_mode = -1;
  disk->fd = -1;
  return 0;
}
const DISK_OPERATIONS kDiskOps = {disk_open, disk_read, disk_write, disk_flush, disk_close};

int64_t part_pos_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, void* buffer) {
  const uint64_t limit = part->sector_count * tav::kSectorSize;
  if (offset > limit || bytes > limit - offset) return -1;
  const uint64_t at = part->first_sector * tav::kSectorSize + offset;
  if (!in_image(at, bytes)) return -1;
  std::memcpy(buffer, g_image.data() + at, bytes);
  return bytes;
}
int64_t part_pos_write(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) { abort(); }
int64_t part_read(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
  if (first > UINT32_MAX || count > 65536) return -1;
  return part_pos_read(part, first * tav::kSectorSize, count * tav::kSectorSize, buffer) < 0 ? -1
                                                                                                        : count;
}
int64_t part_write(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) { abort(); }
int part_finish(BACKUP_PARTITION_INFO*) { return 0; }
int part_open(BACKUP_PARTITION_INFO* part, int mode) {
  if (mode != tav::disk::kOpenRead) abort();
  part->open_mode = mode;
  return 0;
}
int part_close(BACKUP_PARTITION_INFO* part) {
  part->open_mode = -1;
  return 0;
}
const PART_OPERATIONS kPartOps = {part_pos_read, part_pos_write, part_read, part_write,
                                  part_finish,   part_open,      part_close};

// Everything a backup asks of a FAT handler.
void exercise_fat(BACKUP_PARTITION_INFO* part) {
  for (uint32_t code : {tav::disk::FS_FAT16, tav::disk::FS_FAT32}) {
    const FILE_SYSTEM_TYPE* fs = tav::disk::file_system_by_code(code);
    if (fs == nullptr || !fs->probe(part)) continue;
    if (fs->prepare(part) != 0) continue;
    if (IMAGE_RUN_VECTOR* runs = fs->get_used_runs(nullptr, part)) libtavpub_release_image_run_vector(runs);
    for (const char* path : {"/pagefile.sys", "/a/b.txt"}) {
      if (FLAT_RUN_VECTOR* runs = fs->get_file_runs(part, path)) libtavpub_release_flat_run_vector(runs);
    }
    (void)fs->min_size_bytes(part);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tav_init_disk();
  // At least the first two sectors; pad to whole sectors.
  const size_t sectors = std::max<size_t>(2, (size + tav::kSectorSize - 1) / tav::kSectorSize);
  g_image.assign(sectors * tav::kSectorSize, 0);
  std::memcpy(g_image.data(), data, size);

  _DISK_INFOMATION disk;
  disk.path = "fuzz.img";
  disk.name = "fuzz.img";
  disk.total_sectors = sectors;
  disk.heads = 255;
  disk.sectors_per_track = 63;
  disk.sectors_per_cylinder = 255 * 63;
  disk.ops = &kDiskOps;
  (void)tav::disk::read_partition_table(&disk);
  for (auto& part : disk.parts) {
    part->ops = &kPartOps;
    part->dev_path.clear();
    exercise_fat(part.get());
  }

  // The whole image as one partition too, so the FAT reader sees every input.
  BACKUP_PARTITION_INFO whole;
  tav::disk::init_part_record(whole);
  whole.disk = &disk;
  tav::disk::set_part_extent(whole, 0, sectors);
  whole.ops = &kPartOps;
  exercise_fat(&whole);
  return 0;
}
