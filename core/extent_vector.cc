// Image and flat run vectors: growth, append with merging, copies, filters and conversions.
#include "core/extent_vector.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/memory.h"

namespace {

template <typename Vector>
Vector* create_vector() {
  // Zero-filled: null array, vector_size and run_count 0.
  return static_cast<Vector*>(libtavpub_xmalloc(sizeof(Vector)));
}

// Growth rule shared by both forms: 1024 entries at first, then 512 more each time the vector
// is full. Linear growth keeps the memory of large vectors close to what they use.
template <typename Vector>
int expand_vector(Vector* v) {
  using Entry = std::remove_pointer_t<decltype(v->runs)>;
  if (v == nullptr) return 0;
  if (v->vector_size == 0 || v->runs == nullptr) {
    auto* entries = static_cast<Entry*>(libtavpub_xmalloc(sizeof(Entry) * tav::kRunVectorInitialEntries));
    if (entries == nullptr) return 0;
    libtavpub_xfree(v->runs);
    v->runs = entries;
    v->vector_size = tav::kRunVectorInitialEntries;
    v->run_count = 0;
    return 1;
  }
  if (v->run_count < v->vector_size) return 1;
  if (v->vector_size > UINT32_MAX - tav::kRunVectorGrowthEntries) return 0;
  const uint32_t new_size = v->vector_size + tav::kRunVectorGrowthEntries;
  // Growth stays linear (+512 entries); realloc lets the C library remap a large array instead
  // of copying it, so appending a million runs is not quadratic in copies.
  auto* entries = static_cast<Entry*>(
      tav::xrealloc_zeroed(v->runs, sizeof(Entry) * v->vector_size, sizeof(Entry) * new_size));
  if (entries == nullptr) return 0;
  v->runs = entries;
  v->vector_size = new_size;
  return 1;
}

// A vector whose array is missing while it claims runs cannot be read.
template <typename Vector>
bool entries_readable(const Vector* v) {
  return v->runs != nullptr || v->run_count == 0;
}

// Appends copies of the runs of `v` that `keep` accepts to a new vector. Null for a null input,
// a null entry or when memory runs out.
template <typename Keep>
IMAGE_RUN_VECTOR* extract_runs(const IMAGE_RUN_VECTOR* v, Keep keep) {
  if (v == nullptr || !entries_readable(v)) return nullptr;
  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr) return nullptr;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    const IMAGE_RUN* run = v->runs[i];
    if (run == nullptr || (keep(*run) && !libtavpub_append_image_run(out, run))) {
      libtavpub_release_image_run_vector(out);
      return nullptr;
    }
  }
  return out;
}

template <typename SetField>
int set_multi(IMAGE_RUN* const* runs, uint32_t n, SetField set_field) {
  if (runs == nullptr) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (runs[i] != nullptr) set_field(*runs[i]);
  }
  return 1;
}

// Cluster to sector conversion of one run start; 32-bit arithmetic as the callers expect.
uint32_t cluster_to_sector(uint32_t cluster, uint32_t first_sector, uint32_t sectors_per_cluster,
                           int fat_numbering) {
  if (fat_numbering != 0) cluster -= 2;
  return first_sector + cluster * sectors_per_cluster;
}

}  // namespace

IMAGE_RUN_VECTOR* libtavpub_create_empty_image_run_vector() { return create_vector<IMAGE_RUN_VECTOR>(); }

FLAT_RUN_VECTOR* libtavpub_create_empty_flat_run_vector() { return create_vector<FLAT_RUN_VECTOR>(); }

int libtavpub_expand_image_run_vector(IMAGE_RUN_VECTOR* v) { return expand_vector(v); }

int libtavpub_expand_fat_run_vector(FLAT_RUN_VECTOR* v) { return expand_vector(v); }

void libtavpub_release_image_run_vector(IMAGE_RUN_VECTOR* v) {
  if (v == nullptr) return;
  if (v->runs != nullptr) {
    for (uint32_t i = 0; i < v->run_count; ++i) libtavpub_release_image_run(v->runs[i]);
  }
  libtavpub_xfree(v->runs);
  libtavpub_xfree(v);
}

