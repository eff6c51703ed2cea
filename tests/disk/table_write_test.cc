// MBR writes of restore: a whole layout written to a blank image and read back by sfdisk and by
// us, refused layouts that leave the disk untouched, a stale GPT cleared, and the single-entry
// operations (clear and write back, boot code, active flag, shrink) on sfdisk-made images.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "disk/disk_channel.h"
#include "disk/mbr_table.h"
#include "disk/part_table.h"
#include "tests/disk/part_table_test_support.h"

namespace tav::disk {
namespace {

using test::SfdiskTable;
using test::TempDir;

constexpr uint32_t kLayoutSectors = 131072;  // 64 MiB

class TableWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixtures_ = test::partitioned_fixture_dir();
    if (fixtures_.empty()) GTEST_SKIP() << "sfdisk or mkfs.fat is missing, or the fixture script failed";
    ASSERT_TRUE(work_.ok());
    message_[0] = 0;
    error_flag_ = 1;  // keep reports out of message boxes; the text still lands in message_
    libtavdisk_set_thread_gui(nullptr, message_, &error_flag_);
    error_flag_ = 1;
  }
  void TearDown() override { libtavdisk_set_thread_gui(nullptr, nullptr, nullptr); }

  std::string copy_of(const std::string& name) {
    const std::string to = work_.file(name);
    EXPECT_TRUE(test::copy_sparse(fixtures_ + "/" + name, to));
    return to;
  }

  // A blank image whose sector 0 holds boot code and disk signature 0xAABBCCDD but no table.
  std::string blank_image() {
    const std::string path = work_.file("blank.img");
    EXPECT_TRUE(tav::sysutil_test::make_file(path, ""));
    EXPECT_EQ(::truncate(path.c_str(), off_t(kLayoutSectors) * kSectorSize), 0);
    std::vector<uint8_t> code(mbr::kBootCodeBytes);
    for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 7 + 1);
    put_le32(&code[mbr::kDiskSignatureOffset], 0xAABBCCDD);
    EXPECT_TRUE(test::patch_file(path, 0, code));
    return path;
  }

  std::unique_ptr<_DISK_INFOMATION> read_ok(const std::string& path) {
    Status st;
    auto disk = test::read_disk(path, &st);
    EXPECT_TRUE(st) << st.message();
    return disk;
  }

  std::string message() const { return message_; }

  std::string fixtures_;
  TempDir work_;
  char message_[kMessageBufferBytes];
  int32_t error_flag_ = 1;
};

// A planned layout over `dest`, as the restore wizard builds one.
struct Layout {
  explicit Layout(_DISK_INFOMATION* dest) {
    disk.disk_type = DEVICE_RESTORE;
    disk.made_from = dest;
    disk.path = dest->path;
    disk.heads = dest->heads;
    disk.sectors_per_track = dest->sectors_per_track;
    disk.sectors_per_cylinder = dest->sectors_per_cylinder;
    disk.total_sectors = dest->total_sectors;
    disk.ops = dest->ops;
  }
  BACKUP_PARTITION_INFO* add(uint64_t start, uint64_t count, uint8_t type, int32_t number, uint32_t flags = 0,
                             uint8_t boot = 0) {
    BACKUP_PARTITION_INFO* p = test::add_file_partition(&disk, start, count, type);
    set_rec_u32(*p, pl::kPartNumber, uint32_t(number));
    set_rec_u32(*p, pl::kPartFlags, flags);
    set_rec_u8(*p, pl::kBootFlag, boot);
    return p;
  }
  _DISK_INFOMATION disk;
};

// Writes `layout` to its destination, opened for writing as the restore worker does.
int write_layout(Layout& layout) {
  _DISK_INFOMATION* dest = layout.disk.made_from;
  if (dest->ops->open(dest, kOpenWrite) < 0) return -2;
  const int rc = tav_table_write(&layout.disk);
  dest->ops->close(dest);
  return rc;
}

