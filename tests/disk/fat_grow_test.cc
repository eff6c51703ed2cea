// Growing FAT volumes in place: volumes made by mkfs.fat and filled by mtools
// (tests/disk/fixtures/make_fat.sh: nested directories, long names, a fragmented file) grown on
// image files and checked with fsck.fat and mtools; refusals that leave the volume untouched;
// and grows cut short by a failing write, which must never leave a volume that looks valid.
#include "disk/fat_grow.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/engine_report.h"
#include "disk/disk_channel.h"
#include "disk/fat_reader.h"
#include "disk/fs_copy.h"
#include "disk/fs_registry.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using fat::FatKind;
using test::add_file_partition;
using test::file_bytes;
using test::file_disk;
using test::TempDir;

int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

const test::FixtureFiles& fat_fixture() {
  return test::fixture_files("make_fat.sh",
                             {"mkfs.fat", "fsck.fat", "mcopy", "mmd", "mdel", "mshowfat", "sfdisk", "awk", "od"});
}

// What fsck.fat -n says of a plain volume file: its exit status and "USED/TOTAL clusters".
struct FsckFigures {
  int status = -1;
  uint64_t used = 0;
  uint64_t total = 0;
  uint64_t free() const { return total - used; }
};

FsckFigures fsck(const std::string& volume) {
  FsckFigures f;
  const std::string out = volume + ".fsck.txt";
  f.status = shell("fsck.fat -n " + q(volume) + " > " + q(out) + " 2>&1");
  FILE* in = std::fopen(out.c_str(), "r");
  if (in == nullptr) return f;
  char line[512];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    const char* comma = std::strstr(line, " files, ");
    unsigned long long used = 0, total = 0;
    if (comma != nullptr && std::sscanf(comma, " files, %llu/%llu clusters", &used, &total) == 2) {
      f.used = used;
      f.total = total;
    }
  }
  std::fclose(in);
  return f;
}

// Copies `count` sectors at `first` of `from` into a new file.
bool extract(const std::string& from, uint64_t first, uint64_t count, const std::string& to) {
  return shell("dd if=" + q(from) + " of=" + q(to) + " bs=512 skip=" + std::to_string(first) +
               " count=" + std::to_string(count) + " status=none") == 0;
}

// The files make_fat.sh puts on every volume: path on the volume, source file.
struct VolumeFile {
  const char* path;
  const char* source;
};
constexpr VolumeFile kFiles[] = {
    {"/Dir1/Dir2/Dir3/Deep File.txt", "deep.txt"},
    {"/A long file name with spaces.text", "long.txt"},
    {"/empty.txt", "empty.txt"},
    {"/after.bin", "after.bin"},
    {"/frag.bin", "frag.bin"},  // in two pieces
    {"/pagefile.sys", "pagefile.sys"},
};

fat::Geometry geometry_of(const std::vector<uint8_t>& volume) {
  fat::Geometry geo;
  EXPECT_TRUE(volume.size() >= 512 && fat::decode_boot_sector(volume, &geo).is_ok());
  return geo;
}

// ---- growing volumes on image files ----

// Files written one after the other, every second one deleted again: used runs with small holes
// between them, which a move from low to high addresses would overwrite before reading.
constexpr int kHoleFiles = 8;

std::string hole_file_name(int i) { return "/hole" + std::to_string(i) + ".bin"; }

// The contents of hole file `i`: 3000 bytes that differ from file to file.
std::vector<uint8_t> hole_file_bytes(int i) {
  std::vector<uint8_t> b(3000);
  for (size_t k = 0; k < b.size(); ++k) b[k] = uint8_t(k * 7 + i * 31 + k / 256);
  return b;
}

