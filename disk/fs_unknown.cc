// The handler of partitions whose file system is not known: every sector is in use.
#include <cerrno>
#include <cstdint>

#include "core/extent_vector.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"

namespace tav::disk {
namespace {

int unknown_probe(BACKUP_PARTITION_INFO*) { return 1; }

int unknown_prepare(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return -1;
  set_part_used_sectors(*part, part->sector_count);
  return 0;
}

// One run over the whole partition; runs hold 32-bit sector numbers, so a partition of 2^32
// sectors or more cannot be described.
IMAGE_RUN_VECTOR* unknown_used_runs(THREAD_GUI_DATA*, BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->sector_count > UINT32_MAX) {
    errno = EFBIG;
    return nullptr;
  }
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  if (v == nullptr) return nullptr;
  IMAGE_RUN run{{0, uint32_t(part->sector_count)}, RUN_TYPE_DATA, 0};
  if (part->sector_count > 0 && libtavpub_append_image_run(v, &run) == 0) {
    libtavpub_release_image_run_vector(v);
    return nullptr;
  }
  return v;
}

FLAT_RUN_VECTOR* unknown_file_runs(BACKUP_PARTITION_INFO*, const char*) {
  return libtavpub_create_empty_flat_run_vector();
}

const FILE_SYSTEM_TYPE kUnknown = {
    FS_UNKNOWN, "Unknown", unknown_probe, unknown_prepare, unknown_used_runs, unknown_file_runs,
    nullptr,    nullptr,
};

}  // namespace

const FILE_SYSTEM_TYPE* unknown_file_system() { return &kUnknown; }

}  // namespace tav::disk

void tav_file_system_unknow_init() { tav::disk::register_file_system(tav::disk::unknown_file_system()); }