TEST_F(TableWriteTest, LayoutReadsBackThroughSfdiskAndOurReader) {
  const std::string image = blank_image();
  auto dest = test::file_disk(image);
  Layout layout(dest.get());
  // Every partition one track (63 sectors) after the previous one, as the match layout places them.
  layout.add(63, 16002, 0x83, 1, 0, 0x80);
  layout.add(16065, 16065, 0x07, 2);
  layout.add(32130, 64260, 0x0F, 3, kPartFlagExtended);
  layout.add(32193, 16002, 0x83, 5, kPartFlagLogical);
  layout.add(48258, 16002, 0x82, 6, kPartFlagLogical);
  layout.add(64323, 32067, 0x0C, 7, kPartFlagLogical);
  layout.add(96390, 20000, 0x83, 4);
  ASSERT_GE(write_layout(layout), 0) << message();

  SfdiskTable sf;
  ASSERT_TRUE(test::sfdisk_dump(image, &sf));
  EXPECT_EQ(sf.label, "dos");
  EXPECT_EQ(sf.label_id, "0xaabbccdd");  // the disk signature of sector 0 is kept
  ASSERT_EQ(sf.parts.size(), 7u);
  for (const auto& want : layout.disk.parts) {
    const int32_t number = part_number(*want);
    SCOPED_TRACE(number);
    auto got = std::find_if(sf.parts.begin(), sf.parts.end(), [&](const test::SfdiskPart& p) { return p.number == number; });
    ASSERT_NE(got, sf.parts.end());
    EXPECT_EQ(got->start, want->first_sector);
    EXPECT_EQ(got->size, want->sector_count);
    EXPECT_EQ(std::stoul(got->type, nullptr, 16), part_type(*want));
    EXPECT_EQ(got->bootable, part_is_bootable(*want));
  }

  auto disk = read_ok(image);
  ASSERT_EQ(disk->parts.size(), 7u);
  EXPECT_EQ(disk->ext_start, 32130u);
  EXPECT_EQ(disk->disk_signature, 0xAABBCCDDu);
  // Table order: 1, 2, 3 with its logicals 5, 6, 7, then 4. Each EBR one track before its
  // logical partition; the first one at the start of the extended partition.
  const int32_t order[] = {1, 2, 3, 5, 6, 7, 4};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(part_number(*disk->parts[i]), order[i]);
  for (const auto& p : disk->parts) {
    if (part_is_logical(*p)) {
      EXPECT_EQ(rec_u64(*p, pp::kTableSector), p->first_sector - 63);
    }
  }
  // The last EBR ends the chain; the boot code before the table is untouched.
  EXPECT_EQ(test::read_at(image, 64260 * 512 + 462, 16), std::vector<uint8_t>(16, 0));
  const std::vector<uint8_t> sector0 = test::read_at(image, 0, 512);
  for (size_t i = 0; i < 440; ++i) ASSERT_EQ(sector0[i], uint8_t(i * 7 + 1)) << i;
}

TEST(MbrChsTest, ChsFieldsFollowTheGeometry) {
  struct Case {
    uint64_t sector;
    uint32_t heads, sectors_per_track;
    std::array<uint8_t, 3> chs;
  };
  const Case cases[] = {
      {0, 255, 63, {0, 1, 0}},
      {63, 255, 63, {1, 1, 0}},
      {16065, 255, 63, {0, 1, 1}},                      // cylinder 1
      {300 * 16065 + 2 * 63 + 5, 255, 63, {2, 0x46, 0x2C}},  // cylinder 300: bits 8-9 in the sector byte
      {1023 * 16065 + 16064, 255, 63, {254, 0xFF, 0xFF}},    // last CHS-addressable sector
      {1024 * 16065, 255, 63, {0xFE, 0xFF, 0xFF}},           // beyond cylinder 1023
      {2 * 32 + 3, 16, 32, {2, 4, 0}},
      {63, 0, 0, {1, 1, 0}},  // no geometry: 255 heads, 63 sectors
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sector);
    EXPECT_EQ(mbr::chs_for_sector(c.sector, {c.heads, c.sectors_per_track}), c.chs);
  }
}

