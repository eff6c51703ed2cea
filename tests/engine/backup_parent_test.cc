// Parent matching over a storage of full and incremental snapshots, the chain signatures of
// new chains, and the choice of the first volume's number.
#include "engine/backup_parent.h"

#include <gtest/gtest.h>

#include <set>

#include "disk/part_record.h"
#include "format/image_name.h"
#include "image/image_catalogue.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

using namespace tav::test;
namespace pl = img::part_layout;
namespace pp = disk::part_private;

constexpr uint32_t kSigA = 5001;  // chain of the partition at 2048
constexpr uint32_t kSigB = 5002;  // chain of the partition at 10240

// A storage holding full (t=100000), incremental (t=100100), incremental (t=100200), each with
// two partitions of 8192 sectors at 2048 and 10240.
class ParentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    SyntheticDisk disk;
    disk.total_sectors = 20480;
    for (auto [start, sig] : {std::pair<uint64_t, uint32_t>{2048, kSigA}, {10240, kSigB}}) {
      SyntheticPartition p;
      p.start_sector = start;
      p.signature = sig;
      p.content = pattern_bytes(8192 * 512, sig);
      p.stored = {{0, 64}};
      disk.parts.push_back(p);
    }
    SnapshotPlan plan;
    plan.directory = dir_.path();
    for (int i = 0; i < 3; ++i) {
      plan.backup_type = i == 0 ? img::kBackupFull : img::kBackupIncremental;
      plan.now = 100000 + 100 * i;
      plan.first_vol = i == 0 ? 0 : written_.back().last_vol + 1;
      plan.storage = i == 0 ? nullptr : &storage_;
      for (auto& p : disk.parts) {
        if (i == 0) continue;
        p.parent_seq = written_.back().snap_seq;
        p.parent_time = written_.back().create_time;
        p.parent_vol = written_.back().first_vol;
      }
      WrittenSnapshot w;
      const Status st = write_snapshot(plan, {disk}, &w);
      ASSERT_TRUE(st) << st.message();
      written_.push_back(w);
      ASSERT_EQ(0, libtavimg_load_image2(&storage_, dir_.path().c_str(), "imbackup", 0));
    }
    ASSERT_EQ(3u, storage_.snaps.size());
  }
  void TearDown() override { libtavimg_unload_image(&storage_); }

  static std::unique_ptr<BACKUP_PARTITION_INFO> live(uint64_t start, uint64_t count, uint32_t fs_code = 0) {
    auto p = std::make_unique<BACKUP_PARTITION_INFO>();
    disk::init_part_record(*p);
    disk::set_part_extent(*p, start, count);
    disk::set_rec_u32(*p, pp::kFsTypeCode, fs_code);
    return p;
  }

  sysutil_test::TempDir dir_;
  STORAGE_DATA storage_;
  std::vector<WrittenSnapshot> written_;
};

