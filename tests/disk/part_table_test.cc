// Reading partition tables: MBR and GPT images made by sfdisk, compared with sfdisk's own reading
// of them, and damaged copies, which must give an error naming the damage or the documented
// fallback (the backup GPT, "no table"), never a crash or an endless walk.
#include "disk/part_table.h"

#include <gtest/gtest.h>

#include <functional>

#include "disk/gpt_table.h"
#include "tests/disk/part_table_test_support.h"

namespace tav::disk {
namespace {

using test::SfdiskPart;
using test::SfdiskTable;
using test::TempDir;

class PartTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixtures_ = test::partitioned_fixture_dir();
    if (fixtures_.empty()) GTEST_SKIP() << "sfdisk or mkfs.fat is missing, or the fixture script failed";
    ASSERT_TRUE(work_.ok());
  }

  std::string fixture(const std::string& name) const { return fixtures_ + "/" + name; }
  std::string copy_of(const std::string& name) {
    const std::string to = work_.file(name);
    EXPECT_TRUE(test::copy_sparse(fixture(name), to));
    return to;
  }

  std::string fixtures_;
  TempDir work_;
};

bool is_extended_text(const std::string& type) { return type == "5" || type == "f" || type == "85"; }

// sfdisk lists primaries, then logicals; our table order puts the logicals right after the
// extended partition.
std::vector<SfdiskPart> in_table_order(const SfdiskTable& sf) {
  std::vector<SfdiskPart> out;
  for (const SfdiskPart& p : sf.parts) {
    if (sf.label == "dos" && p.number > 4) continue;
    out.push_back(p);
    if (sf.label == "dos" && is_extended_text(p.type)) {
      for (const SfdiskPart& l : sf.parts) {
        if (l.number > 4) out.push_back(l);
      }
    }
  }
  return out;
}

std::string hex_upper(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

// GUID bytes as stored, in the text form sfdisk prints.
std::string guid_text(const uint8_t* g) {
  const uint8_t order[16] = {g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6],
                             g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]};
  const std::string h = hex_upper(order, 16);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

// Our partitions against sfdisk's reading of `image`: order, extents, types, numbers, kinds.
void expect_matches_sfdisk(const _DISK_INFOMATION& disk, const std::string& image) {
  SfdiskTable sf;
  ASSERT_TRUE(test::sfdisk_dump(image, &sf)) << image;
  const std::vector<SfdiskPart> expected = in_table_order(sf);
  ASSERT_EQ(disk.parts.size(), expected.size());
  EXPECT_EQ(disk.table_kind, sf.label == "gpt" ? TableKind::kGpt : TableKind::kMbr);
  for (size_t i = 0; i < expected.size(); ++i) {
    const SfdiskPart& want = expected[i];
    const BACKUP_PARTITION_INFO& got = *disk.parts[i];
    SCOPED_TRACE("partition " + std::to_string(want.number));
    EXPECT_EQ(got.disk, &disk);
    EXPECT_EQ(got.index, i);
    EXPECT_EQ(part_number(got), want.number);
    EXPECT_EQ(got.dev_num, uint32_t(want.number));
    EXPECT_EQ(got.first_sector, want.start);
    EXPECT_EQ(got.sector_count, want.size);
    EXPECT_EQ(got.last_sector, want.start + want.size - 1);
    EXPECT_EQ(rec_u64(got, pl::kStartSector), want.start);
    EXPECT_EQ(rec_u64(got, pl::kSectorCount), want.size);
    EXPECT_EQ(rec_u32(got, pp::kTableKind), uint32_t(disk.table_kind));
    EXPECT_NE(got.ops, nullptr);
    EXPECT_NE(got.ops_fs, nullptr);
    if (sf.label == "dos") {
      EXPECT_EQ(part_type(got), std::stoul(want.type, nullptr, 16));
      EXPECT_EQ(part_is_bootable(got), want.bootable);
      EXPECT_EQ(part_is_logical(got), want.number > 4);
      EXPECT_EQ(part_is_extended(got), is_extended_text(want.type));
    } else {
      EXPECT_EQ(guid_text(&got.record[pp::kGptTypeGuid]), want.type);
      EXPECT_EQ(guid_text(&got.record[pp::kGptUniqueGuid]), want.uuid);
      EXPECT_EQ(rec_text(got, pp::kGptName, 72), want.name);
      EXPECT_EQ(part_flags(got), 0u);
      EXPECT_EQ(rec_u32(got, pp::kTableIndex), uint32_t(want.number - 1));
    }
  }
}

