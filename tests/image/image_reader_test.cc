// Snapshot sector reader: snapshots of synthetic partitions written by the real image writer,
// loaded by the catalogue and read back through the image partition operations; damaged
// volumes made by flipping bytes found by decoding the written files.
#include "image/image_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/progress_channel.h"
#include "disk/part_record.h"
#include "format/ego_records.h"
#include "format/struct_sum.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::test {
namespace {

namespace pl = img::part_layout;

// Records every box the image library shows (reports and questions) and answers the questions
// (button set Abort/Retry/Ignore) from a script; with the script used up it answers Abort.
class RecordingPrompter : public Prompter {
 public:
  struct Box {
    uint32_t buttons;
    std::string text;
  };
  uint32_t ask(uint32_t, uint32_t buttons, const std::string&, const std::string& text) override {
    boxes.push_back(Box{buttons, text});
    if (buttons != kButtonsAbortRetryIgnore) return kAnswerOk;
    if (answers.empty()) return kAnswerAbort;
    const uint32_t answer = answers.front();
    answers.pop_front();
    return answer;
  }
  int questions() const {
    return int(std::count_if(boxes.begin(), boxes.end(), [](const Box& b) { return b.buttons == kButtonsAbortRetryIgnore; }));
  }
  // Every text shown, one per line.
  std::string all_text() const {
    std::string all;
    for (const Box& b : boxes) all += b.text + "\n";
    return all;
  }
  std::deque<uint32_t> answers;
  std::vector<Box> boxes;
};

using sysutil_test::TempDir;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

SyntheticPartition make_part(uint64_t start, uint64_t sectors, uint32_t seed, uint32_t signature,
                             std::vector<FLAT_RUN> stored) {
  SyntheticPartition p;
  p.start_sector = start;
  p.signature = signature;
  p.content = pattern_bytes(sectors * kSectorSize, seed);
  p.stored = std::move(stored);
  return p;
}

// Runs of `length` sectors every `step` sectors from `first` while they end by `limit`.
std::vector<FLAT_RUN> many_runs(uint32_t first, uint32_t length, uint32_t step, uint32_t limit) {
  std::vector<FLAT_RUN> runs;
  for (uint32_t b = first; b + length <= limit; b += step) runs.push_back(FLAT_RUN{b, length});
  return runs;
}

// Where a unit lies in a written volume, decoded from the tailer, unit-info record and location
// table.
struct UnitPlace {
  std::string file;
  uint64_t begin = 0;   // first byte of the stored unit
  uint64_t length = 0;  // stored length
  uint64_t entry_offset = 0;  // file offset of its location entry
};

class ImageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // No record and no error flag: every report and question goes to the recording prompter.
    libtavimg_set_thread_gui(nullptr, nullptr, nullptr);
    set_default_prompter(&prompter_);
  }
  void TearDown() override {
    libtavimg_unload_image(&storage_);
    set_default_prompter(nullptr);
  }

  // Writes one snapshot of `disks` (into the loaded storage for a dependent one) and reloads.
  WrittenSnapshot write(const std::vector<SyntheticDisk>& disks, uint32_t backup_type, time_t now,
                        uint64_t volume_limit = 0) {
    SnapshotPlan plan;
    plan.directory = dir_.file("");
    plan.backup_type = backup_type;
    plan.now = now;
    plan.volume_limit = volume_limit;
    plan.storage = storage_.snaps.empty() ? nullptr : &storage_;
    plan.first_vol = next_vol_;
    WrittenSnapshot w;
    const Status st = write_snapshot(plan, disks, &w);
    EXPECT_TRUE(st) << st.message();
    next_vol_ = w.last_vol + 1;
    load();
    return w;
  }

  void load() {
    libtavimg_unload_image(&storage_);
    ASSERT_EQ(libtavimg_load_image2(&storage_, dir_.file("").c_str(), "imbackup", 0), 0) << prompter_.all_text();
  }

  // Sets the parent fields of every partition of `disks` to snapshot `parent`.
  static void depend_on(std::vector<SyntheticDisk>* disks, const WrittenSnapshot& parent) {
    for (SyntheticDisk& d : *disks) {
      for (SyntheticPartition& p : d.parts) {
        p.parent_seq = parent.snap_seq;
        p.parent_time = parent.create_time;
        p.parent_vol = parent.first_vol;
      }
    }
  }

  BACKUP_PARTITION_INFO* part_of(const WrittenSnapshot& w, uint32_t signature) {
    SNAP_DATA* snap = libtavimg_find_last_snap(&storage_, 0, w.snap_seq, int64_t(int32_t(w.create_time)), nullptr);
    if (snap == nullptr) return nullptr;
    return libtavimg_get_part_from_signature(libtavimg_get_image_disks_list(snap), signature);
  }

  // The whole partition through read_sectors, in calls of `chunk` sectors (so they cross unit
  // and run boundaries at varying places).
  static std::vector<uint8_t> read_all(BACKUP_PARTITION_INFO* part, uint32_t chunk = 77) {
    std::vector<uint8_t> out(part->sector_count * kSectorSize);
    for (uint64_t s = 0; s < part->sector_count; s += chunk) {
      const uint32_t n = uint32_t(std::min<uint64_t>(chunk, part->sector_count - s));
      const int64_t got = part->ops->read_sectors(part, s, n, out.data() + s * kSectorSize);
      if (got != n) {
        ADD_FAILURE() << "read_sectors(" << s << ", " << n << ") gave " << got << ", errno " << errno;
        return {};
      }
    }
    return out;
  }

  std::string volume(uint32_t vol) const { return dir_.file("") + "imbackup" + std::to_string(vol) + ".ego"; }

  // Where unit `unit` of `part` is stored.
  UnitPlace place_of_unit(const BACKUP_PARTITION_INFO* part, uint64_t unit) {
    UnitPlace place;
    uint32_t vol = disk::rec_u32(*part, pl::kStartVol);
    uint32_t index = disk::rec_u32(*part, pl::kUnitInfoIndex);
    for (uint64_t first = 0;; ++vol, index = 0) {
      const std::vector<uint8_t> bytes = read_file(volume(vol));
      img::EGO_IMAGE_TAILER t;
      EXPECT_TRUE(img::decode_image_tailer(std::span(bytes).subspan(bytes.size() - img::kTailerSize), &t));
      img::EGO_UNIT_INFO info;
      EXPECT_TRUE(img::decode_unit_info(std::span(bytes).subspan(t.unit_info_offset + index * img::kUnitInfoSize), &info));
      const uint64_t count = info.loc_bytes / 8;
      if (unit < first + count) {
        const uint64_t k = unit - first;
        const uint64_t at = t.location_offset + info.loc_offset + k * 8;
        place.file = volume(vol);
        place.entry_offset = at;
        place.begin = get_le64(&bytes[at]);
        place.length = (k + 1 < count ? get_le64(&bytes[at + 8]) : info.seg_end) - place.begin;
        return place;
      }
      first += count;
      if (vol >= disk::rec_u32(*part, pl::kEndVol)) break;
    }
    ADD_FAILURE() << "unit " << unit << " not found";
    return place;
  }

  static void change_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> data = read_file(path);
    ASSERT_LE(offset + bytes.size(), data.size());
    std::copy(bytes.begin(), bytes.end(), data.begin() + std::ptrdiff_t(offset));
    write_file(path, data);
  }
  static void flip_byte(const std::string& path, uint64_t offset, uint8_t mask = 0x5A) {
    std::vector<uint8_t> data = read_file(path);
    ASSERT_LT(offset, data.size());
    data[offset] ^= mask;
    write_file(path, data);
  }

  TempDir dir_;
  STORAGE_DATA storage_;
  RecordingPrompter prompter_;
  uint32_t next_vol_ = 0;
};

