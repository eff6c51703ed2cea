// Image writer: the volumes it writes are read back record by record (headers, tailers, unit-info
// records, location tables, run tables, descriptor areas) and every unit is inflated, so layout
// faults, lost data and broken splits show; plus the failure paths (abort, unwritable volumes,
// interrupted runs).
#include "engine/image_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "core/byte_order.h"
#include "core/progress_channel.h"
#include "core/time_word.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "format/compress_unit.h"
#include "format/ego_records.h"
#include "format/image_name.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

using namespace tav::img;
namespace fs = std::filesystem;

// The shared temporary directory, with the names of its volume files.
class TempDir : public sysutil_test::TempDir {
 public:
  std::string vol(uint32_t v, const std::string& base = "imbackup") const {
    return *image_volume_name(path(), base, int(v));
  }
};

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// One volume file, decoded.
struct Volume {
  std::vector<uint8_t> bytes;
  EGO_IMAGE_HEADER header;
  EGO_IMAGE_TAILER tailer;
  std::vector<uint64_t> locations;
  std::vector<EGO_UNIT_INFO> infos;
  std::vector<EGO_DISK_RECORD> disks;             // of the disk table the header names
  std::vector<std::vector<EGO_PART_RECORD>> parts;  // per disk
  std::vector<EGO_DISK_RECORD> tail_disks;        // of the second descriptor copy

  std::span<const uint8_t> at(uint64_t offset, uint64_t size) const {
    EXPECT_LE(offset + size, bytes.size());
    return std::span<const uint8_t>(bytes).subspan(size_t(offset), size_t(size));
  }
};

std::vector<EGO_DISK_RECORD> decode_disk_table(const Volume& v, uint64_t offset, uint32_t count) {
  std::vector<EGO_DISK_RECORD> disks(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto rec = v.at(offset + i * kDiskRecordSize, kDiskRecordSize);
    EXPECT_TRUE(check_disk_record(rec).is_ok()) << "disk record " << i;
    EXPECT_TRUE(decode_disk_record(rec, &disks[i]).is_ok());
  }
  return disks;
}

Volume load_volume(const std::string& path) {
  Volume v;
  v.bytes = read_file(path);
  EXPECT_GE(v.bytes.size(), kHeaderSize + kTailerSize) << path;
  if (v.bytes.size() < kHeaderSize + kTailerSize) return v;
  EXPECT_TRUE(decode_image_header(v.bytes, &v.header).is_ok());
  auto tail = std::span<const uint8_t>(v.bytes).subspan(v.bytes.size() - kTailerSize);
  EXPECT_TRUE(check_image_tailer(tail).is_ok()) << path;
  EXPECT_TRUE(decode_image_tailer(tail, &v.tailer).is_ok());
  const EGO_IMAGE_TAILER& t = v.tailer;
  EXPECT_TRUE(decode_location_table(v.at(t.location_offset, t.unit_info_offset - t.location_offset), &v.locations)
                  .is_ok());
  for (uint32_t i = 0; i < t.unit_info_count; ++i) {
    EGO_UNIT_INFO info;
    EXPECT_TRUE(decode_unit_info(v.at(t.unit_info_offset + i * kUnitInfoSize, kUnitInfoSize), &info).is_ok());
    v.infos.push_back(info);
  }
  v.disks = decode_disk_table(v, v.header.disk_table_offset, v.header.num_disks);
  for (const auto& d : v.disks) {
    std::vector<EGO_PART_RECORD> parts(d.num_parts);
    for (uint32_t i = 0; i < d.num_parts; ++i) {
      auto rec = v.at(d.parts_offset + i * kPartRecordSize, kPartRecordSize);
      EXPECT_TRUE(check_part_record(rec, FormatVersion{}).is_ok());
      EXPECT_TRUE(decode_part_record(rec, FormatVersion{}, &parts[i]).is_ok());
    }
    v.parts.push_back(parts);
  }
  v.tail_disks = decode_disk_table(v, t.disk_table_offset, t.num_disks);
  return v;
}

// What one partition of a snapshot reads back as, following its record the way a reader does.
struct PartitionReadBack {
  std::vector<FLAT_RUN> runs;
  std::vector<uint64_t> run_bytes_per_volume;  // run-table bytes taken from each volume in turn
  std::vector<uint8_t> data;                   // inflated units, concatenated
  std::vector<uint64_t> stored_lengths;
};