TEST_F(TableWriteTest, RefusedLayoutsLeaveTheDiskUntouched) {
  struct Case {
    const char* name;
    std::function<void(Layout&)> build;
    const char* message;
  };
  const Case cases[] = {
      {"five primary entries",
       [](Layout& l) {
         for (int i = 0; i < 5; ++i) l.add(2048 + uint64_t(i) * 4096, 4096, 0x83, i + 1);
       },
       "primary entries"},
      {"overlapping partitions",
       [](Layout& l) {
         l.add(2048, 8192, 0x83, 1);
         l.add(8192, 8192, 0x83, 2);
       },
       "overlaps"},
      {"partition beyond the disk", [](Layout& l) { l.add(2048, kLayoutSectors, 0x83, 1); }, "does not fit the disk"},
      {"partition at sector 0", [](Layout& l) { l.add(0, 2048, 0x83, 1); }, "sector 0"},
      {"logical partition outside the extended one",
       [](Layout& l) {
         l.add(2048, 8192, 0x0F, 1, kPartFlagExtended);
         l.add(8192, 8192, 0x83, 5, kPartFlagLogical);
       },
       "inside the extended partition"},
      {"logical partitions without an extended one", [](Layout& l) { l.add(2048, 8192, 0x83, 5, kPartFlagLogical); },
       "no extended partition"},
      {"logical partitions with no room for a boot record",
       [](Layout& l) {
         l.add(2048, 20480, 0x0F, 1, kPartFlagExtended);
         l.add(2111, 4096, 0x83, 5, kPartFlagLogical);
         l.add(6207, 4096, 0x83, 6, kPartFlagLogical);  // right after partition 5
       },
       "no room"},
      {"layout of a GPT disk",
       [](Layout& l) {
         BACKUP_PARTITION_INFO* p = l.add(2048, 8192, 0x07, 1);
         set_rec_u32(*p, pp::kTableKind, uint32_t(TableKind::kGpt));
       },
       "writing a GPT partition layout is not supported yet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = blank_image();
    const uint64_t before = test::file_digest(image);
    auto dest = test::file_disk(image);
    Layout layout(dest.get());
    c.build(layout);
    message_[0] = 0;
    EXPECT_EQ(write_layout(layout), -1);
    EXPECT_NE(message().find(c.message), std::string::npos) << message();
    EXPECT_EQ(test::file_digest(image), before);
  }
}

TEST_F(TableWriteTest, MbrLayoutOverAGptClearsBothGptHeaders) {
  const std::string image = copy_of("gpt.img");
  auto dest = test::file_disk(image);
  const uint64_t last = dest->total_sectors - 1;
  Layout layout(dest.get());
  layout.add(2048, 8192, 0xEF, 1);
  layout.add(10240, 69632, 0x0C, 2);
  ASSERT_GE(write_layout(layout), 0) << message();

  for (uint64_t sector : {uint64_t(1), last}) {
    EXPECT_NE(std::memcmp(test::read_at(image, sector * 512, 8).data(), "EFI PART", 8), 0) << sector;
  }
  SfdiskTable sf;
  ASSERT_TRUE(test::sfdisk_dump(image, &sf));
  EXPECT_EQ(sf.label, "dos");
  auto disk = read_ok(image);
  EXPECT_EQ(disk->table_kind, TableKind::kMbr);
  EXPECT_EQ(disk->parts.size(), 2u);
}

BACKUP_PARTITION_INFO* by_number(_DISK_INFOMATION& disk, int32_t number) {
  for (const auto& p : disk.parts) {
    if (part_number(*p) == number) return p.get();
  }
  return nullptr;
}

TEST_F(TableWriteTest, ClearedEntryWrittenBackRestoresTheDiskByteForByte) {
  struct Case {
    const char* image;
    int32_t number;
    bool table_changes;
  };
  const Case cases[] = {
      {"mbr.img", 2, true},   // primary
      {"mbr.img", 6, true},   // logical: entry 1 of its EBR, the chain stays
      {"mbr.img", 3, true},   // the extended partition itself
      {"gpt.img", 2, false},  // GPT: nothing is cleared, sector 0 is handed back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " partition " + std::to_string(c.number));
    const std::string image = copy_of(c.image);
    const uint64_t before = test::file_digest(image);
    auto disk = read_ok(image);
    BACKUP_PARTITION_INFO* part = by_number(*disk, c.number);
    ASSERT_NE(part, nullptr);
    const uint64_t start = part->first_sector;
    const size_t count_before = disk->parts.size();

    uint8_t saved[512];
    uint64_t sector = 99;
    ASSERT_EQ(disk->ops->open(disk.get(), kOpenWrite), 0);
    ASSERT_GE(tav_clear_part_entry(part, saved, &sector), 0) << message();
    disk->ops->close(disk.get());
    EXPECT_EQ(std::vector<uint8_t>(saved, saved + 512), test::read_at(fixtures_ + "/" + c.image, sector * 512, 512));

    auto after = read_ok(image);
    if (c.table_changes) {
      EXPECT_LT(after->parts.size(), count_before);
      for (const auto& p : after->parts) EXPECT_NE(p->first_sector, start);
      ASSERT_TRUE(test::patch_file(image, sector * 512, std::vector<uint8_t>(saved, saved + 512)));
    } else {
      EXPECT_EQ(sector, 0u);
    }
    EXPECT_EQ(test::file_digest(image), before);
  }
}

TEST_F(TableWriteTest, EntryOperationsRefuseAStaleObject) {
  const std::string image = copy_of("mbr.img");
  const uint64_t before = test::file_digest(image);
  auto disk = read_ok(image);
  BACKUP_PARTITION_INFO* part = by_number(*disk, 2);
  set_part_extent(*part, part->first_sector + 1, part->sector_count);  // the table no longer says so
  BACKUP_PARTITION_INFO smaller = *part;
  set_part_extent(smaller, part->first_sector, 100);
  uint8_t saved[512];
  uint64_t sector = 0;
  EXPECT_EQ(tav_clear_part_entry(part, saved, &sector), -1);
  EXPECT_NE(message().find("no longer matches"), std::string::npos) << message();
  EXPECT_EQ(tav_restore_set_partition_bootable(part), -1);
  EXPECT_EQ(tav_shrink_unknow_partition_for_restore(part, &smaller), -1);
  EXPECT_EQ(test::file_digest(image), before);
}

// Saved boot sectors of an image disk: a recognisable pattern, with a table of its own that must
// not reach the destination.
std::vector<uint8_t> saved_boot_sectors(uint32_t sectors, bool from_gpt) {
  std::vector<uint8_t> saved(size_t(sectors) * kSectorSize);
  for (size_t i = 0; i < saved.size(); ++i) saved[i] = uint8_t(i * 13 + 5);
  saved[446 + 4] = from_gpt ? mbr::kTypeGptProtective : 0x83;
  saved[510] = 0x55;
  saved[511] = 0xAA;
  return saved;
}

TEST_F(TableWriteTest, RestoredBootCodeKeepsTheDestinationTable) {
  struct Case {
    const char* name;
    const char* image;
    uint32_t sectors;
    bool from_gpt;
    uint32_t expect_written;  // sectors of `saved` that must land; 0: refused
  };
  const Case cases[] = {
      {"MBR source, sectors fit before the first partition", "mbr.img", 16, false, 16},
      {"MBR source, sectors reach into the first partition", "mbr63.img", 100, false, 1},
      {"GPT source: only the boot code", "mbr.img", 16, true, 1},
      {"GPT destination", "gpt.img", 16, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = copy_of(c.image);
    const std::vector<uint8_t> original = test::read_at(image, 0, 128 * 512);
    auto disk = read_ok(image);
    const std::vector<uint8_t> saved = saved_boot_sectors(c.sectors, c.from_gpt);
    const int rc = tav_restore_mbr(disk->parts[0].get(), saved.data(), c.sectors);
    const std::vector<uint8_t> now = test::read_at(image, 0, 128 * 512);
    if (c.expect_written == 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(now, original);
      continue;
    }
    ASSERT_GE(rc, 0) << message();
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 446, saved.begin()));
    EXPECT_TRUE(std::equal(now.begin() + 446, now.begin() + 512, original.begin() + 446));  // table kept
    const size_t written_end = size_t(c.expect_written) * 512;
    EXPECT_TRUE(std::equal(now.begin() + 512, now.begin() + written_end, saved.begin() + 512));
    EXPECT_TRUE(std::equal(now.begin() + written_end, now.end(), original.begin() + written_end));
  }
}

