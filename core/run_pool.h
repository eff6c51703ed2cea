// The process-wide pool that image runs are taken from. Runs are never allocated one by one:
// the pool grows by blocks of 4096 records and hands the records out through a free list and a
// used list. Blocks are returned to the system only by libtavpub_free_mem / libtavpub_run_uninit.
//
// Thread-safety: every function here may be called from any thread; one mutex guards the block,
// free and used lists. The contents of a run handed out belong to its holder and are not guarded.
#pragma once

#include <cstdint>

#include "core/extent_run.h"

// Allocates the first block of the pool. Always returns 1 (a failed allocation is not reported;
// the pool then grows on first use). Calling it is optional: the pool is created on first use.
int libtavpub_run_init();

// Adds one block of 4096 zero-filled records to the front of the free list. 1 on success, 0 when
// the block or its list node cannot be allocated (nothing is kept then).
int libtavpub_alloc_some_new_runs();

// Takes a run from the pool (growing it by one block when no record is free) and marks it used.
// The fields keep whatever the record last held. Null when memory runs out. The run stays valid
// until it is released, or until libtavpub_free_mem / libtavpub_run_uninit.
IMAGE_RUN* libtavpub_get_image_run();

// Returns a run to the front of the free list. Null is ignored. A run that is on no list (after
// libtavpub_release_all_image_runs) is simply put on the free list.
void libtavpub_release_image_run(IMAGE_RUN* run);

// Empties the free and used lists. The records stay allocated (runs held by vectors keep their
// memory) until libtavpub_free_mem; the pool grows afresh on the next get.
void libtavpub_release_all_image_runs();

// Frees every block and its list node and empties all lists. Every run pointer becomes invalid.
void libtavpub_free_mem();

// Release-all followed by free-mem. Returns 1. The pool may be used again afterwards.
int libtavpub_run_uninit();

namespace tav {

// Counts of the pool's lists, for tests and diagnostics.
struct RunPoolStats {
  uint32_t blocks = 0;
  uint32_t free_runs = 0;
  uint32_t used_runs = 0;
};
RunPoolStats run_pool_stats();

// Records per block.
inline constexpr uint32_t kRunsPerPoolBlock = 4096;

}  // namespace tav
