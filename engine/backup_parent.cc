// Parent matching, chain signatures and the first volume's number.
#include "engine/backup_parent.h"

#include <climits>

#include "image/image_catalogue.h"
#include "format/image_name.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"

namespace tav::engine {

namespace pl = img::part_layout;

std::vector<BACKUP_PARTITION_INFO*> backup_partitions(_DISK_INFOMATION* disks) {
  std::vector<BACKUP_PARTITION_INFO*> parts;
  for (_DISK_INFOMATION* disk = disks; disk != nullptr; disk = disk->next) {
    for (auto& part : disk->parts) {
      if (tav_partition_is_backup(part.get()) != 0) parts.push_back(part.get());
    }
  }
  return parts;
}

uint32_t SignatureSource::next() {
  uint32_t candidate;
  do {
    candidate = start_time_ + ++count_;
  } while (candidate == 0 || taken_.count(candidate) != 0);
  taken_.insert(candidate);
  return candidate;
}

void set_full_partition(BACKUP_PARTITION_INFO* part, uint32_t signature) {
  disk::set_rec_u32(*part, pl::kFull, 1);
  disk::set_rec_u32(*part, pl::kSignature, signature);
  for (size_t off : {pl::kParentSeq, pl::kParentTime, pl::kParentVol, pl::kParentVol2}) disk::set_rec_u32(*part, off, 0);
}

void set_dependent_partition(BACKUP_PARTITION_INFO* part, const BACKUP_PARTITION_INFO& parent) {
  const SNAP_DATA* snap = libtavimg_get_part_snap(&parent);
  disk::set_rec_u32(*part, pl::kFull, 0);
  disk::set_rec_u32(*part, pl::kSignature, disk::rec_u32(parent, pl::kSignature));
  disk::set_rec_u32(*part, pl::kParentSeq, snap != nullptr ? snap->snap_seq : 0);
  disk::set_rec_u32(*part, pl::kParentTime, snap != nullptr ? uint32_t(snap->create_time) : 0);
  disk::set_rec_u32(*part, pl::kParentVol, snap != nullptr ? snap->first_vol : 0);
  disk::set_rec_u32(*part, pl::kParentVol2, snap != nullptr ? snap->first_vol : 0);
}

std::vector<BACKUP_PARTITION_INFO*> assign_parents(const std::vector<BACKUP_PARTITION_INFO*>& parts,
                                                   STORAGE_DATA* storage, uint32_t backup_type,
                                                   uint32_t start_time, SignatureSource* signatures) {
  std::vector<BACKUP_PARTITION_INFO*> parents(parts.size(), nullptr);
  std::set<uint32_t> taken;
  if (storage != nullptr) {
    // Signatures of the storage's chains stay clear too: a new chain never looks like an old one.
    for (const auto& snap : storage->snaps) {
      for (_DISK_INFOMATION* disk = snap->disks; disk != nullptr; disk = disk->next) {
        for (const auto& p : disk->parts) taken.insert(disk::rec_u32(*p, pl::kSignature));
      }
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if (backup_type == img::kBackupFull || storage == nullptr) break;
    parents[i] = tav_match_part_from_storage(parts[i]->disk, parts[i], storage, backup_type);
    if (parents[i] != nullptr) taken.insert(disk::rec_u32(*parents[i], pl::kSignature));
  }
  *signatures = SignatureSource(start_time, std::move(taken));
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parents[i] != nullptr) {
      set_dependent_partition(parts[i], *parents[i]);
    } else {
      set_full_partition(parts[i], signatures->next());
    }
  }
  return parents;
}

Status choose_first_vol(const std::string& directory, const std::string& base_name, bool restart_numbering,
                        uint32_t* first_vol) {
  // Every name the catalogue would load counts, and ".EGO" in any case too: on a file system
  // that ignores case such a file is the one a new volume of that number would overwrite.
  std::vector<img::VolumeFileName> existing;
  if (Status s = img::list_volume_names(directory, base_name, true, &existing); !s) return s;
  if (restart_numbering) {
    if (!existing.empty()) {
      return Status::invalid_argument("the volume file " + existing.back().name + " already exists in " + directory +
                                      "; numbering from 0 would overwrite the volumes of " + base_name);
    }
    *first_vol = 0;
    return Status::ok();
  }
  if (existing.empty()) {
    *first_vol = 0;
    return Status::ok();
  }
  // The snapshot may need up to this many volumes, each with a number that fits an int.
  const uint64_t highest = existing.back().number;
  if (highest >= uint64_t(INT_MAX) - img::kMaxVolumesPerSnapshot) {
    return Status::invalid_argument("no volume numbers are left after " + existing.back().name);
  }
  *first_vol = uint32_t(highest + 1);
  return Status::ok();
}

}  // namespace tav::engine