TEST_F(TableWriteTest, ActiveFlagMovesToTheChosenPrimary) {
  const std::string image = copy_of("mbr.img");
  auto disk = read_ok(image);
  ASSERT_GE(tav_restore_set_partition_bootable(by_number(*disk, 4)), 0) << message();
  SfdiskTable sf;
  ASSERT_TRUE(test::sfdisk_dump(image, &sf));
  for (const auto& p : sf.parts) EXPECT_EQ(p.bootable, p.number == 4) << p.number;
  EXPECT_FALSE(part_is_bootable(*by_number(*disk, 1)));
  EXPECT_TRUE(part_is_bootable(*by_number(*disk, 4)));

  const uint64_t before = test::file_digest(image);
  EXPECT_EQ(tav_restore_set_partition_bootable(by_number(*disk, 5)), -1);  // logical
  EXPECT_EQ(tav_restore_set_partition_bootable(by_number(*disk, 3)), -1);  // extended
  auto gpt = read_ok(copy_of("gpt.img"));
  EXPECT_EQ(tav_restore_set_partition_bootable(gpt->parts[0].get()), -1);
  EXPECT_NE(message().find("GPT"), std::string::npos) << message();
  EXPECT_EQ(test::file_digest(image), before);
}

TEST_F(TableWriteTest, UnknownPartitionEntryShrinksToTheImageSize) {
  const std::string image = copy_of("mbr.img");
  auto disk = read_ok(image);
  struct Case {
    int32_t number;
    uint64_t image_sectors;
  };
  for (const Case& c : {Case{2, 4096}, Case{6, 2048}}) {
    SCOPED_TRACE(c.number);
    BACKUP_PARTITION_INFO* dest = by_number(*disk, c.number);
    BACKUP_PARTITION_INFO source;
    set_part_extent(source, 0, c.image_sectors);
    ASSERT_GE(tav_shrink_unknow_partition_for_restore(dest, &source), 0) << message();
    EXPECT_EQ(dest->sector_count, c.image_sectors);
    EXPECT_EQ(dest->last_sector, dest->first_sector + c.image_sectors - 1);
    EXPECT_EQ(rec_u64(*dest, pl::kSectorCount), c.image_sectors);
  }
  SfdiskTable sf;
  ASSERT_TRUE(test::sfdisk_dump(image, &sf));
  for (const auto& p : sf.parts) {
    if (p.number == 2 || p.number == 6) {
      EXPECT_EQ(p.size, p.number == 2 ? 4096u : 2048u);
    }
  }

  const uint64_t before = test::file_digest(image);
  BACKUP_PARTITION_INFO larger;
  set_part_extent(larger, 0, 1u << 20);
  EXPECT_EQ(tav_shrink_unknow_partition_for_restore(by_number(*disk, 1), &larger), -1);
  auto gpt = read_ok(copy_of("gpt.img"));
  BACKUP_PARTITION_INFO small;
  set_part_extent(small, 0, 16);
  EXPECT_EQ(tav_shrink_unknow_partition_for_restore(gpt->parts[0].get(), &small), -1);
  EXPECT_EQ(test::file_digest(image), before);
}

}  // namespace
}  // namespace tav::disk
