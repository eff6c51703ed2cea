// Which earlier snapshot each partition of a backup continues, the chain signatures of the
// partitions that start a new chain, and the number of the snapshot's first volume.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "image/image_storage.h"
#include "core/status.h"
#include "disk/disk.h"

namespace tav::engine {

// The partitions a run backs up: those the disk library reports backup-capable (selected, or
// on a whole-disk selection), disks in list order, partitions in table order.
std::vector<BACKUP_PARTITION_INFO*> backup_partitions(_DISK_INFOMATION* disks);

// Chain signatures for the partitions of one run that start a new chain: the run's start time
// plus a running count from 1, passing over 0 and every value in use, so that no two partitions
// of the snapshot share a signature (the reader finds a chain's member in a snapshot by it) even
// when runs follow each other within seconds.
class SignatureSource {
 public:
  SignatureSource(uint32_t start_time, std::set<uint32_t> taken)
      : start_time_(start_time), taken_(std::move(taken)) {}
  uint32_t next();

 private:
  uint32_t start_time_;
  uint32_t count_ = 0;
  std::set<uint32_t> taken_;
};

// Marks `part` as the first member of a new chain: full 1, `signature`, parent fields 0.
void set_full_partition(BACKUP_PARTITION_INFO* part, uint32_t signature);
// Marks `part` as continuing the chain of `parent` (an image partition of the loaded storage):
// full 0, the parent's signature, parent_seq / parent_time / parent_vol / parent_vol2 from the
// parent's snapshot (snap_seq, create_time, first_vol).
void set_dependent_partition(BACKUP_PARTITION_INFO* part, const BACKUP_PARTITION_INFO& parent);

// Parent matching for every partition of `parts` (same order): null for a full backup, without
// a storage, or when no snapshot of the storage holds the partition (same first sector, sector
// count and file-system kind; newest snapshot first, only full snapshots for a differential
// backup). Sets each record's full / signature / parent fields; `signatures` then serves the
// run's later fall-backs to a full partition.
std::vector<BACKUP_PARTITION_INFO*> assign_parents(const std::vector<BACKUP_PARTITION_INFO*>& parts,
                                                   STORAGE_DATA* storage, uint32_t backup_type,
                                                   uint32_t start_time, SignatureSource* signatures);

// Number of the snapshot's first volume. With `restart_numbering`: 0, provided no file of the
// base name exists in `directory` (an existing volume would be overwritten, and deleted if the
// run failed). Otherwise one more than the highest number among the directory's volume names
// of the base name (img::volume_number_in_name, ".ego" in any case), or 0 when there is none.
// Fails when the directory cannot be read or no volume numbers are left.
Status choose_first_vol(const std::string& directory, const std::string& base_name, bool restart_numbering,
                        uint32_t* first_vol);

}  // namespace tav::engine