void libtavpub_release_flat_run_vector(FLAT_RUN_VECTOR* v) {
  if (v == nullptr) return;
  libtavpub_xfree(v->runs);
  libtavpub_xfree(v);
}

int libtavpub_append_image_run(IMAGE_RUN_VECTOR* v, const IMAGE_RUN* run) {
  if (v == nullptr || run == nullptr) return 0;
  const IMAGE_RUN added = *run;  // `run` may be one of v's own runs
  if (!libtavpub_expand_image_run_vector(v)) return 0;
  if (v->run_count > 0) {
    IMAGE_RUN* last = v->runs[v->run_count - 1];
    // Merging keeps a vector built by appending coalesced; the count must still fit in 32 bits.
    if (last != nullptr && last->type == added.type && last->snapshot == added.snapshot &&
        tav::run_end(*last) == added.value.Begin &&
        uint64_t{last->value.Number} + added.value.Number <= UINT32_MAX) {
      last->value.Number += added.value.Number;
      return 1;
    }
  }
  IMAGE_RUN* copy = libtavpub_get_image_run();
  if (copy == nullptr) return 0;
  *copy = added;
  v->runs[v->run_count++] = copy;
  return 1;
}

int libtavpub_append_flat_run(FLAT_RUN_VECTOR* v, const FLAT_RUN* flat_run) {
  if (v == nullptr || flat_run == nullptr) return 0;
  const FLAT_RUN added = *flat_run;
  if (!libtavpub_expand_fat_run_vector(v)) return 0;
  if (v->run_count > 0) {
    FLAT_RUN& last = v->runs[v->run_count - 1];
    // Only plain runs merge: adding a flagged count word would turn a data run into a minus run
    // (or the reverse), and a sum past 31 bits would set the flag.
    if (!tav::flat_run_is_minus(last) && !tav::flat_run_is_minus(added) &&
        uint64_t{last.Begin} + last.Number == added.Begin &&
        uint64_t{last.Number} + added.Number <= kFlatRunMaxSectors) {
      last.Number += added.Number;
      return 1;
    }
  }
  v->runs[v->run_count++] = added;
  return 1;
}

int libtavpub_append_multi_image_run(IMAGE_RUN_VECTOR* v, IMAGE_RUN* const* runs, uint32_t n) {
  if (v == nullptr || runs == nullptr) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (!libtavpub_append_image_run(v, runs[i])) return 0;
  }
  return 1;
}

int libtavpub_insert_before_image_run(IMAGE_RUN_VECTOR* v, uint32_t index, const IMAGE_RUN* run) {
  if (v == nullptr || run == nullptr || v->runs == nullptr || v->run_count == 0 || index >= v->run_count) {
    return 0;
  }
  const IMAGE_RUN added = *run;
  if (!libtavpub_expand_image_run_vector(v)) return 0;
  IMAGE_RUN* copy = libtavpub_get_image_run();
  if (copy == nullptr) return 0;
  *copy = added;
  std::memmove(&v->runs[index + 1], &v->runs[index], sizeof(IMAGE_RUN*) * (v->run_count - index));
  v->runs[index] = copy;
  ++v->run_count;
  return 1;
}

IMAGE_RUN_VECTOR* libtavpub_copy_image_run_vector(const IMAGE_RUN_VECTOR* v) {
  if (v == nullptr) return nullptr;
  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr || v->runs == nullptr) return out;
  if (!libtavpub_append_multi_image_run(out, v->runs, v->run_count)) {
    libtavpub_release_image_run_vector(out);
    return nullptr;
  }
  return out;
}

IMAGE_RUN_VECTOR* libtavpub_extract_run_vec_with_type(const IMAGE_RUN_VECTOR* v, uint32_t type) {
  return extract_runs(v, [type](const IMAGE_RUN& run) { return run.type == type; });
}

