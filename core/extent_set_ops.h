// Set operations over sorted image run vectors: search, insert-and-merge, minus (subtract both
// ways), diff (label common / removed / added sectors) and overlay (lay a newer snapshot's runs
// over an older map). Building blocks of the backup plan and of the snapshot sector map.
//
// Unless said otherwise the vectors are sorted by Begin and their runs do not overlap.
// Thread-safety: as for extent_vector.h; a vector must not be used by two threads at once.
#pragma once

#include <cstdint>

#include "core/extent_vector.h"

// Index of the run with the greatest Begin <= sector; the run need not contain the sector (it
// may lie in the gap after the run). With n runs the result is:
//   n + 10  when n <= 0, or sector is at or beyond the end of the last run,
//   -1      when sector lies before the first run,
//   n + 9   when the runs are not sorted and the search falls through.
// Callers treat any result < 0 or >= n as "not in range". `hint` is tried first when it lies in
// [0, n). Bounds are compared in 64 bits: the signed sector against the zero-extended 32-bit
// Begin and the run's end (Begin + count, not wrapped). A null vector counts as empty; a null
// flat array gives n + 10. A flat run's minus flag is not part of its count.
int libtavpub_find_from_image_run_vector(const IMAGE_RUN_VECTOR* v, int64_t sector, int hint);
int libtavpub_find_from_flat_run_vector(const FLAT_RUN* runs, int n, int64_t sector, int hint);

// Inserts the sectors of `run` into the sorted vector, merging overlapping and touching runs so
// that the vector stays sorted and non-overlapping; runs are never shortened. `hint` (may be
// null) holds a suggested index on entry and receives the index of the run that now covers
// `run`. Type and snapshot play no part: meant for plain sector sets. 1/0 (0 for a null argument,
// an unsorted vector, or when memory runs out).
int libtavpub_addrun_to_vector(IMAGE_RUN_VECTOR* v, const IMAGE_RUN* run, int* hint);

// Merges into entry `index` every following entry that begins at or before its end (extending
// the entry when the follower reaches further), returning the merged runs to the pool.
// 1, or 0 for a null or empty vector or index >= run_count.
int libtavpub_adjust_image_vector(IMAGE_RUN_VECTOR* v, uint32_t index);

// Removes the sectors a and b have in common from both, in place: afterwards a holds a\b and b
// holds b\a, each run keeping its type and snapshot (a run split by the other vector leaves
// several runs; runs removed go back to the pool; vector_size grows when a vector gains runs).
// Passing the same vector twice empties it. 1, or 0 for a null vector, a null entry among the
// runs the walk reaches, or when memory runs out; on 0 both vectors are left as they were.
// Time and extra memory are linear in the number of runs.
int libtavpub_minus_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b);

// New sorted, coalesced vector covering a (older) and b (newer), each piece labelled
// RUN_TYPE_COMMON (in both), RUN_TYPE_MINUS (only in a) or RUN_TYPE_ADDED (only in b), snapshot
// 0. A null input gives a new empty vector. Null when memory runs out or an entry is null, so
// that a failure can never be mistaken for "no sectors". Linear in the number of runs.
// This implementation only reads a and b, but the exported contract lets the call split, cut
// and retype them: callers that still need them afterwards pass copies.
IMAGE_RUN_VECTOR* libtavpub_diff_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b);

// New vector with b (upper layer) laid over a (lower layer): sectors covered by b take b's
// snapshot, sectors covered only by a keep a's, sectors under a minus run of b disappear. Runs
// produced where the layers meet have type data; the runs after the end of the other layer are
// copied unchanged. A minus run of b may only remove sectors that a holds: otherwise the result
// is null. Null a or b counts as empty. Null also when memory runs out or an entry is null.
// Linear in the number of runs. As with diff, a and b are only read here, but the exported
// contract lets the call split and cut them: callers that still need them pass copies.
IMAGE_RUN_VECTOR* libtavpub_overlap_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b);
