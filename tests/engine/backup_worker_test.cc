// Backup worker threads: a partition held in memory is backed up through the real image writer
// into a temporary directory, then the storage is loaded with the catalogue and the partition is
// read back through the image reader, so lost, reordered or misplaced sectors show. Incremental
// runs compare with a parent snapshot written the same way. Failure paths (read errors, cancel,
// units that fail their debug verification) must end every thread with the right count.
#include "engine/backup_worker.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "core/extent_set_ops.h"
#include "core/progress_channel.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "engine/backup_worker_internal.h"
#include "engine/engine_channel.h"
#include "engine/image_writer.h"
#include "engine/read_ahead.h"
#include "format/compress_unit.h"
#include "format/ego_records.h"
#include "format/image_name.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/image_reader.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/format/zlib_stream_check.h"
#include "tests/engine/memory_partition.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

namespace pl = img::part_layout;
using img::kUnitBytes;
using sysutil_test::TempDir;

// ---- A partition in memory ----

using test::MemoryPartition;

MemoryPartition pattern_partition(uint32_t sectors, uint32_t seed) {
  MemoryPartition m;
  m.sectors = sectors;
  m.content = test::pattern_bytes(size_t(sectors) * kSectorSize, seed);
  return m;
}

// Changes sectors [first, first + count) of `m`.
void change_sectors(MemoryPartition* m, uint32_t first, uint32_t count) {
  for (size_t i = size_t(first) * kSectorSize; i < size_t(first + count) * kSectorSize; ++i) m->content[i] ^= 0x5A;
}

struct DiskListDeleter {
  void operator()(_DISK_INFOMATION* head) const { tav_destroy_all_disks(head); }
};
using DiskList = std::unique_ptr<_DISK_INFOMATION, DiskListDeleter>;

// A disk holding the memory partition as its only partition.
DiskList make_disk(MemoryPartition* mem, BACKUP_PARTITION_INFO** part_out) {
  _DISK_INFOMATION* head = nullptr;
  auto disk = std::make_unique<_DISK_INFOMATION>();
  disk->name = disk->path = "memdisk";
  disk->total_sectors = 2048 + mem->sectors + 100;
  disk->heads = 255;
  disk->sectors_per_track = 63;
  disk->sectors_per_cylinder = 255 * 63;
  disk->cylinders = uint32_t(disk->total_sectors / disk->sectors_per_cylinder);
  disk->table_kind = disk::TableKind::kMbr;
  _DISK_INFOMATION* raw = disk.get();
  EXPECT_EQ(tav_add_disk_device(&head, raw), 0);
  disk.release();
  DiskList list(head);
  auto part = std::make_unique<BACKUP_PARTITION_INFO>();
  disk::init_part_record(*part);
  disk::set_part_extent(*part, 2048, mem->sectors);
  disk::set_rec_u8(*part, pl::kPartType, 0x83);
  disk::set_rec_u32(*part, pl::kPartNumber, 1);
  part->selected = 1;
  part->ops_fs = disk::unknown_file_system();
  *part_out = part.get();
  EXPECT_EQ(tav_part_add(raw, part.get()), 0);
  part.release();
  tav_assign_dev_num_all(head);
  mem->attach(*part_out);
  return list;
}

// ---- Plans and run vectors ----

IMAGE_RUN run_of(uint32_t begin, uint32_t count, uint32_t type = RUN_TYPE_ADDED) {
  IMAGE_RUN r{};
  r.value.Begin = begin;
  r.value.Number = count;
  r.type = type;
  return r;
}