TEST_F(PartTableTest, MbrWithExtendedChainReadsAsSfdiskDoes) {
  const std::string image = fixture("mbr.img");
  Status st;
  auto disk = test::read_disk(image, &st);
  ASSERT_TRUE(st) << st.message();
  expect_matches_sfdisk(*disk, image);

  EXPECT_EQ(disk->ext_start, 18432u);
  EXPECT_EQ(disk->ext_length, 61440u);
  EXPECT_EQ(disk->ext_end, 18432u + 61440 - 1);
  EXPECT_EQ(disk->disk_signature, 0x12345678u);
  // Where each entry lives: primaries in slots of sector 0, logicals in entry 1 of their EBR
  // (sfdisk puts each EBR 2048 sectors before its logical partition).
  for (const auto& p : disk->parts) {
    SCOPED_TRACE(part_number(*p));
    if (part_is_logical(*p)) {
      EXPECT_EQ(rec_u64(*p, pp::kTableSector), p->first_sector - 2048);
      EXPECT_EQ(rec_u32(*p, pp::kTableIndex), 0u);
    } else {
      EXPECT_EQ(rec_u64(*p, pp::kTableSector), 0u);
      EXPECT_EQ(rec_u32(*p, pp::kTableIndex), uint32_t(part_number(*p) - 1));
    }
  }
  // Saved boot sectors: everything before the first partition, as the file holds it.
  ASSERT_EQ(disk->mbr_sectors(), 2048u);
  EXPECT_EQ(disk->mbr, test::read_at(image, 0, 2048 * kSectorSize));
}

TEST_F(PartTableTest, GptReadsAsSfdiskDoesWithTypesNamesAndFat32Hint) {
  const std::string image = fixture("gpt.img");
  Status st;
  auto disk = test::read_disk(image, &st);
  ASSERT_TRUE(st) << st.message();
  expect_matches_sfdisk(*disk, image);
  ASSERT_EQ(disk->parts.size(), 3u);
  EXPECT_EQ(part_type(*disk->parts[0]), 0xEF);
  EXPECT_EQ(part_type(*disk->parts[1]), 0x0C);  // basic data holding FAT32
  EXPECT_EQ(part_type(*disk->parts[2]), 0x83);
  EXPECT_EQ(rec_text(*disk->parts[1], pp::kGptName, 72), "Donn\xC3\xA9" "es");
  EXPECT_EQ(rec_u64(*disk->parts[1], pp::kTableSector), 2u);  // 128-byte entries from sector 2
  EXPECT_EQ(disk->ext_start, 0u);
  EXPECT_EQ(disk->mbr_sectors(), 2048u);
}

TEST_F(PartTableTest, SavedBootSectorsStopAtTheFirstPartition) {
  struct Case {
    const char* image;
    uint32_t saved_sectors;
    TableKind kind;
  };
  const Case cases[] = {
      {"mbr63.img", 63, TableKind::kMbr},
      {"superfloppy.img", 2048, TableKind::kNone},  // no partition: the first 2048 sectors
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    Status st;
    auto disk = test::read_disk(fixture(c.image), &st);
    ASSERT_TRUE(st) << st.message();
    EXPECT_EQ(disk->table_kind, c.kind);
    EXPECT_EQ(disk->mbr_sectors(), c.saved_sectors);
    EXPECT_EQ(disk->mbr, test::read_at(fixture(c.image), 0, size_t(c.saved_sectors) * kSectorSize));
  }
}

