// The backup location: walking up to what exists, creating what does not (and removing it
// again), the mounts that hold it, the volume files already in it, and the sizes and kind of
// snapshot that follow.
#include "services/backup_location.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/ego_format.h"
#include "format/image_name.h"
#include "disk/disk.h"
#include "disk/mount_table.h"

namespace tav::services {

uint64_t smallest_volume_bytes(const _DISK_INFOMATION& disk) {
  constexpr uint64_t kRecordsRoomBytes = 64 * 1024;
  const uint64_t bytes = 2 * (disk.mbr.size() + kRecordsRoomBytes) + 2 * uint64_t{img::kMaxStoredUnitBytes};
  const uint64_t mib = uint64_t{1} << 20;
  return std::max(kMinVolumeSizeBytes, (bytes + mib - 1) / mib * mib);
}

uint64_t volume_limit_bytes(uint64_t requested_bytes, const std::string& existing_dir) {
  if (requested_bytes != 0) return requested_bytes;
  struct statfs fs {};
  if (::statfs(existing_dir.c_str(), &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC) return kFatVolumeLimitBytes;
  return 0;
}

Status choose_backup_kind(uint32_t requested, bool storage_exists, const std::string& dir, const std::string& base,
                          uint32_t* kind) {
  *kind = requested != 0 ? requested : storage_exists ? img::kBackupIncremental : img::kBackupFull;
  if (*kind != img::kBackupFull && !storage_exists) {
    return Status::invalid_argument(std::string("an incremental or differential snapshot extends a storage, and ") +
                                    dir + " holds no snapshot of \"" + base + "\"");
  }
  return Status::ok();
}

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

Status existing_ancestor(const std::string& dir, std::string* ancestor, struct stat* st) {
  std::string path = without_trailing_slashes(dir);
  for (;;) {
    if (::stat(path.c_str(), st) == 0) {
      if (!S_ISDIR(st->st_mode)) return Status::invalid_argument(path + ": not a directory");
      *ancestor = path;
      return Status::ok();
    }
    // ENOTDIR: a part of the path is a file, which the walk up names.
    if (errno != ENOENT && errno != ENOTDIR) return Status::io_error(path + ": " + std::strerror(errno));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      path = std::string(".");
    } else {
      path.resize(slash == 0 ? 1 : slash);  // the parent; "/" for a name in the root
    }
  }
}

CreatedDirectories::~CreatedDirectories() {
  if (keep_) return;
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::rmdir(it->c_str());
}

Status CreatedDirectories::create(const std::string& dir) {
  const std::string path = without_trailing_slashes(dir);
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) == 0) {
      created_.push_back(part);
    } else if (errno != EEXIST) {
      return Status::io_error("cannot create " + part + ": " + std::strerror(errno));
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status::io_error(path + ": not a directory");
  return Status::ok();
}

const BACKUP_PARTITION_INFO* partition_holding(const std::vector<BACKUP_PARTITION_INFO*>& selected, dev_t dir_dev,
                                              std::string* mount_point) {
  const std::vector<disk::MountEntry> mounts = disk::read_mounts();
  for (const BACKUP_PARTITION_INFO* p : selected) {
    for (const disk::MountEntry& m : disk::partition_mounts(p, mounts)) {
      if (makedev(m.major, m.minor) == dir_dev) {
        *mount_point = m.mount_point;
        return p;
      }
    }
  }
  return nullptr;
}

Status has_volumes(const std::string& dir, const std::string& base, bool* found) {
  *found = false;
  std::vector<img::VolumeFileName> names;
  if (Status s = img::list_volume_names(dir, base, false, &names); !s) return s;
  *found = !names.empty();
  return Status::ok();
}

}  // namespace tav::services