struct VectorDeleter {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
using RunVector = std::unique_ptr<IMAGE_RUN_VECTOR, VectorDeleter>;

RunVector vector_of(const std::vector<IMAGE_RUN>& runs) {
  RunVector v(libtavpub_create_empty_image_run_vector());
  for (const IMAGE_RUN& r : runs) EXPECT_EQ(libtavpub_append_image_run(v.get(), &r), 1);
  return v;
}

std::vector<IMAGE_RUN> runs_of(const IMAGE_RUN_VECTOR* v) {
  std::vector<IMAGE_RUN> out;
  for (uint32_t i = 0; i < v->run_count; ++i) out.push_back(*v->runs[i]);
  return out;
}

std::vector<FLAT_RUN> flat_of(const std::vector<IMAGE_RUN>& runs) {
  std::vector<FLAT_RUN> out;
  for (const IMAGE_RUN& r : runs) {
    if (r.type != RUN_TYPE_MINUS && r.value.Number != 0) out.push_back(r.value);
  }
  return out;
}

uint64_t sectors_in(const std::vector<FLAT_RUN>& runs) {
  uint64_t n = 0;
  for (const FLAT_RUN& r : runs) n += r.Number;
  return n;
}

// ---- One backup run ----

struct BackupInput {
  MemoryPartition* source = nullptr;
  std::vector<IMAGE_RUN> plan;  // added runs for a full backup; diff of parent and used runs else
  WorkerSizing sizing;
  img::CompressMode mode = img::kCompressNormal;
  uint32_t first_vol = 0;
  // For a dependent backup: the loaded storage, the parent snapshot and its image partition.
  STORAGE_DATA* storage = nullptr;
  const SNAP_DATA* parent_snap = nullptr;
  BACKUP_PARTITION_INFO* parent = nullptr;
  bool read_ahead = false;
};

struct BackupResult {
  bool ok = false;
  std::vector<FLAT_RUN> stored;
  uint32_t last_vol = 0;
};

BackupResult backup(const std::string& dir, const BackupInput& in, THREAD_GUI_DATA* channel) {
  BackupResult result;
  BACKUP_PARTITION_INFO* part = nullptr;
  DiskList disks = make_disk(in.source, &part);
  const bool full = in.parent == nullptr;
  disk::set_part_used_sectors(*part, sectors_in(flat_of(in.plan)));
  disk::set_rec_u32(*part, pl::kFull, full ? 1 : 0);
  if (full) {
    disk::set_rec_u32(*part, pl::kSignature, 4242);
  } else {
    disk::set_rec_u32(*part, pl::kSignature, disk::rec_u32(*in.parent, pl::kSignature));
    disk::set_rec_u32(*part, pl::kParentSeq, in.parent_snap->snap_seq);
    disk::set_rec_u32(*part, pl::kParentTime, uint32_t(in.parent_snap->create_time));
    disk::set_rec_u32(*part, pl::kParentVol, in.parent_snap->first_vol);
    disk::set_rec_u32(*part, pl::kParentVol2, in.parent_snap->first_vol);
  }

  ImageWriterRequest request;
  request.directory = dir;
  request.base_name = "imbackup";
  request.disks = disks.get();
  request.backup_type = full ? img::kBackupFull : img::kBackupIncremental;
  request.compress_mode = in.mode;
  request.storage = in.storage;
  request.storage_exists = in.storage != nullptr;
  request.first_vol = in.first_vol;
  request.now = time_t(1700000000 + in.first_vol * 100);
  request.write_buffer_bytes = write_buffer_bytes_for(in.sizing.depth);
  ImageWriter writer;
  Status st = writer.begin(request);
  EXPECT_TRUE(st) << st.message();
  EXPECT_TRUE(writer.start_segment(part));
  RunVector plan = vector_of(in.plan);
  RunVector stored(libtavpub_create_empty_image_run_vector());
  if (full) {
    EXPECT_TRUE(writer.write_run_table(part, flat_of(in.plan)));
  }

  if (in.read_ahead) {
    EXPECT_EQ(imagefile_read_init(int32_t(in.sizing.depth), libtavpub_extract_run_vec_with_type(plan.get(), RUN_TYPE_COMMON),
                                  channel, in.parent, 0),
              0);
  }
  BackupWorker worker;
  st = worker.init(in.sizing, channel, in.mode);
  EXPECT_TRUE(st) << st.message();
  PartitionWork work;
  work.part = part;
  work.plan = plan.get();
  work.stored = stored.get();
  work.parent = in.parent;
  work.parent_read_ahead = in.read_ahead;
  result.ok = worker.run(work, &writer);
  if (in.read_ahead) imagefile_read_uninit();

  result.stored = flat_of(runs_of(stored.get()));
  if (result.ok) {
    if (!full) {
      EXPECT_TRUE(writer.write_run_table(part, result.stored));
    }
    EXPECT_TRUE(writer.close_segment(part));
    st = writer.finish();
    EXPECT_TRUE(st) << st.message();
    result.last_vol = writer.current_vol();
  } else {
    writer.abort();
  }
  return result;
}

// ---- Reading a storage back ----

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string volume_path(const TempDir& dir, uint32_t vol) { return *img::image_volume_name(dir.path(), "imbackup", int(vol)); }

// The framed units of the only segment of a volume, as stored.
std::vector<std::vector<uint8_t>> framed_units(const std::string& path) {
  std::vector<std::vector<uint8_t>> units;
  const std::vector<uint8_t> bytes = read_file(path);
  if (bytes.size() < img::kTailerSize) {
    ADD_FAILURE() << "short volume " << path;
    return units;
  }
  img::EGO_IMAGE_TAILER tailer;
  EXPECT_TRUE(img::decode_image_tailer(std::span<const uint8_t>(bytes).last(img::kTailerSize), &tailer));
  std::vector<uint64_t> locations;
  EXPECT_TRUE(img::decode_location_table(
      std::span<const uint8_t>(bytes).subspan(tailer.location_offset, tailer.unit_info_offset - tailer.location_offset),
      &locations));
  img::EGO_UNIT_INFO info;
  EXPECT_EQ(tailer.unit_info_count, 1u);
  EXPECT_TRUE(img::decode_unit_info(std::span<const uint8_t>(bytes).subspan(tailer.unit_info_offset, img::kUnitInfoSize), &info));
  for (size_t k = 0; k < locations.size(); ++k) {
    const uint64_t end = k + 1 < locations.size() ? locations[k + 1] : info.seg_end;
    units.emplace_back(bytes.begin() + ptrdiff_t(locations[k]), bytes.begin() + ptrdiff_t(end));
  }
  return units;
}

// Loads the storage and reads every sector of the partition of its newest snapshot.
std::vector<uint8_t> read_back(const TempDir& dir, STORAGE_DATA* storage, uint64_t* orig_bytes = nullptr) {
  libtavimg_unload_image(storage);
  EXPECT_EQ(libtavimg_load_image2(storage, dir.file("").c_str(), "imbackup", 0), 0);
  if (storage->snaps.empty()) return {};
  const SNAP_DATA* snap = storage->snaps.back().get();
  BACKUP_PARTITION_INFO* part = snap->disks->parts.at(0).get();
  if (orig_bytes != nullptr) *orig_bytes = disk::rec_u64(*part, pl::kOrigBytes);
  std::vector<uint8_t> data(part->sector_count * kSectorSize);
  EXPECT_EQ(part->ops->open(part, disk::kOpenRead), 0);
  EXPECT_EQ(part->ops->read_sectors(part, 0, uint32_t(part->sector_count), data.data()), int64_t(part->sector_count));
  part->ops->close(part);
  return data;
}

// The partition as a snapshot of `runs` of `m` shows it: their sectors, zeros elsewhere.
std::vector<uint8_t> expected_image(const MemoryPartition& m, const std::vector<FLAT_RUN>& runs) {
  std::vector<uint8_t> out(m.sectors * kSectorSize, 0);
  for (const FLAT_RUN& r : runs) {
    std::memcpy(out.data() + size_t(r.Begin) * kSectorSize, m.content.data() + size_t(r.Begin) * kSectorSize,
                size_t(r.Number) * kSectorSize);
  }
  return out;
}

// True when `a` and `b` agree on the sectors of `runs`.
bool same_on(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const std::vector<FLAT_RUN>& runs) {
  for (const FLAT_RUN& r : runs) {
    const size_t at = size_t(r.Begin) * kSectorSize, n = size_t(r.Number) * kSectorSize;
    if (a.size() < at + n || b.size() < at + n || std::memcmp(a.data() + at, b.data() + at, n) != 0) return false;
  }
  return true;
}

std::vector<uint8_t> inflate_unit(const std::vector<uint8_t>& framed) {
  img::UnitCodec codec;
  std::vector<uint8_t> data(kUnitBytes);
  Status st = codec.inflate(framed, img::FormatVersion{}, data);
  EXPECT_TRUE(st) << st.message();
  return data;
}

WorkerSizing multi(uint32_t threads, uint32_t depth = 2) {
  WorkerSizing s;
  s.compress_threads = threads;
  s.depth = depth;
  return s;
}

WorkerSizing single() {
  WorkerSizing s = multi(1);
  s.single_thread = true;
  return s;
}

// Answers Retry/Cancel questions with Cancel (or Retry while `retries` lasts); counts them.
class CountingPrompter : public Prompter {
 public:
  uint32_t ask(uint32_t, uint32_t buttons, const std::string&, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (buttons != kButtonsRetryCancel) return kAnswerOk;
    questions.push_back(text);
    if (retries > 0) {
      --retries;
      return kAnswerRetry;
    }
    return kAnswerCancel;
  }
  std::vector<std::string> questions;
  int retries = 0;