// ---- Round trips. ----

struct RoundTripCase {
  const char* name;
  uint64_t volume_limit;
  bool two_disks;
};

class ImageReaderRoundTrip : public ImageReaderTest, public ::testing::WithParamInterface<RoundTripCase> {};

// A full snapshot, two incrementals on top of each other and a differential on the full: every
// sector of every snapshot reads as the newest member of its chain stored it, zeros elsewhere.
TEST_P(ImageReaderRoundTrip, EverySnapshotReadsItsChain) {
  const RoundTripCase& c = GetParam();
  constexpr uint64_t kSectors = 3000;
  constexpr uint32_t kSigA = 0x1111, kSigB = 0x2222;
  // Partition A: a few long runs; B: 300 short runs, a run table of 2400 bytes.
  auto disks_for = [&](uint32_t seed, std::vector<FLAT_RUN> a_runs, std::vector<FLAT_RUN> b_runs) {
    std::vector<SyntheticDisk> disks(1);
    disks[0].total_sectors = 20000;
    disks[0].boot_sectors = pattern_bytes(kSectorSize, 99);
    disks[0].parts.push_back(make_part(63, kSectors, seed, kSigA, std::move(a_runs)));
    SyntheticPartition b = make_part(4000, kSectors, seed + 100, kSigB, std::move(b_runs));
    if (c.two_disks) {
      disks.emplace_back();
      disks[1].name = "disk1";
      disks[1].total_sectors = 20000;
      disks[1].boot_sectors = pattern_bytes(kSectorSize, 98);
    }
    disks.back().parts.push_back(std::move(b));
    return disks;
  };
  std::vector<std::vector<SyntheticDisk>> snaps;
  std::vector<WrittenSnapshot> written;
  snaps.push_back(disks_for(1, {{0, 700}, {900, 900}, {2000, 600}}, many_runs(0, 3, 10, 3000)));
  written.push_back(write(snaps[0], img::kBackupFull, 1000000, c.volume_limit));
  snaps.push_back(disks_for(2, {{100, 50}, {1700, 200}, {2990, 10}}, many_runs(5, 4, 7, 1500)));
  depend_on(&snaps[1], written[0]);
  written.push_back(write(snaps[1], img::kBackupIncremental, 1000100, c.volume_limit));
  snaps.push_back(disks_for(3, {{0, 1}, {650, 300}}, {{2999, 1}}));
  depend_on(&snaps[2], written[1]);
  written.push_back(write(snaps[2], img::kBackupIncremental, 1000200, c.volume_limit));
  snaps.push_back(disks_for(4, {{1000, 300}}, many_runs(1, 2, 3, 3000)));
  depend_on(&snaps[3], written[0]);
  written.push_back(write(snaps[3], img::kBackupDifferential, 1000300, c.volume_limit));
  ASSERT_EQ(storage_.snaps.size(), 4u);

  const std::vector<std::vector<size_t>> chains = {{0}, {0, 1}, {0, 1, 2}, {0, 3}};
  for (size_t s = 0; s < snaps.size(); ++s) {
    for (size_t p = 0; p < 2; ++p) {
      SCOPED_TRACE("snapshot " + std::to_string(s) + " partition " + std::to_string(p));
      std::vector<const SyntheticPartition*> chain;
      for (size_t member : chains[s]) {
        chain.push_back(p == 0 ? &snaps[member][0].parts[0] : &snaps[member].back().parts.back());
      }
      BACKUP_PARTITION_INFO* part = part_of(written[s], p == 0 ? kSigA : kSigB);
      ASSERT_NE(part, nullptr);
      ASSERT_EQ(part->ops->open(part, disk::kOpenRead), 0) << prompter_.all_text();
      EXPECT_EQ(part->open_mode, disk::kOpenRead);
      EXPECT_TRUE(read_all(part) == expected_content(chain));
      EXPECT_EQ(part->ops->close(part), 0);
      EXPECT_EQ(part->open_mode, -1);
    }
  }
  // With tiny volumes the fixture must really split: one unit per volume.
  if (c.volume_limit != 0) {
    BACKUP_PARTITION_INFO* a = part_of(written[0], kSigA);
    EXPECT_GE(disk::rec_u32(*a, pl::kEndVol) - disk::rec_u32(*a, pl::kStartVol), 8u);
  }
  EXPECT_EQ(prompter_.boxes.size(), 0u) << prompter_.all_text();
}

