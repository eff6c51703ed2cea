// Where `tav backup` writes: the storage directory as far as it exists, creating it, the
// partition whose file system holds it, and whether it already holds a storage.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "core/status.h"

struct BACKUP_PARTITION_INFO;

namespace tav::cli {

// `path` without trailing slashes ("/" stays).
std::string without_trailing_slashes(std::string path);

// The nearest existing directory at or above `dir` (which may not exist yet), in *ancestor with
// its stat in *st. invalid_argument when a part of the path exists and is not a directory;
// io_error when a part cannot be looked at.
Status existing_ancestor(const std::string& dir, std::string* ancestor, struct stat* st);

// Creates `dir` and its missing parents with mode 0700; *created lists the ones made, parents
// first (also when a later one fails, so that the caller can remove them).
Status make_directories(const std::string& dir, std::vector<std::string>* created);

// The partition of `selected` whose mounted file system holds the directory with device
// `dir_dev` (its mount point in *mount_point), or null.
const BACKUP_PARTITION_INFO* partition_holding(const std::vector<BACKUP_PARTITION_INFO*>& selected, dev_t dir_dev,
                                              std::string* mount_point);

// Whether `dir` holds a volume file of `base`: a name the catalogue would load as one.
Status has_volumes(const std::string& dir, const std::string& base, bool* found);

}  // namespace tav::cli