bool add_small_holes(const std::string& image, uint64_t offset_bytes) {
  const std::string target = offset_bytes == 0 ? image : image + "@@" + std::to_string(offset_bytes);
  for (int i = 0; i < kHoleFiles; ++i) {
    const std::string src = image + ".hole";
    const std::vector<uint8_t> bytes = hole_file_bytes(i);
    FILE* f = std::fopen(src.c_str(), "wb");
    if (f == nullptr) return false;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (shell("MTOOLS_SKIP_CHECK=1 mcopy -i " + q(target) + " " + q(src) + " " + q("::" + hole_file_name(i))) != 0) {
      return false;
    }
  }
  for (int i = 1; i < kHoleFiles; i += 2) {
    if (shell("MTOOLS_SKIP_CHECK=1 mdel -i " + q(target) + " " + q("::" + hole_file_name(i))) != 0) return false;
  }
  return true;
}

// Sets every bit of both FATs past the last cluster's entry: a FAT's slack need not be zero, and
// once the volume grows it describes new clusters, which must then be free.
bool fill_fat_slack(const std::string& image, uint64_t start) {
  std::vector<uint8_t> bytes = file_bytes(image);
  if (bytes.size() < (start + 1) * 512) return false;
  const std::vector<uint8_t> boot(bytes.begin() + start * 512, bytes.begin() + (start + 1) * 512);
  const fat::Geometry geo = geometry_of(boot);
  const uint64_t bits = geo.kind == FatKind::kFat12 ? 12 : geo.kind == FatKind::kFat16 ? 16 : 32;
  const uint64_t first_free_bit = (uint64_t{geo.cluster_count} + 2) * bits;
  const uint64_t fat_bytes = uint64_t{geo.fat_sectors} * 512;
  for (uint32_t copy = 0; copy < geo.fat_count; ++copy) {
    uint8_t* fat = bytes.data() + (start + geo.reserved_sectors + copy * uint64_t{geo.fat_sectors}) * 512;
    if (first_free_bit % 8 != 0) fat[first_free_bit / 8] |= uint8_t(0xFF << (first_free_bit % 8));
    std::memset(fat + (first_free_bit + 7) / 8, 0xFF, fat_bytes - (first_free_bit + 7) / 8);
  }
  return test::patch_file(image, 0, bytes);
}

struct GrowCase {
  const char* name;
  const char* image;
  uint64_t start;    // the partition's first sector in the image (0: the image is the volume)
  uint64_t sectors;  // the partition's sectors before growing (0: the whole image)
  uint64_t extra;    // sectors the partition grows by
  FatKind kind;
  bool capped;  // the FAT type's limit stops the volume before the partition's end
};

constexpr GrowCase kGrowCases[] = {
    {"FAT16 +8 MiB", "fat16.img", 0, 0, 8 * 2048, FatKind::kFat16, false},
    {"FAT32 +16 MiB", "fat32.img", 0, 0, 16 * 2048, FatKind::kFat32, false},
    {"FAT32 +1 sector", "fat32.img", 0, 0, 1, FatKind::kFat32, false},
    {"FAT12 +1 MiB", "fat12.img", 0, 0, 2048, FatKind::kFat12, false},
    {"FAT32 partition at sector 2048 of a disk, +8 MiB", "mbr.img", 2048, 81920, 8 * 2048, FatKind::kFat32, false},
    // 2 KiB clusters: FAT16 ends at 65524 clusters, about 128 MiB.
    {"FAT16 grown past its type's limit", "fat16.img", 0, 0, 120 * 2048, FatKind::kFat16, true},
};

class FatGrowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tav_init_disk(); }
  void SetUp() override {
    const test::FixtureFiles& fx = fat_fixture();
    if (!fx.have_tools) GTEST_SKIP() << "needs dosfstools, mtools and sfdisk";
    ASSERT_EQ(fx.status, 0) << "make_fat.sh failed";
    ASSERT_TRUE(work_.ok());
  }

  static std::string fixture(const std::string& name) { return fat_fixture().file(name); }

  TempDir work_;
};

