// Partition restore and clone through the engine's run: snapshots written by the real writer are
// copied sector by sector into a destination that records every write (order, data), a live
// partition in memory is cloned, and the destination rules are checked over a table of cases.
#include "engine/restore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/progress_channel.h"
#include "disk/device_io.h"
#include "disk/disk_list.h"
#include "disk/fs_copy.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/restore_checks.h"
#include "engine/restore_copy.h"
#include "engine/restore_run.h"
#include "image/image_catalogue.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/scoped_env.h"
#include "tests/disk/fixtures/sysfs_fake_tree.h"
#include "tests/engine/memory_partition.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

namespace fs = std::filesystem;
namespace pl = img::part_layout;
using test::pattern_bytes;

constexpr uint64_t kPartSectors = 1000;
constexpr uint64_t kPartStart = 2048;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// ---- What the run shows and asks, recorded through the channel's ops table. ----

std::mutex g_mu;
std::vector<std::string> g_info, g_reports, g_questions;
uint32_t g_answer = kAnswerAbort;  // the answer to every Abort/Retry/Ignore question

void record_info(THREAD_GUI_DATA* r, const char* text) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_info.emplace_back(text);
  }
  builtin_channel_ops().append_message_to_info_box(r, text);
}
uint32_t answer_dialog(THREAD_GUI_DATA*, uint32_t, uint32_t buttons, const char* format, ...) {
  char text[4096];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(g_mu);
  if (buttons == kButtonsAbortRetryIgnore) {
    g_questions.emplace_back(text);
    return g_answer;
  }
  g_reports.emplace_back(text);
  return kAnswerOk;
}
std::string joined(const std::vector<std::string>& v) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::string out;
  for (const std::string& s : v) out += s + "\n";
  return out;
}

// Records the work-done results; progress and dialogs go through the ops table only.
class ResultSink : public UiSink {
 public:
  bool post(UiMessage message, THREAD_GUI_DATA*, int64_t param) override {
    if (message != UiMessage::kWorkDone) return false;
    std::lock_guard<std::mutex> lock(mu_);
    results_.push_back(param);
    return true;
  }
  void draw_progress(const ProgressView&) override {}
  uint32_t ask(uint32_t, uint32_t buttons, const std::string&, const std::string&) override {
    return unanswered_dialog_result(buttons);
  }
  std::vector<int64_t> results() {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> results_;
};

// ---- A destination partition in memory that records its writes. ----

struct WriteCall {
  uint64_t first;
  uint32_t count;
  std::vector<uint8_t> data;
};

struct MemoryDest {
  std::vector<uint8_t> bytes;
  std::vector<WriteCall> writes;
  THREAD_GUI_DATA* cancel_record = nullptr;  // cancelled after `cancel_after` writes
  size_t cancel_after = 0;

