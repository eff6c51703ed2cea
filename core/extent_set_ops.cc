// Search, insert-and-merge, minus, diff and overlay over sorted image run vectors. The three set
// operations walk both vectors once, cutting the current run of one vector wherever a run
// boundary of the other falls inside it, so that each step compares two runs that either do not
// meet or begin together. The pieces in front of a cut go straight to the result, which keeps
// each walk linear in the number of runs: nothing is ever inserted into the middle of an array.
#include "core/extent_set_ops.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <utility>

#include "core/memory.h"

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

// Returns every run of `v` to the pool and leaves it empty (its array kept, entries null).
void clear_runs(IMAGE_RUN_VECTOR* v) {
  for (uint32_t i = 0; i < v->run_count; ++i) {
    libtavpub_release_image_run(v->runs[i]);
    v->runs[i] = nullptr;
  }
  v->run_count = 0;
}

struct XFree {
  void operator()(void* block) const { libtavpub_xfree(block); }
};
// An array of run pointers from libtavpub_xmalloc.
using RunArray = std::unique_ptr<IMAGE_RUN*[], XFree>;

// Records taken from the pool ahead of a pass that must not fail; those not handed out go back.
class SpareRuns {
 public:
  SpareRuns() = default;
  SpareRuns(const SpareRuns&) = delete;
  SpareRuns& operator=(const SpareRuns&) = delete;
  ~SpareRuns() {
    for (uint64_t k = used_; k < count_; ++k) libtavpub_release_image_run(runs_[k]);
  }

  // Takes n records; false (keeping none) when memory runs out.
  bool take(uint64_t n) {
    if (n == 0) return true;
    runs_.reset(static_cast<IMAGE_RUN**>(libtavpub_xmalloc(sizeof(IMAGE_RUN*) * n)));
    if (runs_ == nullptr) return false;
    for (; count_ < n; ++count_) {
      runs_[count_] = libtavpub_get_image_run();
      if (runs_[count_] == nullptr) return false;
    }
    return true;
  }
  IMAGE_RUN* next() {
    assert(used_ < count_);
    return runs_[used_++];
  }

 private:
  RunArray runs_;
  uint64_t count_ = 0;
  uint64_t used_ = 0;
};

// ---- the walks of minus, diff and overlay ------------------------------------------------------

// Reads one vector's runs in order, holding the current run as a value that a walk cuts from the
// front as the other vector's runs pass it. The vector itself is only read. A null entry stops a
// walk: ok() is false while it is current.
class RunCursor {
 public:
  explicit RunCursor(const IMAGE_RUN_VECTOR& v) : v_(v) { load(); }

  bool done() const { return index_ >= v_.run_count; }
  bool ok() const { return ok_; }
  uint32_t index() const { return index_; }
  // The current run (cut so far) and the record it was read from.
  IMAGE_RUN& run() { return run_; }
  IMAGE_RUN* record() const { return v_.runs[index_]; }

  void next() {
    ++index_;
    load();
  }

 private:
  void load() {
    if (done()) return;
    const IMAGE_RUN* record = v_.runs[index_];
    ok_ = record != nullptr;
    if (ok_) run_ = *record;
  }

  const IMAGE_RUN_VECTOR& v_;
  uint32_t index_ = 0;
  bool ok_ = true;
  IMAGE_RUN run_{};
};

// Sides of a minus walk, indexing the per-side arrays below.
constexpr int kSideA = 0;
constexpr int kSideB = 1;

// The minus walk, shared by its counting and its writing pass. It reports to `sink`, per side:
//   begin_run(side, record)  the input run read from `record` becomes current;
//   piece(side, run)         a piece of the current run survives, in the order of the result;
//   end_run(side)            the current run is finished (all its surviving pieces reported);
//   tail(side, from)         the runs from index `from` on survive untouched.
// Returns false, before reporting anything that changes a vector, when a walked entry is null.
template <typename Sink>
bool walk_minus(const IMAGE_RUN_VECTOR& a, const IMAGE_RUN_VECTOR& b, Sink& sink) {
  RunCursor cursors[2] = {RunCursor(a), RunCursor(b)};
  RunCursor& ca = cursors[kSideA];
  RunCursor& cb = cursors[kSideB];
  for (int s = 0; s < 2; ++s) {
    if (cursors[s].ok()) sink.begin_run(s, cursors[s].record());
  }
  auto finish = [&sink, &cursors](int s) {
    sink.end_run(s);
    cursors[s].next();
    if (!cursors[s].done() && cursors[s].ok()) sink.begin_run(s, cursors[s].record());
  };
  while (!ca.done() && !cb.done()) {
    if (!ca.ok() || !cb.ok()) return false;
    IMAGE_RUN& ra = ca.run();
    IMAGE_RUN& rb = cb.run();
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    if (a_end <= rb.value.Begin) {
      sink.piece(kSideA, ra);
      finish(kSideA);
    } else if (b_end <= ra.value.Begin) {
      sink.piece(kSideB, rb);
      finish(kSideB);
    } else if (ra.value.Begin < rb.value.Begin) {
      // The part of A before B survives; the rest of A now begins with B.
      sink.piece(kSideA, front_piece(ra, rb.value.Begin));
      cut_front(ra, rb.value.Begin);
    } else if (rb.value.Begin < ra.value.Begin) {
      sink.piece(kSideB, front_piece(rb, ra.value.Begin));
      cut_front(rb, ra.value.Begin);
    } else if (a_end < b_end) {
      cut_front(rb, static_cast<uint32_t>(a_end));
      finish(kSideA);
    } else if (b_end < a_end) {
      cut_front(ra, static_cast<uint32_t>(b_end));
      finish(kSideB);
    } else {
      finish(kSideA);
      finish(kSideB);
    }
  }
  // The other vector is exhausted: the current run (maybe cut) and all after it survive. A null
  // entry here was never read and stays as it is.
  for (int s = 0; s < 2; ++s) {
    RunCursor& c = cursors[s];
    if (c.done()) continue;
    if (!c.ok()) {
      sink.tail(s, c.index());
      continue;
    }
    sink.piece(s, c.run());
    sink.end_run(s);
    sink.tail(s, c.index() + 1);
  }
  return true;
}

