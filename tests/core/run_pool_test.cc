// Tests of the run pool: lazy growth by blocks, reuse order, release-all, uninit and reuse, and
// concurrent use from several threads.
#include "core/run_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/extent_set_ops.h"
#include "core/extent_vector.h"
#include "tests/core/extent_test_helpers.h"

namespace tav::test {
namespace {

// Each test starts from an uninitialized pool and leaves none behind.
class RunPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(libtavpub_run_uninit(), 1); }
  void TearDown() override { libtavpub_run_uninit(); }

  static void expect_stats(uint32_t blocks, uint32_t free_runs, uint32_t used) {
    const RunPoolStats s = run_pool_stats();
    EXPECT_EQ(s.blocks, blocks);
    EXPECT_EQ(s.free_runs, free_runs);
    EXPECT_EQ(s.used_runs, used);
  }
};

TEST_F(RunPoolTest, GrowsLazilyOneBlockAtATime) {
  expect_stats(0, 0, 0);
  std::vector<IMAGE_RUN*> runs;
  runs.push_back(libtavpub_get_image_run());
  ASSERT_NE(runs.back(), nullptr);
  expect_stats(1, kRunsPerPoolBlock - 1, 1);

  for (uint32_t i = 1; i < kRunsPerPoolBlock; ++i) runs.push_back(libtavpub_get_image_run());
  expect_stats(1, 0, kRunsPerPoolBlock);
  runs.push_back(libtavpub_get_image_run());  // the 4097th run needs a second block
  expect_stats(2, kRunsPerPoolBlock - 1, kRunsPerPoolBlock + 1);

  // Every record is distinct and writable.
  for (size_t i = 0; i < runs.size(); ++i) *runs[i] = IMAGE_RUN{{static_cast<uint32_t>(i), 1}, 0, 0};
  for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i]->value.Begin, i);

  for (IMAGE_RUN* run : runs) libtavpub_release_image_run(run);
  // Blocks stay allocated until uninit.
  expect_stats(2, 2 * kRunsPerPoolBlock, 0);
  libtavpub_release_image_run(nullptr);
}

TEST_F(RunPoolTest, ReleasedRunIsHandedOutNextWithItsOldFields) {
  IMAGE_RUN* first = libtavpub_get_image_run();
  IMAGE_RUN* second = libtavpub_get_image_run();
  ASSERT_NE(first, second);
  *first = IMAGE_RUN{{7, 8}, RUN_TYPE_ADDED, 9};
  libtavpub_release_image_run(first);
  IMAGE_RUN* again = libtavpub_get_image_run();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->value.Begin, 7u);
  EXPECT_EQ(again->snapshot, 9u);
  libtavpub_release_image_run(again);
  libtavpub_release_image_run(second);
}

TEST_F(RunPoolTest, InitAndAllocAddBlocks) {
  EXPECT_EQ(libtavpub_run_init(), 1);
  expect_stats(1, kRunsPerPoolBlock, 0);
  EXPECT_EQ(libtavpub_alloc_some_new_runs(), 1);
  expect_stats(2, 2 * kRunsPerPoolBlock, 0);
  IMAGE_RUN* run = libtavpub_get_image_run();
  expect_stats(2, 2 * kRunsPerPoolBlock - 1, 1);
  libtavpub_release_image_run(run);
}

TEST_F(RunPoolTest, RunsHeldAcrossReleaseAllCanStillBeReleased) {
  ImageVector v = make_vector({{0, 1}, {2, 1}, {4, 1}});
  IMAGE_RUN* spare = libtavpub_get_image_run();
  libtavpub_release_all_image_runs();
  expect_stats(1, 0, 0);

  // The records still live in their block; releasing them puts them on the free list.
  const std::vector<IMAGE_RUN*> held(v->runs, v->runs + 3);
  v.reset();
  libtavpub_release_image_run(spare);
  expect_stats(1, 4, 0);
  std::vector<IMAGE_RUN*> again;
  for (int i = 0; i < 4; ++i) again.push_back(libtavpub_get_image_run());
  expect_stats(1, 0, 4);  // no new block: the four released records came back
  for (IMAGE_RUN* run : held) EXPECT_NE(std::find(again.begin(), again.end(), run), again.end());
  for (IMAGE_RUN* run : again) libtavpub_release_image_run(run);
}