 private:
  std::mutex mu_;
};

class BackupWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
    libtavimg_set_thread_gui(nullptr, nullptr, nullptr);
    set_default_prompter(&prompter_);
  }
  void TearDown() override {
    set_worker_test_hooks(nullptr);
    libtavimg_unload_image(&storage_);
    set_default_prompter(nullptr);
  }

  BackupResult run(BackupInput in) {
    BackupResult r = backup(dir_.file(""), in, &channel_);
    next_vol_ = r.last_vol + 1;
    return r;
  }

  // Writes a full snapshot of `runs` of `parent_content`, loads it and opens its partition as
  // the parent of the next backup; `in` gets the parent fields and the diff plan against `used`.
  void prepare_incremental(MemoryPartition* parent_content, const std::vector<IMAGE_RUN>& runs,
                           const std::vector<IMAGE_RUN>& used, BackupInput* in) {
    BackupInput first;
    first.source = parent_content;
    first.plan = runs;
    first.sizing = multi(2);
    ASSERT_TRUE(run(first).ok);
    ASSERT_EQ(libtavimg_load_image2(&storage_, dir_.file("").c_str(), "imbackup", 0), 0);
    in->storage = &storage_;
    in->parent_snap = storage_.snaps.back().get();
    in->parent = in->parent_snap->disks->parts.at(0).get();
    in->first_vol = next_vol_;
    ASSERT_EQ(in->parent->ops->open(in->parent, disk::kOpenRead), 0);
    RunVector parent_runs(libtavpub_copy_image_run_vector(libtavimg_get_part_run_vector(in->parent)));
    RunVector used_runs = vector_of(used);
    RunVector plan(libtavpub_diff_vector(parent_runs.get(), used_runs.get()));
    ASSERT_TRUE(plan);
    in->plan = runs_of(plan.get());
  }

  void close_parent(BackupInput* in) {
    if (in->parent != nullptr) in->parent->ops->close(in->parent);
  }

  TempDir dir_;
  THREAD_GUI_DATA channel_;
  STORAGE_DATA storage_;
  CountingPrompter prompter_;
  uint32_t next_vol_ = 0;
};

