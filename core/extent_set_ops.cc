// Search, insert-and-merge, minus, diff and overlay over sorted image run vectors. The three set
// operations walk both vectors once, splitting a run wherever the other vector's run boundary
// falls inside it, so that each step compares two runs that either do not meet or begin together.
#include "core/extent_set_ops.h"

#include <algorithm>
#include <cstring>

namespace {

using tav::run_end;

// Sets a run's end, keeping its Begin. A count cannot exceed 32 bits.
void set_end(IMAGE_RUN& run, uint64_t end) {
  run.value.Number = static_cast<uint32_t>(std::min<uint64_t>(end - run.value.Begin, UINT32_MAX));
}

// Moves a run's Begin up to `begin` (inside the run), keeping its end.
void cut_front(IMAGE_RUN& run, uint32_t begin) {
  run.value.Number -= begin - run.value.Begin;
  run.value.Begin = begin;
}

// The part of `run` before `begin`, with run's type and snapshot.
IMAGE_RUN front_piece(const IMAGE_RUN& run, uint32_t begin) {
  return IMAGE_RUN{{run.value.Begin, begin - run.value.Begin}, run.type, run.snapshot};
}

// Removes entry `index` and returns its run to the pool.
void remove_run_at(IMAGE_RUN_VECTOR* v, uint32_t index) {
  libtavpub_release_image_run(v->runs[index]);
  std::memmove(&v->runs[index], &v->runs[index + 1], sizeof(IMAGE_RUN*) * (v->run_count - index - 1));
  --v->run_count;
  v->runs[v->run_count] = nullptr;
}

// Appends a run covering `extent`'s sectors with the given type and snapshot.
bool emit(IMAGE_RUN_VECTOR* out, const IMAGE_RUN& extent, uint32_t type, uint32_t snapshot) {
  const IMAGE_RUN run{extent.value, type, snapshot};
  return libtavpub_append_image_run(out, &run) != 0;
}

bool is_empty(const IMAGE_RUN_VECTOR* v) { return v == nullptr || v->run_count == 0; }

// A vector whose array is missing while it claims runs cannot be walked.
bool walkable(const IMAGE_RUN_VECTOR* v) { return v->runs != nullptr || v->run_count == 0; }

// The search shared by both run forms. `begin_at(i)` is the zero-extended Begin of run i;
// `last_end` the end of the last run.
template <typename BeginAt>
int find_run(int n, int64_t sector, int hint, BeginAt begin_at, uint64_t last_end) {
  if (n <= 0) return n + 10;
  if (sector >= static_cast<int64_t>(last_end)) return n + 10;
  if (sector < begin_at(0)) return -1;
  if (hint >= 0 && hint < n && sector >= begin_at(hint) && (hint == n - 1 || sector < begin_at(hint + 1))) {
    return hint;
  }
  int lo = 0;
  int hi = n - 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    if (sector >= begin_at(mid)) {
      if (mid == n - 1 && sector < static_cast<int64_t>(last_end)) return mid;
      lo = mid + 1;
    } else {
      if (mid == 0) return -1;
      if (sector >= begin_at(mid - 1)) return mid - 1;
      hi = mid - 1;
    }
  }
  return n + 9;  // only reached when the runs are not sorted
}

}  // namespace

int libtavpub_find_from_image_run_vector(const IMAGE_RUN_VECTOR* v, int64_t sector, int hint) {
  if (v == nullptr) return 10;
  const int n = static_cast<int>(v->run_count);
  if (n <= 0 || v->runs == nullptr) return n + 10;
  IMAGE_RUN* const* runs = v->runs;
  return find_run(
      n, sector, hint, [runs](int i) { return static_cast<int64_t>(runs[i]->value.Begin); }, run_end(*runs[n - 1]));
}

int libtavpub_find_from_flat_run_vector(const FLAT_RUN* runs, int n, int64_t sector, int hint) {
  if (n <= 0 || runs == nullptr) return n + 10;
  return find_run(
      n, sector, hint, [runs](int i) { return static_cast<int64_t>(runs[i].Begin); },
      tav::flat_run_end(runs[n - 1]));
}

int libtavpub_adjust_image_vector(IMAGE_RUN_VECTOR* v, uint32_t index) {
  if (v == nullptr || v->runs == nullptr || v->run_count == 0 || index >= v->run_count) return 0;
  IMAGE_RUN* run = v->runs[index];
  if (run == nullptr) return 0;
  while (index + 1 < v->run_count) {
    const IMAGE_RUN* follower = v->runs[index + 1];
    if (follower->value.Begin > run_end(*run)) break;
    if (run_end(*follower) > run_end(*run)) set_end(*run, run_end(*follower));
    remove_run_at(v, index + 1);
  }
  return 1;
}

