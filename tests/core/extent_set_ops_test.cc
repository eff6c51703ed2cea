// Tests of the set operations over run vectors: search, insert-and-merge, minus, diff and
// overlay, with worked examples, a randomized comparison against a per-sector model, and a
// randomized run-for-run comparison of minus, diff and overlay against a step-by-step reference.
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

using SectorMap = std::map<uint32_t, std::pair<uint32_t, uint32_t>>;  // sector -> (type, snapshot)

SectorMap sectors_of(const std::vector<RunRow>& runs) {
  SectorMap m;
  for (const RunRow& r : runs) {
    for (uint32_t s = r.begin; s < r.begin + r.number; ++s) m[s] = {r.type, r.snapshot};
  }
  return m;
}

// Sorted, non-overlapping runs over [0, 120) with random gaps (sometimes none, so runs touch).
std::vector<RunRow> random_runs(std::mt19937& rng, bool allow_minus) {
  std::vector<RunRow> runs;
  const uint32_t count = rng() % 7;
  uint32_t at = rng() % 10;
  for (uint32_t i = 0; i < count && at < 120; ++i) {
    const uint32_t number = 1 + rng() % 15;
    uint32_t type = rng() % 4;
    if (!allow_minus && type == RUN_TYPE_MINUS) type = RUN_TYPE_DATA;
    runs.push_back({at, number, type, static_cast<uint32_t>(rng() % 3)});
    at += number + (rng() % 3 == 0 ? 0 : rng() % 12);
  }
  return runs;
}