// ---- Full backups read back ----

struct FullCase {
  const char* name;
  std::vector<IMAGE_RUN> plan;
  size_t units;
  WorkerSizing sizing;
  img::CompressMode mode = img::kCompressNormal;
};

class FullBackup : public BackupWorkerTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullBackup, ReadsBackAndPadsTheLastUnitWithZeros) {
  const FullCase& c = GetParam();
  MemoryPartition source = pattern_partition(12000, 7);
  BackupInput in;
  in.source = &source;
  in.plan = c.plan;
  in.sizing = c.sizing;
  in.mode = c.mode;
  BackupResult r = run(in);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(channel_.error_count.load(), 0);
  // Full runs are stored whole, in plan order (adjacent ones merged).
  RunVector merged = vector_of(c.plan);
  std::vector<FLAT_RUN> expected_runs = flat_of(runs_of(merged.get()));
  ASSERT_EQ(r.stored.size(), expected_runs.size());
  for (size_t i = 0; i < r.stored.size(); ++i) {
    EXPECT_EQ(r.stored[i].Begin, expected_runs[i].Begin);
    EXPECT_EQ(r.stored[i].Number, expected_runs[i].Number);
  }

  auto units = framed_units(volume_path(dir_, 0));
  ASSERT_EQ(units.size(), c.units);
  // Units hold the stored sectors packed in order, then zeros.
  std::vector<uint8_t> packed;
  for (const FLAT_RUN& run : expected_runs) {
    packed.insert(packed.end(), source.content.begin() + ptrdiff_t(run.Begin) * kSectorSize,
                  source.content.begin() + ptrdiff_t(run.Begin + run.Number) * kSectorSize);
  }
  packed.resize(c.units * kUnitBytes, 0);
  for (size_t k = 0; k < units.size(); ++k) {
    SCOPED_TRACE("unit " + std::to_string(k));
    EXPECT_TRUE(inflate_unit(units[k]) == std::vector<uint8_t>(packed.begin() + ptrdiff_t(k * kUnitBytes),
                                                                packed.begin() + ptrdiff_t((k + 1) * kUnitBytes)));
    // Outside debug mode the CRC of the compressed bytes is not recorded.
    EXPECT_EQ(get_le32(units[k].data() + units[k].size() - 4), 0u);
  }
  uint64_t orig_bytes = 0;
  EXPECT_TRUE(read_back(dir_, &storage_, &orig_bytes) == expected_image(source, expected_runs));
  EXPECT_EQ(orig_bytes, c.units * kUnitBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, FullBackup,
    ::testing::Values(FullCase{"EmptyPlanGivesOneZeroUnit", {}, 1, multi(2)},
                      FullCase{"EmptyPlanSingleThread", {}, 1, single()},
                      FullCase{"UsedRunsEndMidUnit", {run_of(0, 300), run_of(400, 50)}, 2, multi(2)},
                      FullCase{"ExactlyOneUnitHasNoExtraUnit", {run_of(100, 200), run_of(500, 56)}, 1, multi(1)},
                      FullCase{"ManyRunsAcrossUnits", {run_of(3, 1), run_of(4, 700), run_of(1000, 2999), run_of(5000, 5)}, 15,
                               multi(3)},
                      FullCase{"StoredUnits", {run_of(0, 2048)}, 8, multi(4), img::kCompressNone},
                      FullCase{"HighCompressionSingleThread", {run_of(10, 1100)}, 5, single(), img::kCompressHigh}),
    [](const auto& info) { return std::string(info.param.name); });

// Units of random bytes are stored as stored blocks, the others compressed, at both compressing
// levels and in both modes; every unit inflates to its data and the partition reads back whole.
TEST_F(BackupWorkerTest, IncompressibleUnitsAreStoredAndEverythingReadsBack) {
  MemoryPartition source = pattern_partition(8 * 256, 11);
  std::mt19937 gen(5);
  const size_t random_units[] = {1, 2, 5, 6};
  for (size_t u : random_units) {
    // Unit 6 keeps its last 4 KiB block of the compressible pattern.
    const size_t end = (u + 1) * kUnitBytes - (u == 6 ? 4096 : 0);
    for (size_t i = u * kUnitBytes; i < end; ++i) source.content[i] = uint8_t(gen());
  }
  const std::vector<IMAGE_RUN> plan = {run_of(0, 8 * 256)};
  for (img::CompressMode mode : {img::kCompressNormal, img::kCompressHigh}) {
    for (const WorkerSizing& sizing : {multi(3), single()}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + (sizing.single_thread ? ", single thread" : ", pipeline"));
      TempDir dir;
      ASSERT_TRUE(dir.ok());
      BackupInput in;
      in.source = &source;
      in.plan = plan;
      in.sizing = sizing;
      in.mode = mode;
      ASSERT_TRUE(backup(dir.file(""), in, &channel_).ok);
      const auto units = framed_units(volume_path(dir, 0));
      ASSERT_EQ(units.size(), 8u);
      for (size_t k = 0; k < units.size(); ++k) {
        SCOPED_TRACE("unit " + std::to_string(k));
        const std::span<const uint8_t> stream(units[k].data() + 4, units[k].size() - 16);
        std::vector<uint8_t> blocks;
        std::string why;
        const std::vector<uint8_t> expected(source.content.begin() + ptrdiff_t(k * kUnitBytes),
                                            source.content.begin() + ptrdiff_t((k + 1) * kUnitBytes));
        const bool stored = test::read_stored_stream(stream, &blocks, &why);
        EXPECT_EQ(stored, k == 1 || k == 2 || k == 5) << why;
        if (stored) {
          EXPECT_TRUE(blocks == expected);
        }
        EXPECT_TRUE(inflate_unit(units[k]) == expected);
      }
      EXPECT_TRUE(read_back(dir, &storage_) == source.content);
    }
  }
  EXPECT_EQ(channel_.error_count.load(), 0);
}

