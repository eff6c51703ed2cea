// Validation of snapshots written by the real image writer (and of sample volumes of every unit
// framing): clean snapshots validate, damaged units, truncated and missing volumes fail with a
// message naming the volume, the same with the unit checks on worker threads as through the
// reader alone; progress counts follow the partitions' used and excluded sectors.
#include "engine/validate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/progress_channel.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/validate_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/image_reader.h"
// The command tests' storage fixture; its helpers that start the built `tav` are not used here.
#ifndef TAV_EXE
#define TAV_EXE "tav"
#endif
#include "tests/cli/storage_fixture.h"
#include "tests/core/scripted_sink.h"
#include "tests/fixtures/sample_volume.h"

namespace tav::engine {
namespace {

namespace pl = img::part_layout;
using cli_test::TempDir;

std::mutex g_info_mu;
std::vector<std::string> g_info;
void record_info(THREAD_GUI_DATA* r, const char* text) {
  {
    std::lock_guard<std::mutex> lock(g_info_mu);
    g_info.emplace_back(text);
  }
  builtin_channel_ops().append_message_to_info_box(r, text);
}

// Worker settings compared: the reader alone, one and three checking threads.
constexpr unsigned kWorkerModes[] = {kValidateReaderOnly, 1, 3};

std::vector<uint8_t> test_read(const std::string& path) {
  const std::string text = cli_test::read_text(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string mode_name(unsigned workers) {
  return workers == kValidateReaderOnly ? "reader only" : std::to_string(workers) + " workers";
}

// What one run showed.
struct Outcome {
  int64_t result = -2;
  std::vector<std::string> info;
  std::vector<std::string> boxes;  // reports and questions, in order
  uint64_t total = 0;
  int64_t last_sub_total = 0;

  bool finished() const { return !info.empty() && info.back() == std::string("\n") + bak_text(BakText::kValidFinish) + "\n"; }
  bool failed() const { return !info.empty() && info.back() == std::string("\n") + bak_text(BakText::kErrorOccur) + "\n"; }
  std::string all_boxes() const {
    std::string s;
    for (const std::string& b : boxes) s += b + "\n";
    return s;
  }
  // The status lines of the partitions, after the preparing line.
  std::vector<std::string> partition_status() const {
    std::vector<std::string> s;
    for (size_t i = 3; i + 1 < info.size(); i += 2) s.push_back(info[i]);
    return s;
  }
};

class ValidateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    init_backup_language();
    ops_ = builtin_channel_ops();
    ops_.append_message_to_info_box = record_info;
    libtavpub_init_thread_gui_data(&record_);
    record_.ops = &ops_;
    libtavpub_set_window_handle(&record_, &sink_);
    // No error flags: every report is shown, so the test sees each one.
    libtavbak_set_thread_gui(&record_, message_, nullptr);
    libtavimg_set_thread_gui(&record_, image_message_, nullptr);
  }
  void TearDown() override {
    libtavpub_stop_thread(&record_, 100);
    libtavpub_set_window_handle(&record_, nullptr);
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
    libtavimg_set_thread_gui(nullptr, nullptr, nullptr);
    libtavimg_unload_image(&storage_);
    set_validate_workers(0);
  }

  // Loads the storage with every partition of every snapshot selected.
  void load(const std::string& dir) {
    libtavimg_unload_image(&storage_);
    ASSERT_EQ(libtavimg_load_image2(&storage_, (dir + "/").c_str(), "imbackup", 0), 0);
    for (const auto& snap : storage_.snaps) {
      for (_DISK_INFOMATION* d = snap->disks; d != nullptr; d = d->next) {
        for (BACKUP_PARTITION_INFO* p = tav_disk_next_partition(d, nullptr); p != nullptr; p = tav_disk_next_partition(d, p)) {
          if (!disk::part_is_extended(*p)) p->selected = 1;
        }
      }
    }
  }

  // Validates snapshot `index` (from 0) of the loaded storage on the channel's worker thread.
  Outcome validate(size_t index, unsigned workers) {
    Outcome o;
    if (index >= storage_.snaps.size()) {
      ADD_FAILURE() << "no snapshot " << index;
      return o;
    }
    {
      std::lock_guard<std::mutex> lock(g_info_mu);
      g_info.clear();
    }
    set_validate_workers(workers);
    const size_t done_before = sink_.work_done().size();
    const size_t boxes_before = sink_.questions().size();
    VALIDATE_REQUEST request;
    request.psnap = storage_.snaps[index].get();
    EXPECT_EQ(TavStartValidation(&request), 1);
    EXPECT_TRUE(sink_.wait_until([&](test::ScriptedSink& s) { return s.work_done_.size() > done_before; }));
    libtavpub_stop_thread(&record_, 100);
    const auto done = sink_.work_done();
    if (done.size() > done_before) o.result = done.back();
    const auto questions = sink_.questions();
    for (size_t i = boxes_before; i < questions.size(); ++i) o.boxes.push_back(questions[i].text);
    std::lock_guard<std::mutex> lock(g_info_mu);
    o.info = g_info;
    o.total = record_.total;
    o.last_sub_total = record_.sub_total;
    return o;
  }

  TempDir tmp_;
  STORAGE_DATA storage_;
  GUI_OPS ops_{};
  THREAD_GUI_DATA record_;
  test::ScriptedSink sink_;
  char message_[kMessageBufferBytes] = {};
  char image_message_[kMessageBufferBytes] = {};
};

// ---- The two-snapshot storage (full, then incremental; volumes of 1 MiB and 256 KiB). ----

class TwoSnapshotValidateTest : public ValidateTest {
 protected:
  static void SetUpTestSuite() {
    storage_data_ = new cli_test::TwoSnapshotStorage;
    build_status_ = storage_data_->build();
  }
  static void TearDownTestSuite() {
    delete storage_data_;
    storage_data_ = nullptr;
  }
  void SetUp() override {
    ValidateTest::SetUp();
    ASSERT_TRUE(build_status_.is_ok()) << build_status_.message();
  }