IMAGE_RUN_VECTOR* libtavpub_extract_run_vec_with_snapshot(const IMAGE_RUN_VECTOR* v, uint32_t snapshot) {
  return extract_runs(v, [snapshot](const IMAGE_RUN& run) { return run.snapshot == snapshot; });
}

int libtavpub_set_multi_image_run_type(IMAGE_RUN* const* runs, uint32_t n, uint32_t value) {
  return set_multi(runs, n, [value](IMAGE_RUN& run) { run.type = value; });
}

int libtavpub_set_multi_image_run_snapshot(IMAGE_RUN* const* runs, uint32_t n, uint32_t value) {
  return set_multi(runs, n, [value](IMAGE_RUN& run) { run.snapshot = value; });
}

int libtavpub_include_minus_image_run(IMAGE_RUN* const* runs, uint32_t n) {
  if (runs == nullptr) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (runs[i] != nullptr && runs[i]->type == RUN_TYPE_MINUS) return 1;
  }
  return 0;
}

uint32_t libtavpub_image_runs_total_sectors(const IMAGE_RUN_VECTOR* v) {
  if (v == nullptr || v->runs == nullptr) return 0;
  uint32_t total = 0;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    const IMAGE_RUN* run = v->runs[i];
    if (run != nullptr && run->type != RUN_TYPE_MINUS) total += run->value.Number;
  }
  return total;
}

uint32_t libtavpub_flat_runs_total_sectors(const FLAT_RUN_VECTOR* v) {
  if (v == nullptr || v->runs == nullptr) return 0;
  uint32_t total = 0;
  // Minus runs hold no sectors, and their flag bit is not part of a count.
  for (uint32_t i = 0; i < v->run_count; ++i) {
    if (!tav::flat_run_is_minus(v->runs[i])) total += v->runs[i].Number;
  }
  return total;
}

int libtavpub_flat_runs_clr_to_sec(FLAT_RUN_VECTOR* v, uint32_t first_sector, uint32_t sectors_per_cluster,
                                   int fat_numbering) {
  if (v == nullptr) return -1;
  if (v->runs == nullptr) return 0;
  const uint32_t spc = sectors_per_cluster & 0xFF;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    FLAT_RUN& run = v->runs[i];
    run.Begin = cluster_to_sector(run.Begin, first_sector, spc, fat_numbering);
    // The count is scaled; the minus flag stays where it is.
    run.Number = (run.Number & kFlatRunMinusFlag) | ((tav::flat_run_sectors(run) * spc) & kFlatRunMaxSectors);
  }
  return 0;
}

int libtavpub_image_runs_clr_to_sec(IMAGE_RUN_VECTOR* v, uint32_t first_sector, uint32_t sectors_per_cluster,
                                    int fat_numbering) {
  if (v == nullptr) return -1;
  if (v->runs == nullptr) return 0;
  const uint32_t spc = sectors_per_cluster & 0xFF;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    IMAGE_RUN* run = v->runs[i];
    if (run == nullptr) continue;
    run->value.Begin = cluster_to_sector(run->value.Begin, first_sector, spc, fat_numbering);
    run->value.Number *= spc;
  }
  return 0;
}

IMAGE_RUN_VECTOR* libtavpub_run_flat_to_image(const FLAT_RUN_VECTOR* flat_vector, uint32_t snapshot) {
  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr || flat_vector == nullptr || flat_vector->runs == nullptr || flat_vector->run_count == 0) {
    return out;
  }
  const uint32_t count = flat_vector->run_count;
  out->runs = static_cast<IMAGE_RUN**>(libtavpub_xmalloc(sizeof(IMAGE_RUN*) * count));
  if (out->runs == nullptr) {
    libtavpub_release_image_run_vector(out);
    return nullptr;
  }
  out->vector_size = count;
  for (uint32_t i = 0; i < count; ++i) {
    IMAGE_RUN* run = libtavpub_get_image_run();
    if (run == nullptr) {
      // The runs taken so far go back to the pool with the vector.
      libtavpub_release_image_run_vector(out);
      return nullptr;
    }
    const FLAT_RUN& flat = flat_vector->runs[i];
    run->value.Begin = flat.Begin;
    run->value.Number = tav::flat_run_sectors(flat);
    run->type = tav::flat_run_is_minus(flat) ? RUN_TYPE_MINUS : RUN_TYPE_DATA;
    run->snapshot = snapshot;
    out->runs[out->run_count++] = run;
  }
  return out;
}