// Many units through few packages, so that every package is recycled many times.
TEST_F(BackupWorkerTest, SingleThreadAndPipelineWriteTheSameVolumes) {
  MemoryPartition source = pattern_partition(11000, 3);
  const std::vector<IMAGE_RUN> plan = {run_of(0, 4000), run_of(4100, 6000), run_of(10500, 333)};
  for (img::CompressMode mode : {img::kCompressNone, img::kCompressNormal, img::kCompressHigh}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    std::vector<std::vector<uint8_t>> volumes;
    for (const WorkerSizing& sizing : {single(), multi(3, 1), multi(4, 3)}) {
      TempDir dir;
      BackupInput in;
      in.source = &source;
      in.plan = plan;
      in.sizing = sizing;
      in.mode = mode;
      ASSERT_TRUE(backup(dir.file(""), in, &channel_).ok);
      volumes.push_back(read_file(*img::image_volume_name(dir.path(), "imbackup", 0)));
      if (volumes.size() == 1) {
        STORAGE_DATA storage;
        EXPECT_TRUE(read_back(dir, &storage) == expected_image(source, flat_of(plan)));
        libtavimg_unload_image(&storage);
      }
    }
    EXPECT_GT(volumes[0].size(), 0u);
    EXPECT_TRUE(volumes[1] == volumes[0]) << "one package in flight per stage";
    EXPECT_TRUE(volumes[2] == volumes[0]) << "four compress threads";
  }
}

// Unit 0 is held back until unit 1 has been compressed, so units reach the writer out of order.
struct OrderProbe {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int64_t> compressed;  // in the order compressions finished
  bool unit1_done = false;
};

TEST_F(BackupWorkerTest, UnitsCompressedOutOfOrderAreWrittenInOrder) {
  OrderProbe probe;
  WorkerTestHooks hooks;
  hooks.context = &probe;
  hooks.before_compress = [](void* context, int64_t unit) {
    auto* p = static_cast<OrderProbe*>(context);
    if (unit != 0) return;
    std::unique_lock<std::mutex> lock(p->mu);
    p->cv.wait_for(lock, std::chrono::seconds(20), [p] { return p->unit1_done; });
  };
  hooks.after_compress = [](void* context, int64_t unit, uint8_t*, size_t) {
    auto* p = static_cast<OrderProbe*>(context);
    std::lock_guard<std::mutex> lock(p->mu);
    p->compressed.push_back(unit);
    if (unit == 1) p->unit1_done = true;
    p->cv.notify_all();
  };
  set_worker_test_hooks(&hooks);
  MemoryPartition source = pattern_partition(3000, 11);
  BackupInput in;
  in.source = &source;
  in.plan = {run_of(0, 3000)};
  in.sizing = multi(2, 2);
  ASSERT_TRUE(run(in).ok);
  ASSERT_EQ(probe.compressed.size(), 12u);
  EXPECT_NE(probe.compressed.front(), 0) << "unit 0 was not overtaken";
  EXPECT_TRUE(read_back(dir_, &storage_) == expected_image(source, flat_of(in.plan)));
}

// ---- Incremental backups ----

struct IncrementalCase {
  const char* name;
  std::vector<IMAGE_RUN> parent_runs;
  std::vector<IMAGE_RUN> used_runs;
  std::vector<std::pair<uint32_t, uint32_t>> changes;  // (first sector, count) changed since the parent
  std::vector<FLAT_RUN> expected_stored;
  size_t units;
  WorkerSizing sizing;
  bool read_ahead = false;
};

class IncrementalBackup : public BackupWorkerTest, public ::testing::WithParamInterface<IncrementalCase> {};