TEST_F(FatGrowTest, GrownVolumesAreCleanSpanThePartitionAndKeepTheirFiles) {
  for (const GrowCase& c : kGrowCases) {
    SCOPED_TRACE(c.name);
    const std::string image = work_.file(std::string(c.name).substr(0, 5) + std::to_string(c.extra) + ".img");
    ASSERT_TRUE(test::copy_file(fixture(c.image), image));
    const uint64_t image_sectors = file_bytes(image).size() / 512;
    const uint64_t old_sectors = c.sectors != 0 ? c.sectors : image_sectors - c.start;
    const uint64_t new_sectors = old_sectors + c.extra;

    ASSERT_TRUE(add_small_holes(image, c.start * 512));
    ASSERT_TRUE(fill_fat_slack(image, c.start));
    const std::string before_file = image + ".before";
    ASSERT_TRUE(extract(image, c.start, old_sectors, before_file));
    const FsckFigures before = fsck(before_file);
    ASSERT_EQ(before.status, 0);
    const fat::Geometry old_geo = geometry_of(file_bytes(before_file));

    const uint64_t end = std::max(image_sectors, c.start + new_sectors);
    ASSERT_EQ(shell("truncate -s " + std::to_string(end * 512) + " " + q(image)), 0);
    auto disk = file_disk(image);
    ASSERT_NE(disk, nullptr);
    BACKUP_PARTITION_INFO* part = add_file_partition(disk.get(), c.start, new_sectors, 0x0C);
    const Status st = grow_fat(part);
    ASSERT_TRUE(st.is_ok()) << st.message();
    EXPECT_EQ(part->fd, -1) << "the partition is closed again";

    const std::string after_file = image + ".after";
    ASSERT_TRUE(extract(image, c.start, new_sectors, after_file));
    const std::vector<uint8_t> after_bytes = file_bytes(after_file);
    const fat::Geometry geo = geometry_of(after_bytes);
    EXPECT_EQ(geo.kind, c.kind) << "the FAT type stays";
    if (c.capped) {
      EXPECT_EQ(geo.cluster_count, fat::kMinFat32Clusters - 1) << "FAT16 grows as far as its type allows";
      EXPECT_LT(geo.total_sectors, new_sectors);
    } else {
      EXPECT_EQ(geo.total_sectors, new_sectors) << "the volume spans the partition";
    }
    const FsckFigures after = fsck(after_file);
    EXPECT_EQ(after.status, 0) << "fsck.fat -n of the grown volume:\n"
                               << std::string(file_bytes(after_file + ".fsck.txt").begin(),
                                              file_bytes(after_file + ".fsck.txt").end());
    EXPECT_EQ(after.used, before.used);
    EXPECT_EQ(after.total, geo.cluster_count);
    EXPECT_GT(after.free(), before.free()) << "free space grew";
    if (c.extra > 1) {
      EXPECT_GT(geo.fat_sectors, old_geo.fat_sectors) << "the FATs grew and the data moved";
    }

    for (const VolumeFile& f : kFiles) {
      SCOPED_TRACE(f.path);
      const std::string out = work_.file("read_back");
      std::remove(out.c_str());
      ASSERT_EQ(shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + q(after_file) + " " + q(std::string("::") + f.path) +
                      " " + q(out)),
                0);
      EXPECT_EQ(file_bytes(out), file_bytes(fixture(std::string("src/") + f.source)));
    }
    for (int i = 0; i < kHoleFiles; i += 2) {
      SCOPED_TRACE(hole_file_name(i));
      const std::string out = work_.file("read_back");
      std::remove(out.c_str());
      ASSERT_EQ(shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + q(after_file) + " " + q("::" + hole_file_name(i)) + " " +
                      q(out)),
                0);
      EXPECT_TRUE(file_bytes(out) == hole_file_bytes(i));
    }
    if (c.kind == FatKind::kFat32) {
      const uint32_t backup = get_le16(&after_bytes[50]);
      const uint32_t fsinfo = get_le16(&after_bytes[48]);
      ASSERT_GT(backup, 0u);
      EXPECT_TRUE(std::equal(after_bytes.begin(), after_bytes.begin() + 512, after_bytes.begin() + backup * 512))
          << "the backup boot sector is patched the same way";
      for (const uint32_t s : {fsinfo, backup + fsinfo}) {
        EXPECT_EQ(get_le32(&after_bytes[s * 512 + 488]), 0xFFFFFFFFu) << "FSInfo free count unknown, sector " << s;
        EXPECT_EQ(get_le32(&after_bytes[s * 512 + 492]), 0xFFFFFFFFu) << "FSInfo hint unknown, sector " << s;
      }
    }
    if (c.capped) {  // at its type's limit the volume cannot grow again: nothing is written
      const std::vector<uint8_t> disk_before = file_bytes(image);
      EXPECT_TRUE(grow_fat(part).is_ok());
      EXPECT_TRUE(file_bytes(image) == disk_before);
    }
  }
}