INSTANTIATE_TEST_SUITE_P(Layouts, ImageReaderRoundTrip,
                         ::testing::Values(RoundTripCase{"OneVolume", 0, false},
                                           RoundTripCase{"TinyVolumes", 150000, false},
                                           RoundTripCase{"TwoDisks", 0, true},
                                           RoundTripCase{"TwoDisksTinyVolumes", 150000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Run tables longer than a volume continue at the next volume's data start: a full snapshot
// (run table before its units) and an incremental (after its units) of 20000 runs each.
TEST_F(ImageReaderTest, RunTablesSplitAcrossVolumes) {
  constexpr uint32_t kSectors = 40000;
  std::vector<SyntheticDisk> full(1), inc(1);
  full[0].total_sectors = 50000;
  full[0].parts.push_back(make_part(63, kSectors, 1, 3, many_runs(0, 1, 2, kSectors)));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 1500000, 150000);
  inc[0].total_sectors = 50000;
  inc[0].parts.push_back(make_part(63, kSectors, 2, 3, many_runs(1, 1, 2, kSectors)));
  depend_on(&inc, w0);
  WrittenSnapshot w1 = write(inc, img::kBackupIncremental, 1500100, 150000);

  const std::vector<const WrittenSnapshot*> snaps = {&w0, &w1};
  for (size_t i = 0; i < snaps.size(); ++i) {
    SCOPED_TRACE("snapshot " + std::to_string(i));
    BACKUP_PARTITION_INFO* part = part_of(*snaps[i], 3);
    ASSERT_NE(part, nullptr);
    const std::vector<uint8_t> bytes = read_file(volume(disk::rec_u32(*part, pl::kRunVol)));
    img::EGO_IMAGE_TAILER t;
    ASSERT_TRUE(img::decode_image_tailer(std::span(bytes).subspan(bytes.size() - img::kTailerSize), &t));
    ASSERT_GT(disk::rec_u64(*part, pl::kRunOffset) + disk::rec_u32(*part, pl::kRunBytes), t.location_offset)
        << "the run table fits in one volume";
    const std::vector<uint8_t> expected =
        i == 0 ? expected_content({&full[0].parts[0]}) : expected_content({&full[0].parts[0], &inc[0].parts[0]});
    EXPECT_TRUE(read_all(part, 1000) == expected);
  }
}

// Byte ranges through pos_read: starts and ends inside sectors, across sector, run and unit
// boundaries, across members of the chain and past the last stored sector.
TEST_F(ImageReaderTest, ByteRangesAtOddOffsets) {
  std::vector<SyntheticDisk> full(1), inc(1);
  full[0].total_sectors = 4000;
  full[0].parts.push_back(make_part(63, 1200, 1, 7, {{0, 300}, {400, 500}}));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 2000000);
  inc[0].total_sectors = 4000;
  inc[0].parts.push_back(make_part(63, 1200, 2, 7, {{250, 20}, {511, 3}}));
  depend_on(&inc, w0);
  WrittenSnapshot w1 = write(inc, img::kBackupIncremental, 2000100);
  const std::vector<uint8_t> expected = expected_content({&full[0].parts[0], &inc[0].parts[0]});
  BACKUP_PARTITION_INFO* part = part_of(w1, 7);
  ASSERT_NE(part, nullptr);

  struct Range {
    uint64_t offset;
    uint32_t length;
  };
  const Range ranges[] = {
      {0, 1},                         // one byte
      {511, 2},                       // across one sector boundary
      {100, 512},                     // one sector's worth, misaligned
      {256 * 512 - 3, 7},             // across a unit boundary
      {249 * 512 + 17, 30 * 512},     // into and out of the incremental's run
      {299 * 512 + 500, 101 * 512},   // end of a run, the gap, the next run
      {510 * 512 + 1, 5 * 512 - 2},   // the incremental's run inside the full's
      {899 * 512 + 300, 2000},        // past the last stored sector
      {0, 1200 * 512},                // everything
      {1199 * 512 + 511, 1},          // the last byte
  };
  for (const Range& r : ranges) {
    SCOPED_TRACE("offset " + std::to_string(r.offset) + " length " + std::to_string(r.length));
    std::vector<uint8_t> got(r.length, 0xEE);
    ASSERT_EQ(part->ops->pos_read(part, r.offset, r.length, got.data()), int64_t(r.length));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + std::ptrdiff_t(r.offset)));
  }
}

