// The volume inspector in-process: checks behind the record checksums (reached by resealing the
// sums after an edit), every single-byte flip of the sample, and a robustness loop of random
// damage that must never crash or hang.
#include "format/volume_inspector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "format/ego_format.h"
#include "format/struct_sum.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/sample_volume.h"

namespace tav::format_test {
namespace {

using fixtures::SampleVolume;
using fixtures::SampleVolumeLayout;
using img::InspectOptions;
using img::VolumeReport;
using sysutil_test::TempDir;
using sysutil_test::write_file;
namespace layout = tav::img;

class VolumeInspectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(fixtures::make_sample_volume({}, &sample_).is_ok());
    path_ = dir_.file("volume.ego");
  }

  VolumeReport inspect(const std::vector<uint8_t>& bytes, InspectOptions options = {}) {
    EXPECT_TRUE(write_file(path_, bytes));
    VolumeReport report;
    EXPECT_TRUE(img::inspect_volume(path_, options, &report).is_ok());
    return report;
  }

  static std::string all_errors(const VolumeReport& r) {
    std::string text;
    for (const auto& e : r.errors) text += e.where + ": " + e.check + "\n";
    return text;
  }

  TempDir dir_;
  SampleVolume sample_;
  std::string path_;
};

// Byte surgery on a volume: set a field, then reseal the record's struct sum so that the edit
// reaches the checks behind the sum.
struct Surgery {
  std::vector<uint8_t>& b;
  const SampleVolumeLayout& lay;

  void set32(uint64_t offset, uint32_t v) { put_le32(&b.at(offset + 3) - 3, v); }
  void set64(uint64_t offset, uint64_t v) { put_le64(&b.at(offset + 7) - 7, v); }
  uint32_t get32(uint64_t offset) const { return get_le32(&b.at(offset)); }
  uint64_t get64(uint64_t offset) const { return get_le64(&b.at(offset)); }
  void reseal(uint64_t record, size_t size, size_t sum_offset) {
    img::seal_struct_sum(std::span<uint8_t>(&b.at(record), size), sum_offset);
  }
  void header32(size_t field, uint32_t v) {
    set32(field, v);
    reseal(0, layout::kHeaderSize, layout::header_layout::kSum);
  }
  void header64(size_t field, uint64_t v) {
    set64(field, v);
    reseal(0, layout::kHeaderSize, layout::header_layout::kSum);
  }
  void tailer32(size_t field, uint32_t v) {
    set32(lay.tailer_offset + field, v);
    reseal(lay.tailer_offset, layout::kTailerSize, layout::tailer_layout::kSum);
  }
  void tailer64(size_t field, uint64_t v) {
    set64(lay.tailer_offset + field, v);
    reseal(lay.tailer_offset, layout::kTailerSize, layout::tailer_layout::kSum);
  }
  void disk32(size_t field, uint32_t v) {
    set32(lay.disk_record_offset + field, v);
    reseal(lay.disk_record_offset, layout::kDiskRecordSize, layout::disk_layout::kSum);
  }
  void disk64(size_t field, uint64_t v) {
    set64(lay.disk_record_offset + field, v);
    reseal(lay.disk_record_offset, layout::kDiskRecordSize, layout::disk_layout::kSum);
  }
  void part32(size_t field, uint32_t v) {
    set32(lay.part_record_offset + field, v);
    reseal(lay.part_record_offset, layout::kPartRecordSize, layout::part_layout::kSum);
  }
  void part64(size_t field, uint64_t v) {
    set64(lay.part_record_offset + field, v);
    reseal(lay.part_record_offset, layout::kPartRecordSize, layout::part_layout::kSum);
  }
};

TEST_F(VolumeInspectorTest, SampleReportHoldsItsRecords) {
  const VolumeReport r = inspect(sample_.bytes, {.inflate_units = true});
  ASSERT_TRUE(r.ok()) << all_errors(r);
  EXPECT_TRUE(r.header_valid && r.tailer_valid && r.data_area_valid);
  EXPECT_EQ(r.comment, fixtures::kSampleComment);
  ASSERT_EQ(r.disks.size(), 1u);
  EXPECT_EQ(r.disks[0].boot_sectors.mbr_disk_signature, fixtures::kSampleDiskSignature);
  ASSERT_EQ(r.disks[0].partitions.size(), 1u);
  const auto& rt = r.disks[0].partitions[0].run_table;
  EXPECT_TRUE(rt.checked);
  EXPECT_EQ(rt.runs, 3u);
  EXPECT_EQ(rt.data_sectors, fixtures::kSampleDataSectors);
  ASSERT_EQ(r.unit_infos.size(), 1u);
  EXPECT_EQ(r.unit_infos[0].units, fixtures::kSampleUnits);
  EXPECT_EQ(r.location_entries, fixtures::kSampleUnits);
  EXPECT_EQ(r.units_verified, fixtures::kSampleUnits);
}