TEST_P(IncrementalBackup, StoresOnlyWhatChanged) {
  const IncrementalCase& c = GetParam();
  MemoryPartition old_content = pattern_partition(6000, 21);
  BackupInput in;
  ASSERT_NO_FATAL_FAILURE(prepare_incremental(&old_content, c.parent_runs, c.used_runs, &in));
  MemoryPartition new_content = old_content;
  for (auto [first, count] : c.changes) change_sectors(&new_content, first, count);
  in.source = &new_content;
  in.sizing = c.sizing;
  in.read_ahead = c.read_ahead;
  BackupResult r = run(in);
  close_parent(&in);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(channel_.error_count.load(), 0);
  ASSERT_EQ(r.stored.size(), c.expected_stored.size());
  for (size_t i = 0; i < r.stored.size(); ++i) {
    EXPECT_EQ(r.stored[i].Begin, c.expected_stored[i].Begin) << "run " << i;
    EXPECT_EQ(r.stored[i].Number, c.expected_stored[i].Number) << "run " << i;
  }
  EXPECT_EQ(framed_units(volume_path(dir_, in.first_vol)).size(), c.units);
  uint64_t orig_bytes = 0;
  const std::vector<uint8_t> image = read_back(dir_, &storage_, &orig_bytes);
  EXPECT_EQ(orig_bytes, c.units * kUnitBytes);
  EXPECT_TRUE(same_on(image, new_content.content, flat_of(c.used_runs))) << "used sectors read back differently";
}

const WorkerSizing kTwoThreads = multi(2, 2);