  static MemoryDest* of(BACKUP_PARTITION_INFO* p) { return static_cast<MemoryDest*>(p->part_data); }
  static int open(BACKUP_PARTITION_INFO* p, int mode) {
    p->open_mode = mode;
    return 0;
  }
  static int close(BACKUP_PARTITION_INFO* p) {
    p->open_mode = -1;
    return 0;
  }
  static int finish(BACKUP_PARTITION_INFO*) { return 0; }
  static int64_t read_sectors(BACKUP_PARTITION_INFO* p, uint64_t first, uint32_t count, void* out) {
    MemoryDest* self = of(p);
    if ((first + count) * kSectorSize > self->bytes.size()) return -1;
    std::memcpy(out, self->bytes.data() + first * kSectorSize, size_t(count) * kSectorSize);
    return count;
  }
  static int64_t write_sectors(BACKUP_PARTITION_INFO* p, uint64_t first, uint32_t count, const void* in) {
    MemoryDest* self = of(p);
    if (p->open_mode != disk::kOpenWrite || (first + count) * kSectorSize > self->bytes.size()) return -1;
    const auto* b = static_cast<const uint8_t*>(in);
    std::memcpy(self->bytes.data() + first * kSectorSize, b, size_t(count) * kSectorSize);
    self->writes.push_back({first, count, std::vector<uint8_t>(b, b + size_t(count) * kSectorSize)});
    if (self->cancel_record != nullptr && self->writes.size() == self->cancel_after) self->cancel_record->cancel.store(1);
    return count;
  }
  static constexpr PART_OPERATIONS kOps = {nullptr, nullptr, read_sectors, write_sectors, finish, open, close};
};

// ---- Fixture: one snapshot of an unknown-file-system partition, a disk file as the
// destination's disk. ----

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok() && work_.ok());
    env_ = std::make_unique<test::ScopedEnv>("TAV_HOME", home_.path().c_str());
    tav_init_disk();
    store_ = work_.file("store");
    fs::create_directories(store_);
    ops_ = builtin_channel_ops();
    ops_.append_message_to_info_box = record_info;
    ops_.throw_dlg = answer_dialog;
    libtavpub_init_thread_gui_data(&record_);
    record_.ops = &ops_;
    libtavpub_set_window_handle(&record_, &sink_);
    libtavbak_set_thread_gui(&record_, message_, &error_flag_);
    std::lock_guard<std::mutex> lock(g_mu);
    g_info.clear();
    g_reports.clear();
    g_questions.clear();
    g_answer = kAnswerAbort;
  }
  void TearDown() override {
    libtavpub_stop_thread(&record_, 100);
    libtavpub_set_window_handle(&record_, nullptr);
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
    libtavimg_unload_image(libtavimg_get_storage_data());
  }

  // Writes and loads one snapshot of a partition of kPartSectors sectors, type 0xDA (no file
  // system we know), storing `stored`. Stored uncompressed, so a test can find a unit's bytes.
  BACKUP_PARTITION_INFO* make_image(const std::vector<FLAT_RUN>& stored) {
    test::SyntheticPartition p;
    p.start_sector = kPartStart;
    p.part_type = 0xDA;
    p.signature = 7;
    p.content = pattern_bytes(kPartSectors * kSectorSize, 11);
    p.stored = stored;
    content_ = p.content;
    test::SyntheticDisk d;
    d.total_sectors = 8192;
    d.boot_sectors.assign(kSectorSize, 0);
    d.parts = {p};
    test::SnapshotPlan plan;
    plan.directory = store_;
    plan.compress_mode = img::kCompressNone;
    plan.now = 200000;
    const Status st = test::write_snapshot(plan, {d}, nullptr);
    EXPECT_TRUE(st) << st.message();
    EXPECT_EQ(0, libtavimg_load_image2(libtavimg_get_storage_data(), store_.c_str(), "imbackup", 0));
    STORAGE_DATA* storage = libtavimg_get_storage_data();
    if (storage->snaps.empty()) return nullptr;
    return storage->snaps[0]->disks->parts[0].get();
  }

  // A destination of `sectors` sectors in memory, pre-filled with 0xAA, on a disk whose
  // path is a file of this test.
  BACKUP_PARTITION_INFO* make_memory_dest(uint64_t sectors) {
    dest_disk_.path = work_.file("dest.img");
    write_file(dest_disk_.path, std::vector<uint8_t>(kSectorSize * 8, 0));
    dest_disk_.name = "dest.img";
    dest_disk_.is_file = 1;
    dest_disk_.sectors_per_track = 63;
    dest_disk_.heads = 255;
    dest_disk_.total_sectors = kPartStart + sectors;
    dest_disk_.ops = tav_get_disk_operation();
    memory_.bytes.assign(sectors * kSectorSize, 0xAA);
    dest_.disk = &dest_disk_;
    disk::init_part_record(dest_);
    disk::set_part_extent(dest_, kPartStart, sectors);
    dest_.dev_name = "memdest";
    dest_.ops = &MemoryDest::kOps;
    dest_.part_data = &memory_;
    dest_.ops_fs = disk::unknown_file_system();
    return &dest_;
  }

  RESTORE_REQUEST request(BACKUP_PARTITION_INFO* source, BACKUP_PARTITION_INFO* dest) const {
    RESTORE_REQUEST r;
    r.image_dir = store_;
    r.image_name = "imbackup";
    r.image_part = source;
    r.dest_part = dest;
    return r;
  }

  int64_t run(RESTORE_REQUEST* r) {
    const size_t before = sink_.results().size();
    EXPECT_EQ(1, TavRestoreThread(r));
    const auto results = sink_.results();
    EXPECT_EQ(before + 1, results.size()) << "one work-done message per run";
    return results.size() > before ? results.back() : -2;
  }

  const uint8_t* source_sector(uint64_t s) const { return content_.data() + s * kSectorSize; }
  const uint8_t* dest_sector(uint64_t s) const { return memory_.bytes.data() + s * kSectorSize; }
  bool dest_sector_is(uint64_t s, uint8_t value) const {
    return std::all_of(dest_sector(s), dest_sector(s) + kSectorSize, [&](uint8_t b) { return b == value; });
  }
  bool dest_matches_source(uint64_t s) const { return std::memcmp(dest_sector(s), source_sector(s), kSectorSize) == 0; }

  // Flips a byte of the stored copy of source sector `s` in the volume file (a CRC failure).
  void damage_stored_sector(uint64_t s) {
    const std::string vol = store_ + "/imbackup0.ego";
    std::vector<uint8_t> bytes = read_file(vol);
    // A sector starts with its number and a stretch of random bytes: found once.
    const uint8_t* needle = source_sector(s);
    auto it = std::search(bytes.begin(), bytes.end(), needle, needle + 64);
    ASSERT_NE(it, bytes.end()) << "sector " << s << " not found in the volume";
    it[40] ^= 0xFF;
    write_file(vol, bytes);
    libtavimg_close_all_image_file(libtavimg_get_storage_data());
  }

  sysutil_test::TempDir home_, work_;
  std::unique_ptr<test::ScopedEnv> env_;
  std::string store_;
  std::vector<uint8_t> content_;
  GUI_OPS ops_{};
  THREAD_GUI_DATA record_;
  ResultSink sink_;
  char message_[kMessageBufferBytes] = {};
  int32_t error_flag_ = 0;
  _DISK_INFOMATION dest_disk_;
  BACKUP_PARTITION_INFO dest_;
  MemoryDest memory_;
};

