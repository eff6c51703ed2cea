// `tav inspect` and the command line as a user meets them: the built binary run on the sample
// volume and on damaged copies of it, and its usage errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "format/ego_format.h"
#include "format/struct_sum.h"
#include "tests/cli/cli_test_support.h"
#include "tests/fixtures/sample_volume.h"

namespace tav::cli_test {
namespace {

using fixtures::SampleVolume;

class TavCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(fixtures::make_sample_volume({}, &sample_).is_ok());
    sample_path_ = dir_.file("imbackup0.ego");
    ASSERT_TRUE(write_file(sample_path_, sample_.bytes));
  }

  RunResult inspect_bytes(const std::vector<uint8_t>& bytes, const std::vector<std::string>& extra = {}) {
    const std::string path = dir_.file("damaged.ego");
    EXPECT_TRUE(write_file(path, bytes));
    std::vector<std::string> args = {"inspect", path};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tav(dir_, args);
  }

  TempDir dir_;
  SampleVolume sample_;
  std::string sample_path_;
};

TEST_F(TavCommandTest, SampleInspectsCleanAndNamesItsFacts) {
  const RunResult r = run_tav(dir_, {"inspect", sample_path_});
  ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
  EXPECT_EQ(r.err, "");
  for (const char* fact : {"version: \"3.4\"", "2011-07-15 13:45", "2011-07-15 13:45:30", "compress: \"normal\"",
                           "Sample snapshot: one disk, one partition", "total_vol: 1", "complete: 1", "mbr_sectors: 1",
                           "boot_signature_55aa: yes", "start_sector: 2048", "sector_count: 4096", "full: 1", "runs: 3",
                           "data_sectors: 600", "units: 3", "entries: 3", "ok: yes"}) {
    EXPECT_NE(r.out.find(fact), std::string::npos) << "missing " << fact << "\n" << r.out;
  }
}

TEST_F(TavCommandTest, JsonIsOneObjectWithOkTrue) {
  const RunResult r = run_tav(dir_, {"inspect", sample_path_, "--json"});
  ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_EQ(r.out.substr(r.out.find_last_not_of('\n')), "}\n");
  EXPECT_NE(r.out.find("\"ok\": true"), std::string::npos);
  EXPECT_NE(r.out.find("\"errors\": []"), std::string::npos);
  EXPECT_NE(r.out.find("\"data_sectors\": 600"), std::string::npos);
  // Braces balance outside strings: one object, nothing after it.
  int depth = 0, closed_at_zero = 0;
  bool in_string = false, escaped = false;
  for (char c : r.out) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      --depth;
      ASSERT_GE(depth, 0);
      if (depth == 0) ++closed_at_zero;
    }
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(closed_at_zero, 1);
}

TEST_F(TavCommandTest, UnitsOptionInflatesEveryUnit) {
  const RunResult r = run_tav(dir_, {"inspect", "--units", sample_path_});
  ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
  EXPECT_NE(r.out.find("units_verified: 3"), std::string::npos) << r.out;
}