PartitionReadBack read_partition(const std::map<uint32_t, Volume>& vols, const EGO_PART_RECORD& p) {
  PartitionReadBack r;
  std::vector<uint8_t> table;
  uint32_t vol = p.run_vol;
  uint64_t offset = p.run_offset;
  while (table.size() < p.run_bytes && vols.count(vol) != 0) {
    const Volume& v = vols.at(vol);
    const uint64_t take = std::min<uint64_t>(p.run_bytes - table.size(), v.tailer.location_offset - offset);
    auto bytes = v.at(offset, take);
    table.insert(table.end(), bytes.begin(), bytes.end());
    r.run_bytes_per_volume.push_back(take);
    ++vol;
    if (vols.count(vol) != 0) offset = vols.at(vol).tailer.data_start;
  }
  EXPECT_EQ(table.size(), p.run_bytes);
  for (size_t i = 0; i + kFlatRunSize <= table.size(); i += kFlatRunSize) {
    r.runs.push_back({get_le32(&table[i]), get_le32(&table[i + 4])});
  }

  UnitCodec codec;
  std::vector<uint8_t> unit(kUnitBytes);
  uint32_t index = p.unit_info_index;
  for (vol = p.start_vol; vol <= p.end_vol; ++vol, index = 0) {
    EXPECT_EQ(vols.count(vol), 1u) << "volume " << vol;
    if (vols.count(vol) == 0) break;
    const Volume& v = vols.at(vol);
    EXPECT_LT(index, v.infos.size()) << "volume " << vol;
    if (index >= v.infos.size()) break;
    const EGO_UNIT_INFO& info = v.infos[index];
    const size_t first = size_t(info.loc_offset / kLocationEntrySize);
    const size_t count = info.loc_bytes / kLocationEntrySize;
    for (size_t k = 0; k < count; ++k) {
      const uint64_t begin = v.locations[first + k];
      const uint64_t end = k + 1 < count ? v.locations[first + k + 1] : info.seg_end;
      EXPECT_TRUE(begin >= v.tailer.data_start && end <= v.tailer.location_offset && begin < end);
      if (k == 0) {
        EXPECT_EQ(begin, info.seg_start);
      }
      r.stored_lengths.push_back(end - begin);
      Status st = codec.inflate(v.at(begin, end - begin), FormatVersion{}, unit);
      EXPECT_TRUE(st.is_ok()) << "volume " << vol << " unit " << k << ": " << st.message();
      r.data.insert(r.data.end(), unit.begin(), unit.end());
    }
  }
  return r;
}

// Volumes first..last of a snapshot.
std::map<uint32_t, Volume> load_snapshot(const TempDir& dir, uint32_t first, uint32_t last,
                                         const std::string& base = "imbackup") {
  std::map<uint32_t, Volume> vols;
  for (uint32_t v = first; v <= last; ++v) vols[v] = load_volume(dir.vol(v, base));
  return vols;
}

// The stored sectors of a synthetic partition packed as the units hold them.
std::vector<uint8_t> packed_sectors(const test::SyntheticPartition& p) {
  std::vector<uint8_t> out;
  for (const FLAT_RUN& r : p.stored) {
    auto b = p.content.begin() + ptrdiff_t(uint64_t(r.Begin) * kSectorSize);
    out.insert(out.end(), b, b + ptrdiff_t(uint64_t(flat_run_sectors(r)) * kSectorSize));
  }
  out.resize((out.size() + kUnitBytes - 1) / kUnitBytes * kUnitBytes, 0);
  return out;
}

test::SyntheticPartition make_part(uint64_t start, uint32_t sectors, std::vector<FLAT_RUN> stored, uint32_t seed) {
  test::SyntheticPartition p;
  p.start_sector = start;
  p.signature = 1000 + seed;
  p.content = test::pattern_bytes(size_t(sectors) * kSectorSize, seed);
  p.stored = std::move(stored);
  return p;
}

// A disk without boot sectors holding one fully stored partition of one unit.
test::SyntheticDisk one_unit_disk() {
  test::SyntheticDisk d;
  d.total_sectors = 1000;
  d.parts.push_back(make_part(10, 256, {{0, 256}}, 1));
  return d;
}

std::vector<uint8_t> boot_sectors(uint32_t count, uint32_t disk_signature) {
  std::vector<uint8_t> mbr = test::pattern_bytes(size_t(count) * kSectorSize, disk_signature);
  put_le32(&mbr[440], disk_signature);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return mbr;
}

// Two disks: the first with boot sectors, a primary and two logical partitions (one with a
// run table of 300 runs); the second without saved boot sectors.
std::vector<test::SyntheticDisk> two_disks() {
  test::SyntheticDisk a;
  a.name = "sda";
  a.total_sectors = 200000;
  a.boot_sectors = boot_sectors(63, 0xCAFEF00D);
  a.parts.push_back(make_part(63, 2000, {{0, 700}, {900, 20}, {1500, 500}}, 1));
  std::vector<FLAT_RUN> many;
  for (uint32_t i = 0; i < 300; ++i) many.push_back({i * 3, 2});
  a.parts.push_back(make_part(4000, 1000, many, 2));
  a.parts.back().part_flags = kPartFlagLogical;
  a.parts.push_back(make_part(6000, 300, {{0, 300}}, 3));
  a.parts.back().part_flags = kPartFlagLogical;
  test::SyntheticDisk b;
  b.name = "a-disk-name-longer-than-thirty-two-bytes";
  b.total_sectors = 50000;
  b.parts.push_back(make_part(2048, 600, {{10, 590}}, 4));
  return {a, b};
}

// ---- Whole snapshots read back ----

struct LimitCase {
  const char* name;
  CompressMode mode;
  uint64_t limit;  // 0: none; 1: below any volume's fixed parts
  uint32_t backup_type = kBackupFull;
};

class WriterLayout : public ::testing::TestWithParam<LimitCase> {};