const std::vector<FLAT_RUN> kStored = {{0, 300}, {500, 200}};

bool is_stored(uint64_t s) { return s < 300 || (s >= 500 && s < 700); }

TEST_F(RestoreTest, EqualSizesCopyEveryStoredSectorWithTheFirstSectorsWrittenLast) {
  BACKUP_PARTITION_INFO* image = make_image(kStored);
  ASSERT_NE(nullptr, image);
  // The paging file was left out at backup time: the progress does not count it.
  disk::set_rec_u64(*image, pl::kExcludedSectors, 100);
  RESTORE_REQUEST r = request(image, make_memory_dest(kPartSectors));
  ASSERT_EQ(0, run(&r)) << joined(g_reports);
  EXPECT_EQ(0, record_.error_count.load());
  EXPECT_EQ(record_.total, 500u - 100u);
  EXPECT_EQ(record_.sub_done, record_.sub_total);

  for (uint64_t s = 0; s < kPartSectors; ++s) {
    if (is_stored(s)) {
      ASSERT_TRUE(dest_matches_source(s)) << "stored sector " << s;
    } else if (s >= disk::kHeldBackSectors) {
      ASSERT_TRUE(dest_sector_is(s, 0xAA)) << "sector " << s << " was not stored and must stay untouched";
    }
  }
  const std::vector<WriteCall>& w = memory_.writes;
  ASSERT_GE(w.size(), 3u);
  EXPECT_EQ(0u, w.front().first) << "the first sectors are zeroed before any data";
  EXPECT_EQ(disk::kHeldBackSectors, w.front().count);
  EXPECT_TRUE(std::all_of(w.front().data.begin(), w.front().data.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(0u, w.back().first) << "the first sectors are written last";
  EXPECT_EQ(0, std::memcmp(w.back().data.data(), source_sector(0), disk::kHeldBackSectors * kSectorSize));
  for (size_t i = 1; i + 1 < w.size(); ++i) {
    EXPECT_GE(w[i].first, disk::kHeldBackSectors) << "write " << i << " touches the held-back sectors";
  }
  EXPECT_NE(std::string::npos, joined(g_info).find(bak_text(BakText::kResFinish)));
}

TEST_F(RestoreTest, CancelMidwayLeavesTheFirstSectorsZero) {
  BACKUP_PARTITION_INFO* image = make_image(kStored);
  ASSERT_NE(nullptr, image);
  RESTORE_REQUEST r = request(image, make_memory_dest(kPartSectors));
  memory_.cancel_record = &record_;
  memory_.cancel_after = 2;  // the zeroing and one piece of data
  ASSERT_EQ(0, run(&r)) << "a cancel is not a failure";
  EXPECT_EQ(0, record_.error_count.load());
  EXPECT_EQ(2u, memory_.writes.size());
  for (uint64_t s = 0; s < disk::kHeldBackSectors; ++s) EXPECT_TRUE(dest_sector_is(s, 0)) << s;
  EXPECT_NE(std::string::npos, joined(g_info).find(bak_text(BakText::kCanceled)));
}

// Unit 1 of the image (stored sectors 256-511: sectors 256-299 and 500-699) is damaged.
TEST_F(RestoreTest, ReadFailureIsAQuestion) {
  struct Case {
    uint32_t answer;
    int64_t result;
  };
  for (const Case c : {Case{kAnswerIgnore, 0}, Case{kAnswerAbort, -1}}) {
    SCOPED_TRACE(c.answer);
    fs::remove_all(store_);
    fs::create_directories(store_);
    libtavimg_unload_image(libtavimg_get_storage_data());
    BACKUP_PARTITION_INFO* image = make_image(kStored);
    ASSERT_NE(nullptr, image);
    damage_stored_sector(270);
    RESTORE_REQUEST r = request(image, make_memory_dest(kPartSectors));
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_answer = c.answer;
      g_questions.clear();
      g_reports.clear();
    }
    error_flag_ = 0;
    memory_.writes.clear();
    EXPECT_EQ(c.result, run(&r)) << joined(g_reports);
    const std::string questions = joined(g_questions);
    EXPECT_NE(std::string::npos, questions.find(bak_text(BakText::kDiskReadFailed))) << questions;
    for (uint64_t s = disk::kHeldBackSectors; s < 256; ++s) ASSERT_TRUE(dest_matches_source(s)) << s;
    if (c.answer == kAnswerIgnore) {
      // Both pieces of the damaged unit were skipped; everything else arrived, the boot sector last.
      EXPECT_EQ(2u, g_questions.size());
      for (uint64_t s = 256; s < 300; ++s) ASSERT_TRUE(dest_sector_is(s, 0xAA)) << s;
      EXPECT_TRUE(dest_matches_source(0));
      EXPECT_EQ(0u, memory_.writes.back().first);
    } else {
      EXPECT_EQ(1u, g_questions.size());
      EXPECT_TRUE(dest_sector_is(0, 0)) << "an aborted copy leaves no boot sector";
      EXPECT_NE(std::string::npos, joined(g_info).find(bak_text(BakText::kErrorOccur)));
    }
  }
}

TEST_F(RestoreTest, DestinationOneSectorSmallerIsRefusedBeforeAnyWrite) {
  BACKUP_PARTITION_INFO* image = make_image(kStored);
  ASSERT_NE(nullptr, image);
  RESTORE_REQUEST r = request(image, make_memory_dest(kPartSectors - 1));
  EXPECT_EQ(-1, run(&r));
  EXPECT_TRUE(memory_.writes.empty());
  const std::string reports = joined(g_reports);
  EXPECT_NE(std::string::npos, reports.find("destination is not enouth!")) << reports;
  EXPECT_NE(std::string::npos, reports.find("999 sectors")) << reports;
  EXPECT_NE(std::string::npos, reports.find("1000 sectors")) << reports;
}

TEST_F(RestoreTest, WholeDiskRequestIsRefused) {
  BACKUP_PARTITION_INFO* image = make_image(kStored);
  ASSERT_NE(nullptr, image);
  RESTORE_REQUEST r = request(image, make_memory_dest(kPartSectors));
  _DISK_INFOMATION layout;
  r.whole_disk = 1;
  r.restore_disk = &layout;
  EXPECT_EQ(-1, run(&r));
  EXPECT_TRUE(memory_.writes.empty());
  EXPECT_NE(std::string::npos, joined(g_reports).find("whole-disk restore is not available"));
}

// A real MBR disk file whose partition is one sector larger than the source: the entry is
// shrunk to the source's size and the copy is sector by sector.
TEST_F(RestoreTest, LargerDestinationOfUnknownFileSystemIsShrunk) {
  BACKUP_PARTITION_INFO* image = make_image(kStored);
  ASSERT_NE(nullptr, image);
  const std::string path = work_.file("mbr.img");
  std::vector<uint8_t> disk_bytes(size_t(4096) * kSectorSize, 0x55);
  uint8_t* entry = disk_bytes.data() + 446;
  std::memset(disk_bytes.data() + 446, 0, 64);
  entry[4] = 0xDA;
  put_le32(entry + 8, uint32_t(kPartStart));
  put_le32(entry + 12, uint32_t(kPartSectors + 1));
  disk_bytes[510] = 0x55;
  disk_bytes[511] = 0xAA;
  write_file(path, disk_bytes);
  std::unique_ptr<_DISK_INFOMATION> disk;
  const Status st = disk::open_disk(path, &disk);
  ASSERT_TRUE(st) << st.message();
  ASSERT_EQ(1u, disk->parts.size());
  BACKUP_PARTITION_INFO* dest = disk->parts[0].get();

  RESTORE_REQUEST r = request(image, dest);
  ASSERT_EQ(0, run(&r)) << joined(g_reports);
  EXPECT_EQ(kPartSectors, dest->sector_count);
  const std::vector<uint8_t> after = read_file(path);
  EXPECT_EQ(uint32_t(kPartSectors), get_le32(after.data() + 446 + 12)) << "the table entry was shrunk";
  for (uint64_t s = 0; s < kPartSectors; ++s) {
    if (!is_stored(s)) continue;
    ASSERT_EQ(0, std::memcmp(after.data() + (kPartStart + s) * kSectorSize, source_sector(s), kSectorSize)) << s;
  }
}

// ---- Clone: a live partition in memory, its used sectors copied. ----

IMAGE_RUN_VECTOR* clone_used_runs(THREAD_GUI_DATA*, BACKUP_PARTITION_INFO*) {
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  for (const IMAGE_RUN& r : {IMAGE_RUN{{2, 100}, RUN_TYPE_DATA, 0}, IMAGE_RUN{{300, 50}, RUN_TYPE_DATA, 0}}) {
    libtavpub_append_image_run(v, &r);
  }
  return v;
}
FLAT_RUN_VECTOR* no_file_runs(BACKUP_PARTITION_INFO*, const char*) { return libtavpub_create_empty_flat_run_vector(); }
const FILE_SYSTEM_TYPE kCloneFs = {disk::FS_UNKNOWN, "Unknown", nullptr, nullptr, clone_used_runs,
                                   no_file_runs,     nullptr,   nullptr};

TEST_F(RestoreTest, CloneSectorCopyCopiesTheUsedRuns) {
  test::MemoryPartition live;
  live.sectors = kPartSectors;
  _DISK_INFOMATION source_disk;
  source_disk.path = work_.file("source.img");
  write_file(source_disk.path, std::vector<uint8_t>(kSectorSize, 0));
  BACKUP_PARTITION_INFO source;
  source.disk = &source_disk;
  disk::init_part_record(source);
  disk::set_part_extent(source, kPartStart, kPartSectors);
  disk::set_part_used_sectors(source, 150);
  source.dev_name = "memsource";
  source.ops_fs = &kCloneFs;
  live.attach(&source);

  RESTORE_REQUEST r = request(&source, make_memory_dest(kPartSectors));
  r.is_clone = 1;
  r.sector_by_sector = 1;
  ASSERT_EQ(0, run(&r)) << joined(g_reports);
  std::vector<uint8_t> expect(kSectorSize);
  for (uint64_t s = 0; s < kPartSectors; ++s) {
    const bool used = (s >= 2 && s < 102) || (s >= 300 && s < 350);
    if (used) {
      test::default_sector_fill(s, expect.data());
      ASSERT_EQ(0, std::memcmp(dest_sector(s), expect.data(), kSectorSize)) << s;
    } else if (s < disk::kHeldBackSectors) {
      ASSERT_TRUE(dest_sector_is(s, 0)) << s;
    } else {
      ASSERT_TRUE(dest_sector_is(s, 0xAA)) << s;
    }
  }
  EXPECT_EQ(0u, memory_.writes.front().first);
  EXPECT_EQ(0u, memory_.writes.back().first);
  EXPECT_NE(std::string::npos, joined(g_info).find(bak_text(BakText::kCloneFinish)));
}

// ---- Rules of the destination, over given facts. ----

TEST(RestoreChecks, DestinationRules) {
  _DISK_INFOMATION disk_a, disk_b, image_disk;
  disk_a.path = "/nonexistent/a";
  disk_b.path = "/nonexistent/b";
  image_disk.disk_type = disk::DEVICE_IMAGE;
  auto part = [](_DISK_INFOMATION* d, uint64_t first, uint64_t count, uint32_t is_image) {
    auto p = std::make_unique<BACKUP_PARTITION_INFO>();
    p->disk = d;
    p->first_sector = first;
    p->sector_count = count;
    p->last_sector = first + count - 1;
    p->is_image = is_image;
    p->dev_name = "p" + std::to_string(first);
    return p;
  };
  auto image = part(&image_disk, 2048, 1000, 1);
  auto dest = part(&disk_a, 2048, 1000, 0);
  auto bigger = part(&disk_a, 2048, 1001, 0);
  auto smaller = part(&disk_a, 2048, 999, 0);
  auto other = part(&disk_a, 4096, 1000, 0);
  auto overlapping = part(&disk_a, 2500, 1000, 0);
  auto elsewhere = part(&disk_b, 2048, 1000, 0);
  auto image_dest = part(&image_disk, 2048, 1000, 1);
  auto extended = part(&disk_a, 2048, 4000, 0);
  disk::set_rec_u32(*extended, pl::kPartFlags, disk::kPartFlagExtended);

  struct Case {
    const char* name;
    BACKUP_PARTITION_INFO* source;
    BACKUP_PARTITION_INFO* dest;
    uint32_t is_clone;
    uint32_t whole_disk;
    const BACKUP_PARTITION_INFO* image_home;
    bool mounted;
    const char* error;  // null: accepted
  };
  const Case cases[] = {
      {"restore", image.get(), dest.get(), 0, 0, nullptr, false, nullptr},
      {"larger destination", image.get(), bigger.get(), 0, 0, nullptr, false, nullptr},
      {"image on another partition of the disk", image.get(), dest.get(), 0, 0, other.get(), false, nullptr},
      {"whole disk", image.get(), dest.get(), 0, 1, nullptr, false, "whole-disk restore is not available"},
      {"no source", nullptr, dest.get(), 0, 0, nullptr, false, "no source partition"},
      {"no destination", image.get(), nullptr, 0, 0, nullptr, false, "no destination partition"},
      {"snapshot destination", image.get(), image_dest.get(), 0, 0, nullptr, false, "is not a partition of a disk"},
      {"restore from a live partition", other.get(), dest.get(), 0, 0, nullptr, false, "is not a partition of a snapshot"},
      {"clone from a snapshot", image.get(), dest.get(), 1, 0, nullptr, false, "not of a snapshot"},
      {"image on the destination", image.get(), dest.get(), 0, 0, dest.get(), false, "holds the image being read"},
      {"image overlapping the destination", image.get(), dest.get(), 0, 0, overlapping.get(), false,
       "holds the image being read"},
      {"mounted", image.get(), dest.get(), 0, 0, nullptr, true, "is mounted at /mnt/x"},
      {"one sector smaller", image.get(), smaller.get(), 0, 0, nullptr, false, "destination is not enouth! p2048 has 999 sectors"},
      {"clone", elsewhere.get(), dest.get(), 1, 0, nullptr, false, nullptr},
      {"clone onto itself", dest.get(), dest.get(), 1, 0, nullptr, false, "onto itself"},
      {"clone onto the same range", dest.get(), bigger.get(), 1, 0, nullptr, false, "onto itself"},
      {"clone onto an overlapping range", dest.get(), overlapping.get(), 1, 0, nullptr, false, "overlaps the source"},
      {"clone next to itself", dest.get(), other.get(), 1, 0, nullptr, false, nullptr},
      {"extended destination", image.get(), extended.get(), 0, 0, nullptr, false, "is an extended partition"},
  };
  for (const Case& c : cases) {
    RESTORE_REQUEST r;
    r.image_part = c.source;
    r.dest_part = c.dest;
    r.is_clone = c.is_clone;
    r.whole_disk = c.whole_disk;
    DestinationFacts facts;
    facts.image_home = c.image_home;
    if (c.mounted) facts.dest_mounts.push_back(disk::MountEntry{0, 0, "/", "/mnt/x", "ext4", "/dev/x", false});
    const Status st = check_destination_facts(r, facts);
    if (c.error == nullptr) {
      EXPECT_TRUE(st) << c.name << ": " << st.message();
    } else {
      EXPECT_FALSE(st) << c.name;
      EXPECT_NE(std::string::npos, st.message().find(c.error)) << c.name << ": " << st.message();
    }
  }
}

TEST(RestoreChecks, SameDiskSeesThroughOtherSpellingsOfAFile) {
  sysutil_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  write_file(dir.file("d.img"), std::vector<uint8_t>(kSectorSize, 0));
  write_file(dir.file("e.img"), std::vector<uint8_t>(kSectorSize, 0));
  ASSERT_EQ(0, ::link(dir.file("d.img").c_str(), dir.file("link.img").c_str()));
  _DISK_INFOMATION a, b, c;
  a.path = dir.file("d.img");
  b.path = dir.path() + "/./link.img";
  c.path = dir.file("e.img");
  EXPECT_TRUE(same_disk(&a, &b));
  EXPECT_FALSE(same_disk(&a, &c));
  EXPECT_FALSE(same_disk(&a, nullptr));
}

// A disk image file and a loop device attached over it are two names of the same sectors: a
// clone from one onto the other would zero the source's first sectors before reading them.
TEST(RestoreChecks, CloneBetweenAFileAndALoopDeviceOverItIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  sysutil_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("d.img");
  std::vector<uint8_t> bytes(size_t(8192) * kSectorSize, 0);
  for (int i = 0; i < 2; ++i) {
    uint8_t* entry = bytes.data() + 446 + 16 * i;
    entry[4] = 0xDA;
    put_le32(entry + 8, uint32_t(kPartStart + i * 2048));
    put_le32(entry + 12, uint32_t(kPartSectors));
  }
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  write_file(path, bytes);
  disk::test::LoopDevice loop(path);
  if (!loop.ok()) GTEST_SKIP() << "cannot attach a loop device here";
  std::unique_ptr<_DISK_INFOMATION> file_disk, loop_disk;
  ASSERT_TRUE(disk::open_disk(path, &file_disk));
  ASSERT_TRUE(disk::open_disk(loop.path(), &loop_disk));
  ASSERT_EQ(2u, file_disk->parts.size());
  ASSERT_EQ(2u, loop_disk->parts.size());

  struct Case {
    BACKUP_PARTITION_INFO* source;
    BACKUP_PARTITION_INFO* dest;
    bool refused;
  };
  const Case cases[] = {
      {file_disk->parts[0].get(), loop_disk->parts[0].get(), true},
      {loop_disk->parts[0].get(), file_disk->parts[0].get(), true},
      {file_disk->parts[0].get(), loop_disk->parts[1].get(), false},
  };
  for (const Case& c : cases) {
    RESTORE_REQUEST r;
    r.is_clone = 1;
    r.image_part = c.source;
    r.dest_part = c.dest;
    const Status st = check_destination_facts(r, DestinationFacts{});
    EXPECT_EQ(c.refused, !st) << c.source->disk->path << " -> " << c.dest->disk->path << ": " << st.message();
    if (c.refused) {
      EXPECT_NE(std::string::npos, st.message().find("overlaps the source")) << st.message();
    }
  }
}

TEST(RestoreSteps, StepTotalsLeaveOutExcludedSectorsInSectorMode) {
  struct Case {
    uint64_t used, excluded;
    bool sector_mode;
    int64_t sub_total;
    uint64_t lowered;
  };
  const Case cases[] = {
      {1000, 100, true, 900, 100},
      {1000, 100, false, 1000, 0},
      {1000, 1000, true, 0, 1000},
      {100, 1000, true, 100, 0},  // more excluded than used: counted in full
      {0, 0, true, 0, 0},
  };
  for (const Case& c : cases) {
    BACKUP_PARTITION_INFO p;
    disk::set_part_used_sectors(p, c.used);
    disk::set_rec_u64(p, pl::kExcludedSectors, c.excluded);
    const StepTotal t = restore_step_total(p, c.sector_mode);
    EXPECT_EQ(c.sub_total, t.sub_total) << c.used << "/" << c.excluded << "/" << c.sector_mode;
    EXPECT_EQ(c.lowered, t.lowered) << c.used << "/" << c.excluded << "/" << c.sector_mode;
  }
}

TEST(RestoreSteps, ReadAheadBuffersFollowFreeMemory) {
  EXPECT_EQ(100, read_ahead_buffer_count(0));
  EXPECT_EQ(100, read_ahead_buffer_count(255));
  EXPECT_EQ(200, read_ahead_buffer_count(256));
  EXPECT_EQ(200, read_ahead_buffer_count(511));
  EXPECT_EQ(400, read_ahead_buffer_count(512));
}

}  // namespace
}  // namespace tav::engine