// Every damaged file exits 1 with an error line that names the damaged record; none crashes.
TEST_F(TavCommandTest, DamagedFilesFailWithTheirRecordNamed) {
  const auto& lay = sample_.layout;
  const std::vector<uint8_t>& good = sample_.bytes;
  const auto truncated = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + n); };
  const auto flipped = [&](uint64_t offset) {
    std::vector<uint8_t> b = good;
    b.at(offset) ^= 0xFF;
    return b;
  };
  const auto random_bytes = [](size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* expect;  // in the error line
  };
  const Case cases[] = {
      {"empty file", {}, "file: too short"},
      {"1 byte", truncated(1), "file: too short"},
      {"half a header", truncated(305), "file: too short"},
      {"header only", truncated(610), "file: too short"},
      {"missing tailer", truncated(good.size() - 601), "tailer at offset"},
      {"cut in the data area", truncated(lay.unit_offsets[1] + 100), "tailer at offset"},
      {"last byte missing", truncated(good.size() - 1), "tailer at offset"},
      {"random 1211 bytes", random_bytes(1211, 1), "header at offset 0"},
      {"random 4096 bytes", random_bytes(4096, 2), "header at offset 0"},
      {"random 100000 bytes", random_bytes(100000, 3), "header at offset 0"},
      {"header num_disks", flipped(98), "header at offset 0"},
      {"header magic", flipped(8), "header at offset 0"},
      {"tailer data_start", flipped(lay.tailer_offset + 560), "tailer at offset"},
      {"tailer magic", flipped(lay.tailer_offset + 590), "tailer at offset"},
      {"comment terminator", flipped(lay.comment_offset + lay.comment_bytes - 1), "comment at offset 610"},
      {"disk record total_sectors", flipped(lay.disk_record_offset + 28), "disk record 0 at offset"},
      {"partition record sector_count", flipped(lay.part_record_offset + 22), "partition record 0 of disk 0 at offset"},
      {"partition record disk library byte", flipped(lay.part_record_offset + 300),
       "partition record 0 of disk 0 at offset"},
      {"unit-info seg_end", flipped(lay.unit_info_offset + 16), "unit-info record 0 at offset"},
      {"unit-info loc_bytes", flipped(lay.unit_info_offset + 24), "unit-info record 0 at offset"},
      {"unit-info reserved byte", flipped(lay.unit_info_offset + 60), "unit-info record 0 at offset"},
      {"location entry 0", flipped(lay.location_offset + 1), "location entry 0 of unit-info record 0"},
      {"location entry 1", flipped(lay.location_offset + 8), "location entry 1 of unit-info record 0"},
      {"location entry 2 high byte", flipped(lay.location_offset + 16 + 5), "location entry 2 of unit-info record 0"},
      {"run table: run 0 count high byte", flipped(lay.run_table_offset + 7), "run table of partition record 0"},
      {"run table: run 0 count low byte", flipped(lay.run_table_offset + 4), "run table"},
      {"run table: run 1 begin high byte", flipped(lay.run_table_offset + 8 + 3), "run table of partition record 0"},
      {"unit 1 start magic", flipped(lay.unit_offsets[1]), "unit 1 (location entry 1 of unit-info record 0)"},
      {"unit 0 end magic", flipped(lay.unit_offsets[1] - 12), "unit 0 (location entry 0 of unit-info record 0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = inspect_bytes(c.bytes);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_EQ(r.err.rfind("tav: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << "expected \"" << c.expect << "\"\n" << describe(r);
    // The JSON form agrees.
    const RunResult j = inspect_bytes(c.bytes, {"--json"});
    ASSERT_TRUE(j.exited) << describe(j);
    EXPECT_EQ(j.exit_status, 1);
    EXPECT_NE(j.out.find("\"ok\": false"), std::string::npos) << j.out;
  }
}