// Chains and run tables at their edges: full [0,100) under incremental [10,20); a read starting
// before the first run; a partition that stored nothing.
TEST_F(ImageReaderTest, ChainEdgeCases) {
  std::vector<SyntheticDisk> full(1), inc(1);
  full[0].total_sectors = 4000;
  full[0].parts.push_back(make_part(63, 300, 1, 1, {{0, 100}}));
  full[0].parts.push_back(make_part(400, 300, 2, 2, {{50, 50}}));
  full[0].parts.push_back(make_part(800, 300, 3, 3, {}));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 3000000);
  inc[0].total_sectors = 4000;
  inc[0].parts.push_back(make_part(63, 300, 11, 1, {{10, 10}}));
  inc[0].parts.push_back(make_part(400, 300, 12, 2, {}));
  inc[0].parts.push_back(make_part(800, 300, 13, 3, {}));
  depend_on(&inc, w0);
  WrittenSnapshot w1 = write(inc, img::kBackupIncremental, 3000100);

  const auto sector_of = [](const SyntheticPartition& p, uint64_t s) {
    return std::vector<uint8_t>(p.content.begin() + std::ptrdiff_t(s * kSectorSize),
                                p.content.begin() + std::ptrdiff_t((s + 1) * kSectorSize));
  };
  const std::vector<uint8_t> zero(kSectorSize, 0);
  struct Read {
    const char* name;
    uint32_t signature;
    uint64_t first;
    uint32_t count;
  };
  const Read reads[] = {
      {"full below the incremental", 1, 0, 10},
      {"incremental on top", 1, 8, 14},
      {"full above the incremental, then zeros past the run", 1, 95, 10},
      {"beyond every run", 1, 100, 200},
      {"before the first run, into it", 2, 40, 20},
      {"entirely before the first run", 2, 0, 50},
      {"empty run table", 3, 0, 300},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(r.name);
    BACKUP_PARTITION_INFO* part = part_of(w1, r.signature);
    ASSERT_NE(part, nullptr);
    std::vector<uint8_t> got(size_t(r.count) * kSectorSize, 0xEE);
    ASSERT_EQ(part->ops->read_sectors(part, r.first, r.count, got.data()), int64_t(r.count)) << prompter_.all_text();
    for (uint32_t i = 0; i < r.count; ++i) {
      const uint64_t s = r.first + i;
      std::vector<uint8_t> want = zero;
      if (r.signature == 1 && s >= 10 && s < 20) want = sector_of(inc[0].parts[0], s);
      else if (r.signature == 1 && s < 100) want = sector_of(full[0].parts[0], s);
      else if (r.signature == 2 && s >= 50 && s < 100) want = sector_of(full[0].parts[1], s);
      ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + std::ptrdiff_t(i * kSectorSize)))
          << "sector " << s;
    }
  }
  // The combined vector maps [0,10) and [20,100) to the full (index 1), [10,20) to the incremental.
  BACKUP_PARTITION_INFO* part = part_of(w1, 1);
  ASSERT_EQ(tav_start_read_part(part), 0);
  const IMAGE_RUN_VECTOR* v = libtavimg_get_part_run_vector(part);
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(v->run_count, 3u);
  const uint32_t want[3][3] = {{0, 10, 1}, {10, 10, 0}, {20, 80, 1}};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(v->runs[i]->value.Begin, want[i][0]);
    EXPECT_EQ(v->runs[i]->value.Number, want[i][1]);
    EXPECT_EQ(v->runs[i]->snapshot, want[i][2]);
  }
}

