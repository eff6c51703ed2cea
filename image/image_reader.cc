// The partition operations of image partitions: reads go to the snapshot sector reader (the
// partition is reopened when another one was opened since); writes change nothing and fail.
#include "image/image_reader.h"

#include <cerrno>

#include "core/last_error.h"
#include "core/trace.h"
#include "image/reader_internal.h"

namespace {

void fail_with(int code) {
  tav::set_last_error(uint32_t(code));
  errno = code;
}

// Opens `part` for reading unless it is the partition the storage has open.
bool ensure_open(BACKUP_PARTITION_INFO* part) {
  const STORAGE_DATA* storage = tav::img::storage_of(part);
  if (storage != nullptr && storage->open_part == part) return true;
  return tav_start_read_part(part) == 0;
}

int64_t image_part_pos_read(BACKUP_PARTITION_INFO* part, uint64_t byte_offset, uint32_t bytes, void* buffer) {
  if (!ensure_open(part)) return -1;
  return tav_image_read(part, byte_offset, bytes, buffer);
}

int64_t image_part_pos_write(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) {
  TAV_TRACE(tav::kTraceInfo, 0, "do nothing");
  fail_with(EROFS);
  return -1;
}

int64_t image_part_read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first_sector, uint32_t count, void* buffer) {
  if (!ensure_open(part)) return -1;
  return tav_image_read_sectors(part, first_sector, count, buffer);
}

int64_t image_part_write_sectors(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) {
  TAV_TRACE(tav::kTraceInfo, 0, "do nothing");
  fail_with(EROFS);
  return -1;
}

int image_part_finish(BACKUP_PARTITION_INFO*) { return 0; }

int image_part_open(BACKUP_PARTITION_INFO* part, int mode) {
  if (part == nullptr) {
    fail_with(EINVAL);
    return -1;
  }
  if (mode == tav::disk::kOpenWrite) {
    TAV_TRACE(tav::kTraceWarn, 0, "image partitions are read-only");
    fail_with(EROFS);
    return -1;
  }
  if (mode != tav::disk::kOpenRead) {
    fail_with(EINVAL);
    return -1;
  }
  if (tav_start_read_part(part) < 0) return -1;
  part->open_mode = mode;
  return 0;
}

int image_part_close(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return 0;
  tav_end_read_part(part);
  part->open_mode = -1;
  return 0;
}

const PART_OPERATIONS kImagePartOps = {image_part_pos_read,     image_part_pos_write, image_part_read_sectors,
                                       image_part_write_sectors, image_part_finish,    image_part_open,
                                       image_part_close};

}  // namespace

const PART_OPERATIONS* libtavimg_image_part_operations() { return &kImagePartOps; }