int libtavpub_addrun_to_vector(IMAGE_RUN_VECTOR* v, const IMAGE_RUN* run, int* hint) {
  if (v == nullptr || run == nullptr) return 0;
  int unused_hint = -1;
  int& h = hint != nullptr ? *hint : unused_hint;
  const IMAGE_RUN added = *run;
  const uint32_t begin = added.value.Begin;

  if (v->runs == nullptr || v->run_count == 0) {
    h = 0;
    return libtavpub_append_image_run(v, &added);
  }
  const int n = static_cast<int>(v->run_count);
  IMAGE_RUN* first = v->runs[0];
  IMAGE_RUN* last = v->runs[n - 1];
  if (first == nullptr || last == nullptr) return 0;

  if (begin <= first->value.Begin) {
    if (!libtavpub_insert_before_image_run(v, 0, &added)) return 0;
    h = 0;
    return libtavpub_adjust_image_vector(v, 0);
  }
  if (begin > run_end(*last)) {
    h = n;
    return libtavpub_append_image_run(v, &added);
  }
  if (begin >= last->value.Begin) {
    // Starts inside the last run or exactly at its end: extend the last run.
    if (run_end(added) > run_end(*last)) set_end(*last, run_end(added));
    h = n - 1;
    return 1;
  }

  // Here first.Begin < begin < last.Begin: find b with Begin[b] <= begin < Begin[b + 1].
  auto brackets = [v, begin](int b) {
    return v->runs[b]->value.Begin <= begin && begin < v->runs[b + 1]->value.Begin;
  };
  int b = h;
  if (!(h >= 0 && h < n - 1 && brackets(h))) {
    h = -1;
    b = libtavpub_find_from_image_run_vector(v, begin, -1);
    if (b < 0 || b >= n - 1 || !brackets(b)) return 0;
  }
  IMAGE_RUN* before = v->runs[b];
  if (begin > run_end(*before)) {
    if (!libtavpub_insert_before_image_run(v, static_cast<uint32_t>(b + 1), &added)) return 0;
    ++b;
  } else if (run_end(added) > run_end(*before)) {
    set_end(*before, run_end(added));
  }
  h = b;
  return libtavpub_adjust_image_vector(v, static_cast<uint32_t>(b));
}

int libtavpub_minus_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  if (a == nullptr || b == nullptr) return 0;
  if (a->run_count == 0 || b->run_count == 0) return 1;
  if (!walkable(a) || !walkable(b)) return 0;
  uint32_t i = 0;
  uint32_t j = 0;
  while (i < a->run_count && j < b->run_count) {
    IMAGE_RUN& ra = *a->runs[i];
    IMAGE_RUN& rb = *b->runs[j];
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    if (a_end <= rb.value.Begin) {
      ++i;
    } else if (b_end <= ra.value.Begin) {
      ++j;
    } else if (ra.value.Begin < rb.value.Begin) {
      // Keep the part of A before B as its own run; the rest of A now begins with B.
      const IMAGE_RUN front = front_piece(ra, rb.value.Begin);
      if (!libtavpub_insert_before_image_run(a, i, &front)) return 0;
      cut_front(ra, rb.value.Begin);
      ++i;
    } else if (rb.value.Begin < ra.value.Begin) {
      const IMAGE_RUN front = front_piece(rb, ra.value.Begin);
      if (!libtavpub_insert_before_image_run(b, j, &front)) return 0;
      cut_front(rb, ra.value.Begin);
      ++j;
    } else if (a_end < b_end) {
      cut_front(rb, static_cast<uint32_t>(a_end));
      remove_run_at(a, i);
    } else if (b_end < a_end) {
      cut_front(ra, static_cast<uint32_t>(b_end));
      remove_run_at(b, j);
    } else {
      remove_run_at(a, i);
      remove_run_at(b, j);
    }
  }
  return 1;
}