// ---- Refusal. ----

// A volume that the chain of an incremental snapshot needs is missing: its parent's (before or
// after loading), or its own first volume, gone or left unfinished by an interrupted run. In the
// last two cases the snapshot still loads from a later volume, whose partition records were
// written before its data was complete. Every case must fail to open, naming the volume to look
// for, and never return data.
TEST_F(ImageReaderTest, ChainWithoutANeededVolumeIsNotRead) {
  enum class Damage { kParentGone, kParentGoneAfterLoading, kFirstVolumeGone, kFirstVolumeUnfinished };
  struct Case {
    const char* name;
    Damage damage;
  };
  const Case cases[] = {{"parent not in the catalogue", Damage::kParentGone},
                        {"parent volume gone after loading", Damage::kParentGoneAfterLoading},
                        {"own first volume missing", Damage::kFirstVolumeGone},
                        {"own first volume unfinished", Damage::kFirstVolumeUnfinished}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.file(""));
    std::filesystem::create_directories(dir_.file(""));
    libtavimg_unload_image(&storage_);
    next_vol_ = 0;
    std::vector<SyntheticDisk> full(1), inc(1);
    full[0].total_sectors = 4000;
    full[0].parts.push_back(make_part(63, 600, 1, 5, {{0, 600}}));
    const WrittenSnapshot w0 = write(full, img::kBackupFull, 4000000);
    inc[0].total_sectors = 4000;
    inc[0].parts.push_back(make_part(63, 600, 2, 5, {{0, 300}, {400, 200}}));
    depend_on(&inc, w0);
    const WrittenSnapshot w1 = write(inc, img::kBackupIncremental, 4000100, 140000);
    ASSERT_GE(w1.last_vol, w1.first_vol + 2);
    const bool own_first = c.damage == Damage::kFirstVolumeGone || c.damage == Damage::kFirstVolumeUnfinished;
    const std::string missing = volume(own_first ? w1.first_vol : w0.first_vol);
    switch (c.damage) {
      case Damage::kParentGone:
      case Damage::kParentGoneAfterLoading:
        for (uint32_t v = w0.first_vol; v <= w0.last_vol; ++v) std::filesystem::remove(volume(v));
        break;
      case Damage::kFirstVolumeGone:
        std::filesystem::remove(missing);
        break;
      case Damage::kFirstVolumeUnfinished: {
        std::vector<uint8_t> bytes = read_file(missing);
        put_le32(&bytes[img::header_layout::kTotalVol], 0);
        img::seal_struct_sum(std::span(bytes).first(img::kHeaderSize), img::header_layout::kSum);
        write_file(missing, bytes);
        break;
      }
    }
    if (c.damage != Damage::kParentGoneAfterLoading) load();
    if (own_first) {
      SNAP_DATA* snap = libtavimg_find_last_snap(&storage_, 0, w1.snap_seq, int64_t(int32_t(w1.create_time)), nullptr);
      ASSERT_NE(snap, nullptr);
      EXPECT_EQ(snap->from_first_vol, 0u);
    }
    BACKUP_PARTITION_INFO* part = part_of(w1, 5);
    ASSERT_NE(part, nullptr);
    prompter_.boxes.clear();
    errno = 0;
    std::vector<uint8_t> buffer(kSectorSize);
    EXPECT_EQ(part->ops->open(part, disk::kOpenRead), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(prompter_.all_text().find(missing), std::string::npos) << prompter_.all_text();
    EXPECT_EQ(part->ops->read_sectors(part, 0, 1, buffer.data()), -1);
    EXPECT_EQ(libtavimg_get_part_run_vector(part), nullptr);
    if (own_first) {
      // The full snapshot it depends on still reads.
      BACKUP_PARTITION_INFO* parent = part_of(w0, 5);
      ASSERT_NE(parent, nullptr);
      ASSERT_EQ(parent->ops->open(parent, disk::kOpenRead), 0);
      EXPECT_EQ(read_all(parent), expected_content({&full[0].parts[0]}));
      parent->ops->close(parent);
    }
  }
}