TEST_F(RunPoolTest, UsableAgainAfterUninit) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ImageVector v(libtavpub_create_empty_image_run_vector());
    for (uint32_t i = 0; i < 5000; ++i) {
      const IMAGE_RUN run{{i * 2, 1}, RUN_TYPE_DATA, i};
      ASSERT_EQ(libtavpub_append_image_run(v.get(), &run), 1);
    }
    expect_stats(2, 2 * kRunsPerPoolBlock - 5000, 5000);
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(v->runs[i]->snapshot, i);
    v.reset();
    EXPECT_EQ(libtavpub_run_uninit(), 1);
    expect_stats(0, 0, 0);
  }
}

// Several threads take and return runs and build, combine and check vectors at the same time.
// A record handed to two threads at once, or a list corrupted by a race, shows up as a run whose
// fields another thread overwrote, or as a wrong count at the end.
TEST_F(RunPoolTest, ConcurrentUseKeepsEveryThreadsRunsIntact) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::vector<int> failures(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &failures] {
        std::mt19937 rng(77 + t);
        const uint32_t tag = 1000 + t;
        for (int round = 0; round < kRounds; ++round) {
          // Raw runs stamped with this thread's tag.
          std::vector<IMAGE_RUN*> raw;
          const uint32_t raw_count = 1 + rng() % 600;
          for (uint32_t i = 0; i < raw_count; ++i) {
            IMAGE_RUN* run = libtavpub_get_image_run();
            if (run == nullptr) {
              ++failures[t];
              break;
            }
            *run = IMAGE_RUN{{i, static_cast<uint32_t>(round)}, RUN_TYPE_DATA, tag};
            raw.push_back(run);
          }
          // A vector with gaps between its runs, so that nothing merges.
          IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
          const uint32_t count = 1 + rng() % 400;
          for (uint32_t i = 0; i < count; ++i) {
            const IMAGE_RUN run{{i * 10, 5}, RUN_TYPE_DATA, tag};
            if (!libtavpub_append_image_run(v, &run)) ++failures[t];
          }
          // Diff against a shifted copy: sectors [i*10, i*10+5) vs [i*10+3, i*10+8).
          IMAGE_RUN_VECTOR* shifted = libtavpub_copy_image_run_vector(v);
          for (uint32_t i = 0; shifted != nullptr && i < shifted->run_count; ++i) shifted->runs[i]->value.Begin += 3;
          IMAGE_RUN_VECTOR* older = libtavpub_copy_image_run_vector(v);
          IMAGE_RUN_VECTOR* d = libtavpub_diff_vector(older, shifted);
          if (d == nullptr || d->run_count != 3 * count) ++failures[t];
          libtavpub_release_image_run_vector(d);
          libtavpub_release_image_run_vector(older);
          libtavpub_release_image_run_vector(shifted);

          if (v->run_count != count) ++failures[t];
          for (uint32_t i = 0; i < v->run_count; ++i) {
            const IMAGE_RUN& r = *v->runs[i];
            if (r.value.Begin != i * 10 || r.value.Number != 5 || r.snapshot != tag) ++failures[t];
          }
          for (uint32_t i = 0; i < raw.size(); ++i) {
            if (raw[i]->value.Begin != i || raw[i]->value.Number != static_cast<uint32_t>(round) ||
                raw[i]->snapshot != tag) {
              ++failures[t];
            }
          }
          // Tight take-and-return cycles keep the lists under contention.
          for (uint32_t k = 0; k < 1000; ++k) {
            IMAGE_RUN* pair[2] = {libtavpub_get_image_run(), libtavpub_get_image_run()};
            if (pair[0] == nullptr || pair[1] == nullptr || pair[0] == pair[1]) {
              ++failures[t];
              continue;
            }
            pair[0]->snapshot = tag;
            pair[1]->snapshot = tag + 100;
            if (pair[0]->snapshot != tag || pair[1]->snapshot != tag + 100) ++failures[t];
            libtavpub_release_image_run(pair[k % 2]);
            libtavpub_release_image_run(pair[1 - k % 2]);
          }
          std::shuffle(raw.begin(), raw.end(), rng);
          for (IMAGE_RUN* run : raw) libtavpub_release_image_run(run);
          libtavpub_release_image_run_vector(v);
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  const RunPoolStats s = run_pool_stats();
  EXPECT_EQ(s.used_runs, 0u);
  EXPECT_EQ(s.free_runs, s.blocks * kRunsPerPoolBlock);
}

}  // namespace
}  // namespace tav::test
