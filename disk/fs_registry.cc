// Registry of file-system handlers.
#include "disk/fs_registry.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "disk/part_record.h"

namespace tav::disk {
namespace {

std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}

std::vector<const FILE_SYSTEM_TYPE*>& registry() {
  static std::vector<const FILE_SYSTEM_TYPE*> handlers;
  return handlers;
}

uint32_t code_for_type_byte(uint8_t type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0E: case 0x11: case 0x14: case 0x16: case 0x1E:
      return FS_FAT16;
    case 0x0B: case 0x0C: case 0x1B: case 0x1C: case 0xEF:
      return FS_FAT32;
    case 0x07: case 0x17: case 0x27:
      return FS_NTFS;
    case 0x83:
      return FS_EXT;
    default:
      return FS_UNKNOWN;
  }
}

}  // namespace

void register_file_system(const FILE_SYSTEM_TYPE* handler) {
  if (handler == nullptr) return;
  std::lock_guard<std::mutex> lock(registry_mutex());
  auto& handlers = registry();
  if (std::find(handlers.begin(), handlers.end(), handler) == handlers.end()) handlers.push_back(handler);
}

const FILE_SYSTEM_TYPE* file_system_by_code(uint32_t type_code) {
  std::lock_guard<std::mutex> lock(registry_mutex());
  for (const FILE_SYSTEM_TYPE* h : registry()) {
    if (h->type_code == type_code) return h;
  }
  return nullptr;
}

const FILE_SYSTEM_TYPE* probe_file_system(BACKUP_PARTITION_INFO* part) {
  std::vector<const FILE_SYSTEM_TYPE*> handlers;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    handlers = registry();
  }
  for (const FILE_SYSTEM_TYPE* h : handlers) {
    if (h->type_code != FS_UNKNOWN && h->probe != nullptr && h->probe(part) != 0) return h;
  }
  return nullptr;
}

int attach_file_system(BACKUP_PARTITION_INFO* part) {
  tav_init_disk();
  if (part_is_extended(*part)) {  // a container of logical partitions holds no data of its own
    part->fs = nullptr;
    part->ops_fs = unknown_file_system();
    set_part_used_sectors(*part, 0);
    set_rec_u32(*part, pp::kFsTypeCode, FS_UNKNOWN);
    return 0;
  }
  const FILE_SYSTEM_TYPE* found = probe_file_system(part);
  if (found != nullptr && found->prepare != nullptr && found->prepare(part) != 0) found = nullptr;
  part->fs = found;
  part->ops_fs = found != nullptr ? found : unknown_file_system();
  if (found == nullptr) part->ops_fs->prepare(part);
  set_rec_u32(*part, pp::kFsTypeCode, part->ops_fs->type_code);
  return 0;
}

}  // namespace tav::disk

int tav_init_disk() {
  static std::once_flag once;
  std::call_once(once, [] {
    tav_file_system_ntfs_init();
    tav_file_system_fat32_init();
    tav_file_system_fat16_init();
    tav_file_system_ext_init();
    tav_file_system_unknow_init();
  });
  return 0;
}

const FILE_SYSTEM_TYPE* libtavdisk_file_system_type_get(uint8_t type) {
  tav_init_disk();
  const FILE_SYSTEM_TYPE* h = tav::disk::file_system_by_code(tav::disk::code_for_type_byte(type));
  return h != nullptr ? h : tav::disk::unknown_file_system();
}
