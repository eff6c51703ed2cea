// Tests of run vectors: growth, appending with merging, insertion, copies, filters, totals,
// cluster conversion, flat <-> image conversion and equality.
#include "core/extent_vector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/core/extent_test_helpers.h"

namespace tav::test {
namespace {

class ExtentVectorTest : public ::testing::Test {
 protected:
  void SetUp() override { used_before_ = used_runs(); }
  // Every test must hand all its runs back to the pool.
  void TearDown() override { EXPECT_EQ(used_runs(), used_before_) << "runs leaked from the pool"; }

 private:
  uint32_t used_before_ = 0;
};

TEST_F(ExtentVectorTest, GrowthIsLinearAfterFirstArray) {
  ImageVector image(libtavpub_create_empty_image_run_vector());
  FlatVector flat(libtavpub_create_empty_flat_run_vector());
  ASSERT_TRUE(image && flat);
  EXPECT_EQ(image->runs, nullptr);
  EXPECT_EQ(image->vector_size, 0u);

  // Entry number (1-based) -> capacity right after it was appended.
  const std::vector<std::pair<uint32_t, uint32_t>> checkpoints = {
      {1, 1024}, {1024, 1024}, {1025, 1536}, {1536, 1536}, {1537, 2048}, {2049, 2560}};
  uint32_t appended = 0;
  for (const auto& [entry, capacity] : checkpoints) {
    for (; appended < entry; ++appended) {
      // Gaps between runs keep append from merging them.
      const IMAGE_RUN run{{appended * 2, 1}, RUN_TYPE_DATA, 0};
      const FLAT_RUN flat_run{appended * 2, 1};
      ASSERT_EQ(libtavpub_append_image_run(image.get(), &run), 1);
      ASSERT_EQ(libtavpub_append_flat_run(flat.get(), &flat_run), 1);
    }
    SCOPED_TRACE("entry " + std::to_string(entry));
    EXPECT_EQ(image->run_count, entry);
    EXPECT_EQ(image->vector_size, capacity);
    EXPECT_EQ(flat->run_count, entry);
    EXPECT_EQ(flat->vector_size, capacity);
  }
  // Entries survive the copies made while growing.
  for (uint32_t i = 0; i < appended; ++i) {
    ASSERT_EQ(image->runs[i]->value.Begin, i * 2);
    ASSERT_EQ(flat->runs[i].Begin, i * 2);
  }
  EXPECT_EQ(libtavpub_expand_image_run_vector(nullptr), 0);
  EXPECT_EQ(libtavpub_expand_fat_run_vector(nullptr), 0);
}

TEST_F(ExtentVectorTest, AppendImageRunMergesOnlyExactlyAdjacentEqualRuns) {
  struct Case {
    const char* name;
    RunRow last;
    RunRow added;
    std::vector<RunRow> expected;
  };
  const Case cases[] = {
      {"adjacent, same type and snapshot", {100, 8, 0, 1}, {108, 4, 0, 1}, {{100, 12, 0, 1}}},
      {"different snapshot", {100, 8, 0, 1}, {108, 4, 0, 2}, {{100, 8, 0, 1}, {108, 4, 0, 2}}},
      {"different type", {100, 8, RUN_TYPE_DATA, 0}, {108, 4, RUN_TYPE_MINUS, 0},
       {{100, 8, RUN_TYPE_DATA, 0}, {108, 4, RUN_TYPE_MINUS, 0}}},
      {"gap", {100, 8}, {109, 4}, {{100, 8}, {109, 4}}},
      {"overlapping is appended as is", {100, 8}, {104, 8}, {{100, 8}, {104, 8}}},
      {"before the last run is not sorted", {100, 8}, {10, 8}, {{100, 8}, {10, 8}}},
      // Ends are 64-bit: a run ending at 2^32 does not touch sector 0.
      {"end at 2^32 does not wrap", {0xFFFFFFF0u, 0x10}, {0, 4}, {{0xFFFFFFF0u, 0x10}, {0, 4}}},
      // A merged count must fit in 32 bits.
      {"merged count would overflow", {0, 0xFFFFFFFFu}, {0xFFFFFFFFu, 5}, {{0, 0xFFFFFFFFu}, {0xFFFFFFFFu, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector v(libtavpub_create_empty_image_run_vector());
    const IMAGE_RUN last = to_image_run(c.last);
    const IMAGE_RUN added = to_image_run(c.added);
    ASSERT_EQ(libtavpub_append_image_run(v.get(), &last), 1);
    ASSERT_EQ(libtavpub_append_image_run(v.get(), &added), 1);
    EXPECT_EQ(runs_of(v.get()), c.expected);
  }
  const IMAGE_RUN run{{0, 1}, 0, 0};
  EXPECT_EQ(libtavpub_append_image_run(nullptr, &run), 0);
}

TEST_F(ExtentVectorTest, AppendFlatRunNeverMixesMinusFlagIntoCounts) {
  constexpr uint32_t kMinus = kFlatRunMinusFlag;
  struct Case {
    const char* name;
    FLAT_RUN last;
    FLAT_RUN added;
    FlatRows expected;
  };
  const Case cases[] = {
      {"adjacent plain runs merge", {100, 8}, {108, 4}, {{100, 12}}},
      {"gap", {100, 8}, {110, 4}, {{100, 8}, {110, 4}}},
      // Adding the flagged word would turn the data run into a minus run of 12 sectors.
      {"minus after data", {100, 8}, {108, kMinus | 4}, {{100, 8}, {108, kMinus | 4}}},
      {"data after minus", {100, kMinus | 8}, {108, 4}, {{100, kMinus | 8}, {108, 4}}},
      {"minus after minus", {100, kMinus | 8}, {108, kMinus | 4}, {{100, kMinus | 8}, {108, kMinus | 4}}},
      // With the flag word compared, this data run would look adjacent to the minus run.
      {"flag is not a length", {0, kMinus | 10}, {kMinus | 10, 5}, {{0, kMinus | 10}, {kMinus | 10, 5}}},
      // A count reaching bit 31 would read back as a minus run.
      {"count would reach the flag", {0, 0x7FFFFFF0u}, {0x7FFFFFF0u, 0x20}, {{0, 0x7FFFFFF0u}, {0x7FFFFFF0u, 0x20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlatVector v(libtavpub_create_empty_flat_run_vector());
    ASSERT_EQ(libtavpub_append_flat_run(v.get(), &c.last), 1);
    ASSERT_EQ(libtavpub_append_flat_run(v.get(), &c.added), 1);
    EXPECT_EQ(flat_runs_of(v.get()), c.expected);
  }
}

TEST_F(ExtentVectorTest, AppendMultiStopsAtFirstNullEntry) {
  IMAGE_RUN a{{0, 10}, 0, 0};
  IMAGE_RUN b{{20, 10}, 0, 0};
  IMAGE_RUN* with_null[] = {&a, nullptr, &b};
  ImageVector v(libtavpub_create_empty_image_run_vector());
  EXPECT_EQ(libtavpub_append_multi_image_run(v.get(), with_null, 3), 0);
  EXPECT_EQ(runs_of(v.get()), (std::vector<RunRow>{{0, 10}}));
  EXPECT_EQ(libtavpub_append_multi_image_run(v.get(), nullptr, 0), 0);
  EXPECT_EQ(libtavpub_append_multi_image_run(nullptr, with_null, 1), 0);
}

TEST_F(ExtentVectorTest, InsertBeforeShiftsLaterEntries) {
  const IMAGE_RUN x{{5, 1}, RUN_TYPE_ADDED, 7};
  struct Case {
    const char* name;
    std::vector<RunRow> start;
    uint32_t index;
    int result;
    std::vector<RunRow> expected;
  };
  const Case cases[] = {
      {"at front", {{10, 1}, {20, 1}}, 0, 1, {{5, 1, RUN_TYPE_ADDED, 7}, {10, 1}, {20, 1}}},
      {"in the middle", {{10, 1}, {20, 1}}, 1, 1, {{10, 1}, {5, 1, RUN_TYPE_ADDED, 7}, {20, 1}}},
      {"index == run_count", {{10, 1}, {20, 1}}, 2, 0, {{10, 1}, {20, 1}}},
      {"empty vector", {}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector v = make_vector(c.start);
    EXPECT_EQ(libtavpub_insert_before_image_run(v.get(), c.index, &x), c.result);
    EXPECT_EQ(runs_of(v.get()), c.expected);
  }
  // Inserting into a full array grows it first.
  std::vector<RunRow> full;
  for (uint32_t i = 0; i < 1024; ++i) full.push_back({i * 2, 1});
  ImageVector v = make_vector(full);
  ASSERT_EQ(v->vector_size, 1024u);
  ASSERT_EQ(libtavpub_insert_before_image_run(v.get(), 1023, &x), 1);
  EXPECT_EQ(v->vector_size, 1536u);
  EXPECT_EQ(v->runs[1023]->value.Begin, 5u);
  EXPECT_EQ(v->runs[1024]->value.Begin, 2046u);
}

TEST_F(ExtentVectorTest, CopyAndExtractBuildByAppending) {
  ImageVector src = make_vector({{0, 10, RUN_TYPE_DATA, 1},
                                 {10, 5, RUN_TYPE_DATA, 1},  // adjacent and equal: merged in copies
                                 {15, 5, RUN_TYPE_MINUS, 1},
                                 {30, 5, RUN_TYPE_DATA, 2},
                                 {35, 5, RUN_TYPE_DATA, 1}});
  ImageVector copy(libtavpub_copy_image_run_vector(src.get()));
  EXPECT_EQ(runs_of(copy.get()), (std::vector<RunRow>{{0, 15, RUN_TYPE_DATA, 1},
                                                   {15, 5, RUN_TYPE_MINUS, 1},
                                                   {30, 5, RUN_TYPE_DATA, 2},
                                                   {35, 5, RUN_TYPE_DATA, 1}}));
  // The copy owns its own runs.
  EXPECT_NE(copy->runs[0], src->runs[0]);

  ImageVector data(libtavpub_extract_run_vec_with_type(src.get(), RUN_TYPE_DATA));
  EXPECT_EQ(runs_of(data.get()),
            (std::vector<RunRow>{{0, 15, RUN_TYPE_DATA, 1}, {30, 5, RUN_TYPE_DATA, 2}, {35, 5, RUN_TYPE_DATA, 1}}));
  ImageVector snap1(libtavpub_extract_run_vec_with_snapshot(src.get(), 1));
  EXPECT_EQ(runs_of(snap1.get()), (std::vector<RunRow>{{0, 15, RUN_TYPE_DATA, 1},
                                                    {15, 5, RUN_TYPE_MINUS, 1},
                                                    {35, 5, RUN_TYPE_DATA, 1}}));
  ImageVector none(libtavpub_extract_run_vec_with_snapshot(src.get(), 9));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->run_count, 0u);

  EXPECT_EQ(libtavpub_copy_image_run_vector(nullptr), nullptr);
  EXPECT_EQ(libtavpub_extract_run_vec_with_type(nullptr, 0), nullptr);
  ImageVector empty(libtavpub_create_empty_image_run_vector());
  ImageVector empty_copy(libtavpub_copy_image_run_vector(empty.get()));
  ASSERT_NE(empty_copy, nullptr);
  EXPECT_EQ(empty_copy->run_count, 0u);

  // A null entry makes an extract fail and leaves nothing behind.
  IMAGE_RUN* saved = src->runs[2];
  src->runs[2] = nullptr;
  EXPECT_EQ(libtavpub_extract_run_vec_with_type(src.get(), RUN_TYPE_DATA), nullptr);
  src->runs[2] = saved;
}

TEST_F(ExtentVectorTest, SetMultiAndIncludeMinusWorkOnArrayTails) {
  ImageVector v = make_vector({{0, 1}, {2, 1}, {4, 1}, {6, 1}});
  ASSERT_EQ(libtavpub_set_multi_image_run_type(v->runs + 2, 2, RUN_TYPE_MINUS), 1);
  ASSERT_EQ(libtavpub_set_multi_image_run_snapshot(v->runs + 1, 2, 5), 1);
  EXPECT_EQ(runs_of(v.get()), (std::vector<RunRow>{{0, 1, RUN_TYPE_DATA, 0},
                                                {2, 1, RUN_TYPE_DATA, 5},
                                                {4, 1, RUN_TYPE_MINUS, 5},
                                                {6, 1, RUN_TYPE_MINUS, 0}}));
  EXPECT_EQ(libtavpub_include_minus_image_run(v->runs, 2), 0);
  EXPECT_EQ(libtavpub_include_minus_image_run(v->runs, 3), 1);
  EXPECT_EQ(libtavpub_include_minus_image_run(v->runs + 3, 1), 1);
  EXPECT_EQ(libtavpub_include_minus_image_run(nullptr, 3), 0);
  EXPECT_EQ(libtavpub_set_multi_image_run_type(nullptr, 3, 0), 0);
  EXPECT_EQ(libtavpub_set_multi_image_run_snapshot(nullptr, 3, 0), 0);
}

TEST_F(ExtentVectorTest, TotalSectorsLeaveOutMinusRuns) {
  ImageVector image = make_vector({{0, 10, RUN_TYPE_DATA}, {10, 7, RUN_TYPE_MINUS}, {20, 3, RUN_TYPE_ADDED},
                                   {30, 4, RUN_TYPE_COMMON}});
  EXPECT_EQ(libtavpub_image_runs_total_sectors(image.get()), 17u);
  FlatVector flat = make_flat_vector({{0, 10}, {10, kFlatRunMinusFlag | 7}, {20, 3}});
  EXPECT_EQ(libtavpub_flat_runs_total_sectors(flat.get()), 13u);
  EXPECT_EQ(libtavpub_image_runs_total_sectors(nullptr), 0u);
  EXPECT_EQ(libtavpub_flat_runs_total_sectors(nullptr), 0u);
  ImageVector empty(libtavpub_create_empty_image_run_vector());
  EXPECT_EQ(libtavpub_image_runs_total_sectors(empty.get()), 0u);
}

TEST_F(ExtentVectorTest, ClustersToSectors) {
  struct Case {
    const char* name;
    uint32_t first_sector;
    uint32_t sectors_per_cluster;
    int fat_numbering;
    FLAT_RUN in;
    FLAT_RUN out;
  };
  const Case cases[] = {
      {"plain", 63, 8, 0, {10, 3}, {63 + 80, 24}},
      {"clusters numbered from 2", 100, 4, 1, {2, 5}, {100, 20}},
      {"only the low 8 bits of the cluster size", 0, 0x108, 0, {10, 3}, {80, 24}},
      {"minus flag kept", 0, 8, 0, {10, kFlatRunMinusFlag | 3}, {80, kFlatRunMinusFlag | 24}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlatVector flat = make_flat_vector({c.in});
    EXPECT_EQ(libtavpub_flat_runs_clr_to_sec(flat.get(), c.first_sector, c.sectors_per_cluster, c.fat_numbering), 0);
    EXPECT_EQ(flat->runs[0].Begin, c.out.Begin);
    EXPECT_EQ(flat->runs[0].Number, c.out.Number);

    ImageVector image = make_vector({{c.in.Begin, c.in.Number & kFlatRunMaxSectors, RUN_TYPE_DATA, 4}});
    EXPECT_EQ(libtavpub_image_runs_clr_to_sec(image.get(), c.first_sector, c.sectors_per_cluster, c.fat_numbering),
              0);
    EXPECT_EQ(runs_of(image.get()),
              (std::vector<RunRow>{{c.out.Begin, c.out.Number & kFlatRunMaxSectors, RUN_TYPE_DATA, 4}}));
  }
  EXPECT_EQ(libtavpub_flat_runs_clr_to_sec(nullptr, 0, 8, 0), -1);
  EXPECT_EQ(libtavpub_image_runs_clr_to_sec(nullptr, 0, 8, 0), -1);
}

TEST_F(ExtentVectorTest, ImageToFlatAndBackKeepsMinusRunsAndDropsOtherTypes) {
  ImageVector image = make_vector({{0, 10, RUN_TYPE_DATA, 3},
                                   {10, 5, RUN_TYPE_MINUS, 3},
                                   {15, 5, RUN_TYPE_COMMON, 2},
                                   {20, 5, RUN_TYPE_ADDED, 1}});
  FlatVector flat(libtavpub_run_image_to_flat(image.get()));
  ASSERT_NE(flat, nullptr);
  EXPECT_EQ(flat->vector_size, 4u);
  EXPECT_EQ(flat_runs_of(flat.get()),
            (FlatRows{{0, 10}, {10, kFlatRunMinusFlag | 5}, {15, 5}, {20, 5}}));

  ImageVector back(libtavpub_run_flat_to_image(flat.get(), 9));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->vector_size, 4u);
  // Not merged, even though the data runs are adjacent with equal fields.
  EXPECT_EQ(runs_of(back.get()), (std::vector<RunRow>{{0, 10, RUN_TYPE_DATA, 9},
                                                   {10, 5, RUN_TYPE_MINUS, 9},
                                                   {15, 5, RUN_TYPE_DATA, 9},
                                                   {20, 5, RUN_TYPE_DATA, 9}}));
  // Appending to a vector of exact size grows it by the linear step.
  const IMAGE_RUN more{{40, 1}, 0, 0};
  ASSERT_EQ(libtavpub_append_image_run(back.get(), &more), 1);
  EXPECT_EQ(back->vector_size, 4u + 512u);

  for (bool null_input : {true, false}) {
    SCOPED_TRACE(null_input ? "null input" : "empty input");
    ImageVector empty_image(null_input ? nullptr : libtavpub_create_empty_image_run_vector());
    FlatVector empty_flat(null_input ? nullptr : libtavpub_create_empty_flat_run_vector());
    FlatVector f(libtavpub_run_image_to_flat(empty_image.get()));
    ImageVector i(libtavpub_run_flat_to_image(empty_flat.get(), 1));
    ASSERT_TRUE(f && i);
    EXPECT_EQ(f->run_count, 0u);
    EXPECT_EQ(i->run_count, 0u);
  }
}

TEST_F(ExtentVectorTest, ImageToFlatSplitsRunsTooLongForAFlatCount) {
  // A 1.5 TiB run of data: its count has bit 31 set and must not come back as a minus run.
  ImageVector image = make_vector({{100, 0xC0000000u, RUN_TYPE_DATA, 0}, {0xD0000000u, 0xFFFFFFFFu - 0xD0000000u,
                                                                          RUN_TYPE_MINUS, 0}});
  FlatVector flat(libtavpub_run_image_to_flat(image.get()));
  ASSERT_NE(flat, nullptr);
  EXPECT_EQ(flat_runs_of(flat.get()), (FlatRows{
                                          {100, 0x7FFFFFFFu},
                                          {100 + 0x7FFFFFFFu, 0xC0000000u - 0x7FFFFFFFu},
                                          {0xD0000000u, kFlatRunMinusFlag | (0xFFFFFFFFu - 0xD0000000u)}}));
  ImageVector back(libtavpub_run_flat_to_image(flat.get(), 0));
  EXPECT_EQ(libtavpub_image_runs_total_sectors(back.get()), 0xC0000000u);
  EXPECT_EQ(libtavpub_include_minus_image_run(back->runs, 2), 0);

  ImageVector longest = make_vector({{0, 0xFFFFFFFFu}});
  FlatVector pieces(libtavpub_run_image_to_flat(longest.get()));
  EXPECT_EQ(flat_runs_of(pieces.get()),
            (FlatRows{{0, 0x7FFFFFFFu}, {0x7FFFFFFFu, 0x7FFFFFFFu}, {0xFFFFFFFEu, 1}}));
}

TEST_F(ExtentVectorTest, Equality) {
  ImageVector a = make_vector({{0, 10, RUN_TYPE_DATA, 1}, {20, 5, RUN_TYPE_ADDED, 2}});
  struct Case {
    const char* name;
    std::vector<RunRow> other;
    int equal;
  };
  const Case cases[] = {
      {"same", {{0, 10, RUN_TYPE_DATA, 1}, {20, 5, RUN_TYPE_ADDED, 2}}, 1},
      {"begin differs", {{0, 10, RUN_TYPE_DATA, 1}, {21, 5, RUN_TYPE_ADDED, 2}}, 0},
      {"number differs", {{0, 11, RUN_TYPE_DATA, 1}, {20, 5, RUN_TYPE_ADDED, 2}}, 0},
      {"type differs", {{0, 10, RUN_TYPE_COMMON, 1}, {20, 5, RUN_TYPE_ADDED, 2}}, 0},
      {"snapshot differs", {{0, 10, RUN_TYPE_DATA, 1}, {20, 5, RUN_TYPE_ADDED, 3}}, 0},
      {"count differs", {{0, 10, RUN_TYPE_DATA, 1}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageVector b = make_vector(c.other);
    EXPECT_EQ(libtavpub_equal_image_run_vector(a.get(), b.get()), c.equal);
    EXPECT_EQ(libtavpub_equal_image_run_vector(b.get(), a.get()), c.equal);
  }
  EXPECT_EQ(libtavpub_equal_image_run_vector(a.get(), nullptr), 0);
  EXPECT_EQ(libtavpub_equal_image_run_vector(nullptr, nullptr), 0);

  FlatVector f1 = make_flat_vector({{0, 10}, {20, kFlatRunMinusFlag | 5}});
  FlatVector f2 = make_flat_vector({{0, 10}, {20, kFlatRunMinusFlag | 5}});
  FlatVector f3 = make_flat_vector({{0, 10}, {20, 5}});
  FlatVector e1(libtavpub_create_empty_flat_run_vector());
  FlatVector e2(libtavpub_create_empty_flat_run_vector());
  EXPECT_EQ(libtavpub_equal_flat_run_vector(f1.get(), f2.get()), 1);
  EXPECT_EQ(libtavpub_equal_flat_run_vector(f1.get(), f3.get()), 0);
  EXPECT_EQ(libtavpub_equal_flat_run_vector(e1.get(), e2.get()), 1);
  EXPECT_EQ(libtavpub_equal_flat_run_vector(f1.get(), nullptr), 0);
  EXPECT_EQ(libtavpub_equal_flat_run_vector(nullptr, nullptr), 0);
}

TEST_F(ExtentVectorTest, ReleaseReturnsEveryRunToThePool) {
  const uint32_t before = used_runs();
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  for (uint32_t i = 0; i < 3000; ++i) {
    const IMAGE_RUN run{{i * 3, 2}, RUN_TYPE_DATA, i};
    ASSERT_EQ(libtavpub_append_image_run(v, &run), 1);
  }
  EXPECT_EQ(used_runs(), before + 3000);
  libtavpub_release_image_run_vector(v);
  EXPECT_EQ(used_runs(), before);
  libtavpub_release_image_run_vector(nullptr);
  libtavpub_release_flat_run_vector(nullptr);
  libtavpub_print_image_run_vector(nullptr);
  libtavpub_print_flat_run_vector(nullptr);
}

}  // namespace
}  // namespace tav::test