TEST_P(WriterLayout, EveryPartitionReadsBackAndVolumesAreConsistent) {
  const LimitCase& c = GetParam();
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  auto disks = two_disks();
  test::SnapshotPlan plan;
  plan.directory = dir.path();
  plan.compress_mode = c.mode;
  plan.comment = "layout";
  plan.volume_limit = c.limit;
  plan.first_vol = 3;
  plan.now = 1700000000;
  plan.backup_type = c.backup_type;
  STORAGE_DATA storage;  // a dependent snapshot is added to a storage with one full snapshot
  storage.signature = 1690000000;
  storage.snaps.push_back(std::make_unique<SNAP_DATA>());
  if (c.backup_type != kBackupFull) plan.storage = &storage;
  test::WrittenSnapshot w;
  Status st = test::write_snapshot(plan, disks, &w);
  ASSERT_TRUE(st.is_ok()) << st.message();
  EXPECT_EQ(w.first_vol, 3u);
  if (c.limit == 0) {
    EXPECT_EQ(w.last_vol, 3u);
  }
  if (c.limit != 0) {
    EXPECT_GT(w.last_vol, 3u);
  }

  std::vector<std::string> expected_files;
  for (uint32_t v = w.first_vol; v <= w.last_vol; ++v) expected_files.push_back("imbackup" + std::to_string(v) + ".ego");
  std::sort(expected_files.begin(), expected_files.end());
  EXPECT_EQ(files_in(dir.path()), expected_files);

  auto vols = load_snapshot(dir, w.first_vol, w.last_vol);
  const uint32_t total = w.last_vol - w.first_vol + 1;
  for (auto& [n, v] : vols) {
    SCOPED_TRACE("volume " + std::to_string(n));
    const bool first = n == w.first_vol, last = n == w.last_vol;
    EXPECT_TRUE(check_image_header(v.bytes).is_ok());
    EXPECT_EQ(v.header.vol, n);
    EXPECT_EQ(v.header.first_vol, w.first_vol);
    EXPECT_EQ(v.header.first_vol2, w.first_vol);
    EXPECT_EQ(v.header.signature, w.signature);
    EXPECT_EQ(v.header.total_vol, first ? total : 0u);
    EXPECT_EQ(v.tailer.complete, last ? 1u : 0u);
    EXPECT_EQ(v.tailer.total_vol, last ? total : 0u);
    EXPECT_EQ(v.header.num_disks, 2u);
    EXPECT_EQ(v.tailer.num_disks, 2u);
    ASSERT_EQ(v.disks.size(), 2u);
    // The boot fields are only in the first volume's final area, never in the copies.
    EXPECT_EQ(v.disks[0].disk_signature, first ? 0xCAFEF00Du : 0u);
    EXPECT_EQ(v.disks[0].boot_kind, first ? 1u : 0u);
    EXPECT_EQ(v.tail_disks[0].disk_signature, 0u);
    // The disk without saved boot sectors still has its record and partition.
    EXPECT_EQ(v.disks[1].mbr_sectors, 0u);
    EXPECT_EQ(v.disks[1].mbr_offset, 0u);
    EXPECT_EQ(v.disks[1].num_parts, 1u);
    EXPECT_EQ(name_field_text(v.disks[1].disk_name), "a-disk-name-longer-than-thirty-t");
    EXPECT_EQ(v.disks[0].mbr_sectors, 63u);
    EXPECT_TRUE(std::equal(disks[0].boot_sectors.begin(), disks[0].boot_sectors.end(),
                           v.at(v.disks[0].mbr_offset, 63 * kSectorSize).begin()));
    // Units lie in the data area, in order, and inside their segments.
    uint64_t previous_end = v.tailer.data_start;
    for (const auto& info : v.infos) {
      EXPECT_GE(info.seg_start, previous_end);
      EXPECT_LE(info.seg_end, v.tailer.location_offset);
      if (info.loc_bytes == 0) {
        EXPECT_EQ(info.seg_start, info.seg_end);
      }
      previous_end = info.seg_end;
    }
    EXPECT_EQ(v.infos.empty() ? 0 : (v.infos.back().loc_offset + v.infos.back().loc_bytes) / 8, v.locations.size());
    if (c.limit > 1) {
      EXPECT_LE(v.bytes.size(), c.limit);
    }
    if (c.limit == 1) {
      EXPECT_LE(v.locations.size(), 1u) << "a unit shares a volume";
    }
    // Splitting a volume with an empty data area would only make another one like it.
    if (!last) {
      EXPECT_GT(v.tailer.location_offset, v.tailer.data_start) << "volume without data";
    }
  }

  // Every partition, through the first volume's final records.
  const Volume& head = vols.at(w.first_vol);
  std::vector<const test::SyntheticPartition*> synthetic;
  for (const auto& d : disks) for (const auto& p : d.parts) synthetic.push_back(&p);
  std::vector<EGO_PART_RECORD> records;
  for (const auto& per_disk : head.parts) records.insert(records.end(), per_disk.begin(), per_disk.end());
  ASSERT_EQ(records.size(), synthetic.size());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE("partition " + std::to_string(i));
    const EGO_PART_RECORD& p = records[i];
    const test::SyntheticPartition& sp = *synthetic[i];
    EXPECT_EQ(p.start_sector, sp.start_sector);
    EXPECT_EQ(p.full, c.backup_type == kBackupFull ? 1u : 0u);
    EXPECT_EQ(p.signature, sp.signature);
    PartitionReadBack r = read_partition(vols, p);
    ASSERT_EQ(r.runs.size(), sp.stored.size());
    for (size_t k = 0; k < r.runs.size(); ++k) {
      EXPECT_EQ(r.runs[k].Begin, sp.stored[k].Begin);
      EXPECT_EQ(r.runs[k].Number, sp.stored[k].Number);
    }
    EXPECT_TRUE(r.data == packed_sectors(sp)) << "partition data differs";
    EXPECT_EQ(p.orig_bytes, r.data.size());
    uint64_t stored = 0;
    for (uint64_t len : r.stored_lengths) stored += len;
    EXPECT_EQ(p.stored_bytes, stored);
    // A run table splits only between whole chunks.
    for (size_t k = 0; k + 1 < r.run_bytes_per_volume.size(); ++k) {
      EXPECT_EQ(r.run_bytes_per_volume[k] % kRunTableChunkBytes, 0u);
      if (c.limit == 1) {
        EXPECT_EQ(r.run_bytes_per_volume[k], kRunTableChunkBytes);
      }
    }
  }
  if (c.limit == 1) {
    const bool unitless = std::any_of(vols.begin(), vols.end(), [](const auto& e) { return e.second.locations.empty(); });
    EXPECT_TRUE(unitless);
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, WriterLayout,
                         ::testing::Values(LimitCase{"NoLimit", kCompressNormal, 0},
                                           LimitCase{"NoLimitStoredUnits", kCompressNone, 0},
                                           LimitCase{"ThreeUnitsPerVolume", kCompressNone, 500000},
                                           LimitCase{"SmallLimitHighCompression", kCompressHigh, 300000},
                                           LimitCase{"BelowFixedParts", kCompressNormal, 1},
                                           // Run tables after the units, inside the segment.
                                           LimitCase{"IncrementalNoLimit", kCompressNormal, 0, kBackupIncremental},
                                           LimitCase{"IncrementalSmallLimit", kCompressNone, 300000, kBackupIncremental},
                                           LimitCase{"DifferentialBelowFixedParts", kCompressNormal, 1,
                                                     kBackupDifferential}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriterLayoutTest, TwoPartitionsInOneVolumeHaveTwoSegments) {
  TempDir dir;
  test::SyntheticDisk d;
  d.total_sectors = 10000;
  d.boot_sectors = boot_sectors(1, 7);
  d.parts.push_back(make_part(1, 1000, {{0, 1000}}, 1));  // 4 units
  d.parts.push_back(make_part(2000, 300, {{0, 300}}, 2));  // 2 units
  test::SnapshotPlan plan;
  plan.directory = dir.path();
  test::WrittenSnapshot w;
  ASSERT_TRUE(test::write_snapshot(plan, {d}, &w).is_ok());
  Volume v = load_volume(dir.vol(0));
  ASSERT_EQ(v.infos.size(), 2u);
  EXPECT_EQ(v.infos[0].loc_offset, 0u);
  EXPECT_EQ(v.infos[0].loc_bytes, 4u * 8);
  EXPECT_EQ(v.infos[1].loc_offset, 4u * 8);
  EXPECT_EQ(v.infos[1].loc_bytes, 2u * 8);
  ASSERT_EQ(v.parts.at(0).size(), 2u);
  EXPECT_EQ(v.parts[0][0].unit_info_index, 0u);
  EXPECT_EQ(v.parts[0][1].unit_info_index, 1u);
  // The full partition's run table comes before its units, outside the segment.
  EXPECT_EQ(v.parts[0][1].run_offset + 8, v.infos[1].seg_start);
}

TEST(WriterLayoutTest, RunTableOf300RunsSplitsAfterItsSecondChunk) {
  test::SyntheticDisk d;
  d.total_sectors = 10000;
  d.boot_sectors = boot_sectors(1, 7);
  std::vector<FLAT_RUN> runs;
  for (uint32_t i = 0; i < 300; ++i) runs.push_back({i * 2, 1});
  d.parts.push_back(make_part(100, 600, runs, 5));
  test::SnapshotPlan plan;
  plan.comment = "c";

  // First without a limit, to learn the volume's fixed parts.
  uint64_t data_start = 0;
  {
    TempDir probe;
    plan.directory = probe.path();
    ASSERT_TRUE(test::write_snapshot(plan, {d}, nullptr).is_ok());
    data_start = load_volume(probe.vol(0)).tailer.data_start;
  }
  // Before the third chunk the estimate is: position + one open unit-info record + the comment
  // + the descriptor area + the chunk + the tailer. A limit equal to that splits there, while
  // the second chunk's check still passes.
  const uint64_t comment_and_area = data_start - kHeaderSize;
  const uint64_t limit = data_start + 2048 + kUnitInfoSize + comment_and_area + 352 + kTailerSize;
  TempDir dir;
  plan.directory = dir.path();
  plan.volume_limit = limit;
  test::WrittenSnapshot w;
  ASSERT_TRUE(test::write_snapshot(plan, {d}, &w).is_ok());
  auto vols = load_snapshot(dir, 0, w.last_vol);
  const EGO_PART_RECORD& p = vols.at(0).parts.at(0).at(0);
  EXPECT_EQ(p.run_vol, 0u);
  EXPECT_EQ(p.run_offset, data_start);
  EXPECT_EQ(p.run_bytes, 2400u);
  PartitionReadBack r = read_partition(vols, p);
  EXPECT_EQ(r.run_bytes_per_volume, (std::vector<uint64_t>{2048, 352}));
  EXPECT_EQ(vols.at(0).tailer.location_offset, data_start + 2048);
  EXPECT_EQ(get_le32(&vols.at(1).bytes[vols.at(1).tailer.data_start]), 256u * 2);  // run 256
  EXPECT_TRUE(r.data == packed_sectors(d.parts[0]));
}

// ---- Comment ----

TEST(WriterCommentTest, StoredAsUtf16WithZeroCutAt512Characters) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // one character, two UTF-16 units
  struct Case {
    const char* name;
    std::optional<std::string> comment;
    uint32_t length;  // bytes stored, zero included
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {"None", std::nullopt, 0, u""},
      {"Empty", std::string(), 2, u""},
      {"Accents", std::string("h\xC3\xA9llo"), 12, u"h\u00e9llo"},
      {"Long", std::string(600, 'a'), 1026, std::u16string(512, u'a')},
      // A pair that would straddle the cut is left out whole.
      {"PairAtCut", std::string(511, 'b') + emoji + "tail", 1024, std::u16string(511, u'b')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const test::SyntheticDisk d = one_unit_disk();
    test::SnapshotPlan plan;
    plan.directory = dir.path();
    plan.comment = c.comment;
    ASSERT_TRUE(test::write_snapshot(plan, {d}, nullptr).is_ok());
    Volume v = load_volume(dir.vol(0));
    EXPECT_EQ(v.header.comment_length, c.length);
    EXPECT_EQ(v.tailer.comment_length, c.length);
    if (!c.comment) {
      EXPECT_EQ(v.header.comment_offset, 0u);
      EXPECT_EQ(v.tailer.comment_offset, 0u);
      EXPECT_EQ(v.tailer.data_start, kHeaderSize + kPartRecordSize + kDiskRecordSize);
      continue;
    }
    EXPECT_EQ(v.header.comment_offset, kHeaderSize);
    for (uint64_t offset : {v.header.comment_offset, v.tailer.comment_offset}) {
      auto bytes = v.at(offset, c.length);
      std::u16string text;
      for (size_t i = 0; i + 2 < bytes.size(); i += 2) text.push_back(char16_t(get_le16(&bytes[i])));
      EXPECT_EQ(text, c.text);
      EXPECT_EQ(get_le16(&bytes[c.length - 2]), 0u);
    }
  }
}

// ---- Header template ----

TEST(WriterHeaderTest, SignatureAndSequenceFollowTheStorage) {
  const time_t now = 1710000000;
  STORAGE_DATA storage;
  storage.signature = 0x12345678;
  for (uint32_t seq : {0u, 3u, 1u}) {
    auto snap = std::make_unique<SNAP_DATA>();
    snap->snap_seq = seq;
    storage.snaps.push_back(std::move(snap));
  }
  STORAGE_DATA empty_storage;
  empty_storage.signature = 0x0BADCAFE;
  struct Case {
    const char* name;
    uint32_t type;
    const STORAGE_DATA* storage;
    uint32_t signature;
    uint32_t snap_seq;
  };
  const std::vector<Case> cases = {
      {"FullNewStorage", kBackupFull, nullptr, uint32_t(now), 0},
      {"FullIntoStorage", kBackupFull, &storage, 0x12345678, 0},
      {"Incremental", kBackupIncremental, &storage, 0x12345678, 4},
      {"Differential", kBackupDifferential, &storage, 0x12345678, 4},
      {"DependentOnEmptyStorage", kBackupIncremental, &empty_storage, 0x0BADCAFE, 0},
  };
  const SYSTIME st = systime_from_time(now);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const test::SyntheticDisk d = one_unit_disk();
    test::SnapshotPlan plan;
    plan.directory = dir.path();
    plan.backup_type = c.type;
    plan.storage = c.storage;
    plan.compress_mode = kCompressHigh;
    plan.first_vol = 7;
    plan.now = now;
    test::WrittenSnapshot w;
    ASSERT_TRUE(test::write_snapshot(plan, {d}, &w).is_ok());
    Volume v = load_volume(dir.vol(7));
    EXPECT_EQ(v.header.signature, c.signature);
    EXPECT_EQ(v.header.snap_seq, c.snap_seq);
    EXPECT_EQ(w.signature, c.signature);
    EXPECT_EQ(w.snap_seq, c.snap_seq);
    EXPECT_EQ(v.header.backup_type, c.type);
    EXPECT_EQ(v.header.create_time, libtavpub_convert_systime_dword(&st));
    EXPECT_EQ(std::memcmp(&v.header.create_systime, &st, sizeof st), 0);
    EXPECT_EQ(v.header.major, 3u);
    EXPECT_EQ(v.header.minor, 4u);
    EXPECT_EQ(v.header.unit_bytes, kUnitBytes);
    EXPECT_EQ(v.header.compress_mode, uint32_t(kCompressHigh));
    EXPECT_EQ(v.header.first_vol, 7u);
    EXPECT_EQ(v.header.first_vol2, 7u);
    EXPECT_EQ(v.parts.at(0).at(0).full, c.type == kBackupFull ? 1u : 0u);
  }
}