INSTANTIATE_TEST_SUITE_P(
    Plans, IncrementalBackup,
    ::testing::Values(
        IncrementalCase{"CommonRunWithTwoChangedSectors", {run_of(0, 300)}, {run_of(0, 300)}, {{10, 2}}, {{10, 2}}, 1, kTwoThreads},
        IncrementalCase{"CommonRunThroughReadAhead", {run_of(0, 300)}, {run_of(0, 300)}, {{10, 2}}, {{10, 2}}, 1, kTwoThreads, true},
        IncrementalCase{"NothingChangedGivesOneZeroUnit", {run_of(0, 300)}, {run_of(0, 300)}, {}, {}, 1, kTwoThreads},
        IncrementalCase{"NothingChangedSingleThread", {run_of(0, 300)}, {run_of(0, 300)}, {}, {}, 1, single()},
        // minus [0,50), common [50,150) with sector 60 changed, added [150,170)
        IncrementalCase{"MinusCommonAndAdded", {run_of(0, 150)}, {run_of(50, 120)}, {{60, 1}, {160, 1}},
                        {{60, 1}, {150, 20}}, 1, kTwoThreads},
        // 600 changed sectors of a long common run fill packages in the middle of the run.
        IncrementalCase{"ChangesFillPackagesInsideACommonRun", {run_of(0, 5000)}, {run_of(0, 5000)},
                        {{100, 300}, {1000, 1}, {1002, 299}}, {{100, 300}, {1000, 1}, {1002, 299}}, 3, multi(3, 1)},
        IncrementalCase{"ChangesInsideACommonRunThroughReadAhead", {run_of(0, 5000)}, {run_of(0, 5000)},
                        {{100, 300}, {1000, 1}, {1002, 299}}, {{100, 300}, {1000, 1}, {1002, 299}}, 3, multi(3, 1), true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Progress ----

std::mutex g_progress_mu;
std::vector<uint32_t> g_progress;

void record_progress(THREAD_GUI_DATA*, uint32_t units) {
  std::lock_guard<std::mutex> lock(g_progress_mu);
  g_progress.push_back(units);
}

TEST_F(BackupWorkerTest, ProgressCountsEveryVisitedSectorInStepsAbove256) {
  GUI_OPS ops = builtin_channel_ops();
  ops.sub_progress_update = record_progress;
  channel_.ops = &ops;
  g_progress.clear();
  MemoryPartition source = pattern_partition(4000, 5);
  BackupInput in;
  in.source = &source;
  in.plan = {run_of(0, 100), run_of(200, 1000), run_of(1500, 2003)};
  in.sizing = multi(2, 2);
  ASSERT_TRUE(run(in).ok);
  channel_.ops = &default_channel_ops();
  uint64_t total = 0;
  for (size_t i = 0; i < g_progress.size(); ++i) {
    total += g_progress[i];
    if (i + 1 < g_progress.size()) {
      EXPECT_GT(g_progress[i], 256u) << "report " << i;
    }
  }
  EXPECT_EQ(total, 3103u);
}

// ---- Failures ----

class ReadFailure : public BackupWorkerTest, public ::testing::WithParamInterface<WorkerSizing> {};

TEST_P(ReadFailure, CountsOneErrorAndEndsEveryThread) {
  MemoryPartition source = pattern_partition(8000, 9);
  source.fail_sector = 5 * 256 + 17;
  BackupInput in;
  in.source = &source;
  in.plan = {run_of(0, 8000)};
  in.sizing = GetParam();
  EXPECT_FALSE(run(in).ok);
  EXPECT_EQ(channel_.error_count.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadFailure, ::testing::Values(single(), multi(1, 1), multi(3, 2), multi(4, 30)));

TEST_F(BackupWorkerTest, ReadFailureInsideACommonRunCountsOneError) {
  MemoryPartition old_content = pattern_partition(1000, 4);
  BackupInput in;
  ASSERT_NO_FATAL_FAILURE(prepare_incremental(&old_content, {run_of(0, 1000)}, {run_of(0, 1000)}, &in));
  MemoryPartition new_content = old_content;
  new_content.fail_sector = 700;  // the partition's side of the comparison fails
  in.source = &new_content;
  in.sizing = multi(2, 1);
  EXPECT_FALSE(run(in).ok);
  close_parent(&in);
  EXPECT_EQ(channel_.error_count.load(), 1);
}

// The run is cancelled from another thread while a partition far larger than the pipeline goes
// through; only the compressions already under way when the cancel came may still finish.
TEST_F(BackupWorkerTest, CancelFromAnotherThreadEndsTheRun) {
  struct Probe {
    std::mutex mu;
    std::condition_variable cv;
    int compressed = 0;
    bool cancelled = false;
    int after_cancel = 0;
  } probe;
  WorkerTestHooks hooks;
  hooks.context = &probe;
  hooks.after_compress = [](void* context, int64_t, uint8_t*, size_t) {
    auto* p = static_cast<Probe*>(context);
    std::lock_guard<std::mutex> lock(p->mu);
    ++p->compressed;
    if (p->cancelled) ++p->after_cancel;
    p->cv.notify_all();
  };
  set_worker_test_hooks(&hooks);
  std::thread canceller([&] {
    std::unique_lock<std::mutex> lock(probe.mu);
    probe.cv.wait_for(lock, std::chrono::seconds(20), [&] { return probe.compressed >= 20; });
    probe.cancelled = true;
    channel_.cancel = 1;
  });
  MemoryPartition source;
  source.sectors = uint64_t(1) << 24;  // 8 GiB generated on the fly
  BackupInput in;
  in.source = &source;
  in.plan = {run_of(0, uint32_t(source.sectors))};
  in.sizing = multi(3, 4);
  in.mode = img::kCompressNone;
  const bool ok = run(in).ok;
  canceller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(channel_.error_count.load(), 0);
  std::lock_guard<std::mutex> lock(probe.mu);
  EXPECT_TRUE(probe.cancelled);
  EXPECT_LE(probe.after_cancel, 3) << "one compression per thread may be under way";
}

// An unchanged incremental fills its first package only at the end of the partition, so the
// fill itself must see a cancel: after the cancel, at most the piece under way is read, and a
// cancel is no error, with or without the parent's read-ahead.
class CancelInsideOnePackage : public BackupWorkerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CancelInsideOnePackage, StopsAtTheNextPieceWithoutAnError) {
  MemoryPartition old_content = pattern_partition(20000, 8);
  BackupInput in;
  ASSERT_NO_FATAL_FAILURE(prepare_incremental(&old_content, {run_of(0, 20000)}, {run_of(0, 20000)}, &in));
  MemoryPartition new_content = old_content;  // nothing changed
  new_content.gate_sector = 5000;
  in.source = &new_content;
  in.sizing = multi(2, 4);
  in.read_ahead = GetParam();
  std::thread canceller([&] {
    new_content.wait_until_at_gate();
    channel_.cancel = 1;
    new_content.open_gate();
  });
  const bool ok = run(in).ok;
  canceller.join();
  close_parent(&in);
  EXPECT_FALSE(ok);
  EXPECT_EQ(channel_.error_count.load(), 0);
  // Reads of 256 sectors: 20 up to and including the one at the gate; the whole partition
  // would be 79.
  EXPECT_LE(new_content.reads.load(), 21);
}

INSTANTIATE_TEST_SUITE_P(ParentReads, CancelInsideOnePackage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "ReadAhead" : "Direct"; });

// ---- Debug mode ----

TEST_F(BackupWorkerTest, DebugModeRecordsTheCompressedCrcAndTheReaderAcceptsIt) {
  MemoryPartition source = pattern_partition(2000, 13);
  for (const WorkerSizing& base : {multi(2, 2), single()}) {
    TempDir dir;
    BackupInput in;
    in.source = &source;
    in.plan = {run_of(0, 700), run_of(900, 1000)};
    in.sizing = base;
    in.sizing.debug = true;
    ASSERT_TRUE(backup(dir.file(""), in, &channel_).ok);
    auto units = framed_units(*img::image_volume_name(dir.path(), "imbackup", 0));
    ASSERT_EQ(units.size(), 7u);
    for (const auto& u : units) {
      const uint32_t recorded = get_le32(u.data() + u.size() - 4);
      EXPECT_NE(recorded, 0u);
      EXPECT_EQ(recorded, libtavpub_crc32_calc(u.data() + 4, u.size() - 16));
    }
    STORAGE_DATA storage;
    EXPECT_TRUE(read_back(dir, &storage) == expected_image(source, flat_of(in.plan)));
    libtavimg_unload_image(&storage);
  }
  EXPECT_EQ(channel_.error_count.load(), 0);
}

// Damages the compressed stream of one unit, on every compression or only on the first.
struct Damage {
  int64_t unit = 1;
  int times = 0;  // compressions to damage; < 0 every one
};

void damage_stream(void* context, int64_t unit, uint8_t* framed, size_t bytes) {
  auto* d = static_cast<Damage*>(context);
  if (unit != d->unit || d->times == 0) return;
  if (d->times > 0) --d->times;
  framed[4 + (bytes - 16) / 2] ^= 0xFF;
}

struct VerifyCase {
  const char* name;
  int damaged_compressions;
  int retries;  // Retry answers before Cancel
  bool ok;
  size_t questions;
};

class DebugVerification : public BackupWorkerTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(DebugVerification, RecompressesAndGivesUpAfterFiveCompressions) {
  const VerifyCase& c = GetParam();
  TempDir home;
  const char* old_home = getenv("TAV_HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  setenv("TAV_HOME", home.path().c_str(), 1);
  reset_compress_debug_info_once();
  Damage damage;
  damage.times = c.damaged_compressions;
  WorkerTestHooks hooks;
  hooks.context = &damage;
  hooks.after_compress = damage_stream;
  set_worker_test_hooks(&hooks);
  prompter_.retries = c.retries;

  MemoryPartition source = pattern_partition(1000, 17);
  BackupInput in;
  in.source = &source;
  in.plan = {run_of(0, 1000)};
  in.sizing = multi(2, 2);
  in.sizing.debug = true;
  const bool ok = run(in).ok;
  if (old_home != nullptr) {
    setenv("TAV_HOME", saved.c_str(), 1);
  } else {
    unsetenv("TAV_HOME");
  }

  EXPECT_EQ(ok, c.ok);
  EXPECT_EQ(channel_.error_count.load(), c.ok ? 0 : 1);
  EXPECT_EQ(prompter_.questions.size(), c.questions);
  for (const std::string& q : prompter_.questions) EXPECT_NE(q.find("Uncompression error="), std::string::npos) << q;
  if (ok) {
    EXPECT_TRUE(read_back(dir_, &storage_) == expected_image(source, flat_of(in.plan)));
  }
  // The unit that failed is dumped once: its data, then its compressed bytes.
  std::vector<uint8_t> bytes = read_file(home.file("debug_compress.txt"));
  const std::string text(bytes.begin(), bytes.end());
  const size_t title = std::strlen("original data is following:\r\n");
  ASSERT_EQ(text.rfind("1riginal data is following:\r\n", 0), 0u) << text.substr(0, 80);
  char line[200];
  const uint8_t* first = source.content.data() + 256 * kSectorSize;
  int n = 0;
  for (int i = 0; i < 16; ++i) {
    n += std::snprintf(line + n, sizeof line - size_t(n), " 0x%02x,%s%s", first[i], (i + 1) % 8 == 0 ? "\t" : "",
                       i == 15 ? "\r\n" : "");
  }
  EXPECT_EQ(text.substr(title, size_t(n)), std::string(line, size_t(n)));
  const size_t second = text.find("\r\n\r\n\r\n1ompresssion data is following:\r\n");
  EXPECT_EQ(second, title + (kUnitBytes / 16) * size_t(n));
}

INSTANTIATE_TEST_SUITE_P(Cases, DebugVerification,
                         ::testing::Values(VerifyCase{"FirstCompressionDamaged", 1, 0, true, 1},
                                           VerifyCase{"RetriedThenRecompressed", 1, 2, true, 3},
                                           VerifyCase{"EveryCompressionDamaged", -1, 0, false, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Sizing ----

TEST(WorkerSizingTest, ThreadsFollowProcessorsAndDepthFollowsFreeMemory) {
  struct Case {
    uint32_t processors;
    uint64_t free_mib;
    uint32_t setting;  // "CompressThreads"
    uint32_t threads;
    uint32_t depth;
  };
  const Case cases[] = {
      // One compress thread per processor; the depth by free memory.
      {1, 4096, 0, 1, 300}, {2, 512, 0, 2, 300}, {3, 511, 0, 3, 200}, {4, 256, 0, 4, 200}, {5, 255, 0, 5, 100},
      {8, 128, 0, 8, 100}, {0, 4096, 0, 1, 300},
      // At most 32, and at most one per 16 MiB free; the depth grows to 4 per thread.
      {64, 4096, 0, 32, 300}, {33, 1 << 20, 0, 32, 300}, {64, 127, 0, 7, 60}, {8, 64, 0, 4, 60},
      {8, 63, 0, 3, 30}, {8, 15, 0, 1, 30}, {8, 0, 0, 1, 30}, {16, 255, 0, 15, 100},
      // An explicit setting wins over processors and memory; 33 and above mean automatic.
      {2, 1024, 4, 4, 300}, {8, 1024, 1, 1, 300}, {8, 1024, 7, 7, 300}, {2, 0, 32, 32, 128},
      {2, 20, 9, 9, 36}, {4, 1024, 33, 4, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.processors) + " processors, " + std::to_string(c.free_mib) + " MiB, setting " +
                 std::to_string(c.setting));
    AdjustmentSettings settings;
    settings.compress_threads = c.setting;
    settings.backup_in_debug = c.processors == 3;
    const WorkerSizing s = size_worker(c.processors, c.free_mib, settings);
    EXPECT_EQ(s.compress_threads, c.threads);
    EXPECT_EQ(s.depth, c.depth);
    EXPECT_EQ(s.debug, c.processors == 3);
    EXPECT_FALSE(s.single_thread);
  }
  EXPECT_EQ(write_buffer_bytes_for(300), 150u * 135168u);
  EXPECT_EQ(write_buffer_bytes_for(31), 15u * 135168u);
}

}  // namespace
}  // namespace tav::engine
