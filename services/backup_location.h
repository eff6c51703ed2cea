// The backup location: where a backup writes and what it writes there. The storage directory as
// far as it exists, creating it (and removing again what a run created and did not use), the
// partition whose file system holds it, whether it already holds a storage, the kind of snapshot
// that follows from that, and the volume size limits. Application services (TavPub2), shared by
// the command line and the programs with windows.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"

struct BACKUP_PARTITION_INFO;
struct _DISK_INFOMATION;

namespace tav::services {

// Smallest volume size a backup accepts (a disk with saved boot sectors needs more: they are
// stored twice in every volume, see smallest_volume_bytes).
constexpr uint64_t kMinVolumeSizeBytes = uint64_t{1} << 20;

// Largest file a FAT file system holds: the volume limit when the storage directory lies on one.
constexpr uint64_t kFatVolumeLimitBytes = (uint64_t{4} << 30) - 1;

// The least volume size that holds the descriptor areas of `disk` and a unit, in whole MiB (at
// least kMinVolumeSizeBytes): every volume carries the disk's saved boot sectors and records
// twice, in its descriptor areas at both ends, then at least one compress unit.
uint64_t smallest_volume_bytes(const _DISK_INFOMATION& disk);

// The volume limit of a run: `requested_bytes` when nonzero, else kFatVolumeLimitBytes when
// `existing_dir` (an existing directory at or above the storage directory) lies on a FAT file
// system, else 0 (no limit).
uint64_t volume_limit_bytes(uint64_t requested_bytes, const std::string& existing_dir);

// The kind of the new snapshot (tav::img::BackupType): `requested` when nonzero, else full when
// `dir` holds no storage of `base` yet and incremental when it does. invalid_argument for an
// incremental or differential snapshot without a storage to extend.
Status choose_backup_kind(uint32_t requested, bool storage_exists, const std::string& dir, const std::string& base,
                          uint32_t* kind);

// `path` without trailing slashes ("/" stays).
std::string without_trailing_slashes(std::string path);

// The nearest existing directory at or above `dir` (which may not exist yet), in *ancestor with
// its stat in *st. invalid_argument when a part of the path exists and is not a directory;
// io_error when a part cannot be looked at.
Status existing_ancestor(const std::string& dir, std::string* ancestor, struct stat* st);

// The directories a run creates for its storage. They are removed again, the deepest first and
// only while empty, when the object goes, unless the run added its snapshot (keep()).
class CreatedDirectories {
 public:
  CreatedDirectories() = default;
  CreatedDirectories(const CreatedDirectories&) = delete;
  CreatedDirectories& operator=(const CreatedDirectories&) = delete;
  ~CreatedDirectories();

  // Creates `dir` and its missing parents with mode 0700, remembering the ones made (also when a
  // later one fails).
  Status create(const std::string& dir);
  void keep() { keep_ = true; }

 private:
  std::vector<std::string> created_;  // parents first
  bool keep_ = false;
};

// The partition of `selected` whose mounted file system holds the directory with device
// `dir_dev` (its mount point in *mount_point), or null.
const BACKUP_PARTITION_INFO* partition_holding(const std::vector<BACKUP_PARTITION_INFO*>& selected, dev_t dir_dev,
                                              std::string* mount_point);

// Whether `dir` holds a volume file of `base`: a name the catalogue would load as one.
Status has_volumes(const std::string& dir, const std::string& base, bool* found);

}  // namespace tav::services