// ---- Direct use of the writer: selection, failures, interruption ----

struct DiskListDeleter {
  void operator()(_DISK_INFOMATION* head) const { tav_destroy_all_disks(head); }
};
using DiskList = std::unique_ptr<_DISK_INFOMATION, DiskListDeleter>;

BACKUP_PARTITION_INFO* add_part(_DISK_INFOMATION* disk, uint64_t start, uint64_t count, uint8_t type,
                                uint32_t flags, bool selected) {
  auto part = std::make_unique<BACKUP_PARTITION_INFO>();
  disk::init_part_record(*part);
  disk::set_part_extent(*part, start, count);
  disk::set_rec_u8(*part, part_layout::kPartType, type);
  disk::set_rec_u32(*part, part_layout::kPartFlags, flags);
  disk::set_rec_u32(*part, part_layout::kFull, 1);
  part->selected = selected ? 1 : 0;
  part->ops_fs = disk::unknown_file_system();
  BACKUP_PARTITION_INFO* raw = part.get();
  EXPECT_EQ(tav_part_add(disk, raw), 0);
  part.release();
  return raw;
}

_DISK_INFOMATION* add_disk(DiskList* list, const std::string& name, std::vector<uint8_t> mbr) {
  _DISK_INFOMATION* head = list->release();
  auto disk = std::make_unique<_DISK_INFOMATION>();
  disk->name = name;
  disk->total_sectors = 100000;
  disk->mbr = std::move(mbr);
  _DISK_INFOMATION* raw = disk.release();
  EXPECT_EQ(tav_add_disk_device(&head, raw), 0);
  list->reset(head);
  return raw;
}