  // A copy of the storage to damage.
  std::string copy_storage() {
    const std::string dir = tmp_.file("copy");
    std::filesystem::copy(storage_data_->dir, dir);
    return dir;
  }
  std::string volume(const std::string& dir, uint32_t vol) const { return dir + "/imbackup" + std::to_string(vol) + ".ego"; }

  static inline cli_test::TwoSnapshotStorage* storage_data_ = nullptr;
  static inline Status build_status_;
};

TEST_F(TwoSnapshotValidateTest, CleanSnapshotsValidate) {
  load(storage_data_->dir);
  for (size_t snap : {0u, 1u}) {
    for (unsigned workers : kWorkerModes) {
      SCOPED_TRACE("snapshot " + std::to_string(snap) + ", " + mode_name(workers));
      const Outcome o = validate(snap, workers);
      EXPECT_EQ(o.result, 0) << o.all_boxes();
      EXPECT_TRUE(o.finished());
      EXPECT_TRUE(o.boxes.empty()) << o.all_boxes();
      // Preparing + its status, then a prompt and a status per partition, then the finish.
      ASSERT_EQ(o.info.size(), 2u + 3 * 2 + 1);
      EXPECT_EQ(o.info[0], bak_text(BakText::kPreparingValid));
      for (const std::string& s : o.partition_status()) EXPECT_EQ(s, std::string(bak_text(BakText::kDone)) + "\n");
      EXPECT_EQ(record_.remaining, 0u);
    }
  }
}

// A flipped byte in a unit of partition B (the second): A is reported done, B failed, C is not
// visited, and the volume is named. The same texts come out in every worker mode.
TEST_F(TwoSnapshotValidateTest, DamageInTheSecondPartitionLeavesTheFirstDone) {
  const std::string dir = copy_storage();
  load(dir);
  BACKUP_PARTITION_INFO* b = libtavimg_get_part_from_signature(storage_.snaps[0]->disks, 0x2222);
  ASSERT_NE(b, nullptr);
  const std::string file = volume(dir, disk::rec_u32(*b, pl::kStartVol));
  // B stores one unit; its segment lies in its start volume: flip a byte in its middle.
  ASSERT_EQ(tav_start_read_part(b), 0);
  const IMAGE_PART_DATA* pd = img::image_part_data(b);
  std::vector<uint8_t> probe(512);
  ASSERT_EQ(tav_image_read_sectors(b, 100, 1, probe.data()), 1);
  ASSERT_FALSE(pd->locations.empty());
  const uint64_t begin = pd->locations[0].entries[0];
  const uint64_t end = pd->locations[0].entries.size() > 1 ? pd->locations[0].entries[1] : pd->locations[0].seg_end;
  tav_end_read_part(b);
  libtavimg_unload_image(&storage_);
  std::vector<uint8_t> bytes = test_read(file);
  bytes[size_t(begin + (end - begin) / 2)] ^= 0x5A;
  ASSERT_TRUE(cli_test::write_file(file, bytes));
  load(dir);

  std::vector<std::string> first_boxes;
  for (unsigned workers : kWorkerModes) {
    SCOPED_TRACE(mode_name(workers));
    sink_.push_answers({kAnswerAbort, kAnswerAbort});
    const Outcome o = validate(0, workers);
    EXPECT_EQ(o.result, -1);
    EXPECT_TRUE(o.failed());
    const auto status = o.partition_status();
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[0], std::string(bak_text(BakText::kDone)) + "\n");
    EXPECT_EQ(status[1], std::string(bak_text(BakText::kFailed)) + "\n");
    EXPECT_NE(o.all_boxes().find(file), std::string::npos) << o.all_boxes();
    if (first_boxes.empty()) {
      first_boxes = o.boxes;
    } else {
      EXPECT_EQ(o.boxes, first_boxes);
    }
  }
}

// A truncated and a missing volume of a snapshot spread over several volumes fail it, naming
// the volume.
TEST_F(ValidateTest, TruncatedAndMissingVolumesAreNamed) {
  std::vector<test::SyntheticDisk> disks(1);
  disks[0].total_sectors = 10000;
  test::SyntheticPartition p;
  p.start_sector = 63;
  p.signature = 0x55;
  p.content = test::pattern_bytes(4096 * 512, 9);
  p.stored = {{0, 1000}, {2000, 2096}};
  disks[0].parts.push_back(p);
  for (bool missing : {false, true}) {
    SCOPED_TRACE(missing ? "missing" : "truncated");
    const std::string dir = tmp_.file(missing ? "missing" : "truncated");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    test::SnapshotPlan plan;
    plan.directory = dir;
    plan.now = 1700000000;
    plan.volume_limit = 256 << 10;
    test::WrittenSnapshot w;
    ASSERT_TRUE(test::write_snapshot(plan, disks, &w).is_ok());
    const uint32_t vol = w.first_vol + 2;  // not the first: the catalogue loads
    ASSERT_LE(vol, w.last_vol);
    const std::string file = dir + "/imbackup" + std::to_string(vol) + ".ego";
    if (missing) {
      ASSERT_EQ(::unlink(file.c_str()), 0);
    } else {
      ASSERT_EQ(::truncate(file.c_str(), off_t(std::filesystem::file_size(file) / 2)), 0);
    }
    load(dir);
    std::vector<std::string> first_boxes;
    for (unsigned workers : kWorkerModes) {
      SCOPED_TRACE(mode_name(workers));
      const Outcome o = validate(0, workers);
      EXPECT_EQ(o.result, -1);
      EXPECT_TRUE(o.failed());
      EXPECT_NE(o.all_boxes().find(file), std::string::npos) << o.all_boxes();
      if (first_boxes.empty()) {
        first_boxes = o.boxes;
      } else {
        EXPECT_EQ(o.boxes, first_boxes);
      }
    }
  }
}

// The step of a partition is its used sectors less the excluded ones, and the run's total drops
// by them; an excluded count above the used one counts the used sectors in full.
TEST_F(TwoSnapshotValidateTest, ExcludedSectorsLowerTheTotalUnlessTheyExceedTheUsed) {
  load(storage_data_->dir);
  std::vector<BACKUP_PARTITION_INFO*> parts;
  for (_DISK_INFOMATION* d = storage_.snaps[0]->disks; d != nullptr; d = d->next) {
    for (BACKUP_PARTITION_INFO* p = tav_disk_next_partition(d, nullptr); p != nullptr; p = tav_disk_next_partition(d, p)) {
      if (tav_partition_is_backup(p) != 0) parts.push_back(p);
    }
  }
  ASSERT_EQ(parts.size(), 3u);
  uint64_t used = 0;
  for (BACKUP_PARTITION_INFO* p : parts) used += disk::part_used_sectors(*p);
  BACKUP_PARTITION_INFO* c = parts[2];  // the last: its step is the one left in the record
  const uint64_t c_used = disk::part_used_sectors(*c);
  ASSERT_GT(c_used, 10u);
  struct Case {
    uint64_t excluded;
    uint64_t total;
    int64_t step;
  };
  for (const Case& k : {Case{10, used - 10, int64_t(c_used - 10)}, Case{c_used + 5, used, int64_t(c_used)}}) {
    SCOPED_TRACE(k.excluded);
    disk::set_rec_u64(*c, pl::kExcludedSectors, k.excluded);
    const Outcome o = validate(0, 1);
    EXPECT_EQ(o.result, 0) << o.all_boxes();
    EXPECT_EQ(o.total, k.total);
    EXPECT_EQ(o.last_sub_total, k.step);
  }
}

// ---- Snapshots without runs. ----

TEST_F(ValidateTest, SnapshotWithoutRunsFinishesAtOnce) {
  const std::string dir = tmp_.file("empty");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  std::vector<test::SyntheticDisk> disks(1);
  disks[0].total_sectors = 4000;
  test::SyntheticPartition p;
  p.start_sector = 63;
  p.signature = 0x99;
  p.content.assign(1000 * 512, 0);
  disks[0].parts.push_back(p);
  test::SnapshotPlan plan;
  plan.directory = dir;
  plan.now = 1700000000;
  test::WrittenSnapshot w;
  ASSERT_TRUE(test::write_snapshot(plan, disks, &w).is_ok());
  load(dir);
  for (unsigned workers : kWorkerModes) {
    SCOPED_TRACE(mode_name(workers));
    const Outcome o = validate(0, workers);
    EXPECT_EQ(o.result, 0) << o.all_boxes();
    EXPECT_TRUE(o.finished());
    for (const std::string& s : o.partition_status()) EXPECT_EQ(s, std::string(bak_text(BakText::kDone)) + "\n");
  }
}

// ---- Every unit framing: sample volumes of each format version with a flipped byte. ----

struct FramingCase {
  const char* name;
  uint32_t major;
  uint32_t minor;
};

class FramingValidateTest : public ValidateTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(FramingValidateTest, FlippedByteInAnyUnitIsCaught) {
  const FramingCase& c = GetParam();
  fixtures::SampleVolumeOptions options;
  options.major = c.major;
  options.minor = c.minor;
  fixtures::SampleVolume sample;
  ASSERT_TRUE(fixtures::make_sample_volume(options, &sample).is_ok());
  const std::string dir = tmp_.file("sample");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string file = dir + "/imbackup0.ego";
  const auto& units = sample.layout.unit_offsets;
  ASSERT_EQ(units.size(), size_t(fixtures::kSampleUnits));

