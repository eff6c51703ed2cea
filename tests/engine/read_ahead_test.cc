// Read-ahead of image partitions: a fake image partition whose sectors carry their own number
// (and which can fail on a chosen sector or hold a read at a gate) is read through both modes
// with the request patterns of its callers; every way the reader can end is driven, and one
// snapshot written by the real writer is read through both modes and compared with direct reads.
#include "engine/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "core/progress_channel.h"
#include "engine/engine_channel.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/image_reader.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/engine/memory_partition.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

constexpr uint32_t kPiece = COMPRESS_UNIT_SECTORS;

// The bytes of sector `s` of the fake partition: its number, then a pattern of it.
void fill_sector(uint64_t s, uint8_t* p) {
  put_le64(p, s);
  for (uint32_t i = 8; i < kSectorSize; ++i) p[i] = uint8_t(s * 131 + i * 7 + (s >> 32));
}

std::vector<uint8_t> pattern(uint64_t begin, uint32_t count) {
  std::vector<uint8_t> bytes(size_t(count) * kSectorSize);
  for (uint32_t i = 0; i < count; ++i) fill_sector(begin + i, bytes.data() + size_t(i) * kSectorSize);
  return bytes;
}

// Records every report box (reports come from the reader thread too).
class RecordingPrompter : public Prompter {
 public:
  uint32_t ask(uint32_t, uint32_t, const std::string&, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_ += text + "\n";
    ++boxes_;
    return kAnswerOk;
  }
  std::string texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  int boxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }

 private:
  std::mutex mutex_;
  std::string texts_;
  int boxes_ = 0;
};

struct SectorRun {
  uint32_t begin;
  uint32_t count;
};

// A vector of the runs as given (neighbouring runs get different snapshots, so none merge).
IMAGE_RUN_VECTOR* make_runs(const std::vector<SectorRun>& runs) {
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  uint32_t snapshot = 0;
  for (const SectorRun& r : runs) {
    const IMAGE_RUN run{{r.begin, r.count}, RUN_TYPE_COMMON, snapshot++ % 2};
    EXPECT_EQ(libtavpub_append_image_run(v, &run), 1);
  }
  return v;
}

enum class Mode { kThread, kCache };

// How a caller takes a run: in consecutive pieces of 256 or of 100 sectors; every piece twice;
// or as the backup does: ask for min(256, rest of run), use only k of them, and ask again from
// k on (so each request starts inside the previous piece and extends past it).
enum class Pattern { kPieces, kSmallPieces, kRepeat, kBackup };

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);  // every report reaches the prompter
    set_default_prompter(&prompter_);
    image_.fill = fill_sector;
    image_.attach(&part_);
    part_.is_image = 1;
  }
  void TearDown() override {
    imagefile_read_uninit();
    set_default_prompter(nullptr);
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
  }

  int start(const std::vector<SectorRun>& runs, Mode mode, int32_t buffers, THREAD_GUI_DATA* channel = nullptr) {
    return imagefile_read_init(buffers, make_runs(runs), channel, &part_, mode == Mode::kCache ? 1 : 0);
  }

  // One request; the sectors delivered are checked against the partition.
  int64_t read(int64_t begin, uint32_t count, THREAD_GUI_DATA* channel = nullptr) {
    std::vector<uint8_t> out(size_t(std::max(count, 1u)) * kSectorSize, 0xEE);
    const int64_t got = imagefile_read_sectors(out.data(), count, channel, &part_, begin);
    if (got > 0) {
      out.resize(size_t(got) * kSectorSize);
      EXPECT_TRUE(out == pattern(uint64_t(begin), uint32_t(got))) << "data of " << begin << "+" << got;
    }
    return got;
  }

  // Takes every run in the given pattern; false at the first request that is not served in full.
  bool consume(const std::vector<SectorRun>& runs, Pattern p, THREAD_GUI_DATA* channel = nullptr) {
    static const uint32_t kTaken[] = {1, 255, 100, 256, 37, 200};
    size_t turn = 0;
    for (const SectorRun& r : runs) {
      uint64_t pos = r.begin;
      const uint64_t end = uint64_t{r.begin} + r.count;
      while (pos < end) {
        const uint32_t ask = uint32_t(std::min<uint64_t>(p == Pattern::kSmallPieces ? 100 : kPiece, end - pos));
        if (read(int64_t(pos), ask, channel) != ask) {
          ADD_FAILURE() << "request " << pos << "+" << ask;
          return false;
        }
        uint32_t used = ask;
        if (p == Pattern::kRepeat && read(int64_t(pos), ask, channel) != ask) {
          ADD_FAILURE() << "repeat " << pos << "+" << ask;
          return false;
        }
        if (p == Pattern::kBackup) used = std::min(ask, kTaken[turn++ % std::size(kTaken)]);
        pos += used;
      }
    }
    return true;
  }

  // A fake image partition; a test makes a read fail or wait at its gate by sector.
  test::MemoryPartition image_;
  BACKUP_PARTITION_INFO part_;
  RecordingPrompter prompter_;
};