// A framed unit of pattern data, stored without compression (about 131 KB).
std::vector<uint8_t> framed_unit(uint32_t seed) {
  UnitCodec codec;
  std::vector<uint8_t> out;
  EXPECT_TRUE(codec.compress(test::pattern_bytes(kUnitBytes, seed), kCompressNone, FormatVersion{}, &out).is_ok());
  return out;
}

TEST(WriterSelectionTest, OnlyBackupCapablePartitionsAndTheirDisksAreStored) {
  TempDir dir;
  DiskList list;
  _DISK_INFOMATION* a = add_disk(&list, "sda", boot_sectors(2, 0x11223344));
  a->boot_kind = 2;
  a->boot_part_start = 2048;
  add_part(a, 2048, 1000, 0x07, 0, true);
  add_part(a, 4000, 5000, kPartTypeExtended, kPartFlagExtended, true);  // never backed up
  add_part(a, 4001, 1000, 0x83, kPartFlagLogical, true);
  add_part(a, 6000, 1000, 0x83, kPartFlagLogical, false);
  _DISK_INFOMATION* b = add_disk(&list, "sdb", boot_sectors(1, 5));
  add_part(b, 63, 1000, 0x83, 0, false);  // nothing selected: no disk record
  _DISK_INFOMATION* c = add_disk(&list, "sdc", {});
  c->whole_disk = 1;
  add_part(c, 63, 1000, 0x83, 0, false);  // selected through the whole disk

  ImageWriterRequest req;
  req.directory = dir.path();
  req.base_name = "sel";
  req.disks = list.get();
  req.now = 1700000000;
  ImageWriter writer;
  ASSERT_TRUE(writer.begin(req).is_ok());
  EXPECT_EQ(writer.header().num_disks, 2u);
  const auto unit = framed_unit(1);
  for (_DISK_INFOMATION* d = list.get(); d != nullptr; d = d->next) {
    for (auto& part : d->parts) {
      if (part->selected == 0) continue;
      ASSERT_TRUE(writer.start_segment(part.get()).is_ok());
      ASSERT_TRUE(writer.write_run_table(part.get(), std::vector<FLAT_RUN>{{0, 256}}).is_ok());
      ASSERT_TRUE(writer.write_unit(unit).is_ok());
      ASSERT_TRUE(writer.close_segment(part.get()).is_ok());
    }
  }
  ASSERT_TRUE(writer.finish().is_ok());
  EXPECT_EQ(a->parts[1]->selected, 0u);
  EXPECT_EQ(c->parts[0]->selected, 1u);

  Volume v = load_volume(dir.vol(0, "sel"));
  ASSERT_EQ(v.disks.size(), 2u);
  EXPECT_EQ(name_field_text(v.disks[0].disk_name), "sda");
  EXPECT_EQ(v.disks[0].num_parts, 2u);
  EXPECT_EQ(v.parts[0][0].start_sector, 2048u);
  EXPECT_EQ(v.parts[0][1].start_sector, 4001u);
  EXPECT_EQ(v.disks[0].mbr_sectors, 2u);
  EXPECT_EQ(v.disks[0].disk_signature, 0x11223344u);
  EXPECT_EQ(v.disks[0].boot_kind, 2u);
  EXPECT_EQ(v.disks[0].boot_part_start, 2048u);
  EXPECT_EQ(name_field_text(v.disks[1].disk_name), "sdc");
  EXPECT_EQ(v.disks[1].whole_disk, 1u);
  EXPECT_EQ(v.disks[1].mbr_sectors, 0u);
  EXPECT_EQ(v.disks[1].boot_kind, 1u);
  EXPECT_EQ(v.disks[1].num_parts, 1u);
  EXPECT_EQ(v.parts[1][0].unit_info_index, 2u);
  EXPECT_EQ(v.parts[1][0].orig_bytes, kUnitBytes);
  EXPECT_EQ(v.parts[1][0].stored_bytes, unit.size());
}

class WriterRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    disk_ = add_disk(&list_, "sda", boot_sectors(1, 9));
    part_ = add_part(disk_, 63, 100000, 0x83, 0, true);
    request_.directory = dir_.path();
    request_.base_name = "imbackup";
    request_.disks = list_.get();
    request_.now = 1700000000;
    request_.channel = &channel_;
  }

  TempDir dir_;
  DiskList list_;
  _DISK_INFOMATION* disk_ = nullptr;
  BACKUP_PARTITION_INFO* part_ = nullptr;
  ImageWriterRequest request_;
  THREAD_GUI_DATA channel_;
  const std::vector<uint8_t> unit_ = framed_unit(3);
};

TEST_F(WriterRunTest, NoVolumeOutgrowsItsLimit) {
  // Partition 1: two units; partition 2: a run table of 700 runs (5.5 KB) and one unit. A unit
  // may be longer than the 131072 bytes it holds, and one may follow a run table or start a
  // segment with no check of its own since the previous unit; both must be allowed for.
  BACKUP_PARTITION_INFO* part2 = add_part(disk_, 200000, 10000, 0x83, 0, true);
  std::vector<FLAT_RUN> runs;
  for (uint32_t i = 0; i < 700; ++i) runs.push_back({i * 2, 1});
  ASSERT_GT(unit_.size(), kUnitBytes);
  auto run = [&](uint64_t limit, bool only_first_unit) -> uint32_t {
    request_.volume_limit = limit;
    ImageWriter writer;
    EXPECT_TRUE(writer.begin(request_).is_ok());
    EXPECT_TRUE(writer.start_segment(part_).is_ok());
    for (int i = 0; i < (only_first_unit ? 1 : 2); ++i) EXPECT_TRUE(writer.write_unit(unit_).is_ok());
    EXPECT_TRUE(writer.close_segment(part_).is_ok());
    if (!only_first_unit) {
      EXPECT_TRUE(writer.start_segment(part2).is_ok());
      EXPECT_TRUE(writer.write_run_table(part2, runs).is_ok());
      EXPECT_TRUE(writer.write_unit(unit_).is_ok());
      EXPECT_TRUE(writer.close_segment(part2).is_ok());
    }
    EXPECT_TRUE(writer.finish().is_ok());
    return writer.current_vol();
  };
  // A volume holding the first unit alone; the estimate after that unit is its size plus what
  // the next step may add.
  part2->selected = 0;
  run(0, true);
  const uint64_t one_unit = fs::file_size(dir_.vol(0));
  fs::remove(dir_.vol(0));
  part2->selected = 1;
  std::vector<uint64_t> limits;
  for (uint64_t d = 1; d <= unit_.size() - kUnitBytes + 16; d += 4) limits.push_back(one_unit + kUnitBytes + d);
  const uint64_t two_units = one_unit + unit_.size() + kLocationEntrySize;
  for (uint64_t d = 1; d <= 2000; d += 200) {
    limits.push_back(one_unit + kMaxFramedUnitBytes + 8 + d);
    limits.push_back(two_units + kMaxFramedUnitBytes + 8 + d);
  }
  for (uint64_t limit : limits) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const uint32_t last = run(limit, false);
    uint64_t units = 0;
    for (uint32_t v = 0; v <= last; ++v) {
      EXPECT_LE(fs::file_size(dir_.vol(v)), limit) << "volume " << v;
      units += load_volume(dir_.vol(v)).locations.size();
      fs::remove(dir_.vol(v));
    }
    EXPECT_EQ(units, 3u);
    ASSERT_TRUE(files_in(dir_.path()).empty());
  }
}

