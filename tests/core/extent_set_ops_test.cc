// Tests of the set operations over run vectors: search, insert-and-merge, minus, diff and
// overlay, with worked examples and a randomized run-for-run comparison of minus, diff and overlay
// against a per-sector model.
#include "core/extent_set_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/core/extent_test_helpers.h"

namespace tav::test {
namespace {

class ExtentSetOpsTest : public ::testing::Test {
 protected:
  void SetUp() override { used_before_ = used_runs(); }
  void TearDown() override { EXPECT_EQ(used_runs(), used_before_) << "runs leaked from the pool"; }

 private:
  uint32_t used_before_ = 0;
};

// ---- search ----------------------------------------------------------------------------------

TEST_F(ExtentSetOpsTest, SearchFindsRunWithGreatestBeginNotAboveSector) {
  // Runs [10,20) [30,35) [50,60) [100,101): n = 4.
  const std::vector<RunRow> rows = {{10, 10}, {30, 5}, {50, 10}, {100, 1}};
  struct Case {
    const char* name;
    int64_t sector;
    int hint;
    int expected;
  };
  const Case cases[] = {
      {"first sector", 10, -1, 0},
      {"inside first run", 19, -1, 0},
      {"gap after run 0", 25, -1, 0},
      {"begin of run 1", 30, -1, 1},
      {"gap after run 2", 99, -1, 2},
      {"inside last run", 100, -1, 3},
      {"end of last run", 101, -1, 4 + 10},
      {"far beyond", 5000, -1, 4 + 10},
      {"sector >= 2^32", int64_t{1} << 32, -1, 4 + 10},
      {"before first run", 9, -1, -1},
      {"negative sector", -1, -1, -1},
      {"good hint", 55, 2, 2},
      {"wrong hint is ignored", 55, 0, 2},
      {"hint out of range is ignored", 55, 7, 2},
      {"hint on last run", 100, 3, 3},
      {"hint ignored beyond end", 101, 3, 4 + 10},
  };
  ImageVector v = make_vector(rows);
  std::vector<FLAT_RUN> flat;
  for (const RunRow& r : rows) flat.push_back({r.begin, r.number});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(libtavpub_find_from_image_run_vector(v.get(), c.sector, c.hint), c.expected);
    EXPECT_EQ(libtavpub_find_from_flat_run_vector(flat.data(), 4, c.sector, c.hint), c.expected);
  }
}

TEST_F(ExtentSetOpsTest, SearchEdgeVectors) {
  ImageVector empty(libtavpub_create_empty_image_run_vector());
  EXPECT_EQ(libtavpub_find_from_image_run_vector(empty.get(), 0, -1), 10);
  EXPECT_EQ(libtavpub_find_from_image_run_vector(nullptr, 0, -1), 10);
  EXPECT_EQ(libtavpub_find_from_flat_run_vector(nullptr, 0, 0, -1), 10);
  EXPECT_EQ(libtavpub_find_from_flat_run_vector(nullptr, 3, 0, -1), 13);

  // A run ending exactly at 2^32: its end must not wrap to 0.
  ImageVector top = make_vector({{0, 16}, {0xFFFFFF00u, 0x100}});
  EXPECT_EQ(libtavpub_find_from_image_run_vector(top.get(), 0xFFFFFFF0u, -1), 1);
  EXPECT_EQ(libtavpub_find_from_image_run_vector(top.get(), 8, -1), 0);
  EXPECT_EQ(libtavpub_find_from_image_run_vector(top.get(), int64_t{1} << 32, -1), 12);

  // A flat minus run ends after its count, not after count + 2^31.
  const FLAT_RUN flat[] = {{0, 10}, {20, kFlatRunMinusFlag | 10}};
  EXPECT_EQ(libtavpub_find_from_flat_run_vector(flat, 2, 25, -1), 1);
  EXPECT_EQ(libtavpub_find_from_flat_run_vector(flat, 2, 30, -1), 12);
}

// ---- addrun and adjust -----------------------------------------------------------------------

TEST_F(ExtentSetOpsTest, AddRunMergesIntoSortedVector) {
  struct Case {
    const char* name;
    std::vector<RunRow> start;
    RunRow added;
    int hint_in;
    std::vector<RunRow> expected;
    int hint_out;
  };
  const Case cases[] = {
      {"inside a run", {{0, 20}}, {5, 10}, 0, {{0, 20}}, 0},
      {"overlapping the end", {{0, 20}}, {15, 10}, 0, {{0, 25}}, 0},
      {"touching the end of the last run", {{0, 20}}, {20, 5}, 0, {{0, 25}}, 0},
      {"gap after the last run", {{0, 20}}, {21, 5}, 0, {{0, 20}, {21, 5}}, 1},
      {"into empty vector", {}, {7, 3}, 5, {{7, 3}}, 0},
      {"gap then merge with follower", {{0, 20}, {30, 10}}, {25, 5}, -1, {{0, 20}, {25, 15}}, 1},
      {"in front, merging the first run", {{10, 10}, {30, 5}}, {5, 6}, 1, {{5, 15}, {30, 5}}, 0},
      {"in front, swallowing runs", {{10, 10}, {30, 5}, {50, 5}}, {0, 40}, 0, {{0, 40}, {50, 5}}, 0},
      {"in front, not touching", {{10, 10}}, {0, 5}, 0, {{0, 5}, {10, 10}}, 0},
      {"bridging several runs", {{0, 20}, {25, 5}, {40, 10}, {70, 1}}, {15, 30}, -1, {{0, 50}, {70, 1}}, 0},
      {"extending a middle run", {{0, 10}, {20, 5}, {40, 5}}, {22, 8}, 1, {{0, 10}, {20, 10}, {40, 5}}, 1},
      {"middle with a wrong hint", {{0, 10}, {20, 5}, {40, 5}}, {32, 2}, 0, {{0, 10}, {20, 5}, {32, 2}, {40, 5}}, 2},
      {"middle with an out of range hint", {{0, 10}, {20, 5}, {40, 5}}, {12, 2}, 9,
       {{0, 10}, {12, 2}, {20, 5}, {40, 5}}, 1},
      {"inside the last run", {{0, 10}, {20, 5}}, {21, 2}, 0, {{0, 10}, {20, 5}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector v = make_vector(c.start);
    int hint = c.hint_in;
    const IMAGE_RUN added = to_image_run(c.added);
    EXPECT_EQ(libtavpub_addrun_to_vector(v.get(), &added, &hint), 1);
    EXPECT_EQ(runs_of(v.get()), c.expected);
    EXPECT_EQ(hint, c.hint_out);
  }
  // The hint may be left out.
  ImageVector v = make_vector({{0, 10}});
  const IMAGE_RUN added{{5, 10}, 0, 0};
  EXPECT_EQ(libtavpub_addrun_to_vector(v.get(), &added, nullptr), 1);
  EXPECT_EQ(runs_of(v.get()), (std::vector<RunRow>{{0, 15}}));
  EXPECT_EQ(libtavpub_addrun_to_vector(nullptr, &added, nullptr), 0);
}

TEST_F(ExtentSetOpsTest, AdjustMergesFollowersThatBeginWithinTheEntry) {
  ImageVector v = make_vector({{0, 5}, {10, 10}, {12, 3}, {20, 10}, {31, 2}});
  EXPECT_EQ(libtavpub_adjust_image_vector(v.get(), 1), 1);
  EXPECT_EQ(runs_of(v.get()), (std::vector<RunRow>{{0, 5}, {10, 20}, {31, 2}}));
  EXPECT_EQ(libtavpub_adjust_image_vector(v.get(), 3), 0);
  EXPECT_EQ(libtavpub_adjust_image_vector(nullptr, 0), 0);
  ImageVector empty(libtavpub_create_empty_image_run_vector());
  EXPECT_EQ(libtavpub_adjust_image_vector(empty.get(), 0), 0);
}

// Random adds against a sector set: the vector stays sorted, disjoint and coalesced, and the
// returned hint names the run that covers the added run.
TEST_F(ExtentSetOpsTest, AddRunMatchesSectorSetModel) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    ImageVector v(libtavpub_create_empty_image_run_vector());
    std::vector<bool> model(300, false);
    int hint = 0;
    for (int step = 0; step < 25; ++step) {
      const uint32_t begin = rng() % 250;
      const uint32_t number = 1 + rng() % 20;
      const IMAGE_RUN added{{begin, number}, 0, 0};
      if (rng() % 3 == 0) hint = static_cast<int>(rng() % 8) - 2;
      ASSERT_EQ(libtavpub_addrun_to_vector(v.get(), &added, &hint), 1);
      for (uint32_t s = begin; s < begin + number; ++s) model[s] = true;

      ASSERT_GE(hint, 0);
      ASSERT_LT(static_cast<uint32_t>(hint), v->run_count);
      const IMAGE_RUN& cover = *v->runs[hint];
      ASSERT_LE(cover.value.Begin, begin);
      ASSERT_GE(run_end(cover), uint64_t{begin} + number);

      std::vector<bool> seen(300, false);
      for (uint32_t i = 0; i < v->run_count; ++i) {
        const IMAGE_RUN& r = *v->runs[i];
        if (i > 0) {
          ASSERT_GT(r.value.Begin, run_end(*v->runs[i - 1])) << "unsorted, overlapping or touching";
        }
        for (uint32_t s = r.value.Begin; s < run_end(r); ++s) seen[s] = true;
      }
      ASSERT_EQ(seen, model) << "round " << round << " step " << step;
    }
  }
}

// ---- minus, diff, overlay: worked examples ---------------------------------------------------

TEST_F(ExtentSetOpsTest, MinusRemovesCommonSectorsFromBoth) {
  struct Case {
    const char* name;
    std::vector<RunRow> a;
    std::vector<RunRow> b;
    std::vector<RunRow> a_after;
    std::vector<RunRow> b_after;
  };
  const Case cases[] = {
      {"overlap", {{0, 100}}, {{50, 100}}, {{0, 50}}, {{100, 50}}},
      {"b inside a", {{0, 100, RUN_TYPE_ADDED, 4}}, {{40, 10}},
       {{0, 40, RUN_TYPE_ADDED, 4}, {50, 50, RUN_TYPE_ADDED, 4}}, {}},
      {"same runs", {{0, 10}, {20, 10}}, {{0, 10}, {20, 10}}, {}, {}},
      {"disjoint", {{0, 10}}, {{10, 10}}, {{0, 10}}, {{10, 10}}},
      {"b spans a gap", {{0, 10}, {20, 10}}, {{5, 20}}, {{0, 5}, {25, 5}}, {{10, 10}}},
      {"empty b", {{0, 10}}, {}, {{0, 10}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector a = make_vector(c.a);
    ImageVector b = make_vector(c.b);
    EXPECT_EQ(libtavpub_minus_vector(a.get(), b.get()), 1);
    EXPECT_EQ(runs_of(a.get()), c.a_after);
    EXPECT_EQ(runs_of(b.get()), c.b_after);
  }
  ImageVector a = make_vector({{0, 1}});
  EXPECT_EQ(libtavpub_minus_vector(a.get(), nullptr), 0);
  EXPECT_EQ(libtavpub_minus_vector(nullptr, a.get()), 0);
}

TEST_F(ExtentSetOpsTest, DiffLabelsCommonMinusAndAdded) {
  constexpr uint32_t C = RUN_TYPE_COMMON;
  constexpr uint32_t M = RUN_TYPE_MINUS;
  constexpr uint32_t A = RUN_TYPE_ADDED;
  struct Case {
    const char* name;
    std::vector<RunRow> a;
    std::vector<RunRow> b;
    std::vector<RunRow> expected;
  };
  const Case cases[] = {
      {"overlap", {{0, 100, 0, 3}}, {{50, 100, 0, 4}}, {{0, 50, M, 0}, {50, 50, C, 0}, {100, 50, A, 0}}},
      {"a empty", {}, {{0, 10, 0, 2}, {20, 5, 0, 2}}, {{0, 10, A, 0}, {20, 5, A, 0}}},
      {"b empty", {{0, 10, 0, 2}}, {}, {{0, 10, M, 0}}},
      {"both empty", {}, {}, {}},
      // Adjacent pieces with the same label come out as one run.
      {"coalesced", {{0, 10}, {10, 10}}, {{0, 20}}, {{0, 20, C, 0}}},
      {"interleaved", {{0, 10}, {30, 10}}, {{5, 30}}, {{0, 5, M, 0}, {5, 5, C, 0}, {10, 20, A, 0}, {30, 5, C, 0},
                                                         {35, 5, M, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector a = make_vector(c.a);
    ImageVector b = make_vector(c.b);
    ImageVector d(libtavpub_diff_vector(a.get(), b.get()));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(runs_of(d.get()), c.expected);
  }
  ImageVector a = make_vector({{0, 1}});
  ImageVector d1(libtavpub_diff_vector(a.get(), nullptr));
  ImageVector d2(libtavpub_diff_vector(nullptr, a.get()));
  ASSERT_TRUE(d1 && d2);
  EXPECT_EQ(d1->run_count, 0u);
  EXPECT_EQ(d2->run_count, 0u);
}

TEST_F(ExtentSetOpsTest, OverlayLaysUpperLayerOverLowerOne) {
  constexpr uint32_t D = RUN_TYPE_DATA;
  constexpr uint32_t M = RUN_TYPE_MINUS;
  constexpr uint32_t A = RUN_TYPE_ADDED;
  struct Case {
    const char* name;
    std::vector<RunRow> a;
    std::vector<RunRow> b;
    std::optional<std::vector<RunRow>> expected;  // nullopt: the call fails
  };
  const Case cases[] = {
      {"upper run inside", {{0, 100, D, 1}}, {{50, 10, D, 0}}, {{{0, 50, D, 1}, {50, 10, D, 0}, {60, 40, D, 1}}}},
      {"minus run removes sectors", {{0, 100, D, 1}}, {{50, 10, M, 0}}, {{{0, 50, D, 1}, {60, 40, D, 1}}}},
      {"minus run over absent sectors", {{0, 10, D, 1}}, {{20, 5, M, 2}}, std::nullopt},
      {"minus run reaching past a gap", {{0, 10, D, 1}, {20, 10, D, 1}}, {{5, 20, M, 2}}, std::nullopt},
      {"minus run before the lower layer", {{20, 10, D, 1}}, {{0, 5, M, 2}}, std::nullopt},
      {"minus run after the lower layer", {{0, 10, D, 1}}, {{5, 5, M, 2}, {40, 5, M, 2}}, std::nullopt},
      {"lower empty, upper with minus", {}, {{0, 5, M, 2}}, std::nullopt},
      {"lower empty", {}, {{0, 5, A, 2}, {5, 5, A, 2}}, {{{0, 10, A, 2}}}},
      {"upper empty keeps types", {{0, 5, A, 1}, {9, 1, M, 1}}, {}, {{{0, 5, A, 1}, {9, 1, M, 1}}}},
      {"both empty", {}, {}, {std::vector<RunRow>{}}},
      // Where the layers meet the runs are data; the upper run's rest after the lower layer ends
      // keeps its own type, so it is not merged with them.
      {"upper covers more", {{10, 10, A, 1}}, {{0, 40, A, 2}}, {{{0, 20, D, 2}, {20, 20, A, 2}}}},
      // The lower layer's runs left after the upper layer ends keep their own type.
      {"tails", {{0, 10, A, 1}, {50, 10, A, 1}}, {{5, 10, A, 2}},
       {{{0, 5, D, 1}, {5, 10, D, 2}, {50, 10, A, 1}}}},
      {"upper tail after lower layer", {{0, 10, A, 1}}, {{0, 10, A, 2}, {20, 5, A, 2}},
       {{{0, 10, D, 2}, {20, 5, A, 2}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector a = make_vector(c.a);
    ImageVector b = make_vector(c.b);
    ImageVector o(libtavpub_overlap_vector(a.get(), b.get()));
    if (!c.expected) {
      EXPECT_EQ(o, nullptr);
      continue;
    }
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(runs_of(o.get()), *c.expected);
  }
  ImageVector a = make_vector({{0, 5, RUN_TYPE_DATA, 1}});
  ImageVector o1(libtavpub_overlap_vector(a.get(), nullptr));
  ImageVector o2(libtavpub_overlap_vector(nullptr, a.get()));
  ImageVector o3(libtavpub_overlap_vector(nullptr, nullptr));
  EXPECT_EQ(runs_of(o1.get()), runs_of(a.get()));
  EXPECT_EQ(runs_of(o2.get()), runs_of(a.get()));
  ASSERT_NE(o3, nullptr);
  EXPECT_EQ(o3->run_count, 0u);
}

// An image chain read as repeated overlays: each sector maps to the newest snapshot holding it.
TEST_F(ExtentSetOpsTest, OverlayChainGivesNewestSnapshotPerSector) {
  ImageVector map = make_vector({{0, 100, RUN_TYPE_ADDED, 0}});
  const std::vector<std::vector<RunRow>> layers = {
      {{10, 10, RUN_TYPE_DATA, 1}, {90, 5, RUN_TYPE_MINUS, 1}},
      {{15, 10, RUN_TYPE_DATA, 2}, {100, 20, RUN_TYPE_DATA, 2}},
      {{0, 5, RUN_TYPE_MINUS, 3}, {18, 1, RUN_TYPE_DATA, 3}},
  };
  for (const auto& rows : layers) {
    ImageVector layer = make_vector(rows);
    ImageVector next(libtavpub_overlap_vector(map.get(), layer.get()));
    ASSERT_NE(next, nullptr);
    map = std::move(next);
  }
  EXPECT_EQ(runs_of(map.get()), (std::vector<RunRow>{{5, 5, RUN_TYPE_DATA, 0},
                                                  {10, 5, RUN_TYPE_DATA, 1},
                                                  {15, 3, RUN_TYPE_DATA, 2},
                                                  {18, 1, RUN_TYPE_DATA, 3},
                                                  {19, 6, RUN_TYPE_DATA, 2},
                                                  {25, 65, RUN_TYPE_DATA, 0},
                                                  {95, 5, RUN_TYPE_DATA, 0},
                                                  {100, 20, RUN_TYPE_DATA, 2}}));
}

// The same vector on both sides. a \ a is empty for any number of runs (removing each run from
// "both" sides of one array must not remove two runs, nor run past the array's end); diff and
// overlay only read their inputs, so both sides see the same runs.
TEST_F(ExtentSetOpsTest, SetOperationsOfAVectorWithItself) {
  for (const uint32_t n : {1u, 2u, 3u, 1501u}) {
    SCOPED_TRACE(n);
    std::vector<RunRow> rows;
    std::vector<RunRow> common;
    std::vector<RunRow> data;
    for (uint32_t i = 0; i < n; ++i) {
      rows.push_back({i * 10, 5, RUN_TYPE_ADDED, 1});
      common.push_back({i * 10, 5, RUN_TYPE_COMMON, 0});
      data.push_back({i * 10, 5, RUN_TYPE_DATA, 1});
    }
    ImageVector v = make_vector(rows);
    EXPECT_EQ(libtavpub_minus_vector(v.get(), v.get()), 1);
    EXPECT_EQ(v->run_count, 0u);

    ImageVector w = make_vector(rows);
    ImageVector d(libtavpub_diff_vector(w.get(), w.get()));
    ImageVector o(libtavpub_overlap_vector(w.get(), w.get()));
    EXPECT_EQ(runs_of(d.get()), common);
    EXPECT_EQ(runs_of(o.get()), data);
  }
}

// A null entry where a walk reads fails the call: minus leaves both vectors as they were, diff
// and overlay give null.
TEST_F(ExtentSetOpsTest, NullEntryFailsTheWalk) {
  const std::vector<RunRow> rb = {{5, 10, RUN_TYPE_DATA, 2}, {25, 30, RUN_TYPE_DATA, 2}};
  ImageVector a = make_vector({{0, 10, RUN_TYPE_DATA, 1}, {20, 10, RUN_TYPE_DATA, 1}, {40, 10, RUN_TYPE_DATA, 1}});
  ImageVector b = make_vector(rb);
  libtavpub_release_image_run(a->runs[1]);
  a->runs[1] = nullptr;

  EXPECT_EQ(libtavpub_minus_vector(a.get(), b.get()), 0);
  ASSERT_EQ(a->run_count, 3u);
  EXPECT_EQ(a->runs[1], nullptr);
  EXPECT_EQ((RunRow{a->runs[0]->value.Begin, a->runs[0]->value.Number, a->runs[0]->type, a->runs[0]->snapshot}),
            (RunRow{0, 10, RUN_TYPE_DATA, 1}));
  EXPECT_EQ((RunRow{a->runs[2]->value.Begin, a->runs[2]->value.Number, a->runs[2]->type, a->runs[2]->snapshot}),
            (RunRow{40, 10, RUN_TYPE_DATA, 1}));
  EXPECT_EQ(runs_of(b.get()), rb);

  EXPECT_EQ(ImageVector(libtavpub_diff_vector(a.get(), b.get())), nullptr);
  EXPECT_EQ(ImageVector(libtavpub_overlap_vector(a.get(), b.get())), nullptr);
  EXPECT_EQ(ImageVector(libtavpub_overlap_vector(b.get(), a.get())), nullptr);
}

// ---- randomized comparison against a per-sector model -----------------------------------------
//
// The model knows nothing of the walks: it lays both inputs out sector by sector and reads the
// expected results off that map, following the contracts in extent_set_ops.h. Results are compared
// run for run in all four fields, so a fault in a step the walks share (cutting a run's front,
// splitting off the piece before a cut, removing an entry, emitting a piece) shows as a wrong run,
// a lost sector or a doubled one.

// One sector of an input: the index of the run holding it (-1: none), with its type and snapshot.
struct Cell {
  int run = -1;
  uint32_t type = 0;
  uint32_t snapshot = 0;
  bool held() const { return run >= 0; }
};

// What the result holds at a sector: runs are the maximal stretches of sectors with equal pieces.
struct Piece {
  int64_t group = 0;  // pieces of different groups are never joined (minus keeps each run's own)
  uint32_t type = 0;
  uint32_t snapshot = 0;
  bool operator==(const Piece&) const = default;
};

class SectorModel {
 public:
  SectorModel(const std::vector<RunRow>& a, const std::vector<RunRow>& b) {
    first_ = UINT64_MAX;
    for (const auto* rows : {&a, &b}) {
      for (const RunRow& r : *rows) {
        first_ = std::min<uint64_t>(first_, r.begin);
        end_ = std::max<uint64_t>(end_, uint64_t{r.begin} + r.number);
      }
    }
    if (first_ > end_) first_ = end_;
    a_ = lay_out(a, &a_end_);
    b_ = lay_out(b, &b_end_);
  }

  // minus: a keeps a \ b and b keeps b \ a, each piece with its own run's type and snapshot.
  std::vector<RunRow> minus_a() const {
    return runs_by([&](size_t i) { return own_piece(a_[i], b_[i]); });
  }
  std::vector<RunRow> minus_b() const {
    return runs_by([&](size_t i) { return own_piece(b_[i], a_[i]); });
  }

  // diff: every sector of either input labelled by where it is, snapshot 0.
  std::vector<RunRow> diff() const {
    return runs_by([&](size_t i) -> std::optional<Piece> {
      if (!a_[i].held() && !b_[i].held()) return std::nullopt;
      const uint32_t label = !b_[i].held() ? RUN_TYPE_MINUS : !a_[i].held() ? RUN_TYPE_ADDED : RUN_TYPE_COMMON;
      return Piece{0, label, 0};
    });
  }

  // overlay: nothing when a minus sector of b is not one of a. Else b's sectors with b's
  // snapshot (none under its minus runs), a's other sectors with a's; typed data where the layers
  // meet, with their own type beyond the end of the other layer's last run.
  std::optional<std::vector<RunRow>> overlay() const {
    for (size_t i = 0; i < b_.size(); ++i) {
      if (b_[i].held() && b_[i].type == RUN_TYPE_MINUS && !a_[i].held()) return std::nullopt;
    }
    return runs_by([&](size_t i) -> std::optional<Piece> {
      const uint64_t sector = first_ + i;
      const Cell& lower = a_[i];
      const Cell& upper = b_[i];
      if (upper.held()) {
        if (upper.type == RUN_TYPE_MINUS) return std::nullopt;
        const bool tail = !lower.held() && sector >= a_end_;
        return Piece{0, tail ? upper.type : RUN_TYPE_DATA, upper.snapshot};
      }
      if (!lower.held()) return std::nullopt;
      return Piece{0, sector >= b_end_ ? lower.type : RUN_TYPE_DATA, lower.snapshot};
    });
  }

 private:
  // The cells of `rows` over the window; *layer_end is the end of the last run (0 for none).
  std::vector<Cell> lay_out(const std::vector<RunRow>& rows, uint64_t* layer_end) const {
    std::vector<Cell> cells(end_ - first_);
    *layer_end = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
      const RunRow& r = rows[k];
      for (uint64_t s = r.begin; s < uint64_t{r.begin} + r.number; ++s) cells[s - first_] = {int(k), r.type, r.snapshot};
      *layer_end = uint64_t{r.begin} + r.number;
    }
    return cells;
  }

  static std::optional<Piece> own_piece(const Cell& mine, const Cell& other) {
    if (!mine.held() || other.held()) return std::nullopt;
    return Piece{mine.run, mine.type, mine.snapshot};
  }

  template <typename PieceAt>
  std::vector<RunRow> runs_by(PieceAt piece_at) const {
    std::vector<RunRow> runs;
    std::optional<Piece> previous;
    for (size_t i = 0; i < a_.size(); ++i) {
      const std::optional<Piece> piece = piece_at(i);
      if (piece && piece == previous) {
        ++runs.back().number;
      } else if (piece) {
        runs.push_back({uint32_t(first_ + i), 1, piece->type, piece->snapshot});
      }
      previous = piece;
    }
    return runs;
  }

  uint64_t first_ = 0;
  uint64_t end_ = 0;
  uint64_t a_end_ = 0;
  uint64_t b_end_ = 0;
  std::vector<Cell> a_;
  std::vector<Cell> b_;
};

// The sectors of `runs` with their type and snapshot, for comparing results whose run structure
// the model does not fix (inputs with empty runs).
using SectorMap = std::map<uint64_t, std::pair<uint32_t, uint32_t>>;

SectorMap sectors_of(const std::vector<RunRow>& runs) {
  SectorMap m;
  for (const RunRow& r : runs) {
    for (uint64_t s = r.begin; s < uint64_t{r.begin} + r.number; ++s) m[s] = {r.type, r.snapshot};
  }
  return m;
}

::testing::AssertionResult sorted_disjoint(const std::vector<RunRow>& runs) {
  for (size_t i = 1; i < runs.size(); ++i) {
    if (runs[i].begin < uint64_t{runs[i - 1].begin} + runs[i - 1].number) {
      return ::testing::AssertionFailure() << "runs " << i - 1 << " and " << i << " overlap or are unsorted";
    }
  }
  return ::testing::AssertionSuccess();
}

std::string describe(const std::vector<RunRow>& runs) {
  std::string s;
  for (const RunRow& r : runs) {
    std::ostringstream os;
    os << r << "; ";
    s += os.str();
  }
  return s;
}

// Sorted, non-overlapping runs of every shape the walks treat differently: touching and
// separated runs, runs of a single sector, with `with_empty` now and then an empty run, all four
// types and three snapshots. `minus_in` of the runs (on average) get the minus type. Runs start
// near `base`; with a base near the top of the 32-bit range the last run may end exactly at 2^32.
std::vector<RunRow> random_layout(std::mt19937& rng, uint32_t count, uint64_t base, uint32_t minus_in,
                                  bool with_empty) {
  constexpr uint64_t kTop = uint64_t{1} << 32;
  std::vector<RunRow> runs;
  uint64_t at = base + rng() % 10;
  for (uint32_t i = 0; i < count && at < kTop; ++i) {
    uint64_t number = with_empty && rng() % 20 == 0 ? 0 : 1 + rng() % (rng() % 4 == 0 ? 40 : 12);
    if (at + number > kTop || (base > 0 && rng() % 8 == 0)) number = kTop - at;
    static constexpr uint32_t kPlainTypes[] = {RUN_TYPE_DATA, RUN_TYPE_COMMON, RUN_TYPE_ADDED};
    uint32_t type = kPlainTypes[rng() % 3];
    if (minus_in != 0 && rng() % minus_in == 0) type = RUN_TYPE_MINUS;
    runs.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(number), type, static_cast<uint32_t>(rng() % 3)});
    at += number + (rng() % 3 == 0 ? 0 : rng() % 14);
  }
  return runs;
}

// The capacity that appending `n` runs one at a time leaves: no array for none, then the first
// array and whole growth steps.
uint32_t appended_capacity(size_t n) {
  if (n == 0) return 0;
  if (n <= kRunVectorInitialEntries) return kRunVectorInitialEntries;
  const size_t steps = (n - kRunVectorInitialEntries + kRunVectorGrowthEntries - 1) / kRunVectorGrowthEntries;
  return uint32_t(kRunVectorInitialEntries + steps * kRunVectorGrowthEntries);
}

// Runs held by the vectors of one call, for the pool accounting check.
uint32_t runs_held(std::initializer_list<const IMAGE_RUN_VECTOR*> vectors) {
  uint32_t n = 0;
  for (const IMAGE_RUN_VECTOR* v : vectors) n += v != nullptr ? v->run_count : 0;
  return n;
}

bool has_empty_minus_run(const std::vector<RunRow>& runs) {
  return std::any_of(runs.begin(), runs.end(), [](const RunRow& r) { return r.number == 0 && r.type == RUN_TYPE_MINUS; });
}

TEST_F(ExtentSetOpsTest, SetOperationsMatchPerSectorModel) {
  std::mt19937 rng(7031);
  constexpr uint64_t kNearTop = (uint64_t{1} << 32) - 300;
  int overlays_done = 0;
  int overlays_failed = 0;
  for (int round = 0; round < 4000; ++round) {
    // Mostly a few runs each (one side often empty); every 400th round long vectors, so that the
    // arrays pass their first 1024 entries and many runs are split several times. Empty runs
    // hold no sectors and leave the run structure open: in the rounds that have them only the
    // sectors are compared.
    const bool long_round = round % 400 == 399;
    const bool with_empty = round % 4 == 3;
    auto count = [&] { return long_round ? 1500 + rng() % 1500 : (rng() % 8 == 0 ? 0 : rng() % 12); };
    const uint64_t base = rng() % 10 == 0 ? kNearTop : 0;
    const uint32_t minus_in = std::array<uint32_t, 4>{0, 2, 6, 30}[rng() % 4];
    const std::vector<RunRow> ra = random_layout(rng, count(), base, 4, with_empty);
    const std::vector<RunRow> rb = random_layout(rng, count(), base, minus_in, with_empty);
    SCOPED_TRACE("round " + std::to_string(round) + (long_round ? " (long)" : "") + "\n a: " +
                 (long_round ? "..." : describe(ra)) + "\n b: " + (long_round ? "..." : describe(rb)));
    const SectorModel model(ra, rb);
    // The whole result where the model fixes its runs, else its sectors.
    auto expect_runs = [&](const IMAGE_RUN_VECTOR* got, const std::vector<RunRow>& want) {
      const std::vector<RunRow> runs = runs_of(got);
      ASSERT_TRUE(sorted_disjoint(runs));
      if (with_empty) {
        ASSERT_EQ(sectors_of(runs), sectors_of(want));
      } else {
        ASSERT_EQ(runs, want);
      }
    };

    {  // minus: the return value and both altered vectors
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({a.get(), b.get()});
      ASSERT_EQ(libtavpub_minus_vector(a.get(), b.get()), 1);
      expect_runs(a.get(), model.minus_a());
      expect_runs(b.get(), model.minus_b());
      ASSERT_GE(a->vector_size, a->run_count);
      ASSERT_GE(b->vector_size, b->run_count);
      ASSERT_EQ(used_runs() - before, runs_held({a.get(), b.get()})) << "pool records lost or counted twice";
    }
    {  // diff: the result (its capacity too); the inputs stay sorted and disjoint
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({a.get(), b.get()});
      ImageVector got(libtavpub_diff_vector(a.get(), b.get()));
      ASSERT_NE(got, nullptr);
      expect_runs(got.get(), model.diff());
      if (!with_empty) {
        ASSERT_EQ(got->vector_size, appended_capacity(got->run_count)) << "not the array appending one by one leaves";
      }
      ASSERT_TRUE(sorted_disjoint(runs_of(a.get())));
      ASSERT_TRUE(sorted_disjoint(runs_of(b.get())));
      ASSERT_EQ(used_runs() - before, runs_held({a.get(), b.get(), got.get()}));
    }
    {  // overlay: the result (its capacity too) or the failure; the inputs stay sorted and disjoint
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({a.get(), b.get()});
      const std::optional<std::vector<RunRow>> want = model.overlay();
      ImageVector got(libtavpub_overlap_vector(a.get(), b.get()));
      if (!want) {
        ASSERT_EQ(got, nullptr);
        ++overlays_failed;
      } else if (got == nullptr) {
        // An empty minus run of b outside a's runs fails the call, though it removes nothing.
        ASSERT_TRUE(with_empty && has_empty_minus_run(rb)) << "a valid overlay failed";
      } else {
        expect_runs(got.get(), *want);
        if (!with_empty) {
          ASSERT_EQ(got->vector_size, appended_capacity(got->run_count)) << "not the array appending one by one leaves";
        }
        ++overlays_done;
      }
      ASSERT_TRUE(sorted_disjoint(runs_of(a.get())));
      ASSERT_TRUE(sorted_disjoint(runs_of(b.get())));
      ASSERT_EQ(used_runs() - before, runs_held({a.get(), b.get(), got.get()}));
    }
  }
  // Both outcomes of the overlay must be well represented.
  EXPECT_GT(overlays_done, 1000);
  EXPECT_GT(overlays_failed, 500);
}

}  // namespace
}  // namespace tav::test
