// The backup plan of one partition: which sectors the worker threads visit and how (read and
// store, compare with the parent snapshot, skip), built from the file system's used sectors minus
// the paging and hibernation files, and compared with the parent snapshot's sectors for a
// dependent partition.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/extent_vector.h"
#include "core/status.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

struct RunVectorRelease {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
using RunVectorPtr = std::unique_ptr<IMAGE_RUN_VECTOR, RunVectorRelease>;

// Files whose sectors a backup never stores: their content is worthless after a restart.
inline constexpr const char* kExcludedFiles[] = {"/pagefile.sys", "/hiberfil.sys"};

// Sum of the sector counts of the runs that are not minus runs, in 64 bits.
uint64_t plan_sectors(const IMAGE_RUN_VECTOR* v);

// The sectors of `part` worth storing: the file-system handler's used runs (the whole partition
// when the handler has no such operation) as data runs of snapshot 0, minus the runs of the
// excluded files. `excluded_sectors` gets how many sectors the exclusion removed. Fails when the
// handler cannot list the used runs or lists sectors beyond the partition.
Status used_runs_to_store(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part, RunVectorPtr* runs,
                          uint64_t* excluded_sectors);

// What a plan turns out to be.
struct BackupPlan {
  // Runs to visit, in order: RUN_TYPE_ADDED (read and store), RUN_TYPE_COMMON (compare with the
  // parent, store what differs), RUN_TYPE_MINUS (skip).
  RunVectorPtr plan;
  // The sectors stored, in storing order; starts empty (the worker appends).
  RunVectorPtr stored;
  uint64_t excluded_sectors = 0;  // removed by the exclusion
  double ratio = 1.0;             // progress_ratio of the plan
  // The parent image partition, open for reading (the caller closes it), or null when the
  // partition is stored in full.
  BACKUP_PARTITION_INFO* parent = nullptr;
  // The partition has a parent but its runs could not be had: it must be stored in full.
  bool parent_unusable = false;
};

// Builds the plan of `part`. With `parent` (an image partition of the loaded storage) the plan
// is the comparison of the parent's combined runs with the used runs (minus: only the parent
// used them; common: both; added: new); when the parent does not open or has no run vector the
// plan falls back to a full one (parent_unusable set, the parent closed again). Without a
// parent every used run is an added run.
Status build_plan(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part, BACKUP_PARTITION_INFO* parent,
                  BackupPlan* out);

// Converts progress in visited sectors into the partition's share of the run's total (its
// used_sectors): used_sectors / plan_sectors(plan) when used_sectors is the larger and the plan
// is not empty, else 1.
double progress_ratio(uint64_t used_sectors, const IMAGE_RUN_VECTOR* plan);

// The runs of `v` as stored in a run table (minus runs flagged, run types dropped, runs longer
// than a flat run can hold split). False when memory runs out.
bool flat_runs_of(const IMAGE_RUN_VECTOR* v, std::vector<FLAT_RUN>* out);

}  // namespace tav::engine