// ---- Delivery. ----

struct DeliveryCase {
  const char* name;
  Mode mode;
  int32_t buffers;
};

class ReadAheadDelivery : public ReadAheadTest, public ::testing::WithParamInterface<DeliveryCase> {};

// Empty runs between the others, two runs that touch, runs of exactly one piece and one sector
// more, a run across 2^31 and one that ends at 2^32 (ascending, as run vectors are).
const std::vector<SectorRun> kMixedRuns = {
    {0, 0},          {10, 1000},       {1010, 5},           {5000, 0},
    {20000, kPiece}, {30000, kPiece + 1}, {40000, 1}, {0x7FFFFF00u, 600}, {0xFFFFFED4u, 300},
};

TEST_P(ReadAheadDelivery, EveryPatternGetsTheRunsData) {
  const DeliveryCase& c = GetParam();
  uint32_t nonempty = 0;
  for (const SectorRun& r : kMixedRuns) nonempty += r.count != 0;
  for (Pattern p : {Pattern::kPieces, Pattern::kSmallPieces, Pattern::kRepeat, Pattern::kBackup}) {
    SCOPED_TRACE("pattern " + std::to_string(int(p)));
    image_.reads = 0;
    image_.max_count = 0;
    ASSERT_EQ(start(kMixedRuns, c.mode, c.buffers), 0);
    EXPECT_TRUE(consume(kMixedRuns, p));
    // Past the last run nothing more comes.
    EXPECT_EQ(read(int64_t{1} << 32, 10), 0);
    imagefile_read_uninit();
    if (c.mode == Mode::kThread) {
      EXPECT_LE(image_.max_count.load(), kPiece) << "pieces of one compress unit at most";
    } else if (uint64_t(c.buffers) * kPiece > 3000) {
      EXPECT_LE(uint32_t(image_.reads.load()), nonempty) << "a cache that holds everything reads each run once";
    }
  }
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadAheadDelivery,
                         ::testing::Values(DeliveryCase{"ThreadOneNode", Mode::kThread, 1},
                                           DeliveryCase{"ThreadThreeNodes", Mode::kThread, 3},
                                           DeliveryCase{"ThreadManyNodes", Mode::kThread, 64},
                                           DeliveryCase{"CacheOnePiece", Mode::kCache, 1},
                                           DeliveryCase{"CacheThreePieces", Mode::kCache, 3},
                                           DeliveryCase{"CacheLarge", Mode::kCache, 64}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadAheadTest, RunsWithoutSectorsDeliverNothing) {
  const std::vector<std::vector<SectorRun>> cases = {{}, {{0, 0}, {500, 0}}};
  for (Mode mode : {Mode::kThread, Mode::kCache}) {
    for (const auto& runs : cases) {
      SCOPED_TRACE("mode " + std::to_string(int(mode)) + ", runs " + std::to_string(runs.size()));
      ASSERT_EQ(start(runs, mode, 4), 0);
      EXPECT_EQ(read(0, 10), 0);
      EXPECT_EQ(read(500, 1), 0);
      imagefile_read_uninit();
    }
  }
  EXPECT_EQ(image_.reads.load(), 0);
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

// A cache of one piece: a request that runs past the cache's end keeps its first part, fills
// behind it and is served whole; so is one that crosses from one run of the list into the next
// when the two touch.
TEST_F(ReadAheadTest, CacheRequestAcrossItsEndIsServedWhole) {
  ASSERT_EQ(start({{100, 1000}}, Mode::kCache, 1), 0);
  EXPECT_EQ(read(100, 200), 200);
  EXPECT_EQ(read(300, 256), 256);  // 56 cached, 200 read behind them
  EXPECT_EQ(read(556, 256), 256);
  EXPECT_EQ(read(812, 256), 256);
  EXPECT_EQ(read(1068, 32), 32);
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

// ---- Requests the module refuses. ----

struct RefusalCase {
  const char* name;
  std::vector<std::pair<int64_t, uint32_t>> requests;  // all but the last succeed
  const char* thread_text;  // report of the last request; null: it succeeds
  const char* cache_text;
};

TEST_F(ReadAheadTest, RefusedRequestsReportAndCountOnce) {
  const RefusalCase cases[] = {
      {"TooLong", {{0, 257}}, "thread read: lCount=257 failed!", "cache read: lCount > COMPRESS_UNIT_SECTORS!"},
      {"BackBeforePreviousPiece", {{0, 100}, {200, 100}, {150, 10}},
       "thread read: llBegin < s_read_data.one_start!", "read into cache: llBegin < pimg_run->value.Begin"},
      {"SkipsAPiece", {{0, 100}, {300, 10}},
       "thread read: lCount > COMPRESS_UNIT_SECTORS || llBegin != curr_list->start!", nullptr},
      {"InAGapBetweenRuns", {{0, 256}, {256, 256}, {600, 10}},
       "thread read: lCount > COMPRESS_UNIT_SECTORS || llBegin != curr_list->start!",
       "cache read: llBegin < pimg_run->value.Begin include while\n index=0, llBegin=600, value.Begin=700"},
  };
  for (Mode mode : {Mode::kThread, Mode::kCache}) {
    for (const RefusalCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (mode == Mode::kThread ? " thread" : " cache"));
      THREAD_GUI_DATA channel;
      // A cache of one piece, so that requests refill it.
      ASSERT_EQ(start({{0, 512}, {700, 300}}, mode, mode == Mode::kThread ? 8 : 1, &channel), 0);
      for (size_t i = 0; i + 1 < c.requests.size(); ++i) {
        EXPECT_EQ(read(c.requests[i].first, c.requests[i].second, &channel), c.requests[i].second);
      }
      const char* text = mode == Mode::kThread ? c.thread_text : c.cache_text;
      const auto [begin, count] = c.requests.back();
      const int boxes = prompter_.boxes();
      if (text == nullptr) {
        EXPECT_EQ(read(begin, count, &channel), count);
        EXPECT_EQ(channel.error_count.load(), 0);
      } else {
        EXPECT_EQ(read(begin, count, &channel), -1);
        EXPECT_EQ(channel.error_count.load(), 1);
        EXPECT_EQ(prompter_.boxes(), boxes + 1);
        EXPECT_NE(prompter_.texts().find("read_ahead"), std::string::npos);  // the report names its source
        EXPECT_NE(prompter_.texts().find(text), std::string::npos) << prompter_.texts();
      }
      imagefile_read_uninit();
    }
  }
}

TEST_F(ReadAheadTest, ReadWithoutAnActiveReadAheadIsRefused) {
  THREAD_GUI_DATA channel;
  EXPECT_EQ(read(0, 1, &channel), -1);
  ASSERT_EQ(start({{0, 10}}, Mode::kThread, 2), 0);
  imagefile_read_uninit();
  EXPECT_EQ(read(0, 1, &channel), -1);
  EXPECT_EQ(channel.error_count.load(), 2);
  EXPECT_NE(prompter_.texts().find("imagefile read sectors: shouldn't be here why?"), std::string::npos);
}

// ---- Start. ----

TEST_F(ReadAheadTest, FailedStartsFreeTheirVectorAndLeaveNothingActive) {
  BACKUP_PARTITION_INFO no_ops;
  struct StartCase {
    const char* name;
    bool vector;
    int32_t buffers;
    BACKUP_PARTITION_INFO* part;
    const char* extra_text;
  };
  const StartCase cases[] = {
      {"NoVector", false, 4, &part_, nullptr},
      {"NoBuffers", true, 0, &part_, nullptr},
      {"NegativeBuffers", true, -3, &part_, nullptr},
      {"NoPartition", true, 4, nullptr, nullptr},
      {"PartitionWithoutOperations", true, 4, &no_ops, nullptr},
      {"PoolTooLarge", true, INT32_MAX, &part_, "imagefile read init: allocatting memory failed!"},
  };
  for (int32_t cache_mode : {0, 1}) {
    for (const StartCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (cache_mode ? " cache" : " thread"));
      THREAD_GUI_DATA channel;
      const int boxes = prompter_.boxes();
      // A leaked vector shows in the sanitizer build.
      EXPECT_EQ(imagefile_read_init(c.buffers, c.vector ? make_runs({{0, 10}}) : nullptr, &channel, c.part, cache_mode),
                -1);
      EXPECT_GT(prompter_.boxes(), boxes);
      EXPECT_NE(prompter_.texts().find("imagefile read init failed!"), std::string::npos);
      if (c.extra_text != nullptr) {
        EXPECT_NE(prompter_.texts().find(c.extra_text), std::string::npos);
      }
      EXPECT_EQ(channel.error_count.load(), 0) << "the caller counts a failed start";
      imagefile_read_uninit();
      imagefile_read_uninit();
      // The module is idle and can start again.
      ASSERT_EQ(start({{0, 10}}, cache_mode ? Mode::kCache : Mode::kThread, 2), 0);
      EXPECT_EQ(read(0, 10), 10);
      imagefile_read_uninit();
    }
  }
}

// A second start while one runs is refused and leaves the running one intact.
TEST_F(ReadAheadTest, SecondStartWhileActiveIsRefused) {
  for (Mode mode : {Mode::kThread, Mode::kCache}) {
    ASSERT_EQ(start({{0, 600}}, mode, 2), 0);
    EXPECT_EQ(read(0, 256), 256);
    EXPECT_EQ(start({{5000, 10}}, mode, 2), -1);
    EXPECT_EQ(read(256, 256), 256);
    EXPECT_EQ(read(512, 88), 88);
    imagefile_read_uninit();
  }
}

// ---- Thread mode: one_buf and the ways the reader ends. ----

// With the reader held inside its next read and cancel set, no node can come, so only the last
// piece can serve: a repeat and a request that starts inside it are served whole, one that runs
// past it gets what the piece holds.
TEST_F(ReadAheadTest, RepeatAndStartInsideAreServedFromTheLastPiece) {
  THREAD_GUI_DATA channel;
  image_.gate_sector = 1256;
  ASSERT_EQ(start({{1000, 1000}}, Mode::kThread, 1, &channel), 0);
  EXPECT_EQ(read(1000, 256, &channel), 256);
  image_.wait_until_at_gate();
  channel.cancel = 1;
  EXPECT_EQ(read(1000, 256, &channel), 256);
  EXPECT_EQ(read(1100, 100, &channel), 100);
  EXPECT_EQ(read(1150, 20, &channel), 20);
  EXPECT_EQ(read(1200, 256, &channel), 56) << "the rest of the piece, then the cancel";
  image_.open_gate();
  imagefile_read_uninit();
  EXPECT_EQ(channel.error_count.load(), 0);
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

// A failed read of the image ends the reader: the pieces before it arrive, the failed one is
// never delivered as data, the error is counted once on the channel (also when the channel is
// the engine's own report record), and without a channel the consumer still stops.
TEST_F(ReadAheadTest, ReadFailureEndsTheReaderAndTheConsumer) {
  enum class Channel { kOwn, kEngineRecord, kNone };
  for (Channel kind : {Channel::kOwn, Channel::kEngineRecord, Channel::kNone}) {
    SCOPED_TRACE("channel " + std::to_string(int(kind)));
    THREAD_GUI_DATA record;
    THREAD_GUI_DATA* channel = kind == Channel::kNone ? nullptr : &record;
    if (kind == Channel::kEngineRecord) libtavbak_set_thread_gui(&record, nullptr, nullptr);
    image_.fail_sector = 100 + 3 * kPiece + 7;
    ASSERT_EQ(start({{100, 10 * kPiece}}, Mode::kThread, 2, channel), 0);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(read(100 + i * kPiece, kPiece, channel), kPiece);
    EXPECT_EQ(read(100 + 3 * kPiece, kPiece, channel), 0);
    EXPECT_EQ(read(100 + 3 * kPiece, kPiece, channel), 0) << "asking again does not wait";
    imagefile_read_uninit();
    if (channel != nullptr) {
      EXPECT_EQ(channel->error_count.load(), 1);
    }
    EXPECT_NE(prompter_.texts().find("thread read func: read image disk failed"), std::string::npos);
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
  }
  // Cache mode: the failed fill fails the request.
  THREAD_GUI_DATA channel;
  image_.fail_sector = 300;
  ASSERT_EQ(start({{0, 1000}}, Mode::kCache, 1, &channel), 0);
  EXPECT_EQ(read(0, 256, &channel), 256);
  EXPECT_EQ(read(256, 256, &channel), -1);
  EXPECT_EQ(channel.error_count.load(), 1);
  EXPECT_NE(prompter_.texts().find("read into cache: read image disk failed!"), std::string::npos);
}

// Cancel while the consumer waits for a piece the reader is still reading: the consumer gets a
// short count (here with part of the request served from the last piece), the reader ends.
TEST_F(ReadAheadTest, CancelWhileWaitingGivesAShortCount) {
  THREAD_GUI_DATA channel;
  image_.gate_sector = 2 * kPiece;
  ASSERT_EQ(start({{0, 8 * kPiece}}, Mode::kThread, 4, &channel), 0);
  EXPECT_EQ(read(0, kPiece, &channel), kPiece);
  EXPECT_EQ(read(kPiece, kPiece, &channel), kPiece);
  std::thread canceller([&] {
    image_.wait_until_at_gate();
    channel.cancel = 1;
    image_.open_gate();
  });
  EXPECT_EQ(read(kPiece + 56, kPiece, &channel), 200);
  canceller.join();
  EXPECT_EQ(read(2 * kPiece, kPiece, &channel), 0);
  imagefile_read_uninit();
  EXPECT_EQ(channel.error_count.load(), 0);
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();

  // Cache mode: a cancel stops the next fill; what is cached is still served.
  THREAD_GUI_DATA cache_channel;
  ASSERT_EQ(start({{0, 1000}}, Mode::kCache, 1, &cache_channel), 0);
  EXPECT_EQ(read(0, 200, &cache_channel), 200);
  cache_channel.cancel = 1;
  EXPECT_EQ(read(200, 56, &cache_channel), 56);
  EXPECT_EQ(read(256, 256, &cache_channel), 0);
  EXPECT_EQ(cache_channel.error_count.load(), 0);
}

// The consumer stops early and ends the read-ahead while the reader waits for free nodes, or
// while it is inside a read of the image: uninit always returns and frees everything.
TEST_F(ReadAheadTest, UninitEndsAReaderInEveryState) {
  {
    SCOPED_TRACE("pool full");
    ASSERT_EQ(start({{0, 100 * kPiece}}, Mode::kThread, 2), 0);
    EXPECT_EQ(read(0, 10), 10);
    imagefile_read_uninit();
  }
  {
    SCOPED_TRACE("inside a read");
    image_.gate_sector = 3 * kPiece;
    ASSERT_EQ(start({{0, 100 * kPiece}}, Mode::kThread, 8), 0);
    EXPECT_EQ(read(0, kPiece), kPiece);
    image_.wait_until_at_gate();
    std::thread opener([&] { image_.open_gate(); });
    imagefile_read_uninit();
    opener.join();
  }
  {
    SCOPED_TRACE("never read");
    ASSERT_EQ(start({{0, 100 * kPiece}}, Mode::kThread, 3), 0);
    imagefile_read_uninit();
  }
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

// ---- A real snapshot. ----

// A full snapshot and an incremental over it, written by the real writer; the incremental's
// combined runs (pieces of both members, neighbours from different members) are read through
// both modes in the backup's pattern and compared with direct reads of the image partition.
TEST_F(ReadAheadTest, SnapshotRunsMatchDirectReads) {
  sysutil_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  libtavimg_set_thread_gui(nullptr, nullptr, nullptr);
  constexpr uint32_t kSectors = 6000;
  constexpr uint32_t kSignature = 0x5151;
  auto disk_with = [&](uint32_t seed, std::vector<FLAT_RUN> stored) {
    test::SyntheticDisk disk;
    disk.total_sectors = kSectors + 100;
    disk.boot_sectors.assign(kSectorSize, 0);
    test::SyntheticPartition part;
    part.start_sector = 63;
    part.signature = kSignature;
    part.content = test::pattern_bytes(size_t(kSectors) * kSectorSize, seed);
    part.stored = std::move(stored);
    disk.parts.push_back(std::move(part));
    return disk;
  };
  STORAGE_DATA storage;
  test::SnapshotPlan plan;
  plan.directory = dir.file("");
  plan.now = 1600000000;
  test::WrittenSnapshot full, inc;
  ASSERT_TRUE(test::write_snapshot(plan, {disk_with(1, {{0, 1500}, {2000, 700}, {4000, 1999}})}, &full));
  ASSERT_EQ(libtavimg_load_image2(&storage, dir.file("").c_str(), "imbackup", 0), 0);
  test::SyntheticDisk changed = disk_with(2, {{1500, 500}, {2100, 3}, {3000, 300}, {5999, 1}});
  changed.parts[0].parent_seq = full.snap_seq;
  changed.parts[0].parent_time = full.create_time;
  changed.parts[0].parent_vol = full.first_vol;
  plan.storage = &storage;
  plan.backup_type = img::kBackupIncremental;
  plan.first_vol = full.last_vol + 1;
  plan.now = 1600000100;
  ASSERT_TRUE(test::write_snapshot(plan, {changed}, &inc));
  libtavimg_unload_image(&storage);
  ASSERT_EQ(libtavimg_load_image2(&storage, dir.file("").c_str(), "imbackup", 0), 0);

  SNAP_DATA* snap = libtavimg_find_last_snap(&storage, 0, inc.snap_seq, int64_t(int32_t(inc.create_time)), nullptr);
  ASSERT_NE(snap, nullptr);
  BACKUP_PARTITION_INFO* part = libtavimg_get_part_from_signature(libtavimg_get_image_disks_list(snap), kSignature);
  ASSERT_NE(part, nullptr);
  ASSERT_EQ(part->ops->open(part, disk::kOpenRead), 0);
  const IMAGE_RUN_VECTOR* combined = libtavimg_get_part_run_vector(part);
  ASSERT_NE(combined, nullptr);
  ASSERT_GT(combined->run_count, 4u);

  // Direct reads first: the image reader serves one thread at a time.
  std::vector<std::vector<uint8_t>> direct;
  for (uint32_t i = 0; i < combined->run_count; ++i) {
    const FLAT_RUN r = combined->runs[i]->value;
    direct.emplace_back(size_t(r.Number) * kSectorSize);
    ASSERT_EQ(part->ops->read_sectors(part, r.Begin, r.Number, direct.back().data()), r.Number);
  }
  for (Mode mode : {Mode::kThread, Mode::kCache}) {
    SCOPED_TRACE(mode == Mode::kThread ? "thread" : "cache");
    THREAD_GUI_DATA channel;
    ASSERT_EQ(imagefile_read_init(mode == Mode::kThread ? 3 : 2, libtavpub_copy_image_run_vector(combined), &channel,
                                  part, mode == Mode::kCache ? 1 : 0),
              0);
    uint32_t turn = 0;
    for (uint32_t i = 0; i < combined->run_count; ++i) {
      const FLAT_RUN r = combined->runs[i]->value;
      for (uint32_t at = 0; at < r.Number;) {
        const uint32_t ask = std::min(kPiece, r.Number - at);
        std::vector<uint8_t> out(size_t(ask) * kSectorSize);
        ASSERT_EQ(imagefile_read_sectors(out.data(), ask, &channel, part, int64_t{r.Begin} + at), ask);
        ASSERT_EQ(std::memcmp(out.data(), direct[i].data() + size_t(at) * kSectorSize, out.size()), 0)
            << "run " << i << " at " << at;
        at += std::min(ask, 1 + (turn++ * 97) % kPiece);
      }
    }
    imagefile_read_uninit();
    EXPECT_EQ(channel.error_count.load(), 0);
  }
  part->ops->close(part);
  libtavimg_unload_image(&storage);
  EXPECT_EQ(prompter_.boxes(), 0) << prompter_.texts();
}

}  // namespace
}  // namespace tav::engine