  ASSERT_TRUE(cli_test::write_file(file, sample.bytes));
  load(dir);
  for (unsigned workers : kWorkerModes) {
    SCOPED_TRACE(mode_name(workers));
    const Outcome o = validate(0, workers);
    EXPECT_EQ(o.result, 0) << o.all_boxes();
  }

  const size_t framing = img::FormatVersion{c.major, c.minor}.unit_framing_bytes();
  for (size_t u = 0; u < units.size(); ++u) {
    const uint64_t end = u + 1 < units.size() ? units[u + 1] : sample.layout.segment_end;
    // Inside the stream, and (with framing) in the start magic and in the CRC of the data.
    std::vector<uint64_t> spots = {units[u] + (end - units[u]) / 2};
    if (framing != 0) spots.push_back(units[u] + 1);
    if (img::FormatVersion{c.major, c.minor}.verifies_data_crc()) spots.push_back(end - framing + 4 + 4 + 1);
    for (uint64_t at : spots) {
      SCOPED_TRACE("unit " + std::to_string(u) + ", byte " + std::to_string(at));
      std::vector<uint8_t> bytes = sample.bytes;
      bytes[size_t(at)] ^= 0x5A;
      libtavimg_unload_image(&storage_);
      ASSERT_TRUE(cli_test::write_file(file, bytes));
      load(dir);
      std::vector<std::string> first_boxes;
      for (unsigned workers : kWorkerModes) {
        SCOPED_TRACE(mode_name(workers));
        sink_.push_answers({kAnswerAbort});
        const Outcome o = validate(0, workers);
        EXPECT_EQ(o.result, -1) << o.all_boxes();
        EXPECT_TRUE(o.failed());
        EXPECT_NE(o.all_boxes().find(file), std::string::npos) << o.all_boxes();
        if (first_boxes.empty()) {
          first_boxes = o.boxes;
        } else {
          EXPECT_EQ(o.boxes, first_boxes);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, FramingValidateTest,
                         ::testing::Values(FramingCase{"Bare_3_0", 3, 0}, FramingCase{"Framed12_3_1", 3, 1},
                                           FramingCase{"Framed12DataCrc_3_3", 3, 3},
                                           FramingCase{"Framed16_3_4", 3, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// A damaged unit let go on with Ignore reads as zeros through the reader; the validation still
// fails, naming the unit's volume, in every worker mode: also for the first unit, which the
// workers cannot check ahead (the reader has not loaded its way yet), and the last one.
TEST_F(ValidateTest, IgnoredDamageStillFails) {
  for (size_t unit = 0; unit < fixtures::kSampleUnits; ++unit) {
    fixtures::SampleVolume sample;
    ASSERT_TRUE(fixtures::make_sample_volume({}, &sample).is_ok());
    const auto& offsets = sample.layout.unit_offsets;
    const std::string dir = tmp_.file("sample" + std::to_string(unit));
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string file = dir + "/imbackup0.ego";
    const uint64_t end = unit + 1 < offsets.size() ? offsets[unit + 1] : sample.layout.segment_end;
    const uint64_t tail = end - 12;        // the unit's end magic, data CRC, stream CRC
    sample.bytes[size_t(tail + 4)] ^= 0x01;  // its data CRC: inflates, then asks
    ASSERT_TRUE(cli_test::write_file(file, sample.bytes));
    load(dir);
    std::vector<std::string> first_boxes;
    for (unsigned workers : kWorkerModes) {
      SCOPED_TRACE("unit " + std::to_string(unit) + ", " + mode_name(workers));
      sink_.push_answers({kAnswerIgnore});
      const Outcome o = validate(0, workers);
      EXPECT_EQ(o.result, -1) << o.all_boxes();
      EXPECT_TRUE(o.failed());
      EXPECT_NE(o.all_boxes().find("read as zeros"), std::string::npos) << o.all_boxes();
      EXPECT_NE(o.all_boxes().find(file), std::string::npos) << o.all_boxes();
      if (first_boxes.empty()) {
        first_boxes = o.boxes;
      } else {
        EXPECT_EQ(o.boxes, first_boxes);
      }
    }
  }
}

// A volume file replaced by a damaged copy while the validation runs (after the reader opened
// it): the reader opens the new file before it reads on, and the workers' checks of the old one
// must not stand in for it.
std::function<void()> g_after_first_piece;
void count_piece(THREAD_GUI_DATA* r, uint32_t units) {
  builtin_channel_ops().sub_progress_update(r, units);
  if (g_after_first_piece) {
    g_after_first_piece();
    g_after_first_piece = nullptr;
  }
}

TEST_F(ValidateTest, VolumeReplacedDuringTheRunIsReadAgain) {
  fixtures::SampleVolume sample;
  ASSERT_TRUE(fixtures::make_sample_volume({}, &sample).is_ok());
  const auto& offsets = sample.layout.unit_offsets;
  ASSERT_EQ(offsets.size(), 3u);
  const std::string dir = tmp_.file("replaced");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string file = dir + "/imbackup0.ego";
  std::vector<uint8_t> damaged = sample.bytes;
  damaged[size_t(offsets[2] + (sample.layout.segment_end - offsets[2]) / 2)] ^= 0x5A;  // the last unit
  const std::string damaged_file = tmp_.file("damaged.ego");
  ops_.sub_progress_update = count_piece;
  std::vector<std::string> first_boxes;
  for (unsigned workers : kWorkerModes) {
    SCOPED_TRACE(mode_name(workers));
    libtavimg_unload_image(&storage_);
    ASSERT_TRUE(cli_test::write_file(file, sample.bytes));
    ASSERT_TRUE(cli_test::write_file(damaged_file, damaged));
    load(dir);
    // After the first piece the reader has the volume open; the damaged copy takes its name.
    g_after_first_piece = [&] { ASSERT_EQ(::rename(damaged_file.c_str(), file.c_str()), 0); };
    const Outcome o = validate(0, workers);
    g_after_first_piece = nullptr;
    EXPECT_EQ(o.result, -1) << o.all_boxes();
    EXPECT_TRUE(o.failed());
    EXPECT_NE(o.all_boxes().find(file), std::string::npos) << o.all_boxes();
    if (first_boxes.empty()) {
      first_boxes = o.boxes;
    } else {
      EXPECT_EQ(o.boxes, first_boxes);
    }
  }
}

}  // namespace
}  // namespace tav::engine