TEST_F(ImageReaderTest, WritesChangeNothing) {
  std::vector<SyntheticDisk> full(1);
  full[0].total_sectors = 4000;
  full[0].parts.push_back(make_part(63, 300, 1, 9, {{0, 300}}));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 5000000);
  BACKUP_PARTITION_INFO* part = part_of(w0, 9);
  ASSERT_NE(part, nullptr);
  const std::vector<uint8_t> before = read_file(volume(0));

  errno = 0;
  EXPECT_EQ(part->ops->open(part, disk::kOpenWrite), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(part->open_mode, -1);
  ASSERT_EQ(part->ops->open(part, disk::kOpenRead), 0);
  const std::vector<uint8_t> junk(4 * kSectorSize, 0xAB);
  errno = 0;
  EXPECT_EQ(part->ops->write_sectors(part, 0, 4, junk.data()), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(part->ops->pos_write(part, 100, 1000, junk.data()), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(part->ops->finish(part), 0);
  EXPECT_TRUE(read_all(part) == full[0].parts[0].content);
  EXPECT_TRUE(read_file(volume(0)) == before);
  EXPECT_EQ(prompter_.boxes.size(), 0u) << prompter_.all_text();
}

// ---- Damaged data. ----

// Byte surgery on one unit (unit 1 of the partition) or on the tables that lead to it.
enum class Damage {
  kStreamByte,          // inside the zlib stream (its CRC still recorded)
  kStreamByteNoCrc,     // inside the zlib stream, compressed CRC field zeroed
  kStartMagic,
  kEndMagic,
  kStreamCrc,           // the CRC of the compressed bytes
  kDataCrc,             // the stored CRC of the uncompressed bytes
  kStreamCrcZeroed,     // compressed CRC 0 = not recorded: still good
  kLocationEntry,
  kRunTable,
};

struct DamageCase {
  const char* name;
  Damage damage;
  bool asks;        // goes to the Abort/Retry/Ignore question
  const char* message;  // part of the report (or question)
};

class ImageReaderDamage : public ImageReaderTest, public ::testing::WithParamInterface<DamageCase> {
 protected:
  static constexpr uint32_t kSig = 0x77;
  static constexpr uint64_t kSectors = 4 * 256;

  // A full snapshot of one partition of four units; damage applied as the case says.
  BACKUP_PARTITION_INFO* damaged_part() {
    std::vector<SyntheticDisk> full(1);
    full[0].total_sectors = 8000;
    full[0].parts.push_back(make_part(63, kSectors, 5, kSig, {{0, uint32_t(kSectors)}}));
    content_ = full[0].parts[0].content;
    w_ = write(full, img::kBackupFull, 6000000);
    BACKUP_PARTITION_INFO* part = part_of(w_, kSig);
    if (part == nullptr) return nullptr;
    const UnitPlace u = place_of_unit(part, 1);
    const uint64_t tail = u.begin + u.length - 12;  // end magic, data CRC, stream CRC
    const uint32_t run_vol = disk::rec_u32(*part, pl::kRunVol);
    const uint64_t run_offset = disk::rec_u64(*part, pl::kRunOffset);
    libtavimg_unload_image(&storage_);
    switch (GetParam().damage) {
      case Damage::kStreamByte: flip_byte(u.file, u.begin + u.length / 2); break;
      case Damage::kStreamByteNoCrc:
        flip_byte(u.file, u.begin + u.length / 2);
        change_file(u.file, tail + 8, {0, 0, 0, 0});
        break;
      case Damage::kStartMagic: flip_byte(u.file, u.begin + 1); break;
      case Damage::kEndMagic: flip_byte(u.file, tail + 2); break;
      case Damage::kStreamCrc: flip_byte(u.file, tail + 9); break;
      case Damage::kDataCrc: flip_byte(u.file, tail + 4); break;
      case Damage::kStreamCrcZeroed: change_file(u.file, tail + 8, {0, 0, 0, 0}); break;
      case Damage::kLocationEntry: flip_byte(u.file, u.entry_offset + 7, 0x01); break;
      case Damage::kRunTable: flip_byte(volume(run_vol), run_offset + 7, 0x40); break;
    }
    load();
    prompter_.boxes.clear();
    return part_of(w_, kSig);
  }

  std::vector<uint8_t> content_;
  WrittenSnapshot w_;
};

// Nobody to answer: the read fails with a report naming the check; no damaged data comes out.
TEST_P(ImageReaderDamage, NobodyToAskFailsTheRead) {
  set_default_prompter(nullptr);
  BACKUP_PARTITION_INFO* part = damaged_part();
  ASSERT_NE(part, nullptr);
  std::vector<uint8_t> got(kSectors * kSectorSize, 0xEE);
  errno = 0;
  const int64_t n = part->ops->read_sectors(part, 0, uint32_t(kSectors), got.data());
  if (GetParam().damage == Damage::kStreamCrcZeroed) {
    EXPECT_EQ(n, int64_t(kSectors));
    EXPECT_TRUE(got == content_);
    return;
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(errno, EUCLEAN);
  // Unit 0 is sound: reading it alone works unless the damage is in a table read at open.
  if (GetParam().damage != Damage::kRunTable && GetParam().damage != Damage::kLocationEntry) {
    std::vector<uint8_t> first(256 * kSectorSize);
    EXPECT_EQ(part->ops->read_sectors(part, 0, 256, first.data()), 256);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), content_.begin()));
  }
}

