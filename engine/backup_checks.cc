// Refusals of a backup request.
#include "engine/backup_checks.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "disk/disk_list.h"

namespace tav::engine {

bool extends_storage(const BACKUP_REQUEST& request) {
  return request.backup_type != img::kBackupFull || request.storage_exists != 0;
}

Status check_backup_request(const BACKUP_REQUEST& request, const std::vector<BACKUP_PARTITION_INFO*>& parts,
                            const STORAGE_DATA* storage) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (request.dest_dir.empty() || !fs::is_directory(request.dest_dir, ec)) {
    return Status::not_found("the destination directory " + request.dest_dir + " does not exist");
  }
  if (request.base_name.empty() || request.base_name.find_first_of("/\\") != std::string::npos) {
    return Status::invalid_argument("the base name \"" + request.base_name + "\" cannot name volume files");
  }
  if (request.backup_type < img::kBackupFull || request.backup_type > img::kBackupDifferential) {
    return Status::invalid_argument("unknown backup type " + std::to_string(request.backup_type));
  }
  if (request.compress_mode > img::kCompressHigh) {
    return Status::invalid_argument("unknown compress mode " + std::to_string(request.compress_mode));
  }
  if (parts.empty()) return Status::invalid_argument("no partition is selected for the backup");
  for (const BACKUP_PARTITION_INFO* part : parts) {
    if (part->sector_count > UINT32_MAX) {
      return Status::not_supported("the partition " + std::string(tav_get_partition_dev_name(part)) + " has " +
                                   std::to_string(part->sector_count) +
                                   " sectors; a backup holds partitions of at most 4294967295 sectors");
    }
  }
  if (extends_storage(request)) {
    if (storage == nullptr || storage->snaps.empty()) {
      return Status::invalid_argument("no snapshot of " + request.base_name + " in " + request.dest_dir +
                                      " is loaded; an incremental or differential backup, or one added to an "
                                      "existing storage, continues a loaded storage");
    }
    const bool same_dir = fs::equivalent(storage->directory.empty() ? "." : storage->directory, request.dest_dir, ec);
    if (!same_dir || storage->base_name != request.base_name) {
      return Status::invalid_argument("the loaded storage is " + storage->directory + storage->base_name + ", not " +
                                      request.base_name + " in " + request.dest_dir);
    }
  }
  return Status::ok();
}

}  // namespace tav::engine
