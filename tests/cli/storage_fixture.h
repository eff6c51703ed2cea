// A storage for the `tav list` / `tav export` tests, written through the real image writer: a
// full snapshot of two disks and an incremental one on top of it, each split over several volumes.
//
//   disk0 (40000 sectors, one saved boot sector)
//     #1 A  start 2048,  4096 sectors, all stored; the incremental changes [10,20) and [1000,1300)
//     #2 B  start 8192, 32768 sectors, only [100,356) stored; the incremental stores nothing
//   disk1 (10000 sectors, no boot sectors)
//     #3 C  start 63,    6000 sectors, [0,1000) and [3000,4000) stored; the incremental [3500,3510)
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "image/image_catalogue.h"
#include "tests/cli/cli_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::cli_test {

inline void overwrite(std::vector<uint8_t>* content, uint64_t first_sector, uint64_t sectors, uint32_t seed) {
  const std::vector<uint8_t> bytes = test::pattern_bytes(sectors * 512, seed);
  std::copy(bytes.begin(), bytes.end(), content->begin() + std::ptrdiff_t(first_sector * 512));
}

struct TwoSnapshotStorage {
  static constexpr time_t kFullTime = 1700000000;  // 2023-11-14, local time of the test machine
  static constexpr time_t kIncrTime = kFullTime + 3600;

  TempDir tmp;
  std::string dir;  // the storage directory (no trailing "/")
  std::vector<test::SyntheticDisk> full_disks;
  std::vector<test::SyntheticDisk> incr_disks;
  test::WrittenSnapshot full;
  test::WrittenSnapshot incr;

  // Partition `index` (0 A, 1 B, 2 C) of a snapshot's disks.
  static const test::SyntheticPartition& part(const std::vector<test::SyntheticDisk>& disks, int index) {
    return index < 2 ? disks[0].parts[size_t(index)] : disks[1].parts[0];
  }

  // What exporting partition `index` of snapshot 1 (full) or 2 (incremental) must give.
  std::vector<uint8_t> expected(int snapshot, int index) const {
    if (snapshot == 1) return test::expected_content({&part(full_disks, index)});
    return test::expected_content({&part(full_disks, index), &part(incr_disks, index)});
  }

  Status build() {
    if (!tmp.ok()) return Status::io_error("no temporary directory");
    dir = tmp.file("store");
    if (::mkdir(dir.c_str(), 0700) != 0) return Status::io_error("mkdir");

    test::SyntheticDisk d0;
    d0.name = "disk0";
    d0.total_sectors = 65536;  // room for both partitions: b ends at sector 40960
    d0.boot_sectors = test::pattern_bytes(512, 7);
    test::SyntheticPartition a;
    a.start_sector = 2048;
    a.signature = 0x1111;
    a.content = test::pattern_bytes(4096 * 512, 1);
    a.stored = {{0, 4096}};
    test::SyntheticPartition b;
    b.start_sector = 8192;
    b.part_type = 0x07;
    b.signature = 0x2222;
    b.content.assign(32768 * 512, 0);
    overwrite(&b.content, 100, 256, 2);
    b.stored = {{100, 256}};
    d0.parts = {a, b};
    test::SyntheticDisk d1;
    d1.name = "disk1";
    d1.total_sectors = 10000;
    test::SyntheticPartition c;
    c.start_sector = 63;
    c.part_type = 0x0c;
    c.signature = 0x3333;
    c.content = test::pattern_bytes(6000 * 512, 3);
    c.stored = {{0, 1000}, {3000, 1000}};
    d1.parts = {c};
    full_disks = {d0, d1};

    test::SnapshotPlan snapshot;
    snapshot.directory = dir;
    snapshot.comment = "first";
    snapshot.volume_limit = 1 << 20;
    snapshot.now = kFullTime;
    if (Status st = test::write_snapshot(snapshot, full_disks, &full); !st.is_ok()) return st.with_prefix("full: ");

    incr_disks = full_disks;
    test::SyntheticPartition& ia = incr_disks[0].parts[0];
    overwrite(&ia.content, 10, 10, 11);
    overwrite(&ia.content, 1000, 300, 12);
    ia.stored = {{10, 10}, {1000, 300}};
    incr_disks[0].parts[1].stored = {};
    test::SyntheticPartition& ic = incr_disks[1].parts[0];
    overwrite(&ic.content, 3500, 10, 13);
    ic.stored = {{3500, 10}};
    for (test::SyntheticDisk& d : incr_disks) {
      for (test::SyntheticPartition& p : d.parts) {
        p.parent_seq = full.snap_seq;
        p.parent_time = full.create_time;
        p.parent_vol = full.first_vol;
      }
    }

    STORAGE_DATA storage;
    if (libtavimg_load_image2(&storage, (dir + "/").c_str(), "imbackup", 0) != 0) {
      return Status::corruption("the full snapshot does not load");
    }
    snapshot.backup_type = img::kBackupIncremental;
    snapshot.comment = "second";
    snapshot.volume_limit = 256 << 10;
    snapshot.now = kIncrTime;
    snapshot.first_vol = full.last_vol + 1;
    snapshot.storage = &storage;
    Status st = test::write_snapshot(snapshot, incr_disks, &incr);
    libtavimg_unload_image(&storage);
    return st.with_prefix("incremental: ");
  }
};

// Suites that share one storage, written once per suite.
class TwoSnapshotStorageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    storage_ = new TwoSnapshotStorage;
    build_status_ = storage_->build();
  }
  static void TearDownTestSuite() {
    delete storage_;
    storage_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(build_status_.is_ok()) << build_status_.message(); }

  static inline TwoSnapshotStorage* storage_ = nullptr;
  static inline Status build_status_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  const std::string text = read_text(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Names in `dir` (without "." and "..").
inline std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  return names;
}

}  // namespace tav::cli_test
