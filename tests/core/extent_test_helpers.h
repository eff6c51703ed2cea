// Helpers for the extent tests: build run vectors from literal rows, read them back as plain
// values, and own them so that a failed assertion releases them too.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "core/extent_vector.h"
#include "core/run_pool.h"

namespace tav::test {

// One image run as a plain value: [begin, begin + number), type, snapshot.
struct RunRow {
  uint32_t begin = 0;
  uint32_t number = 0;
  uint32_t type = RUN_TYPE_DATA;
  uint32_t snapshot = 0;
  bool operator==(const RunRow&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const RunRow& r) {
  static const char* const kTypes[] = {"data", "common", "minus", "added"};
  os << "[" << r.begin << "," << r.number << ") ";
  if (r.type < 4) {
    os << kTypes[r.type];
  } else {
    os << "type" << r.type;
  }
  return os << " s" << r.snapshot;
}

inline IMAGE_RUN to_image_run(const RunRow& r) { return IMAGE_RUN{{r.begin, r.number}, r.type, r.snapshot}; }

struct ImageVectorDeleter {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
struct FlatVectorDeleter {
  void operator()(FLAT_RUN_VECTOR* v) const { libtavpub_release_flat_run_vector(v); }
};
using ImageVector = std::unique_ptr<IMAGE_RUN_VECTOR, ImageVectorDeleter>;
using FlatVector = std::unique_ptr<FLAT_RUN_VECTOR, FlatVectorDeleter>;

// A vector holding exactly these runs, one entry each (never merged, never sorted), so a test
// controls its input precisely.
inline ImageVector make_vector(const std::vector<RunRow>& rows) {
  ImageVector v(libtavpub_create_empty_image_run_vector());
  for (const RunRow& r : rows) {
    if (!libtavpub_expand_image_run_vector(v.get())) return nullptr;
    IMAGE_RUN* run = libtavpub_get_image_run();
    if (run == nullptr) return nullptr;
    *run = to_image_run(r);
    v->runs[v->run_count++] = run;
  }
  return v;
}

inline std::vector<RunRow> runs_of(const IMAGE_RUN_VECTOR* v) {
  std::vector<RunRow> out;
  if (v == nullptr) return out;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    const IMAGE_RUN* r = v->runs[i];
    out.push_back(RunRow{r->value.Begin, r->value.Number, r->type, r->snapshot});
  }
  return out;
}

inline FlatVector make_flat_vector(const std::vector<FLAT_RUN>& rows) {
  FlatVector v(libtavpub_create_empty_flat_run_vector());
  for (const FLAT_RUN& r : rows) {
    if (!libtavpub_expand_fat_run_vector(v.get())) return nullptr;
    v->runs[v->run_count++] = r;
  }
  return v;
}

// A flat vector's entries as (Begin, Number word) pairs.
using FlatRows = std::vector<std::pair<uint32_t, uint32_t>>;

inline FlatRows flat_runs_of(const FLAT_RUN_VECTOR* v) {
  FlatRows out;
  if (v == nullptr) return out;
  for (uint32_t i = 0; i < v->run_count; ++i) out.emplace_back(v->runs[i].Begin, v->runs[i].Number);
  return out;
}

// Runs currently handed out by the pool; tests compare it before and after to find leaks.
inline uint32_t used_runs() { return run_pool_stats().used_runs; }

}  // namespace tav::test