IMAGE_RUN_VECTOR* libtavpub_diff_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr || a == nullptr || b == nullptr) return out;
  auto fail = [out]() -> IMAGE_RUN_VECTOR* {
    libtavpub_release_image_run_vector(out);
    return nullptr;
  };
  if (!walkable(a) || !walkable(b)) return fail();

  uint32_t i = 0;
  uint32_t j = 0;
  while (i < a->run_count && j < b->run_count) {
    IMAGE_RUN& ra = *a->runs[i];
    IMAGE_RUN& rb = *b->runs[j];
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    bool ok = true;
    if (rb.value.Begin >= a_end) {
      ok = emit(out, ra, RUN_TYPE_MINUS, 0);
      ++i;
    } else if (b_end <= ra.value.Begin) {
      ok = emit(out, rb, RUN_TYPE_ADDED, 0);
      ++j;
    } else if (ra.value.Begin < rb.value.Begin) {
      const IMAGE_RUN front = front_piece(ra, rb.value.Begin);
      if (!libtavpub_insert_before_image_run(a, i, &front)) return fail();
      ok = emit(out, front, RUN_TYPE_MINUS, 0);
      cut_front(ra, rb.value.Begin);
      ++i;
    } else if (rb.value.Begin < ra.value.Begin) {
      const IMAGE_RUN front = front_piece(rb, ra.value.Begin);
      if (!libtavpub_insert_before_image_run(b, j, &front)) return fail();
      ok = emit(out, front, RUN_TYPE_ADDED, 0);
      cut_front(rb, ra.value.Begin);
      ++j;
    } else if (a_end < b_end) {
      ok = emit(out, ra, RUN_TYPE_COMMON, 0);
      cut_front(rb, static_cast<uint32_t>(a_end));
      ++i;
    } else if (b_end < a_end) {
      ok = emit(out, rb, RUN_TYPE_COMMON, 0);
      cut_front(ra, static_cast<uint32_t>(b_end));
      ++j;
    } else {
      ok = emit(out, ra, RUN_TYPE_COMMON, 0);
      ++i;
      ++j;
    }
    if (!ok) return fail();
  }

  // What is left of one input lies beyond the other: only in a (minus) or only in b (added).
  struct Tail {
    IMAGE_RUN_VECTOR* v;
    uint32_t from;
    uint32_t type;
  };
  for (const Tail& tail : {Tail{a, i, RUN_TYPE_MINUS}, Tail{b, j, RUN_TYPE_ADDED}}) {
    if (tail.from >= tail.v->run_count) continue;
    IMAGE_RUN* const* rest = tail.v->runs + tail.from;
    const uint32_t count = tail.v->run_count - tail.from;
    libtavpub_set_multi_image_run_snapshot(rest, count, 0);
    libtavpub_set_multi_image_run_type(rest, count, tail.type);
    if (!libtavpub_append_multi_image_run(out, rest, count)) return fail();
  }
  return out;
}

IMAGE_RUN_VECTOR* libtavpub_overlap_vector(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  if (is_empty(a) && is_empty(b)) return libtavpub_create_empty_image_run_vector();
  if (is_empty(a)) {
    if (!walkable(b) || libtavpub_include_minus_image_run(b->runs, b->run_count)) return nullptr;
    return libtavpub_copy_image_run_vector(b);
  }
  if (is_empty(b)) return walkable(a) ? libtavpub_copy_image_run_vector(a) : nullptr;
  if (!walkable(a) || !walkable(b)) return nullptr;

  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr) return nullptr;
  auto fail = [out]() -> IMAGE_RUN_VECTOR* {
    libtavpub_release_image_run_vector(out);
    return nullptr;
  };

  uint32_t i = 0;
  uint32_t j = 0;
  while (i < a->run_count && j < b->run_count) {
    IMAGE_RUN& ra = *a->runs[i];
    IMAGE_RUN& rb = *b->runs[j];
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    const bool b_minus = rb.type == RUN_TYPE_MINUS;
    bool ok = true;
    if (rb.value.Begin >= a_end) {
      ok = emit(out, ra, RUN_TYPE_DATA, ra.snapshot);
      ++i;
    } else if (b_end <= ra.value.Begin) {
      // A minus run over sectors the lower layer does not hold.
      if (b_minus) return fail();
      ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      ++j;
    } else if (ra.value.Begin < rb.value.Begin) {
      const IMAGE_RUN front = front_piece(ra, rb.value.Begin);
      if (!libtavpub_insert_before_image_run(a, i, &front)) return fail();
      ok = emit(out, front, RUN_TYPE_DATA, ra.snapshot);
      cut_front(ra, rb.value.Begin);
      ++i;
    } else if (rb.value.Begin < ra.value.Begin) {
      if (b_minus) return fail();
      const IMAGE_RUN front = front_piece(rb, ra.value.Begin);
      if (!libtavpub_insert_before_image_run(b, j, &front)) return fail();
      ok = emit(out, front, RUN_TYPE_DATA, rb.snapshot);
      cut_front(rb, ra.value.Begin);
      ++j;
    } else if (a_end < b_end) {
      if (!b_minus) ok = emit(out, ra, RUN_TYPE_DATA, rb.snapshot);
      cut_front(rb, static_cast<uint32_t>(a_end));
      ++i;
    } else if (b_end < a_end) {
      if (!b_minus) ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      cut_front(ra, static_cast<uint32_t>(b_end));
      ++j;
    } else {
      if (!b_minus) ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      ++i;
      ++j;
    }
    if (!ok) return fail();
  }

  if (j >= b->run_count) {
    if (i < a->run_count && !libtavpub_append_multi_image_run(out, a->runs + i, a->run_count - i)) return fail();
  } else {
    IMAGE_RUN* const* rest = b->runs + j;
    const uint32_t count = b->run_count - j;
    if (libtavpub_include_minus_image_run(rest, count)) return fail();
    if (!libtavpub_append_multi_image_run(out, rest, count)) return fail();
  }
  return out;
}