struct RefusalCase {
  const char* name;
  const char* image;  // a fixture, or null for a file of zeros
  uint64_t extra;
  bool ok;  // Ok with nothing written, else an error with nothing written
  const char* message;  // part of the error's message
};

TEST_F(FatGrowTest, VolumesThatCannotGrowAreLeftUntouched) {
  const RefusalCase cases[] = {
      {"4096-byte sectors", "fat16_4k.img", 8 * 2048, false, "512-byte sectors"},
      {"no FAT volume", nullptr, 8 * 2048, false, "no FAT file system"},
      {"volume spanning its partition already", "fat16.img", 0, true, ""},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = work_.file("refused.img");
    std::remove(image.c_str());
    if (c.image != nullptr) {
      ASSERT_TRUE(test::copy_file(fixture(c.image), image));
    } else {
      ASSERT_EQ(shell("truncate -s 1M " + q(image)), 0);
    }
    ASSERT_EQ(shell("truncate -s +" + std::to_string(c.extra * 512) + " " + q(image)), 0);
    const std::vector<uint8_t> before = file_bytes(image);
    auto disk = file_disk(image);
    ASSERT_NE(disk, nullptr);
    BACKUP_PARTITION_INFO* part = add_file_partition(disk.get(), 0, before.size() / 512, 0x0E);
    const Status st = grow_fat(part);
    EXPECT_EQ(st.is_ok(), c.ok) << st.message();
    EXPECT_NE(st.message().find(c.message), std::string::npos) << st.message();
    EXPECT_TRUE(file_bytes(image) == before) << "nothing is written";
  }
}

// ---- grows cut short ----

// A partition in memory whose writes fail once `write_budget` sectors have been written.
struct FaultyPartition {
  std::vector<uint8_t> content;
  uint64_t write_budget = UINT64_MAX;
  uint64_t written = 0;

  void attach(BACKUP_PARTITION_INFO* part) {
    part->ops = &kOps;
    part->part_data = this;
    part->sector_count = content.size() / 512;
  }
  static FaultyPartition* self(BACKUP_PARTITION_INFO* part) { return static_cast<FaultyPartition*>(part->part_data); }
  static bool in_range(BACKUP_PARTITION_INFO* part, uint64_t first, uint64_t count) {
    return first + count <= part->sector_count;
  }
  static int64_t read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
    if (!in_range(part, first, count)) return errno = EINVAL, -1;
    std::memcpy(buffer, self(part)->content.data() + first * 512, size_t(count) * 512);
    return count;
  }
  static int64_t write_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, const void* buffer) {
    FaultyPartition* p = self(part);
    if (!in_range(part, first, count)) return errno = ENOSPC, -1;
    if (part->open_mode != kOpenWrite || p->written + count > p->write_budget) return errno = EIO, -1;
    std::memcpy(p->content.data() + first * 512, buffer, size_t(count) * 512);
    p->written += count;
    return count;
  }
  static int64_t pos_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, void* buffer) {
    if (offset + bytes > part->sector_count * 512) return errno = EINVAL, -1;
    std::memcpy(buffer, self(part)->content.data() + offset, bytes);
    return bytes;
  }
  static int finish(BACKUP_PARTITION_INFO*) { return 0; }
  static int open(BACKUP_PARTITION_INFO* part, int mode) {
    part->open_mode = mode;
    return 0;
  }
  static int close(BACKUP_PARTITION_INFO* part) {
    part->open_mode = -1;
    return 0;
  }
  static constexpr PART_OPERATIONS kOps = {pos_read, nullptr, read_sectors, write_sectors, finish, open, close};
};