// Someone to answer: framing and table damage fail without a question; inflate and data CRC
// failures ask, and Retry asks again, Abort fails, Ignore gives zeros for that unit only.
TEST_P(ImageReaderDamage, QuestionsFollowTheAnswers) {
  const DamageCase& c = GetParam();
  BACKUP_PARTITION_INFO* part = damaged_part();
  ASSERT_NE(part, nullptr);
  std::vector<uint8_t> got(kSectors * kSectorSize, 0xEE);
  if (c.damage == Damage::kStreamCrcZeroed) {  // not damage: nothing to ask about
    ASSERT_EQ(part->ops->read_sectors(part, 0, uint32_t(kSectors), got.data()), int64_t(kSectors));
    EXPECT_TRUE(got == content_);
    EXPECT_EQ(prompter_.boxes.size(), 0u) << prompter_.all_text();
    return;
  }

  prompter_.answers = {kAnswerRetry, kAnswerAbort};
  errno = 0;
  EXPECT_EQ(part->ops->read_sectors(part, 0, uint32_t(kSectors), got.data()), -1);
  EXPECT_NE(prompter_.all_text().find(c.message), std::string::npos) << prompter_.all_text();
  if (!c.asks) {
    EXPECT_EQ(prompter_.questions(), 0) << prompter_.all_text();
    EXPECT_EQ(errno, EUCLEAN);
    return;
  }
  EXPECT_EQ(prompter_.questions(), 2) << prompter_.all_text();
  EXPECT_EQ(prompter_.boxes.size(), 2u) << "no error box after the user's Abort\n" << prompter_.all_text();
  EXPECT_EQ(errno, ECANCELED);

  prompter_.boxes.clear();
  prompter_.answers = {kAnswerIgnore};
  std::fill(got.begin(), got.end(), 0xEE);
  ASSERT_EQ(part->ops->read_sectors(part, 0, uint32_t(kSectors), got.data()), int64_t(kSectors)) << prompter_.all_text();
  EXPECT_EQ(prompter_.questions(), 1);
  EXPECT_NE(prompter_.all_text().find(volume(0)), std::string::npos) << prompter_.all_text();
  const size_t unit = 256 * kSectorSize;
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + unit, content_.begin()));
  EXPECT_TRUE(std::all_of(got.begin() + unit, got.begin() + 2 * unit, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(got.begin() + 2 * unit, got.end(), content_.begin() + 2 * unit));
}