TEST_F(ParentTest, IncrementalTakesTheNewestAndDifferentialTheFullSnapshot) {
  struct Case {
    const char* name;
    uint32_t backup_type;
    size_t parent_snapshot;  // index into written_
  };
  const Case cases[] = {{"incremental", img::kBackupIncremental, 2}, {"differential", img::kBackupDifferential, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = live(2048, 8192);
    std::vector<BACKUP_PARTITION_INFO*> parts = {a.get()};
    SignatureSource signatures(0, {});
    auto parents = assign_parents(parts, &storage_, c.backup_type, 200000, &signatures);
    ASSERT_NE(nullptr, parents[0]);
    const WrittenSnapshot& w = written_[c.parent_snapshot];
    EXPECT_EQ(w.snap_seq, libtavimg_get_part_snap(parents[0])->snap_seq);
    EXPECT_EQ(0u, disk::rec_u32(*a, pl::kFull));
    EXPECT_EQ(kSigA, disk::rec_u32(*a, pl::kSignature));
    EXPECT_EQ(w.snap_seq, disk::rec_u32(*a, pl::kParentSeq));
    EXPECT_EQ(w.create_time, disk::rec_u32(*a, pl::kParentTime));
    EXPECT_EQ(w.first_vol, disk::rec_u32(*a, pl::kParentVol));
    EXPECT_EQ(w.first_vol, disk::rec_u32(*a, pl::kParentVol2));
  }
}

// A partition that moved, shrank or changed file system starts a new chain in an otherwise
// incremental run; its signature collides with no chain of the storage or of the run, even when
// the run starts right after the earlier ones (start time + 1 = a chain's signature).
TEST_F(ParentTest, ChangedPartitionsStartNewChainsWithUniqueSignatures) {
  auto kept = live(10240, 8192);
  auto moved = live(2049, 8191);
  auto shrunk = live(2048, 8000);
  auto other_fs = live(2048, 8192, disk::FS_EXT);
  std::vector<BACKUP_PARTITION_INFO*> parts = {moved.get(), kept.get(), shrunk.get(), other_fs.get()};
  // Stale parent fields must not survive.
  disk::set_rec_u32(*moved, pl::kParentSeq, 77);
  SignatureSource signatures(0, {});
  auto parents = assign_parents(parts, &storage_, img::kBackupIncremental, kSigA - 1, &signatures);
  EXPECT_EQ(nullptr, parents[0]);
  EXPECT_NE(nullptr, parents[1]);
  EXPECT_EQ(nullptr, parents[2]);
  EXPECT_EQ(nullptr, parents[3]);
  std::set<uint32_t> seen;
  for (BACKUP_PARTITION_INFO* p : parts) {
    const uint32_t sig = disk::rec_u32(*p, pl::kSignature);
    EXPECT_NE(0u, sig);
    EXPECT_TRUE(seen.insert(sig).second) << "signature " << sig << " used twice";
  }
  EXPECT_EQ(kSigB, disk::rec_u32(*kept, pl::kSignature));
  for (BACKUP_PARTITION_INFO* p : {moved.get(), shrunk.get(), other_fs.get()}) {
    const uint32_t sig = disk::rec_u32(*p, pl::kSignature);
    EXPECT_NE(kSigA, sig);
    EXPECT_EQ(1u, disk::rec_u32(*p, pl::kFull));
    EXPECT_EQ(0u, disk::rec_u32(*p, pl::kParentSeq));
  }
  // A later fall-back gets one more fresh signature.
  const uint32_t later = signatures.next();
  EXPECT_FALSE(seen.count(later));
  EXPECT_NE(kSigA, later);
}

TEST_F(ParentTest, FullBackupHasNoParents) {
  auto a = live(2048, 8192);
  std::vector<BACKUP_PARTITION_INFO*> parts = {a.get()};
  SignatureSource signatures(0, {});
  auto parents = assign_parents(parts, &storage_, img::kBackupFull, 300000, &signatures);
  EXPECT_EQ(nullptr, parents[0]);
  EXPECT_EQ(1u, disk::rec_u32(*a, pl::kFull));
  EXPECT_EQ(300001u, disk::rec_u32(*a, pl::kSignature));
}

TEST(FirstVolume, ScanOrRestart) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    bool restart;
    bool ok;
    uint32_t expected;
  };
  const Case cases[] = {
      {"empty directory", {}, false, true, 0},
      {"one more than the highest", {"imbackup0.ego", "imbackup7.ego", "imbackup3.EGO"}, false, true, 8},
      {"extension in any case", {"imbackup12.EgO"}, false, true, 13},
      {"other names do not count",
       {"imbackupx9.ego", "imbackup9.egox", "other99.ego", "imbackup99", "imbackup-5.ego"}, false, true, 0},
      // Every name the catalogue loads as a volume counts.
      {"no digits count as volume 0", {"imbackup.ego"}, false, true, 1},
      {"leading zeros", {"imbackup009.ego", "imbackup3.ego"}, false, true, 10},
      {"longer base name is another storage", {"imbackup2x1.ego", "imbackup21.ego"}, false, true, 22},
      {"numbers beyond an int leave none", {"imbackup99999999999.ego", "imbackup4.ego"}, false, false, 0},
      {"no numbers left", {"imbackup2147483600.ego"}, false, false, 0},
      {"first number without room for a full snapshot", {"imbackup2147483135.ego"}, false, false, 0},
      {"the last numbers left", {"imbackup2147483134.ego"}, false, true, 2147483135},
      {"restart in an empty directory", {"other0.ego"}, true, true, 0},
      {"restart would overwrite", {"imbackup5.ego"}, true, false, 0},
      {"restart beside a volume without digits", {"imbackup.ego"}, true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sysutil_test::TempDir dir;
    for (const std::string& f : c.files) ASSERT_TRUE(sysutil_test::make_file(dir.file(f)));
    uint32_t first_vol = 12345;
    const Status st = choose_first_vol(dir.path(), "imbackup", c.restart, &first_vol);
    EXPECT_EQ(c.ok, st.is_ok()) << st.message();
    if (c.ok) {
      EXPECT_EQ(c.expected, first_vol);
    }
  }
  uint32_t unused = 0;
  EXPECT_FALSE(choose_first_vol("/nonexistent/dir", "imbackup", false, &unused));
}

}  // namespace
}  // namespace tav::engine