TEST_F(FatGrowTest, AnInterruptedGrowLeavesNoVolumeAProbeAccepts) {
  struct Volume {
    const char* image;
    uint64_t extra;
    uint32_t fs_code;
  };
  for (const Volume& v : {Volume{"fat16.img", 8 * 2048, FS_FAT16}, Volume{"fat32.img", 16 * 2048, FS_FAT32}}) {
    SCOPED_TRACE(v.image);
    FaultyPartition original;
    original.content = file_bytes(fixture(v.image));
    ASSERT_FALSE(original.content.empty());
    original.content.resize(original.content.size() + v.extra * 512, 0);
    const FILE_SYSTEM_TYPE* fat16 = file_system_by_code(FS_FAT16);
    const FILE_SYSTEM_TYPE* fat32 = file_system_by_code(FS_FAT32);
    ASSERT_TRUE(fat16 != nullptr && fat32 != nullptr);

    // An uninterrupted grow, for the number of sectors it writes.
    FaultyPartition whole = original;
    BACKUP_PARTITION_INFO whole_part;
    whole.attach(&whole_part);
    ASSERT_TRUE(grow_fat(&whole_part).is_ok());
    EXPECT_EQ(file_system_by_code(v.fs_code)->probe(&whole_part), 1);
    const uint64_t writes = whole.written;
    ASSERT_GT(writes, 100u) << "data and FATs were moved";

    for (const uint64_t budget : {uint64_t{0}, uint64_t{1}, writes / 4, writes / 2, writes * 3 / 4, writes - 1}) {
      SCOPED_TRACE("writes fail after " + std::to_string(budget) + " of " + std::to_string(writes) + " sectors");
      FaultyPartition cut = original;
      cut.write_budget = budget;
      BACKUP_PARTITION_INFO part;
      cut.attach(&part);
      const Status st = grow_fat(&part);
      ASSERT_FALSE(st.is_ok());
      if (budget == 0) {  // the first write failed: the volume is as it was
        EXPECT_TRUE(cut.content == original.content);
        continue;
      }
      EXPECT_NE(st.message().find("no longer usable"), std::string::npos) << st.message();
      EXPECT_EQ(fat16->probe(&part), 0);
      EXPECT_EQ(fat32->probe(&part), 0);
      if (v.fs_code == FS_FAT32) {
        // The backup boot sector describes no volume either, except while nothing else has
        // changed (the old volume, intact) and once everything but the boot sector is written
        // (the grown volume, complete).
        const size_t backup = size_t(get_le16(&original.content[50])) * 512;
        const std::vector<uint8_t> sector(cut.content.begin() + backup, cut.content.begin() + backup + 512);
        fat::Geometry geo;
        if (budget == 1) {
          EXPECT_TRUE(std::equal(cut.content.begin() + 512, cut.content.end(), original.content.begin() + 512));
        } else if (budget < writes - 1) {
          EXPECT_FALSE(fat::decode_boot_sector(sector, &geo).is_ok());
        } else {
          EXPECT_TRUE(std::equal(sector.begin(), sector.end(), whole.content.begin() + backup));
          EXPECT_TRUE(std::equal(cut.content.begin() + 512, cut.content.end(), whole.content.begin() + 512));
        }
      }
    }
  }
}