// Records whose sums hold but whose values no reader may trust: every command that reads the
// storage refuses them with one answer, and none reports success over an empty or wrong result.
TEST_F(TavCommandTest, ForgedRecordsAreRefusedByEveryCommand) {
  const auto& lay = sample_.layout;
  const auto resealed = [&](uint64_t record, size_t size, size_t sum, size_t field, uint64_t value, int bytes) {
    std::vector<uint8_t> b = sample_.bytes;
    if (bytes == 4) put_le32(&b[record + field], uint32_t(value)); else put_le64(&b[record + field], value);
    img::seal_struct_sum(std::span<uint8_t>(&b[record], size), sum);
    return b;
  };
  const auto part_field = [&](size_t field, uint64_t value) {
    return resealed(lay.part_record_offset, img::kPartRecordSize, img::part_layout::kSum, field, value, 8);
  };
  const auto header_field = [&](size_t field, uint32_t value) {
    return resealed(0, img::kHeaderSize, img::header_layout::kSum, field, value, 4);
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* reason;  // what inspect names
  };
  const Case cases[] = {
      {"sector_count 2^60", part_field(img::part_layout::kSectorCount, uint64_t(1) << 60), "lies outside its disk"},
      {"sector_count 0", part_field(img::part_layout::kSectorCount, 0), "holds no sector"},
      {"start past the disk", part_field(img::part_layout::kStartSector, 1 << 20), "lies outside its disk"},
      {"major version 4", header_field(img::header_layout::kMajor, 4), "unsupported format version 4.4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir store;
    ASSERT_TRUE(store.ok());
    const std::string volume = store.file("imbackup0.ego");
    ASSERT_TRUE(write_file(volume, c.bytes));
    const std::string out_file = store.file("out.img");
    const std::vector<std::string> commands[] = {
        {"inspect", volume},
        {"list", store.file("")},
        {"validate", store.file("")},
        {"export", store.file(""), "--snapshot", "1", "--partition", "1", out_file},
    };
    for (const auto& args : commands) {
      SCOPED_TRACE(args[0]);
      const RunResult r = run_tav(dir_, args);
      ASSERT_TRUE(r.exited) << describe(r);
      EXPECT_EQ(r.exit_status, 1) << describe(r);
      EXPECT_NE(r.err.find(c.reason), std::string::npos) << describe(r);
      if (args[0] != "inspect") {
        EXPECT_NE(r.err.find("no snapshot"), std::string::npos) << describe(r);
      }
    }
    EXPECT_FALSE(std::filesystem::exists(out_file));
  }
}

// A damaged zlib stream keeps its framing, so only --units (which inflates and checks CRCs)
// finds it.
TEST_F(TavCommandTest, DamagedUnitDataIsFoundOnlyWithUnits) {
  std::vector<uint8_t> bytes = sample_.bytes;
  const uint64_t middle = (sample_.layout.unit_offsets[1] + sample_.layout.unit_offsets[2]) / 2;
  bytes[middle] ^= 0x55;
  const RunResult plain = inspect_bytes(bytes);
  EXPECT_TRUE(plain.exited && plain.exit_status == 0) << describe(plain);
  const RunResult units = inspect_bytes(bytes, {"--units"});
  ASSERT_TRUE(units.exited) << describe(units);
  EXPECT_EQ(units.exit_status, 1);
  EXPECT_NE(units.err.find("unit 1 (location entry 1 of unit-info record 0)"), std::string::npos) << units.err;
}

TEST_F(TavCommandTest, UsageAndFileErrors) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* expect_out;
    const char* expect_err;
  };
  const std::string missing = dir_.file("no_such_volume.ego");
  const Case cases[] = {
      {"--help", {"--help"}, 0, "usage: tav COMMAND", ""},
      {"--version", {"--version"}, 0, "tav " TAV_VERSION_STRING, ""},
      {"inspect --help", {"inspect", "--help"}, 0, "usage: tav inspect FILE.ego", ""},
      {"no arguments", {}, 2, "", "usage: tav COMMAND"},
      {"unknown command", {"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
      {"unknown global option", {"--bogus"}, 2, "", "unknown option '--bogus'"},
      {"inspect without a file", {"inspect"}, 2, "", "no volume file given"},
      {"inspect with two files", {"inspect", "a.ego", "b.ego"}, 2, "", "exactly one volume file"},
      {"inspect unknown option", {"inspect", "--fast", "a.ego"}, 2, "", "unknown option '--fast'"},
      {"missing file", {"inspect", missing}, 1, "", "No such file or directory"},
      {"a directory", {"inspect", dir_.file(".")}, 1, "", "is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run_tav(dir_, c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, c.status) << describe(r);
    EXPECT_NE(r.out.find(c.expect_out), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find(c.expect_err), std::string::npos) << describe(r);
    if (c.status != 0) {
      EXPECT_NE(r.err, "");
    }
  }
  const RunResult r = run_tav(dir_, {"inspect", missing});
  EXPECT_EQ(r.err, "tav: " + missing + ": cannot open: No such file or directory\n");
}

}  // namespace
}  // namespace tav::cli_test
