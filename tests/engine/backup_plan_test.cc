// The backup plan over a fake partition whose file-system handler gives used runs and the runs
// of the paging and hibernation files; the comparison with a real parent snapshot; the ratio.
#include "engine/backup_plan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "disk/part_record.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

using namespace tav::test;

struct PlanRun {
  uint32_t begin, count, type;
  bool operator==(const PlanRun&) const = default;
};
std::ostream& operator<<(std::ostream& os, const PlanRun& r) {
  return os << "{" << r.begin << "," << r.count << ",t" << r.type << "}";
}

std::vector<PlanRun> runs_of(const IMAGE_RUN_VECTOR* v) {
  std::vector<PlanRun> out;
  for (uint32_t i = 0; i < v->run_count; ++i) out.push_back({v->runs[i]->value.Begin, v->runs[i]->value.Number, v->runs[i]->type});
  return out;
}

// What the fake handler answers, kept in the partition's part_data.
struct FakeFs {
  bool fail_used = false;
  std::vector<FLAT_RUN> used = {};
  std::map<std::string, std::vector<FLAT_RUN>> files = {};  // path -> runs in file order
  bool fail_files = false;
};

IMAGE_RUN_VECTOR* fake_used_runs(THREAD_GUI_DATA*, BACKUP_PARTITION_INFO* part) {
  const auto& fs = *static_cast<FakeFs*>(part->part_data);
  if (fs.fail_used) {
    errno = EIO;
    return nullptr;
  }
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  for (const FLAT_RUN& r : fs.used) {
    IMAGE_RUN run{r, RUN_TYPE_DATA, 0};
    libtavpub_append_image_run(v, &run);
  }
  return v;
}

FLAT_RUN_VECTOR* fake_file_runs(BACKUP_PARTITION_INFO* part, const char* path) {
  const auto& fs = *static_cast<FakeFs*>(part->part_data);
  if (fs.fail_files) return nullptr;
  FLAT_RUN_VECTOR* v = libtavpub_create_empty_flat_run_vector();
  auto it = fs.files.find(path);
  if (it != fs.files.end()) {
    for (const FLAT_RUN& r : it->second) libtavpub_append_flat_run(v, &r);
  }
  return v;
}

const FILE_SYSTEM_TYPE kFakeHandler = {disk::FS_NTFS, "Fake", nullptr, nullptr, fake_used_runs, fake_file_runs, nullptr, nullptr};
const FILE_SYSTEM_TYPE kNoRunsHandler = {disk::FS_UNKNOWN, "NoRuns", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::unique_ptr<BACKUP_PARTITION_INFO> fake_partition(FakeFs* fs, uint64_t sectors, uint64_t used_sectors) {
  auto p = std::make_unique<BACKUP_PARTITION_INFO>();
  disk::init_part_record(*p);
  disk::set_part_extent(*p, 2048, sectors);
  disk::set_part_used_sectors(*p, used_sectors);
  p->dev_name = "/dev/fake1";
  p->ops_fs = &kFakeHandler;
  p->part_data = fs;
  return p;
}

TEST(BackupPlan, FullPlanIsUsedRunsMinusExcludedFiles) {
  FakeFs fs;
  fs.used = {{0, 100}, {200, 50}};
  // Fragmented files come in file order, overlapping each other and free space.
  fs.files["/pagefile.sys"] = {{220, 10}, {10, 5}};
  fs.files["/hiberfil.sys"] = {{95, 20}};
  auto part = fake_partition(&fs, 1000, 150);
  BackupPlan plan;
  ASSERT_TRUE(build_plan(nullptr, part.get(), nullptr, &plan));
  EXPECT_EQ(runs_of(plan.plan.get()), (std::vector<PlanRun>{{0, 10, RUN_TYPE_ADDED},
                                                         {15, 80, RUN_TYPE_ADDED},
                                                         {200, 20, RUN_TYPE_ADDED},
                                                         {230, 20, RUN_TYPE_ADDED}}));
  EXPECT_EQ(20u, plan.excluded_sectors);
  EXPECT_EQ(0u, plan.stored->run_count);
  EXPECT_EQ(nullptr, plan.parent);
  EXPECT_DOUBLE_EQ(150.0 / 130.0, plan.ratio);
}

TEST(BackupPlan, UsedRunsEdgeCases) {
  struct Case {
    const char* name;
    FakeFs fs;
    bool no_handler_op;
    bool ok;
    std::vector<PlanRun> expected;
  };
  std::vector<Case> cases;
  cases.push_back({"handler fails: an error, never an empty plan", {.fail_used = true}, false, false, {}});
  cases.push_back({"handler without the operation: every sector", {}, true, true, {{0, 1000, RUN_TYPE_ADDED}}});
  cases.push_back({"runs beyond the partition", {.used = {{900, 200}}}, false, false, {}});
  cases.push_back({"runs out of order", {.used = {{500, 10}, {100, 10}}}, false, false, {}});
  cases.push_back({"file runs unavailable: nothing excluded",
                   {.used = {{0, 64}}, .files = {{"/pagefile.sys", {{0, 8}}}}, .fail_files = true},
                   false,
                   true,
                   {{0, 64, RUN_TYPE_ADDED}}});
  cases.push_back({"empty file system", {}, false, true, {}});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto part = fake_partition(&c.fs, 1000, 64);
    if (c.no_handler_op) part->ops_fs = &kNoRunsHandler;
    BackupPlan plan;
    const Status st = build_plan(nullptr, part.get(), nullptr, &plan);
    ASSERT_EQ(c.ok, st.is_ok()) << st.message();
    if (c.ok) {
      EXPECT_EQ(runs_of(plan.plan.get()), c.expected);
    } else {
      EXPECT_NE(st.message().find("/dev/fake1"), std::string::npos) << st.message();
    }
  }
}