FLAT_RUN_VECTOR* libtavpub_run_image_to_flat(const IMAGE_RUN_VECTOR* image_vector) {
  FLAT_RUN_VECTOR* out = libtavpub_create_empty_flat_run_vector();
  if (out == nullptr || image_vector == nullptr || image_vector->runs == nullptr || image_vector->run_count == 0) {
    return out;
  }
  // A flat count has 31 bits; longer runs are stored as consecutive pieces so that bit 31 never
  // turns a long data run into a minus run.
  uint64_t pieces = 0;
  for (uint32_t i = 0; i < image_vector->run_count; ++i) {
    const IMAGE_RUN* run = image_vector->runs[i];
    if (run == nullptr) continue;
    const uint64_t sectors = run->value.Number;
    pieces += sectors == 0 ? 1 : (sectors + kFlatRunMaxSectors - 1) / kFlatRunMaxSectors;
  }
  if (pieces == 0) return out;
  if (pieces > UINT32_MAX) {
    libtavpub_release_flat_run_vector(out);
    return nullptr;
  }
  out->runs = static_cast<FLAT_RUN*>(libtavpub_xmalloc(sizeof(FLAT_RUN) * pieces));
  if (out->runs == nullptr) {
    libtavpub_release_flat_run_vector(out);
    return nullptr;
  }
  out->vector_size = static_cast<uint32_t>(pieces);
  for (uint32_t i = 0; i < image_vector->run_count; ++i) {
    const IMAGE_RUN* run = image_vector->runs[i];
    if (run == nullptr) continue;
    const uint32_t flag = run->type == RUN_TYPE_MINUS ? kFlatRunMinusFlag : 0;
    uint32_t begin = run->value.Begin;
    uint32_t left = run->value.Number;
    do {
      const uint32_t piece = std::min(left, kFlatRunMaxSectors);
      out->runs[out->run_count++] = FLAT_RUN{begin, piece | flag};
      begin += piece;
      left -= piece;
    } while (left != 0);
  }
  return out;
}

int libtavpub_equal_image_run_vector(const IMAGE_RUN_VECTOR* a, const IMAGE_RUN_VECTOR* b) {
  if (a == nullptr || b == nullptr || a->run_count != b->run_count) return 0;
  if (a->run_count == 0) return 1;
  if (a->runs == nullptr || b->runs == nullptr) return a->runs == b->runs ? 1 : 0;
  for (uint32_t i = 0; i < a->run_count; ++i) {
    const IMAGE_RUN* x = a->runs[i];
    const IMAGE_RUN* y = b->runs[i];
    if (x == nullptr || y == nullptr) {
      if (x != y) return 0;
      continue;
    }
    if (x->value.Begin != y->value.Begin || x->value.Number != y->value.Number || x->type != y->type ||
        x->snapshot != y->snapshot) {
      return 0;
    }
  }
  return 1;
}

int libtavpub_equal_flat_run_vector(const FLAT_RUN_VECTOR* a, const FLAT_RUN_VECTOR* b) {
  if (a == nullptr || b == nullptr || a->run_count != b->run_count) return 0;
  if (a->run_count == 0) return 1;
  if (a->runs == nullptr || b->runs == nullptr) return a->runs == b->runs ? 1 : 0;
  return std::memcmp(a->runs, b->runs, sizeof(FLAT_RUN) * a->run_count) == 0 ? 1 : 0;
}

void libtavpub_print_image_run_vector(const IMAGE_RUN_VECTOR*) {}

void libtavpub_print_flat_run_vector(const FLAT_RUN_VECTOR*) {}