INSTANTIATE_TEST_SUITE_P(
    Flips, ImageReaderDamage,
    ::testing::Values(DamageCase{"StreamByte", Damage::kStreamByte, false, "CRC32 error"},
                      DamageCase{"StreamByteNoCrc", Damage::kStreamByteNoCrc, true, "inflate error or data corrupt"},
                      DamageCase{"StartMagic", Damage::kStartMagic, false, "COMPRESS_UNIT_START_MAGIC error"},
                      DamageCase{"EndMagic", Damage::kEndMagic, false, "COMPRESS_UNIT_END_MAGIC error"},
                      DamageCase{"StreamCrc", Damage::kStreamCrc, false, "CRC32 error"},
                      DamageCase{"DataCrc", Damage::kDataCrc, true, "Original CRC32 error"},
                      DamageCase{"StreamCrcZeroed", Damage::kStreamCrcZeroed, false, ""},
                      DamageCase{"LocationEntry", Damage::kLocationEntry, false, "read_location"},
                      DamageCase{"RunTable", Damage::kRunTable, false, "read part runs: invalid run data"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Unit cache. ----

// Slots are replaced in load order: after 32 distinct units and a hit on the first, the 33rd
// unit takes the first one's slot and every other unit stays cached.
TEST_F(ImageReaderTest, ThirtyThirdUnitReplacesTheFirstLoaded) {
  constexpr uint32_t kUnits = 34;
  std::vector<SyntheticDisk> full(1);
  full[0].total_sectors = 20000;
  full[0].parts.push_back(make_part(63, kUnits * 256, 8, 0x33, {{0, kUnits * 256}}));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 7000000);
  BACKUP_PARTITION_INFO* part = part_of(w0, 0x33);
  ASSERT_NE(part, nullptr);
  ASSERT_EQ(part->ops->open(part, disk::kOpenRead), 0);
  std::vector<uint8_t> sector(kSectorSize);
  auto read_unit = [&](uint32_t unit) {
    ASSERT_EQ(part->ops->read_sectors(part, uint64_t(unit) * 256 + 3, 1, sector.data()), 1);
    ASSERT_TRUE(std::equal(sector.begin(), sector.end(),
                           full[0].parts[0].content.begin() + std::ptrdiff_t((uint64_t(unit) * 256 + 3) * kSectorSize)));
  };
  auto slot_of = [&](int64_t unit) -> int {
    for (size_t i = 0; i < storage_.cache.size(); ++i) {
      if (storage_.cache[i].unit == unit && storage_.cache[i].member == part) return int(i);
    }
    return -1;
  };
  for (uint32_t u = 0; u < 32; ++u) read_unit(u);
  const int first_slot = slot_of(0);
  ASSERT_GE(first_slot, 0);
  read_unit(0);  // a hit
  read_unit(32);
  EXPECT_EQ(slot_of(32), first_slot);
  EXPECT_EQ(slot_of(0), -1);
  for (uint32_t u = 1; u < 32; ++u) EXPECT_GE(slot_of(u), 0) << "unit " << u;
  read_unit(33);  // then the second loaded goes
  EXPECT_EQ(slot_of(1), -1);
}

// Two partitions of one snapshot read alternately, unit for unit at the same unit numbers, each
// get their own data; the units of both stay cached side by side.
TEST_F(ImageReaderTest, PartitionsOfOneSnapshotReadAlternately) {
  std::vector<SyntheticDisk> full(1);
  full[0].total_sectors = 8000;
  full[0].parts.push_back(make_part(63, 1024, 21, 0x41, {{0, 1024}}));
  full[0].parts.push_back(make_part(2000, 1024, 22, 0x42, {{0, 1024}}));
  WrittenSnapshot w0 = write(full, img::kBackupFull, 8000000);
  BACKUP_PARTITION_INFO* a = part_of(w0, 0x41);
  BACKUP_PARTITION_INFO* b = part_of(w0, 0x42);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(a->ops->open(a, disk::kOpenRead), 0);
  ASSERT_EQ(b->ops->open(b, disk::kOpenRead), 0);
  std::vector<uint8_t> got(32 * kSectorSize);
  for (int round = 0; round < 2; ++round) {
    for (uint64_t first = 0; first + 32 <= 1024; first += 200) {
      for (size_t i = 0; i < 2; ++i) {
        BACKUP_PARTITION_INFO* part = i == 0 ? a : b;
        const std::vector<uint8_t>& content = full[0].parts[i].content;
        ASSERT_EQ(part->ops->read_sectors(part, first, 32, got.data()), 32);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), content.begin() + std::ptrdiff_t(first * kSectorSize)))
            << "partition " << i << " sector " << first;
      }
    }
  }
  for (int64_t unit = 0; unit < 4; ++unit) {
    for (const BACKUP_PARTITION_INFO* part : {a, b}) {
      EXPECT_TRUE(std::any_of(storage_.cache.begin(), storage_.cache.end(),
                              [&](const img::CacheSlot& slot) { return slot.unit == unit && slot.member == part; }))
          << "unit " << unit << (part == a ? " of A" : " of B");
    }
  }
  EXPECT_EQ(a->ops->close(a), 0);
  EXPECT_EQ(b->ops->close(b), 0);
}

}  // namespace
}  // namespace tav::test