TEST_F(PartTableTest, ReadingNeverWritesAndLeavesTheDiskAsItFoundIt) {
  for (const char* name : {"mbr.img", "gpt.img", "mbr63.img", "superfloppy.img"}) {
    SCOPED_TRACE(name);
    const std::string image = copy_of(name);
    const uint64_t before = test::file_digest(image);
    auto disk = test::file_disk(image);
    ASSERT_TRUE(read_partition_table(disk.get()));
    EXPECT_EQ(disk->fd, -1);  // opened for the read only
    ASSERT_EQ(disk->ops->open(disk.get(), kOpenRead), 0);
    ASSERT_TRUE(read_partition_table(disk.get()));
    EXPECT_GE(disk->fd, 0);  // the caller's descriptor stays open
    EXPECT_EQ(disk->open_mode, kOpenRead);
    disk->ops->close(disk.get());
    EXPECT_EQ(test::file_digest(image), before);
  }
}

// A disk of 32768 sectors whose extended partition (from sector 2048) holds a chain of `links`
// EBRs two sectors apart, each followed by a one-sector logical partition.
bool make_long_chain(const std::string& path, uint32_t links) {
  const uint64_t ext_start = 2048;
  std::vector<uint8_t> disk(size_t(32768) * kSectorSize, 0);
  auto entry = [&](uint64_t sector, unsigned index, uint8_t type, uint32_t start, uint32_t count) {
    uint8_t* e = &disk[sector * kSectorSize + 446 + index * 16];
    e[4] = type;
    put_le32(e + 8, start);
    put_le32(e + 12, count);
    disk[sector * kSectorSize + 510] = 0x55;
    disk[sector * kSectorSize + 511] = 0xAA;
  };
  entry(0, 0, 0x0F, uint32_t(ext_start), 30000);
  for (uint32_t k = 0; k < links; ++k) {
    const uint64_t ebr = ext_start + 2 * k;
    entry(ebr, 0, 0x83, 1, 1);
    if (k + 1 < links) entry(ebr, 1, 0x05, 2 * (k + 1), 2);
  }
  return tav::sysutil_test::make_file(path, std::string(disk.begin(), disk.end()));
}

struct ReadCase {
  const char* name;
  const char* image;                                   // fixture copied before the patch
  std::function<bool(const std::string& path)> patch;  // null: the fixture as it is
  const char* error;  // text the error must contain; null when the read succeeds
  TableKind kind = TableKind::kNone;
  int parts = -1;  // partitions expected on success; -1: as sfdisk reads the unpatched fixture
  std::function<void(const _DISK_INFOMATION&)> check = nullptr;
};

constexpr uint64_t kEbr1 = 18432 * 512, kEbr2 = 28672 * 512, kEbr3 = 38912 * 512;
constexpr uint64_t kSlot = 446;  // first MBR entry; each 16 bytes: boot, type at +4, start +8, count +12

bool flip(const std::string& path, uint64_t offset) {
  std::vector<uint8_t> b = test::read_at(path, offset, 1);
  if (b.empty()) return false;
  b[0] ^= 0x5A;
  return test::patch_file(path, offset, b);
}

uint64_t backup_lba(const std::string& path) { return test::file_sectors(path) - 1; }

// Patches the same entry field in both GPT copies and reseals them.
bool patch_both_gpt_entries(const std::string& path, unsigned entry, size_t field, uint64_t value) {
  const uint64_t backup = backup_lba(path);
  const uint64_t backup_entries = get_le64(test::read_at(path, backup * 512 + 72, 8).data());
  for (uint64_t array : {uint64_t(2), backup_entries}) {
    std::vector<uint8_t> v(8);
    put_le64(v.data(), value);
    if (!test::patch_file(path, array * 512 + entry * 128 + field, v)) return false;
  }
  return test::reseal_gpt(path, 1, true) && test::reseal_gpt(path, backup, true);
}