TEST(BackupPlan, Ratio) {
  struct Case {
    uint64_t used;
    std::vector<IMAGE_RUN> plan;
    double expected;
  };
  const Case cases[] = {
      {1000, {{{0, 500}, RUN_TYPE_ADDED, 0}}, 2.0},
      {1000, {{{0, 250}, RUN_TYPE_COMMON, 0}, {{250, 1000}, RUN_TYPE_MINUS, 0}, {{1250, 250}, RUN_TYPE_ADDED, 0}}, 2.0},
      {400, {{{0, 500}, RUN_TYPE_ADDED, 0}}, 1.0},
      {500, {{{0, 500}, RUN_TYPE_ADDED, 0}}, 1.0},
      {1000, {{{0, 500}, RUN_TYPE_MINUS, 0}}, 1.0},  // nothing visited
      {1000, {}, 1.0},
  };
  for (const Case& c : cases) {
    RunVectorPtr v(libtavpub_create_empty_image_run_vector());
    for (const IMAGE_RUN& r : c.plan) libtavpub_append_image_run(v.get(), &r);
    EXPECT_DOUBLE_EQ(c.expected, progress_ratio(c.used, v.get())) << c.used;
  }
}

// A parent snapshot storing [0,100) and [300,400); the partition now uses [50,150) and
// [400,450).
class ParentPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    SyntheticPartition p;
    p.start_sector = 2048;
    p.signature = 42;
    p.content = pattern_bytes(1000 * 512, 3);
    p.stored = {{0, 100}, {300, 100}};
    SyntheticDisk disk;
    disk.total_sectors = 4096;
    disk.parts = {p};
    SnapshotPlan plan;
    plan.directory = dir_.path();
    plan.now = 100000;
    ASSERT_TRUE(write_snapshot(plan, {disk}, nullptr));
    ASSERT_EQ(0, libtavimg_load_image2(&storage_, dir_.path().c_str(), "imbackup", 0));
    parent_ = storage_.snaps[0]->disks->parts[0].get();
    fs_.used = {{50, 100}, {400, 50}};
  }
  void TearDown() override { libtavimg_unload_image(&storage_); }

  sysutil_test::TempDir dir_;
  STORAGE_DATA storage_;
  BACKUP_PARTITION_INFO* parent_ = nullptr;
  FakeFs fs_;
};

TEST_F(ParentPlanTest, ComparesWithTheParentsRuns) {
  auto part = fake_partition(&fs_, 1000, 150);
  BackupPlan plan;
  ASSERT_TRUE(build_plan(nullptr, part.get(), parent_, &plan));
  ASSERT_EQ(parent_, plan.parent);
  EXPECT_FALSE(plan.parent_unusable);
  EXPECT_EQ(runs_of(plan.plan.get()), (std::vector<PlanRun>{{0, 50, RUN_TYPE_MINUS},
                                                         {50, 50, RUN_TYPE_COMMON},
                                                         {100, 50, RUN_TYPE_ADDED},
                                                         {300, 100, RUN_TYPE_MINUS},
                                                         {400, 50, RUN_TYPE_ADDED}}));
  // The parent's own runs are untouched for the reads that follow.
  const IMAGE_RUN_VECTOR* parent_runs = libtavimg_get_part_run_vector(parent_);
  ASSERT_NE(nullptr, parent_runs);
  EXPECT_EQ(runs_of(parent_runs), (std::vector<PlanRun>{{0, 100, RUN_TYPE_DATA}, {300, 100, RUN_TYPE_DATA}}));
  parent_->ops->close(parent_);
}

TEST_F(ParentPlanTest, UnreadableParentFallsBackToFull) {
  // The snapshot's volume is gone: the parent cannot be opened.
  libtavimg_close_all_image_file(&storage_);
  std::filesystem::remove(dir_.file("imbackup0.ego"));
  auto part = fake_partition(&fs_, 1000, 150);
  BackupPlan plan;
  ASSERT_TRUE(build_plan(nullptr, part.get(), parent_, &plan));
  EXPECT_TRUE(plan.parent_unusable);
  EXPECT_EQ(nullptr, plan.parent);
  EXPECT_EQ(runs_of(plan.plan.get()), (std::vector<PlanRun>{{50, 100, RUN_TYPE_ADDED}, {400, 50, RUN_TYPE_ADDED}}));
}

}  // namespace
}  // namespace tav::engine