TEST_F(WriterRunTest, SnapshotsReadersWouldRefuseAreNotWritten) {
  // More than 512 volumes: the step that needs the 513th fails.
  std::vector<uint8_t> small;
  UnitCodec codec;
  ASSERT_TRUE(codec.compress(std::vector<uint8_t>(kUnitBytes, 0), kCompressNormal, FormatVersion{}, &small).is_ok());
  request_.volume_limit = 1;  // every unit in a volume of its own
  {
    ImageWriter writer;
    ASSERT_TRUE(writer.begin(request_).is_ok());
    ASSERT_TRUE(writer.start_segment(part_).is_ok());
    Status st;
    int units = 0;
    while ((st = writer.write_unit(small)).is_ok() && units < 600) ++units;
    EXPECT_EQ(st.code(), StatusCode::kNotSupported) << st.message();
    EXPECT_EQ(writer.current_vol(), kMaxVolumesPerSnapshot - 1);
    EXPECT_EQ(channel_.error_count, 1);
    writer.abort();
  }
  EXPECT_TRUE(files_in(dir_.path()).empty());

  // Disk tables of 0 or more than 24 disks.
  struct Case {
    const char* name;
    int disks;
    bool selected;
  };
  for (const Case& c : {Case{"NothingSelected", 1, false}, Case{"TwentyFiveDisks", 25, true}}) {
    SCOPED_TRACE(c.name);
    DiskList list;
    for (int i = 0; i < c.disks; ++i) {
      add_part(add_disk(&list, "d" + std::to_string(i), {}), 63, 100, 0x83, 0, c.selected);
    }
    ImageWriterRequest req = request_;
    req.disks = list.get();
    ImageWriter writer;
    EXPECT_EQ(writer.begin(req).code(), StatusCode::kInvalidArgument);
    EXPECT_TRUE(files_in(dir_.path()).empty());
  }
}