TEST_F(PartTableTest, DamagedTablesGiveErrorsOrFallBack) {
  using test::put32_at;
  using test::patch_file;
  const ReadCase cases[] = {
      // MBR damage.
      {"primary entry beyond the end of the disk", "mbr.img",
       [](const std::string& p) { return put32_at(p, kSlot + 3 * 16 + 12, 0x00100000); }, "beyond the end of the disk"},
      {"overlapping primaries", "mbr.img", [](const std::string& p) { return put32_at(p, kSlot + 16 + 8, 6144); },
       "overlaps"},
      {"EBR chain that loops to itself", "mbr.img",
       [](const std::string& p) { return put32_at(p, kEbr1 + kSlot + 16 + 8, 0); }, "loops back to sector 18432"},
      {"EBR chain that loops back to an earlier record", "mbr.img",
       [](const std::string& p) {
         return patch_file(p, kEbr3 + kSlot + 16 + 4, {0x05}) && put32_at(p, kEbr3 + kSlot + 16 + 8, 10240) &&
                put32_at(p, kEbr3 + kSlot + 16 + 12, 10240);
       },
       "loops back to sector 28672"},
      {"EBR chain of 10000 links", "mbr.img", [](const std::string& p) { return make_long_chain(p, 10000); },
       "runs past"},
      {"logical partition beyond the extended partition", "mbr.img",
       [](const std::string& p) { return put32_at(p, kEbr1 + kSlot + 12, 100000); }, "outside the extended partition"},
      {"EBR link with a data type", "mbr.img", [](const std::string& p) { return patch_file(p, kEbr1 + kSlot + 16 + 4, {0x83}); },
       "not an extended type"},
      {"second EBR without boot signature", "mbr.img", [](const std::string& p) { return patch_file(p, kEbr2 + 510, {0, 0}); },
       "no boot signature"},
      {"two extended partitions", "mbr.img",
       [](const std::string& p) { return patch_file(p, kSlot + 3 * 16 + 4, {0x05}); }, "two extended partitions"},
      {"MBR image cut short", "mbr.img", [](const std::string& p) { return ::truncate(p.c_str(), 40 << 20) == 0; },
       "beyond the end of the disk"},
      // MBR fallbacks: no table, or an extended partition without logical ones.
      {"file shorter than a sector", "mbr.img", [](const std::string& p) { return ::truncate(p.c_str(), 100) == 0; },
       nullptr, TableKind::kNone, 0},
      {"no boot signature", "mbr.img", [](const std::string& p) { return patch_file(p, 510, {0, 0}); }, nullptr,
       TableKind::kNone, 0},
      {"boot indicator neither 0 nor 0x80", "mbr.img", [](const std::string& p) { return patch_file(p, kSlot, {0x12}); },
       nullptr, TableKind::kNone, 0},
      {"file system over the whole disk", "superfloppy.img", nullptr, nullptr, TableKind::kNone, 0},
      {"extended partition whose first EBR is blank", "mbr.img",
       [](const std::string& p) { return patch_file(p, kEbr1, std::vector<uint8_t>(512, 0)); }, nullptr,
       TableKind::kMbr, 4,
       [](const _DISK_INFOMATION& d) {
         EXPECT_EQ(d.ext_start, 18432u);
         for (const auto& part : d.parts) EXPECT_FALSE(part_is_logical(*part));
       }},
      // GPT damage and the backup copy.
      {"primary GPT header CRC wrong: backup used", "gpt.img", [](const std::string& p) { return flip(p, 512 + 16); },
       nullptr, TableKind::kGpt},
      {"primary entry array CRC wrong: backup used", "gpt.img",
       [](const std::string& p) { return flip(p, 2 * 512 + 128 + 56); }, nullptr, TableKind::kGpt},
      {"primary entry count 2^31: backup used", "gpt.img",
       [](const std::string& p) { return put32_at(p, 512 + 80, 0x80000000u) && test::reseal_gpt(p, 1, false); },
       nullptr, TableKind::kGpt},
      {"both GPT header CRCs wrong", "gpt.img",
       [](const std::string& p) { return flip(p, 512 + 16) && flip(p, backup_lba(p) * 512 + 16); }, "GPT is damaged"},
      {"entry count 2^31 in both copies", "gpt.img",
       [](const std::string& p) {
         const uint64_t b = backup_lba(p) * 512;
         return put32_at(p, 512 + 80, 0x80000000u) && put32_at(p, b + 80, 0x80000000u) &&
                test::reseal_gpt(p, 1, false) && test::reseal_gpt(p, backup_lba(p), false);
       },
       "entry count 2147483648"},
      {"entry size below 128 in both copies", "gpt.img",
       [](const std::string& p) {
         const uint64_t b = backup_lba(p) * 512;
         return put32_at(p, 512 + 84, 64) && put32_at(p, b + 84, 64) && test::reseal_gpt(p, 1, false) &&
                test::reseal_gpt(p, backup_lba(p), false);
       },
       "entry size 64"},
      {"GPT entry beyond the end of the disk", "gpt.img",
       [](const std::string& p) { return patch_both_gpt_entries(p, 2, 40, test::file_sectors(p) + 10); },
       "beyond the end of the disk"},
      {"GPT entries overlap", "gpt.img", [](const std::string& p) { return patch_both_gpt_entries(p, 1, 32, 9000); },
       "overlaps"},
      {"GPT entry that ends before it starts", "gpt.img",
       [](const std::string& p) { return patch_both_gpt_entries(p, 0, 40, 100); }, "before it starts"},
      {"GPT image cut short", "gpt.img", [](const std::string& p) { return ::truncate(p.c_str(), 40 << 20) == 0; },
       "GPT is damaged"},
      {"basic data without FAT32", "gpt.img", [](const std::string& p) { return patch_file(p, 10240 * 512 + 82, {0}); },
       nullptr, TableKind::kGpt, 3, [](const _DISK_INFOMATION& d) { EXPECT_EQ(part_type(*d.parts[1]), 0x07); }},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = copy_of(c.image);
    if (c.patch) {
      ASSERT_TRUE(c.patch(image));
    }
    auto disk = test::file_disk(image);
    ASSERT_NE(disk, nullptr);
    test::add_file_partition(disk.get(), 1, 1, 0x83);  // stale object: must not survive the read
    const Status st = read_partition_table(disk.get());
    if (c.error != nullptr) {
      EXPECT_FALSE(st);
      EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
      EXPECT_NE(st.message().find(image), std::string::npos) << "the error names the disk: " << st.message();
      EXPECT_TRUE(disk->parts.empty());
      continue;
    }
    ASSERT_TRUE(st) << st.message();
    EXPECT_EQ(disk->table_kind, c.kind);
    if (c.parts >= 0) {
      EXPECT_EQ(disk->parts.size(), size_t(c.parts));
    } else {
      expect_matches_sfdisk(*disk, fixture(c.image));
    }
    if (c.check) c.check(*disk);
  }
}

TEST(GptTypeMapTest, KnownGuidsMapToTheirMbrTypes) {
  struct Case {
    const char* guid;
    bool fat32;
    uint8_t type;
  };
  const Case cases[] = {
      {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", false, 0xEF},
      {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", false, 0x07},
      {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", true, 0x0C},
      {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", false, 0x83},
      {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", false, 0x82},
      {"E6D6D379-F507-44C2-A23C-238F2A3DF928", false, 0x8E},
      {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", true, 0xDA},   // reserved: no file system
      {"00000000-0000-0000-0000-000000000001", false, 0xDA},  // unknown
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.guid);
    const auto guid = gpt::guid_from_text(c.guid);
    EXPECT_EQ(guid_text(guid.data()), c.guid);
    EXPECT_EQ(mbr_type_for_gpt_guid(guid.data(), c.fat32), c.type);
  }
}

}  // namespace
}  // namespace tav::disk