TEST_F(VolumeInspectorTest, RunTableAfterTheUnitsIsAcceptedToo) {
  SampleVolume after;
  ASSERT_TRUE(fixtures::make_sample_volume({.run_table_before_units = false}, &after).is_ok());
  ASSERT_GT(after.layout.run_table_offset, after.layout.unit_offsets.back());
  const VolumeReport r = inspect(after.bytes, {.inflate_units = true});
  EXPECT_TRUE(r.ok()) << all_errors(r);
  EXPECT_EQ(r.units_verified, fixtures::kSampleUnits);
}

// Earlier versions differ in unit framing, comment encoding, compress_mode and partition record
// size; each inspects clean, and damage to its framing is found where that framing puts it.
TEST_F(VolumeInspectorTest, EarlierFormatVersions) {
  struct Case {
    uint32_t major, minor;
    uint32_t framing;
  };
  const Case cases[] = {{1, 0, 0}, {3, 0, 0}, {3, 1, 12}, {3, 2, 12}, {3, 3, 12}, {3, 4, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    SampleVolume v;
    ASSERT_TRUE(fixtures::make_sample_volume({.major = c.major, .minor = c.minor}, &v).is_ok());
    const VolumeReport r = inspect(v.bytes, {.inflate_units = true});
    ASSERT_TRUE(r.ok()) << all_errors(r);
    EXPECT_EQ(r.units_verified, fixtures::kSampleUnits);
    EXPECT_EQ(r.comment, fixtures::kSampleComment);
    EXPECT_EQ(r.comment_utf16, c.major == 3 && c.minor >= 2);
    EXPECT_EQ(img::compress_mode_of(r.header.version(), r.header.compress_mode), img::kCompressNormal);
    ASSERT_EQ(r.disks.size(), 1u);
    ASSERT_EQ(r.disks[0].partitions.size(), 1u);
    EXPECT_EQ(r.disks[0].partitions[0].record.sector_count, fixtures::kSamplePartSectors);
    EXPECT_EQ(r.disks[0].partitions[0].run_table.data_sectors, fixtures::kSampleDataSectors);

    // The byte just before the next unit's start: the end magic's last byte with 12 bytes of
    // framing, the compressed CRC with 16, the stream's Adler-32 without framing.
    std::vector<uint8_t> bytes = v.bytes;
    const uint64_t end_magic = v.layout.unit_offsets[1] - (c.framing == 0 ? 0 : c.framing - 4);
    bytes[end_magic + (c.framing == 0 ? -1 : 0)] ^= 0xFF;
    const VolumeReport framed = inspect(bytes);
    if (c.framing == 0) {
      EXPECT_TRUE(framed.ok()) << all_errors(framed);  // a bare stream has no framing to check
      const VolumeReport inflated = inspect(bytes, {.inflate_units = true});
      EXPECT_NE(all_errors(inflated).find("unit 0 (location entry 0"), std::string::npos) << all_errors(inflated);
    } else {
      EXPECT_NE(all_errors(framed).find("end magic"), std::string::npos) << all_errors(framed);
    }
  }
}

// Edits behind a valid struct sum: each must fail the named check, never pass and never crash.
TEST_F(VolumeInspectorTest, ChecksBehindTheSums) {
  namespace H = layout::header_layout;
  namespace T = layout::tailer_layout;
  namespace D = layout::disk_layout;
  namespace P = layout::part_layout;
  const SampleVolumeLayout& lay = sample_.layout;
  const uint64_t size = sample_.bytes.size();
  struct Case {
    const char* name;
    std::function<void(Surgery&)> edit;
    const char* expect;
  };
  const Case cases[] = {
      {"unsupported version", [](Surgery& s) { s.header32(H::kMinor, 5); }, "unsupported format version 3.5"},
      {"unit_bytes", [](Surgery& s) { s.header32(H::kUnitBytes, 65536); }, "unit_bytes is 65536"},
      {"comment longer than the file", [](Surgery& s) { s.header32(H::kCommentLength, 0xFFFFFFFFu); },
       "comment at offset 610"},
      {"comment of odd length", [](Surgery& s) { s.header32(H::kCommentLength, 81); }, "odd length 81"},
      {"comment over 512 characters", [](Surgery& s) { s.header32(H::kCommentLength, 1028); }, "more than 513"},
      {"comment length without offset", [](Surgery& s) { s.header64(H::kCommentOffset, 0); }, "disagree"},
      {"disk table past the descriptor area", [&](Surgery& s) { s.header64(H::kDiskTableOffset, size - 700); },
       "disk table at offset"},
      {"disk table offset near 2^64", [](Surgery& s) { s.header64(H::kDiskTableOffset, ~uint64_t{0} - 10); },
       "disk table at offset"},
      {"tailer num_disks disagrees", [](Surgery& s) { s.tailer32(T::kNumDisks, 2); }, "num_disks 2 differs"},
      {"tailer version disagrees", [](Surgery& s) { s.tailer32(T::kMinor, 3); }, "version 3.3 differs"},
      {"data_start after location_offset", [&](Surgery& s) { s.tailer64(T::kDataStart, lay.location_offset + 8); },
       "data area bounds out of order"},
      {"unit_info_offset past the tailer", [&](Surgery& s) { s.tailer64(T::kUnitInfoOffset, size); },
       "data area bounds out of order"},
      {"location table not whole entries", [&](Surgery& s) { s.tailer64(T::kLocationOffset, lay.location_offset + 4); },
       "not a multiple of 8"},
      {"unit_info_count huge", [](Surgery& s) { s.tailer32(T::kUnitInfoCount, 0xFFFFFFFFu); }, "exceeds"},
      {"unit_info_count past the tailer", [](Surgery& s) { s.tailer32(T::kUnitInfoCount, 6000); },
       "run past the tailer"},
      {"a second unit-info record of garbage", [](Surgery& s) { s.tailer32(T::kUnitInfoCount, 2); },
       "unit-info record 1 at offset"},
      {"no unit-info record", [](Surgery& s) { s.tailer32(T::kUnitInfoCount, 0); }, "belong to no unit-info record"},
      {"second disk table outside", [&](Surgery& s) { s.tailer64(T::kDiskTableOffset, size); }, "second disk table"},
      {"num_parts huge", [](Surgery& s) { s.disk32(D::kNumParts, 100000); }, "num_parts 100000 exceeds 256"},
      {"partition records overrun the descriptor area", [](Surgery& s) { s.disk32(D::kNumParts, 2); }, "do not fit"},
      {"parts_offset near 2^64", [](Surgery& s) { s.disk64(D::kPartsOffset, ~uint64_t{0} - 100); }, "do not fit"},
      {"boot sectors outside", [](Surgery& s) { s.disk32(D::kMbrSectors, 0x7FFFFFFF); }, "boot sectors of disk 0"},
      {"run_bytes not whole runs", [](Surgery& s) { s.part32(P::kRunBytes, 20); }, "not a multiple of 8"},
      {"run table outside the data area", [&](Surgery& s) { s.part64(P::kRunOffset, lay.location_offset); },
       "starts outside the data area"},
      {"run table over the units", [&](Surgery& s) { s.part64(P::kRunOffset, lay.unit_offsets[1]); },
       "overlaps the units"},
      {"run table past the data area in the last volume", [](Surgery& s) { s.part32(P::kRunBytes, 0x7FFFFFF8); },
       "run past the end of the data area"},
      {"runs past the partition", [](Surgery& s) { s.part64(P::kSectorCount, 1200); }, "ends past the partition"},
      {"orig_bytes", [](Surgery& s) { s.part64(P::kOrigBytes, 2 * 131072); }, "orig_bytes 262144"},
      {"stored_bytes", [&](Surgery& s) { s.part64(P::kStoredBytes, s.get64(lay.part_record_offset + 103) + 1); },
       "stored_bytes"},
      {"unit_info_index", [](Surgery& s) { s.part32(P::kUnitInfoIndex, 5); }, "names no unit-info record"},
      {"runs out of order",
       [&](Surgery& s) {
         const uint64_t first = s.get64(lay.run_table_offset);
         s.set64(lay.run_table_offset, s.get64(lay.run_table_offset + 8));
         s.set64(lay.run_table_offset + 8, first);
       },
       "starts before the end of the previous run"},
      {"location entry repeated", [&](Surgery& s) { s.set64(lay.location_offset + 8, s.get64(lay.location_offset)); },
       "does not follow the previous entry"},
      {"unit-info loc_offset", [&](Surgery& s) { s.set64(lay.unit_info_offset + 8, 8); }, "unit-info record 0"},
      {"unit-info covers fewer units",
       [&](Surgery& s) {
         s.set32(lay.unit_info_offset + 24, 16);
         s.set64(lay.unit_info_offset + 16, lay.unit_offsets[2]);
       },
       "unit-info record 0 lists 2"},
      {"unit longer than a stored unit may be",
       [&](Surgery& s) { s.set64(lay.location_offset + 16, lay.segment_end - 147457); }, "unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = sample_.bytes;
    Surgery s{bytes, lay};
    c.edit(s);
    const VolumeReport r = inspect(bytes);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(all_errors(r).find(c.expect), std::string::npos) << "expected \"" << c.expect << "\" in\n"
                                                               << all_errors(r);
  }
}

// Flips every byte of the sample, one at a time. The only flips that may pass are those in bytes
// no check covers: the uncovered tails of the summed records, the comment's characters, the saved
// boot sector, the run table's values (checked for order and range only), the units' zlib data and
// CRCs (checked by --units, sampled below) and the second descriptor copy, which readers ignore.
TEST_F(VolumeInspectorTest, EveryFlippedByteIsFoundUnlessNoCheckCoversIt) {
  const SampleVolumeLayout& lay = sample_.layout;
  struct Range {
    uint64_t begin, end;
  };
  std::vector<Range> uncovered = {
      {608, 610},                                                          // header tail
      {lay.comment_offset, lay.comment_offset + lay.comment_bytes - 2},    // comment text
      {lay.mbr_offset, lay.mbr_offset + 512},                              // boot sector
      {lay.part_record_offset + 388, lay.part_record_offset + 391},        // partition tail
      {lay.disk_record_offset + 252, lay.disk_record_offset + 253},        // disk record tail
      {lay.run_table_offset, lay.run_table_offset + lay.run_table_bytes},  // run values
      {lay.second_mbr_offset, lay.tailer_offset},                          // second copy
      {lay.tailer_offset + 600, lay.tailer_offset + 601},                  // tailer tail
  };
  std::vector<Range> payload;  // between the magics of each unit, and its two CRCs
  for (size_t u = 0; u < lay.unit_offsets.size(); ++u) {
    const uint64_t end = u + 1 < lay.unit_offsets.size() ? lay.unit_offsets[u + 1] : lay.segment_end;
    payload.push_back({lay.unit_offsets[u] + 4, end - 12});
    payload.push_back({end - 8, end});
  }
  const auto in = [](const std::vector<Range>& ranges, uint64_t offset) {
    for (const Range& r : ranges)
      if (offset >= r.begin && offset < r.end) return true;
    return false;
  };

  std::vector<uint8_t> bytes = sample_.bytes;
  ASSERT_TRUE(write_file(path_, bytes));
  std::vector<uint64_t> missed;
  uint64_t payload_checked = 0;
  for (uint64_t offset = 0; offset < bytes.size(); ++offset) {
    const bool is_payload = in(payload, offset);
    // Payload bytes need --units (an inflate per unit); a sample of them is enough.
    if (is_payload && offset % 211 != 0) continue;
    bytes[offset] ^= 0xFF;
    VolumeReport r = inspect(bytes, {.inflate_units = is_payload});
    bytes[offset] ^= 0xFF;
    if (is_payload) ++payload_checked;
    if (r.ok() && !in(uncovered, offset)) missed.push_back(offset);
  }
  EXPECT_GT(payload_checked, 100u);
  EXPECT_TRUE(missed.empty()) << missed.size() << " flips passed, the first at offset " << missed.front();
}

// Random damage: 1-8 flipped bytes (sometimes with the record sums resealed, to get past them),
// or a random truncation. Every run must finish with a report; no crash, hang or sanitizer error.
TEST_F(VolumeInspectorTest, RandomDamageNeverCrashes) {
  const SampleVolumeLayout& lay = sample_.layout;
  std::mt19937_64 rng(20110715);
  int failed = 0;
  const int kRounds = 3000;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<uint8_t> bytes = sample_.bytes;
    const int kind = static_cast<int>(rng() % 10);
    if (kind == 0) {
      bytes.resize(rng() % (bytes.size() + 1));
    } else {
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        // Half the flips go to the records before and after the data area, where the decisions are.
        uint64_t offset;
        if (rng() % 2 == 0) {
          const uint64_t head = lay.data_start + 64;
          const uint64_t tail_start = lay.location_offset;
          const uint64_t pick = rng() % (head + (bytes.size() - tail_start));
          offset = pick < head ? pick : tail_start + (pick - head);
        } else {
          offset = rng() % bytes.size();
        }
        bytes[offset] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      if (kind >= 6) {
        Surgery s{bytes, lay};
        s.reseal(0, layout::kHeaderSize, layout::header_layout::kSum);
        s.reseal(lay.tailer_offset, layout::kTailerSize, layout::tailer_layout::kSum);
        s.reseal(lay.disk_record_offset, layout::kDiskRecordSize, layout::disk_layout::kSum);
        s.reseal(lay.part_record_offset, layout::kPartRecordSize, layout::part_layout::kSum);
      }
    }
    const VolumeReport r = inspect(bytes, {.inflate_units = round % 50 == 0});
    ASSERT_LE(r.errors.size(), img::kMaxReportedErrors);
    if (!r.ok()) ++failed;
  }
  // Most of this damage lands where a check sees it.
  EXPECT_GT(failed, kRounds / 2);
}

}  // namespace
}  // namespace tav::format_test