// Counting pass of minus: the runs each vector ends with, and how many of them need a record of
// their own (the first surviving piece of an input run reuses that run's record).
class MinusCount {
 public:
  uint64_t pieces[2] = {};
  uint64_t extra[2] = {};

  MinusCount(const IMAGE_RUN_VECTOR& a, const IMAGE_RUN_VECTOR& b) : sizes_{a.run_count, b.run_count} {}

  void begin_run(int s, IMAGE_RUN*) { has_piece_[s] = false; }
  void piece(int s, const IMAGE_RUN&) {
    ++pieces[s];
    if (has_piece_[s]) ++extra[s];
    has_piece_[s] = true;
  }
  void end_run(int) {}
  void tail(int s, uint32_t from) { pieces[s] += sizes_[s] - from; }

 private:
  uint32_t sizes_[2] = {};
  bool has_piece_[2] = {};
};

// Writing pass of minus: pieces go to `out` of their side, which is the vector's own array (when
// no input run leaves more than one piece) or a new one. A piece takes the record of its input run
// when that is still free, else one of the spare records; an input run that leaves no piece
// returns its record to the pool.
class MinusWriter {
 public:
  MinusWriter(const IMAGE_RUN_VECTOR* a, const IMAGE_RUN_VECTOR* b, IMAGE_RUN** out_a, IMAGE_RUN** out_b,
              SpareRuns& spares)
      : in_{a, b}, out_{out_a, out_b}, spares_(spares) {}

  uint32_t count(int s) const { return count_[s]; }

  void begin_run(int s, IMAGE_RUN* record) { free_record_[s] = record; }
  void piece(int s, const IMAGE_RUN& run) {
    IMAGE_RUN* record = free_record_[s];
    if (record != nullptr) {
      free_record_[s] = nullptr;
    } else {
      record = spares_.next();
    }
    *record = run;
    out_[s][count_[s]++] = record;
  }
  void end_run(int s) {
    libtavpub_release_image_run(free_record_[s]);
    free_record_[s] = nullptr;
  }
  void tail(int s, uint32_t from) {
    // In place count_ <= from, so this copies downwards.
    for (uint32_t k = from; k < in_[s]->run_count; ++k) out_[s][count_[s]++] = in_[s]->runs[k];
  }

