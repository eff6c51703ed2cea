// What a backup request must satisfy before any volume file is written.
#pragma once

#include <vector>

#include "image/image_storage.h"
#include "core/status.h"
#include "engine/backup.h"

namespace tav::engine {

// True when the snapshot extends the loaded storage: a dependent backup, or `storage_exists`.
bool extends_storage(const BACKUP_REQUEST& request);

// Refuses, with a message for the user: a destination that is not an existing directory; an
// empty base name or one holding a path separator; an unknown backup type or compress mode; no
// partition to back up; a partition of 2^32 sectors or more (run tables hold 32-bit sector
// numbers); and, when the snapshot extends the loaded storage, a storage that holds no snapshot
// or is not the one of `dest_dir` and `base_name`.
Status check_backup_request(const BACKUP_REQUEST& request, const std::vector<BACKUP_PARTITION_INFO*>& parts,
                            const STORAGE_DATA* storage);

}  // namespace tav::engine
