// Refusals of a backup request before any volume is written, and the settings line.
#include "engine/backup_checks.h"

#include <gtest/gtest.h>

#include "disk/part_record.h"
#include "engine/backup_settings.h"
#include "image/image_catalogue.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

using namespace tav::test;

class BackupChecksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(other_.ok());
    SyntheticPartition p;
    p.start_sector = 2048;
    p.signature = 9;
    p.content = pattern_bytes(64 * 512, 1);
    p.stored = {{0, 64}};
    SyntheticDisk disk;
    disk.total_sectors = 4096;
    disk.parts = {p};
    SnapshotPlan plan;
    plan.directory = dir_.path();
    ASSERT_TRUE(write_snapshot(plan, {disk}, nullptr));
    ASSERT_EQ(0, libtavimg_load_image2(&loaded_, dir_.path().c_str(), "imbackup", 0));
    disk::init_part_record(part_);
    disk::set_part_extent(part_, 2048, 8192);
    part_.dev_name = "/dev/sdq1";
  }
  void TearDown() override { libtavimg_unload_image(&loaded_); }

  sysutil_test::TempDir dir_, other_;
  STORAGE_DATA loaded_;
  STORAGE_DATA empty_;
  BACKUP_PARTITION_INFO part_;
};

TEST_F(BackupChecksTest, RefusesBeforeAnyVolume) {
  BACKUP_PARTITION_INFO huge;
  disk::init_part_record(huge);
  disk::set_part_extent(huge, 2048, uint64_t{1} << 32);
  huge.dev_name = "/dev/sdq2";
  BACKUP_PARTITION_INFO largest;
  disk::init_part_record(largest);
  disk::set_part_extent(largest, 2048, UINT32_MAX);

  struct Case {
    const char* name;
    std::function<void(BACKUP_REQUEST&)> change;
    std::vector<BACKUP_PARTITION_INFO*> parts;
    const STORAGE_DATA* storage;
    const char* error;  // part of the message; null: accepted
  };
  const std::vector<Case> cases = {
      {"full backup into a new storage", nullptr, {&part_}, nullptr, nullptr},
      {"missing destination", [&](BACKUP_REQUEST& r) { r.dest_dir = dir_.file("missing"); }, {&part_}, nullptr,
       "does not exist"},
      {"destination is a file",
       [&](BACKUP_REQUEST& r) {
         sysutil_test::make_file(dir_.file("plain"));
         r.dest_dir = dir_.file("plain");
       },
       {&part_}, nullptr, "does not exist"},
      {"empty base name", [](BACKUP_REQUEST& r) { r.base_name.clear(); }, {&part_}, nullptr, "base name"},
      {"base name with a separator", [](BACKUP_REQUEST& r) { r.base_name = "../x"; }, {&part_}, nullptr, "base name"},
      {"unknown type", [](BACKUP_REQUEST& r) { r.backup_type = 4; }, {&part_}, nullptr, "backup type"},
      {"unknown compression", [](BACKUP_REQUEST& r) { r.compress_mode = 3; }, {&part_}, nullptr, "compress"},
      {"nothing selected", nullptr, {}, nullptr, "no partition"},
      {"2^32 sectors", nullptr, {&part_, &huge}, nullptr, "/dev/sdq2"},
      {"2^32 - 1 sectors", nullptr, {&largest}, nullptr, nullptr},
      {"incremental without a storage", [](BACKUP_REQUEST& r) { r.backup_type = img::kBackupIncremental; },
       {&part_}, nullptr, "no snapshot"},
      {"differential with an empty storage", [](BACKUP_REQUEST& r) { r.backup_type = img::kBackupDifferential; },
       {&part_}, &empty_, "no snapshot"},
      {"storage_exists without a storage", [](BACKUP_REQUEST& r) { r.storage_exists = 1; }, {&part_}, nullptr,
       "no snapshot"},
      {"incremental of the loaded storage", [](BACKUP_REQUEST& r) { r.backup_type = img::kBackupIncremental; },
       {&part_}, &loaded_, nullptr},
      {"incremental into another directory",
       [&](BACKUP_REQUEST& r) {
         r.backup_type = img::kBackupIncremental;
         r.dest_dir = other_.path();
       },
       {&part_}, &loaded_, "loaded storage"},
      {"incremental under another base name",
       [](BACKUP_REQUEST& r) {
         r.backup_type = img::kBackupIncremental;
         r.base_name = "other";
       },
       {&part_}, &loaded_, "loaded storage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BACKUP_REQUEST request;
    request.dest_dir = dir_.path() + "/";
    request.base_name = "imbackup";
    if (c.change) c.change(request);
    const Status st = check_backup_request(request, c.parts, c.storage);
    if (c.error == nullptr) {
      EXPECT_TRUE(st) << st.message();
    } else {
      EXPECT_FALSE(st);
      EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
    }
  }
}

TEST(BackupSettings, LineOnlyWhenAFlagDiffersFromItsDefault) {
  AdjustmentSettings s;
  EXPECT_EQ("", adjustment_log_line(s));
  s.compress_threads = 3;  // not one of the logged flags
  EXPECT_EQ("", adjustment_log_line(s));
  s.speed_image_read = false;
  s.backup_in_debug = true;
  EXPECT_EQ(
      "    BackupInDebug=TRUE, BackupBySingleThread=FALSE, SpeedImageRead=FALSE, SpeedIncrementalBackup=FALSE, "
      "GetRunListBeforeVss=FALSE",
      adjustment_log_line(s));
}

}  // namespace
}  // namespace tav::engine