// A restore onto a larger partition whose FAT grow is cut short has lost the copy: the copy
// fails and counts an error. A grow that fails before it writes anything leaves the copy whole,
// at its old size: a warning only.
TEST_F(FatGrowTest, ACopyWhoseGrowIsCutShortFails) {
  constexpr uint64_t kExtra = 8 * 2048;
  const std::string image = work_.file("source.img");
  ASSERT_TRUE(test::copy_file(fixture("fat16.img"), image));
  auto source_disk = file_disk(image);
  ASSERT_NE(source_disk, nullptr);
  BACKUP_PARTITION_INFO* source = add_file_partition(source_disk.get(), 0, source_disk->total_sectors, 0x0E);
  attach_file_system(source);
  ASSERT_NE(source->fs, nullptr);

  // Sectors the grow alone writes, on a volume already in place.
  FaultyPartition grown_alone;
  grown_alone.content = file_bytes(image);
  grown_alone.content.resize(grown_alone.content.size() + kExtra * 512, 0);
  BACKUP_PARTITION_INFO alone_part;
  grown_alone.attach(&alone_part);
  ASSERT_TRUE(grow_fat(&alone_part).is_ok());
  const uint64_t grow_writes = grown_alone.written;

  struct Case {
    const char* name;
    int64_t budget_past_copy;  // sectors the grow may write; -1: no limit
    int rc;
    bool volume_left;
  };
  const Case cases[] = {
      {"grown", -1, 0, true},
      {"grow failing at its first write", 0, 0, true},
      {"grow cut short halfway", int64_t(grow_writes / 2), -1, false},
  };
  uint64_t copy_writes = 0;  // learnt from the first case
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    _DISK_INFOMATION dest_disk;
    dest_disk.path = work_.file("faulty-disk");
    FaultyPartition dest_mem;
    dest_mem.content.assign(size_t(source->sector_count + kExtra) * 512, 0xA5);
    BACKUP_PARTITION_INFO dest;
    dest.disk = &dest_disk;
    dest.dev_name = "faulty";
    dest_mem.attach(&dest);
    if (c.budget_past_copy >= 0) dest_mem.write_budget = copy_writes + uint64_t(c.budget_past_copy);

    char message[kMessageBufferBytes] = {};
    int32_t flag = 0;
    libtavdisk_set_thread_gui(nullptr, message, &flag);
    std::atomic<int32_t> errors{0};
    std::atomic<uint32_t> cancel{0};
    COPY_CONTEXT context;
    context.error_count = &errors;
    context.cancel = &cancel;
    context.source = source;
    context.dest = &dest;
    const int rc = tav_fs_copy_used(&context);
    libtavdisk_set_thread_gui(nullptr, nullptr, nullptr);

    EXPECT_EQ(rc, c.rc) << message;
    EXPECT_EQ(errors.load(), c.rc == 0 ? 0 : 1);
    EXPECT_EQ(file_system_by_code(FS_FAT16)->probe(&dest) == 1, c.volume_left);
    if (c.budget_past_copy < 0) {
      copy_writes = dest_mem.written - grow_writes;
      fat::Geometry geo;
      ASSERT_TRUE(fat::decode_boot_sector(dest_mem.content, &geo).is_ok());
      EXPECT_EQ(geo.total_sectors, dest.sector_count);
      EXPECT_STREQ(message, "");
    } else if (c.rc == 0) {  // the copy keeps its size, and the failed grow is a warning
      fat::Geometry geo;
      ASSERT_TRUE(fat::decode_boot_sector(dest_mem.content, &geo).is_ok());
      EXPECT_EQ(geo.total_sectors, source->sector_count);
      EXPECT_STRNE(message, "");
    } else {
      EXPECT_NE(std::string(message).find("no longer usable"), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace tav::disk