TEST_F(WriterRunTest, AbortDeletesOnlyTheVolumesOfItsRun) {
  // An earlier snapshot in volumes 0 and 1.
  test::SyntheticDisk d;
  d.total_sectors = 1000;
  d.parts.push_back(make_part(10, 600, {{0, 600}}, 1));
  test::SnapshotPlan plan;
  plan.directory = dir_.path();
  plan.volume_limit = 300000;
  plan.compress_mode = kCompressNone;
  test::WrittenSnapshot earlier;
  ASSERT_TRUE(test::write_snapshot(plan, {d}, &earlier).is_ok());
  ASSERT_GE(earlier.last_vol, 1u);
  const auto before = files_in(dir_.path());
  const auto first_bytes = read_file(dir_.vol(0));

  request_.first_vol = earlier.last_vol + 1;
  request_.volume_limit = 300000;
  {
    ImageWriter writer;
    ASSERT_TRUE(writer.begin(request_).is_ok());
    ASSERT_TRUE(writer.start_segment(part_).is_ok());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(writer.write_unit(unit_).is_ok());
    EXPECT_GT(writer.current_vol(), request_.first_vol);
    writer.abort();
    EXPECT_EQ(files_in(dir_.path()), before);
    writer.abort();  // twice is harmless
    EXPECT_FALSE(writer.begun());
  }
  {
    ImageWriter writer;  // dropped without finish: the destructor aborts
    ASSERT_TRUE(writer.begin(request_).is_ok());
    ASSERT_TRUE(writer.start_segment(part_).is_ok());
    ASSERT_TRUE(writer.write_unit(unit_).is_ok());
  }
  EXPECT_EQ(files_in(dir_.path()), before);
  EXPECT_TRUE(read_file(dir_.vol(0)) == first_bytes);
  EXPECT_EQ(channel_.error_count, 0);
}

TEST_F(WriterRunTest, FirstVolumeThatCannotBeCreatedFailsBegin) {
  struct Case {
    const char* name;
    std::function<void(ImageWriterRequest&)> setup;
  };
  const std::vector<Case> cases = {
      {"MissingDirectory", [&](ImageWriterRequest& r) { r.directory = dir_.path() + "/missing"; }},
      {"NameIsADirectory", [&](ImageWriterRequest&) { ASSERT_EQ(::mkdir(dir_.vol(0).c_str(), 0755), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageWriterRequest req = request_;
    c.setup(req);
    channel_.error_count = 0;
    ImageWriter writer;
    Status st = writer.begin(req);
    EXPECT_EQ(st.code(), StatusCode::kIoError) << st.message();
    EXPECT_FALSE(writer.begun());
    EXPECT_EQ(channel_.error_count, 1);
    EXPECT_EQ(writer.start_segment(part_).code(), StatusCode::kInvalidArgument);
  }
  EXPECT_EQ(files_in(dir_.path()), std::vector<std::string>{"imbackup0.ego"});  // the directory made above
}

TEST_F(WriterRunTest, VolumeThatCannotBeCreatedFailsTheStepAndAbortCleansUp) {
  ASSERT_EQ(::mkdir(dir_.vol(1).c_str(), 0755), 0);  // where the split must go
  request_.volume_limit = 300000;
  ImageWriter writer;
  ASSERT_TRUE(writer.begin(request_).is_ok());
  ASSERT_TRUE(writer.start_segment(part_).is_ok());
  Status st;
  int written = 0;
  while ((st = writer.write_unit(unit_)).is_ok() && written < 10) ++written;
  EXPECT_EQ(st.code(), StatusCode::kIoError);
  EXPECT_NE(st.message().find("imbackup1.ego"), std::string::npos) << st.message();
  EXPECT_EQ(channel_.error_count, 1);
  // The run stays failed; no later step pretends to succeed.
  EXPECT_FALSE(writer.write_unit(unit_).is_ok());
  EXPECT_FALSE(writer.close_segment(part_).is_ok());
  EXPECT_FALSE(writer.finish().is_ok());
  writer.abort();
  EXPECT_EQ(files_in(dir_.path()), std::vector<std::string>{"imbackup1.ego"});
  EXPECT_TRUE(fs::is_directory(dir_.vol(1)));
}

TEST_F(WriterRunTest, FirstVolumeStaysUnloadableUntilTheRunFinishes) {
  request_.volume_limit = 300000;
  ImageWriter writer;
  auto first_volume_refused = [&](const char* stage) {
    SCOPED_TRACE(stage);
    auto bytes = read_file(dir_.vol(0));
    ASSERT_GE(bytes.size(), kHeaderSize);
    EXPECT_FALSE(check_image_header(bytes).is_ok());
    EGO_IMAGE_HEADER h;
    ASSERT_TRUE(decode_image_header(bytes, &h).is_ok());
    EXPECT_EQ(h.total_vol, 0u);
  };
  ASSERT_TRUE(writer.begin(request_).is_ok());
  first_volume_refused("begun");
  ASSERT_TRUE(writer.start_segment(part_).is_ok());
  ASSERT_TRUE(writer.write_run_table(part_, std::vector<FLAT_RUN>{{0, 1024}}).is_ok());
  ASSERT_TRUE(writer.write_unit(unit_).is_ok());
  first_volume_refused("one unit");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer.write_unit(unit_).is_ok());
  ASSERT_GT(writer.current_vol(), 0u);
  first_volume_refused("after a split");
  ASSERT_TRUE(writer.close_segment(part_).is_ok());
  first_volume_refused("segment closed");
  // Later volumes are never taken for a first volume.
  EXPECT_TRUE(check_image_header(read_file(dir_.vol(1))).is_ok());

  ASSERT_TRUE(writer.finish().is_ok());
  auto bytes = read_file(dir_.vol(0));
  EXPECT_TRUE(check_image_header(bytes).is_ok());
  Volume v = load_volume(dir_.vol(0));
  EXPECT_EQ(v.header.total_vol, writer.current_vol() + 1);
  const EGO_PART_RECORD& p = v.parts.at(0).at(0);
  EXPECT_EQ(p.end_vol, writer.current_vol());
  EXPECT_EQ(p.orig_bytes, 4u * kUnitBytes);
  EXPECT_EQ(p.run_bytes, 8u);
}

}  // namespace
}  // namespace tav::engine
