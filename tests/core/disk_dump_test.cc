// Tests of the raw sector dump, with a small image file standing in for a disk.
#include "core/disk_dump.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/sector.h"
#include "core/trace.h"
#include "tests/core/trace_test_support.h"

namespace {

using tav::test_support::read_bytes;
using tav::test_support::write_bytes;

constexpr uint64_t kDiskSectors = 64;

// Every sector of the image is different: byte j of sector i is (i * 7 + j) & 0xFF.
std::string sector_pattern(uint64_t first_sector, uint64_t count) {
  std::string bytes;
  for (uint64_t i = first_sector; i < first_sector + count; ++i) {
    for (size_t j = 0; j < tav::kSectorSize; ++j) bytes.push_back(static_cast<char>((i * 7 + j) & 0xFF));
  }
  return bytes;
}

class DiskDumpTest : public tav::test_support::TraceHomeTest {
 protected:
  void SetUp() override {
    TraceHomeTest::SetUp();
    configure("[Trace]\nMode=0\n");
    disk_ = home_ + "disk.img";
    write_bytes(disk_, sector_pattern(0, kDiskSectors));
  }

  std::string dump_path(const std::string& name) const { return home_ + "Dump/" + name + ".dat"; }

  std::string disk_;
};

TEST_F(DiskDumpTest, CopiesTheRangeOrWhatExistsOfIt) {
  struct Case {
    const char* name;
    uint64_t first_sector;
    uint64_t count;
    int result;
    uint64_t sectors_in_file;
    std::string trace;  // the trace line of a failure, without the disk path
  } cases[] = {
      {"whole disk", 0, kDiskSectors, 1, kDiskSectors, ""},
      {"middle", 10, 5, 1, 5, ""},
      {"last sector", kDiskSectors - 1, 1, 1, 1, ""},
      {"nothing", 3, 0, 1, 0, ""},
      {"runs past the end", 60, 10, 0, 4, "Failed to read 64 sector of disk "},
      {"starts at the end", kDiskSectors, 1, 0, 0, "Failed to read 64 sector of disk "},
      {"more than one read", 0, 5000, 0, kDiskSectors, "Failed to read 64 sector of disk "},
      {"offset beyond any device", 1ull << 60, 1, 0, 0, "Failed to seek disk "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav::trace_reload();
    tav::set_last_error(0);
    EXPECT_EQ(tav::dump_disk("sectors", disk_.c_str(), c.first_sector, c.count), c.result);
    std::vector<std::string> lines = trace_lines();
    if (c.result == 1) {
      EXPECT_EQ(read_bytes(dump_path("sectors")), sector_pattern(c.first_sector, c.sectors_in_file));
      EXPECT_TRUE(lines.empty());
      continue;
    }
    EXPECT_NE(tav::get_last_error(), 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("Err=0x")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(c.trace + disk_)) << lines[0];
    if (c.sectors_in_file > 0) {
      EXPECT_EQ(read_bytes(dump_path("sectors")), sector_pattern(c.first_sector, c.sectors_in_file));
    }
  }
}

TEST_F(DiskDumpTest, DeviceEndingInsideASectorFailsAtThatSector) {
  write_bytes(disk_, sector_pattern(0, 4) + std::string(100, 'x'));
  EXPECT_EQ(tav::dump_disk("partial", disk_.c_str(), 2, 3), 0);
  EXPECT_EQ(read_bytes(dump_path("partial")), sector_pattern(2, 2));
  std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("Failed to read 4 sector of disk " + disk_)) << lines[0];
}

TEST_F(DiskDumpTest, OlderDumpIsReplaced) {
  ASSERT_EQ(tav::dump_disk("again", disk_.c_str(), 0, 8), 1);
  ASSERT_EQ(tav::dump_disk("again", disk_.c_str(), 5, 1), 1);
  EXPECT_EQ(read_bytes(dump_path("again")), sector_pattern(5, 1));
}

TEST_F(DiskDumpTest, RefusesNamesThatLeaveTheDumpDirectoryAndMissingDisks) {
  struct Case {
    const char* name;
    const char* dump_name;
    std::string device;
    uint32_t error;
    std::string trace;
  } cases[] = {
      {"parent directory", "../escaped", disk_, EINVAL, "Failed to create disk dump file ../escaped"},
      {"path", "a/b", disk_, EINVAL, "Failed to create disk dump file a/b"},
      {"empty name", "", disk_, EINVAL, "Failed to create disk dump file "},
      {"dot dot", "..", disk_, EINVAL, "Failed to create disk dump file .."},
      {"missing disk", "ok", home_ + "no-such-disk", ENOENT, "Failed to open disk " + home_ + "no-such-disk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav::trace_reload();
    EXPECT_EQ(tav::dump_disk(c.dump_name, c.device.c_str(), 0, 1), 0);
    EXPECT_EQ(tav::get_last_error(), c.error);
    std::vector<std::string> lines = trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(c.trace)) << lines[0];
  }
  EXPECT_FALSE(read_bytes(home_ + "escaped.dat").has_value());
}

TEST_F(DiskDumpTest, DumpOverTheDiskItReadsIsRefusedAndLeavesTheDisk) {
  std::string inside_dump = home_ + "Dump/self.dat";
  ASSERT_EQ(tav::dump_disk("seed", disk_.c_str(), 0, 0), 1);  // creates Dump/
  write_bytes(inside_dump, sector_pattern(0, 4));
  EXPECT_EQ(tav::dump_disk("self", inside_dump.c_str(), 0, 4), 0);
  EXPECT_EQ(read_bytes(inside_dump), sector_pattern(0, 4));
}

std::string g_resolved_disk;

std::string test_resolver(int disk_number) { return disk_number == 3 ? g_resolved_disk : std::string(); }

TEST_F(DiskDumpTest, DiskNumberGoesThroughTheRegisteredResolver) {
  tav::set_disk_path_resolver(nullptr);
  EXPECT_EQ(TavDumpDisk("numbered", 3, 0, 1), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ENODEV));

  g_resolved_disk = disk_;
  tav::set_disk_path_resolver(&test_resolver);
  EXPECT_EQ(TavDumpDisk("numbered", 7, 0, 1), 0);
  EXPECT_EQ(TavDumpDisk("numbered", 3, 20, 2), 1);
  tav::set_disk_path_resolver(nullptr);
  EXPECT_EQ(read_bytes(dump_path("numbered")), sector_pattern(20, 2));

  std::vector<std::string> lines = trace_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with("Failed to open disk3")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("Failed to open disk7")) << lines[1];
}

}  // namespace
