// Tests of the set operations over run vectors: search, insert-and-merge, minus, diff and
// overlay, with worked examples and a randomized comparison against a per-sector model.
#include "core/extent_set_ops.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tav::test