::testing::AssertionResult sorted_disjoint(const std::vector<RunRow>& runs) {
  for (size_t i = 1; i < runs.size(); ++i) {
    if (runs[i].begin < runs[i - 1].begin + runs[i - 1].number) {
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

TEST_F(ExtentSetOpsTest, SetOperationsMatchPerSectorModel) {
  std::mt19937 rng(20240611);
  int overlay_failures = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::vector<RunRow> ra = random_runs(rng, /*allow_minus=*/false);
    const std::vector<RunRow> rb = random_runs(rng, /*allow_minus=*/true);
    SCOPED_TRACE("round " + std::to_string(round) + "\n a: " + describe(ra) + "\n b: " + describe(rb));
    const SectorMap ma = sectors_of(ra);
    const SectorMap mb = sectors_of(rb);

    {  // minus: a keeps a\b, b keeps b\a, every sector keeping its type and snapshot
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      ASSERT_EQ(libtavpub_minus_vector(a.get(), b.get()), 1);
      SectorMap want_a;
      SectorMap want_b;
      for (const auto& [s, v] : ma) {
        if (!mb.count(s)) want_a[s] = v;
      }
      for (const auto& [s, v] : mb) {
        if (!ma.count(s)) want_b[s] = v;
      }
      ASSERT_TRUE(sorted_disjoint(runs_of(a.get())));
      ASSERT_TRUE(sorted_disjoint(runs_of(b.get())));
      ASSERT_EQ(sectors_of(runs_of(a.get())), want_a);
      ASSERT_EQ(sectors_of(runs_of(b.get())), want_b);
    }
    {  // diff: labels per sector, snapshot 0, sorted and coalesced
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      ImageVector d(libtavpub_diff_vector(a.get(), b.get()));
      ASSERT_NE(d, nullptr);
      SectorMap want;
      for (const auto& [s, v] : ma) want[s] = {mb.count(s) ? RUN_TYPE_COMMON : RUN_TYPE_MINUS, 0};
      for (const auto& [s, v] : mb) {
        if (!ma.count(s)) want[s] = {RUN_TYPE_ADDED, 0};
      }
      const std::vector<RunRow> got = runs_of(d.get());
      ASSERT_TRUE(sorted_disjoint(got));
      ASSERT_EQ(sectors_of(got), want);
      for (size_t i = 1; i < got.size(); ++i) {
        ASSERT_FALSE(got[i].begin == got[i - 1].begin + got[i - 1].number && got[i].type == got[i - 1].type)
            << "not coalesced at " << i;
      }
    }
    {  // overlay: b's snapshot where b holds data, a's elsewhere, nothing under b's minus runs
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      ImageVector o(libtavpub_overlap_vector(a.get(), b.get()));
      bool minus_over_absent = false;
      std::map<uint32_t, uint32_t> want;  // sector -> snapshot
      for (const auto& [s, v] : ma) want[s] = v.second;
      for (const auto& [s, v] : mb) {
        if (v.first == RUN_TYPE_MINUS) {
          if (!ma.count(s)) minus_over_absent = true;
          want.erase(s);
        } else {
          want[s] = v.second;
        }
      }
      if (minus_over_absent) {
        ASSERT_EQ(o, nullptr);
        ++overlay_failures;
        continue;
      }
      ASSERT_NE(o, nullptr);
      const std::vector<RunRow> got = runs_of(o.get());
      ASSERT_TRUE(sorted_disjoint(got));
      std::map<uint32_t, uint32_t> have;
      for (const auto& [s, v] : sectors_of(got)) {
        ASSERT_NE(v.first, RUN_TYPE_MINUS) << "sector " << s;
        have[s] = v.second;
      }
      ASSERT_EQ(have, want);
    }
  }
  // The generator must reach both outcomes of the overlay.
  EXPECT_GT(overlay_failures, 100);
  EXPECT_LT(overlay_failures, 2900);
}

// ---- run-for-run comparison with a step-by-step reference -------------------------------------

// The three walks written step by step: each split piece is inserted into its input vector in
// front of the run it came from, each run removed by minus is taken out of its array at once.
// Quadratic in the number of runs, but every step is plain to check against the documented walk; the
// library's walks must give the same runs, one for one, in all four fields.
namespace reference {

void cut_front(IMAGE_RUN& run, uint32_t begin) {
  run.value.Number -= begin - run.value.Begin;
  run.value.Begin = begin;
}

IMAGE_RUN front_piece(const IMAGE_RUN& run, uint32_t begin) {
  return IMAGE_RUN{{run.value.Begin, begin - run.value.Begin}, run.type, run.snapshot};
}

void remove_run_at(IMAGE_RUN_VECTOR* v, uint32_t index) {
  libtavpub_release_image_run(v->runs[index]);
  std::memmove(&v->runs[index], &v->runs[index + 1], sizeof(IMAGE_RUN*) * (v->run_count - index - 1));
  --v->run_count;
  v->runs[v->run_count] = nullptr;
}

bool emit(IMAGE_RUN_VECTOR* out, const IMAGE_RUN& extent, uint32_t type, uint32_t snapshot) {
  const IMAGE_RUN run{extent.value, type, snapshot};
  return libtavpub_append_image_run(out, &run) != 0;
}

bool is_empty(const IMAGE_RUN_VECTOR* v) { return v == nullptr || v->run_count == 0; }

int minus(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  if (a == nullptr || b == nullptr) return 0;
  if (a->run_count == 0 || b->run_count == 0) return 1;
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

IMAGE_RUN_VECTOR* diff(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  IMAGE_RUN_VECTOR* out = libtavpub_create_empty_image_run_vector();
  if (out == nullptr || a == nullptr || b == nullptr) return out;
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

IMAGE_RUN_VECTOR* overlay(IMAGE_RUN_VECTOR* a, IMAGE_RUN_VECTOR* b) {
  if (is_empty(a) && is_empty(b)) return libtavpub_create_empty_image_run_vector();
  if (is_empty(a)) {
    if (libtavpub_include_minus_image_run(b->runs, b->run_count)) return nullptr;
    return libtavpub_copy_image_run_vector(b);
  }
  if (is_empty(b)) return libtavpub_copy_image_run_vector(a);
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

}  // namespace reference

// Sorted, non-overlapping runs of every shape the walks treat differently: touching and
// separated runs, runs of a single sector, now and then an empty run, all four types and three
// snapshots. `minus_in` of the runs (on average) get the minus type. Runs start near `base`;
// with a base near the top of the 32-bit range the last run may end exactly at 2^32.
std::vector<RunRow> random_layout(std::mt19937& rng, uint32_t count, uint64_t base, uint32_t minus_in) {
  constexpr uint64_t kTop = uint64_t{1} << 32;
  std::vector<RunRow> runs;
  uint64_t at = base + rng() % 10;
  for (uint32_t i = 0; i < count && at < kTop; ++i) {
    uint64_t number = rng() % 20 == 0 ? 0 : 1 + rng() % (rng() % 4 == 0 ? 40 : 12);
    if (at + number > kTop || (base > 0 && rng() % 8 == 0)) number = kTop - at;
    static constexpr uint32_t kPlainTypes[] = {RUN_TYPE_DATA, RUN_TYPE_COMMON, RUN_TYPE_ADDED};
    uint32_t type = kPlainTypes[rng() % 3];
    if (minus_in != 0 && rng() % minus_in == 0) type = RUN_TYPE_MINUS;
    runs.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(number), type, static_cast<uint32_t>(rng() % 3)});
    at += number + (rng() % 3 == 0 ? 0 : rng() % 14);
  }
  return runs;
}

// Runs held by the three vectors of one call, for the pool accounting check.
uint32_t runs_held(std::initializer_list<const IMAGE_RUN_VECTOR*> vectors) {
  uint32_t n = 0;
  for (const IMAGE_RUN_VECTOR* v : vectors) n += v != nullptr ? v->run_count : 0;
  return n;
}

TEST_F(ExtentSetOpsTest, SetOperationsMatchStepByStepReference) {
  std::mt19937 rng(7031);
  constexpr uint64_t kNearTop = (uint64_t{1} << 32) - 300;
  int overlays_done = 0;
  int overlays_failed = 0;
  for (int round = 0; round < 4000; ++round) {
    // Mostly a few runs each (one side often empty); every 400th round long vectors, so that the
    // arrays pass their first 1024 entries and many runs are split several times.
    const bool long_round = round % 400 == 399;
    auto count = [&] { return long_round ? 1500 + rng() % 1500 : (rng() % 8 == 0 ? 0 : rng() % 12); };
    const uint64_t base = rng() % 10 == 0 ? kNearTop : 0;
    const uint32_t minus_in = std::array<uint32_t, 4>{0, 2, 6, 30}[rng() % 4];
    const std::vector<RunRow> ra = random_layout(rng, count(), base, 4);
    const std::vector<RunRow> rb = random_layout(rng, count(), base, minus_in);
    SCOPED_TRACE("round " + std::to_string(round) + (long_round ? " (long)" : "") + "\n a: " +
                 (long_round ? "..." : describe(ra)) + "\n b: " + (long_round ? "..." : describe(rb)));

    {  // minus: the return value and both altered vectors
      ImageVector want_a = make_vector(ra);
      ImageVector want_b = make_vector(rb);
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({want_a.get(), want_b.get(), a.get(), b.get()});
      ASSERT_EQ(libtavpub_minus_vector(a.get(), b.get()), reference::minus(want_a.get(), want_b.get()));
      ASSERT_EQ(runs_of(a.get()), runs_of(want_a.get()));
      ASSERT_EQ(runs_of(b.get()), runs_of(want_b.get()));
      ASSERT_GE(a->vector_size, a->run_count);
      ASSERT_GE(b->vector_size, b->run_count);
      ASSERT_EQ(used_runs() - before, runs_held({want_a.get(), want_b.get(), a.get(), b.get()}))
          << "pool records lost or counted twice";
    }
    {  // diff: the result (its capacity too); the inputs stay sorted and disjoint
      ImageVector want_a = make_vector(ra);
      ImageVector want_b = make_vector(rb);
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({want_a.get(), want_b.get(), a.get(), b.get()});
      ImageVector want(reference::diff(want_a.get(), want_b.get()));
      ImageVector got(libtavpub_diff_vector(a.get(), b.get()));
      ASSERT_NE(want, nullptr);
      ASSERT_NE(got, nullptr);
      ASSERT_EQ(runs_of(got.get()), runs_of(want.get()));
      ASSERT_EQ(got->vector_size, want->vector_size) << "not the array appending one by one leaves";
      ASSERT_TRUE(sorted_disjoint(runs_of(a.get())));
      ASSERT_TRUE(sorted_disjoint(runs_of(b.get())));
      ASSERT_EQ(used_runs() - before,
                runs_held({want_a.get(), want_b.get(), a.get(), b.get(), want.get(), got.get()}));
    }
    {  // overlay: the result (its capacity too) or the failure; the inputs stay sorted and disjoint
      ImageVector want_a = make_vector(ra);
      ImageVector want_b = make_vector(rb);
      ImageVector a = make_vector(ra);
      ImageVector b = make_vector(rb);
      const uint32_t before = used_runs() - runs_held({want_a.get(), want_b.get(), a.get(), b.get()});
      ImageVector want(reference::overlay(want_a.get(), want_b.get()));
      ImageVector got(libtavpub_overlap_vector(a.get(), b.get()));
      ASSERT_EQ(got == nullptr, want == nullptr);
      if (want != nullptr) {
        ASSERT_EQ(runs_of(got.get()), runs_of(want.get()));
        ASSERT_EQ(got->vector_size, want->vector_size) << "not the array appending one by one leaves";
        ++overlays_done;
      } else {
        ++overlays_failed;
      }
      ASSERT_TRUE(sorted_disjoint(runs_of(a.get())));
      ASSERT_TRUE(sorted_disjoint(runs_of(b.get())));
      ASSERT_EQ(used_runs() - before,
                runs_held({want_a.get(), want_b.get(), a.get(), b.get(), want.get(), got.get()}));
    }
  }
  // Both outcomes of the overlay must be well represented.
  EXPECT_GT(overlays_done, 1000);
  EXPECT_GT(overlays_failed, 500);
}

}  // namespace
}  // namespace tav::test
