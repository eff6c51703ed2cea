// Vectors of runs: image run vectors (pointers to runs from the run pool) and flat run vectors
// (runs stored by value), with building, copying, filtering and conversion. The set operations
// over these vectors (search, insert-and-merge, minus, diff, overlay) are in extent_set_ops.h.
//
// Ownership: a vector record and its array come from libtavpub_xmalloc and are freed by the
// release functions below; the runs an image run vector points to belong to the vector and go
// back to the run pool when it is released. Functions that return a new vector hand it to the
// caller.
// Thread-safety: a vector must not be changed by one thread while another uses it; the run pool
// underneath is safe for concurrent use.
#pragma once

#include <cstdint>

#include "core/extent_run.h"
#include "core/run_pool.h"

// Image run vector: `runs` has room for `vector_size` pointers of which the first `run_count` are
// in use. A fresh vector has a null array and both numbers 0.
struct IMAGE_RUN_VECTOR {
  IMAGE_RUN** runs;
  uint32_t vector_size;
  uint32_t run_count;
};

// Flat run vector: runs stored by value, same conventions as IMAGE_RUN_VECTOR.
struct FLAT_RUN_VECTOR {
  FLAT_RUN* runs;
  uint32_t vector_size;
  uint32_t run_count;
};

namespace tav {
// Capacity of a vector's first array, and the linear step by which it grows afterwards.
inline constexpr uint32_t kRunVectorInitialEntries = 1024;
inline constexpr uint32_t kRunVectorGrowthEntries = 512;
}  // namespace tav

// New empty vectors; null when memory runs out.
IMAGE_RUN_VECTOR* libtavpub_create_empty_image_run_vector();
FLAT_RUN_VECTOR* libtavpub_create_empty_flat_run_vector();

// Make room for one more entry: a vector without an array gets 1024 entries; a full one grows by
// 512 entries (never doubling). 1 on success, 0 for a null vector or when memory runs out (the
// vector is unchanged then).
int libtavpub_expand_image_run_vector(IMAGE_RUN_VECTOR* v);
int libtavpub_expand_fat_run_vector(FLAT_RUN_VECTOR* v);

// Return every run to the pool (image form), free the array and the record. Null is ignored.
void libtavpub_release_image_run_vector(IMAGE_RUN_VECTOR* v);
void libtavpub_release_flat_run_vector(FLAT_RUN_VECTOR* v);

// Appends a copy of `run`, or merges it into the last run when that is non-null, ends exactly
// where `run` begins and has the same type and snapshot. Append does not sort. 1/0 (0 for a null
// argument or when memory runs out).
int libtavpub_append_image_run(IMAGE_RUN_VECTOR* v, const IMAGE_RUN* run);

// Appends a copy of `flat_run`, or adds its count to the last entry when the two are plain
// (unflagged) runs and the last one ends exactly where `flat_run` begins. Minus runs are never
// merged. 1/0.
int libtavpub_append_flat_run(FLAT_RUN_VECTOR* v, const FLAT_RUN* flat_run);

// Appends the n runs of `runs` in order; stops with 0 at the first failure. 0 for a null vector
// or array.
int libtavpub_append_multi_image_run(IMAGE_RUN_VECTOR* v, IMAGE_RUN* const* runs, uint32_t n);

// Inserts a copy of `run` at `index`, shifting later entries up. Needs a non-empty vector and
// index < run_count; 1/0.
int libtavpub_insert_before_image_run(IMAGE_RUN_VECTOR* v, uint32_t index, const IMAGE_RUN* run);

// A new vector holding copies of v's runs, built by appending (adjacent runs of equal type and
// snapshot come out merged). Null for a null input or when memory runs out; a vector without
// an array gives an empty copy.
IMAGE_RUN_VECTOR* libtavpub_copy_image_run_vector(const IMAGE_RUN_VECTOR* v);

// New vectors holding copies (appended, so merged) of the runs with that type / snapshot, in
// order. Null for a null input, a null entry or when memory runs out.
IMAGE_RUN_VECTOR* libtavpub_extract_run_vec_with_type(const IMAGE_RUN_VECTOR* v, uint32_t type);
IMAGE_RUN_VECTOR* libtavpub_extract_run_vec_with_snapshot(const IMAGE_RUN_VECTOR* v, uint32_t snapshot);

// Set the type / snapshot of the n runs of `runs` (which may be the tail of a vector's array).
// Null entries are skipped. 1, or 0 for a null array.
int libtavpub_set_multi_image_run_type(IMAGE_RUN* const* runs, uint32_t n, uint32_t value);
int libtavpub_set_multi_image_run_snapshot(IMAGE_RUN* const* runs, uint32_t n, uint32_t value);

// 1 when one of the n runs has type minus, else 0 (also for a null array).
int libtavpub_include_minus_image_run(IMAGE_RUN* const* runs, uint32_t n);

// Sum of the sector counts of the runs that are not minus runs; 0 for null or empty. 32-bit sum.
uint32_t libtavpub_image_runs_total_sectors(const IMAGE_RUN_VECTOR* v);
uint32_t libtavpub_flat_runs_total_sectors(const FLAT_RUN_VECTOR* v);

// Convert runs given in clusters into sectors, in place: with fat_numbering nonzero, 2 is first
// subtracted from Begin (clusters numbered from 2); then Begin = first_sector + Begin *
// sectors_per_cluster and the count is multiplied by sectors_per_cluster. Only the low 8 bits of
// sectors_per_cluster are used; arithmetic is 32-bit. A flat run's minus flag is kept.
// 0, or -1 for a null vector.
int libtavpub_flat_runs_clr_to_sec(FLAT_RUN_VECTOR* v, uint32_t first_sector, uint32_t sectors_per_cluster,
                                   int fat_numbering);
int libtavpub_image_runs_clr_to_sec(IMAGE_RUN_VECTOR* v, uint32_t first_sector, uint32_t sectors_per_cluster,
                                    int fat_numbering);

// Flat to image: one run per flat run (not merged), with the given snapshot; a flagged flat run
// becomes a minus run, any other a data run. Image to flat: Begin and count copied, minus runs
// flagged, types common and added become plain, the snapshot is dropped; a run longer than a
// flat run can hold (2^31 - 1 sectors) is stored as several consecutive flat runs. A null or
// empty input gives a new empty vector; null only when memory runs out.
IMAGE_RUN_VECTOR* libtavpub_run_flat_to_image(const FLAT_RUN_VECTOR* flat_vector, uint32_t snapshot);
FLAT_RUN_VECTOR* libtavpub_run_image_to_flat(const IMAGE_RUN_VECTOR* image_vector);

// Image: 1 when both are non-null, have the same run_count and every pair of runs agrees in all
// four fields. Flat: 1 when both are non-null, have the same run_count and equal arrays. Else 0.
int libtavpub_equal_image_run_vector(const IMAGE_RUN_VECTOR* a, const IMAGE_RUN_VECTOR* b);
int libtavpub_equal_flat_run_vector(const FLAT_RUN_VECTOR* a, const FLAT_RUN_VECTOR* b);

// Diagnostic entry points; they print nothing in this build.
void libtavpub_print_image_run_vector(const IMAGE_RUN_VECTOR* v);
void libtavpub_print_flat_run_vector(const FLAT_RUN_VECTOR* v);