 private:
  const IMAGE_RUN_VECTOR* in_[2];
  IMAGE_RUN** out_[2];
  SpareRuns& spares_;
  uint32_t count_[2] = {};
  IMAGE_RUN* free_record_[2] = {};
};

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
  if (a == b) {
    // a \ a is empty.
    clear_runs(a);
    return 1;
  }

  // Counting pass: how many runs each vector ends with, and how many of them need a record of
  // their own. Everything the writing pass needs is then taken before it starts, so it cannot
  // fail, and a failure here leaves both vectors as they were.
  MinusCount count(*a, *b);
  if (!walk_minus(*a, *b, count)) return 0;
  IMAGE_RUN_VECTOR* const sides[2] = {a, b};
  RunArray fresh[2];
  for (int s = 0; s < 2; ++s) {
    if (count.pieces[s] > UINT32_MAX) return 0;
    // With at most one piece per input run the new contents are written over the old ones in
    // place (the write index never passes the read index); a vector that gains runs gets a new
    // array, at least as large as the old one.
    if (count.extra[s] == 0) continue;
    const uint32_t capacity = std::max(sides[s]->vector_size, static_cast<uint32_t>(count.pieces[s]));
    fresh[s].reset(static_cast<IMAGE_RUN**>(libtavpub_xmalloc(sizeof(IMAGE_RUN*) * capacity)));
    if (fresh[s] == nullptr) return 0;
  }
  SpareRuns spares;
  if (!spares.take(count.extra[0] + count.extra[1])) return 0;

  MinusWriter writer(a, b, fresh[0] ? fresh[0].get() : a->runs, fresh[1] ? fresh[1].get() : b->runs, spares);
  walk_minus(*a, *b, writer);
  for (int s = 0; s < 2; ++s) {
    IMAGE_RUN_VECTOR* v = sides[s];
    const uint32_t pieces = writer.count(s);
    assert(pieces == count.pieces[s]);
    if (fresh[s] != nullptr) {
      libtavpub_xfree(v->runs);
      v->vector_size = std::max(v->vector_size, pieces);
      v->runs = fresh[s].release();
    } else {
      // Entries past the end are kept null, as removal leaves them.
      std::fill(v->runs + pieces, v->runs + v->run_count, nullptr);
    }
    v->run_count = pieces;
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

  RunCursor ca(*a);
  RunCursor cb(*b);
  while (!ca.done() && !cb.done()) {
    if (!ca.ok() || !cb.ok()) return fail();
    IMAGE_RUN& ra = ca.run();
    IMAGE_RUN& rb = cb.run();
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    bool ok = true;
    if (rb.value.Begin >= a_end) {
      ok = emit(out, ra, RUN_TYPE_MINUS, 0);
      ca.next();
    } else if (b_end <= ra.value.Begin) {
      ok = emit(out, rb, RUN_TYPE_ADDED, 0);
      cb.next();
    } else if (ra.value.Begin < rb.value.Begin) {
      // The part of A before B is only in a; the rest of A now begins with B.
      ok = emit(out, front_piece(ra, rb.value.Begin), RUN_TYPE_MINUS, 0);
      cut_front(ra, rb.value.Begin);
    } else if (rb.value.Begin < ra.value.Begin) {
      ok = emit(out, front_piece(rb, ra.value.Begin), RUN_TYPE_ADDED, 0);
      cut_front(rb, ra.value.Begin);
    } else if (a_end < b_end) {
      ok = emit(out, ra, RUN_TYPE_COMMON, 0);
      cut_front(rb, static_cast<uint32_t>(a_end));
      ca.next();
    } else if (b_end < a_end) {
      ok = emit(out, rb, RUN_TYPE_COMMON, 0);
      cut_front(ra, static_cast<uint32_t>(b_end));
      cb.next();
    } else {
      ok = emit(out, ra, RUN_TYPE_COMMON, 0);
      ca.next();
      cb.next();
    }
    if (!ok) return fail();
  }

  // What is left of one input lies beyond the other: only in a (minus) or only in b (added).
  for (auto [cursor, type] : {std::pair{&ca, RUN_TYPE_MINUS}, std::pair{&cb, RUN_TYPE_ADDED}}) {
    for (; !cursor->done(); cursor->next()) {
      if (!cursor->ok() || !emit(out, cursor->run(), type, 0)) return fail();
    }
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

  RunCursor ca(*a);
  RunCursor cb(*b);
  while (!ca.done() && !cb.done()) {
    if (!ca.ok() || !cb.ok()) return fail();
    IMAGE_RUN& ra = ca.run();
    IMAGE_RUN& rb = cb.run();
    const uint64_t a_end = run_end(ra);
    const uint64_t b_end = run_end(rb);
    const bool b_minus = rb.type == RUN_TYPE_MINUS;
    bool ok = true;
    if (rb.value.Begin >= a_end) {
      ok = emit(out, ra, RUN_TYPE_DATA, ra.snapshot);
      ca.next();
    } else if (b_end <= ra.value.Begin) {
      // A minus run over sectors the lower layer does not hold.
      if (b_minus) return fail();
      ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      cb.next();
    } else if (ra.value.Begin < rb.value.Begin) {
      ok = emit(out, front_piece(ra, rb.value.Begin), RUN_TYPE_DATA, ra.snapshot);
      cut_front(ra, rb.value.Begin);
    } else if (rb.value.Begin < ra.value.Begin) {
      if (b_minus) return fail();
      ok = emit(out, front_piece(rb, ra.value.Begin), RUN_TYPE_DATA, rb.snapshot);
      cut_front(rb, ra.value.Begin);
    } else if (a_end < b_end) {
      if (!b_minus) ok = emit(out, ra, RUN_TYPE_DATA, rb.snapshot);
      cut_front(rb, static_cast<uint32_t>(a_end));
      ca.next();
    } else if (b_end < a_end) {
      if (!b_minus) ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      cut_front(ra, static_cast<uint32_t>(b_end));
      cb.next();
    } else {
      if (!b_minus) ok = emit(out, rb, RUN_TYPE_DATA, rb.snapshot);
      ca.next();
      cb.next();
    }
    if (!ok) return fail();
  }

  // The runs left after the other layer ends are copied with their own type; a minus run among
  // the upper layer's would remove sectors the lower layer does not hold.
  for (RunCursor* cursor : {&ca, &cb}) {
    for (; !cursor->done(); cursor->next()) {
      if (!cursor->ok()) return fail();
      const IMAGE_RUN& run = cursor->run();
      if ((cursor == &cb && run.type == RUN_TYPE_MINUS) || !emit(out, run, run.type, run.snapshot)) return fail();
    }
  }
  return out;
}
