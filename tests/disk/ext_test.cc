// The ext handler against images made by mke2fs (tests/disk/fixtures/make_ext.sh): used sectors
// and runs against dumpe2fs's figures, file runs against debugfs and the files' bytes, the
// shrink estimate against resize2fs -P, damaged images, and the read-only io manager over
// partition operations (short reads, foreign names, writes).
#include <ext2fs/ext2fs.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disk/ext_io.h"
#include "disk/fs_registry.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::file_bytes;
using test::FlatRuns;
using test::ImageRuns;
using test::TempDir;

// Figures the fixture script wrote beside an image.
struct Facts {
  std::map<std::string, std::string> values;
  std::vector<std::pair<std::string, std::vector<uint64_t>>> file_blocks;  // debugfs "blocks"

  uint64_t num(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() || it->second.empty() ? 0 : std::stoull(it->second);
  }
  std::string text(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? "" : it->second;
  }
  uint64_t fs_sectors() const { return num("block_count") * num("block_size") / kSectorSize; }
};

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;  // first sector, count

Ranges ranges_of(const IMAGE_RUN_VECTOR* v) {
  Ranges out;
  for (uint32_t i = 0; i < v->run_count; ++i) out.emplace_back(v->runs[i]->value.Begin, v->runs[i]->value.Number);
  return out;
}

Ranges ranges_of(const FLAT_RUN_VECTOR* v) {
  Ranges out;
  for (uint32_t i = 0; i < v->run_count; ++i) out.emplace_back(v->runs[i].Begin, flat_run_sectors(v->runs[i]));
  return out;
}

bool covered(const Ranges& sorted, uint64_t first, uint64_t count) {
  for (const auto& [begin, n] : sorted) {
    if (first >= begin && first + count <= begin + n) return true;
  }
  return false;
}

const FILE_SYSTEM_TYPE* ext_handler() {
  tav_init_disk();
  return file_system_by_code(FS_EXT);
}

class ExtTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixtures_ = &test::fixture_files("make_ext.sh", {"mke2fs", "dumpe2fs", "debugfs", "resize2fs", "sfdisk"});
  }
  void SetUp() override {
    if (!fixtures_->ready()) GTEST_SKIP() << "e2fsprogs or sfdisk missing, or the ext fixture script failed";
    ASSERT_NE(ext_handler(), nullptr);
  }

  static std::string path(const std::string& name) { return fixtures_->file(name); }
  static bool have(const std::string& name) { return std::ifstream(path(name + ".facts")).good(); }

  static Facts facts(const std::string& name) {
    Facts f;
    std::ifstream in(path(name + ".facts"));
    for (std::string line; std::getline(in, line);) {
      const size_t space = line.find(' ');
      if (space != std::string::npos) f.values[line.substr(0, space)] = line.substr(space + 1);
    }
    std::ifstream blocks(path(name + ".blocks"));
    for (std::string line; std::getline(blocks, line);) {
      std::istringstream words(line);
      std::string file;
      words >> file;
      std::vector<uint64_t> list;
      for (uint64_t b; words >> b;) list.push_back(b);
      f.file_blocks.emplace_back(file, list);
    }
    return f;
  }

  // The image file of a fixture: the disk image for the partition inside an MBR disk.
  static std::string image_of(const std::string& name) { return path(name + ".img"); }

  // A disk over `image` with one partition at the fixture's offset.
  struct Volume {
    std::unique_ptr<_DISK_INFOMATION> disk;
    BACKUP_PARTITION_INFO* part = nullptr;
  };
  static Volume open_volume(const std::string& image, const Facts& f) {
    Volume vol;
    vol.disk = test::file_disk(image);
    if (vol.disk != nullptr) {
      vol.part = test::add_file_partition(vol.disk.get(), f.num("offset_sectors"), f.num("part_sectors"), 0x83);
    }
    return vol;
  }

  static inline const test::FixtureFiles* fixtures_ = nullptr;
};

struct FixtureCase {
  const char* name;
  const char* kind;  // private file-system name
};
const FixtureCase kFixtures[] = {
    {"ext2_1k", "ext2"}, {"ext3_4k", "ext3"}, {"ext4_4k", "ext4"},
    {"ext4_1k", "ext4"}, {"bigalloc", "ext4"}, {"mbr_disk", "ext4"},
};

// used_sectors is (Block count - Free blocks) in sectors, the runs add up to it, cover the boot
// sectors and every block of every file, and end inside the file system; the partition is left
// closed as it was found.
TEST_F(ExtTest, UsedSectorsAndRunsMatchTheBitmaps) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.name);
    if (!have(c.name)) {
      ASSERT_STREQ(c.name, "bigalloc") << "fixture missing";
      continue;  // this mke2fs made no bigalloc image
    }
    const Facts f = facts(c.name);
    Volume vol = open_volume(image_of(c.name), f);
    ASSERT_NE(vol.part, nullptr);
    ASSERT_EQ(attach_file_system(vol.part), 0);
    ASSERT_EQ(vol.part->fs, ext_handler());
    EXPECT_EQ(vol.part->fd, -1);
    EXPECT_EQ(rec_u32(*vol.part, pp::kFsTypeCode), FS_EXT);
    EXPECT_EQ(part_fs_name(*vol.part), c.kind);
    EXPECT_EQ(part_fs_label(*vol.part), f.text("label"));

    const uint64_t expected_used = (f.num("block_count") - f.num("free_blocks")) * f.num("block_size") / kSectorSize;
    EXPECT_EQ(part_used_sectors(*vol.part), expected_used);

    ImageRuns runs{ext_handler()->get_used_runs(nullptr, vol.part)};
    ASSERT_NE(runs.get(), nullptr);
    EXPECT_EQ(vol.part->fd, -1);
    const Ranges used = ranges_of(runs.get());
    ASSERT_FALSE(used.empty());
    EXPECT_EQ(used.front().first, 0u);  // boot sectors in front of the superblock
    EXPECT_GE(used.front().second, 2u);
    uint64_t total = 0, end = 0;
    for (uint32_t i = 0; i < runs.get()->run_count; ++i) {
      const IMAGE_RUN& r = *runs.get()->runs[i];
      EXPECT_EQ(r.type, RUN_TYPE_DATA);
      if (i > 0) {
        EXPECT_GT(r.value.Begin, end) << "runs overlap, touch or are unsorted at " << i;
      }
      end = run_end(r);
      total += r.value.Number;
    }
    EXPECT_EQ(total, expected_used);
    EXPECT_LE(end, f.fs_sectors());  // nothing of the partition beyond the file system

    const uint64_t spb = f.num("block_size") / kSectorSize;
    for (const auto& [file, blocks] : f.file_blocks) {
      SCOPED_TRACE(file);
      EXPECT_FALSE(blocks.empty());
      for (uint64_t b : blocks) ASSERT_TRUE(covered(used, b * spb, spb)) << "block " << b << " not in use";
    }
  }
}

// The runs of a path are the blocks debugfs lists for it, in order; reading them through the
// partition gives the file's bytes (up to its size; holes are not mapped).
TEST_F(ExtTest, FileRunsAreTheFilesBlocks) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.name);
    if (!have(c.name)) continue;
    const Facts f = facts(c.name);
    const uint64_t spb = f.num("block_size") / kSectorSize;
    Volume vol = open_volume(image_of(c.name), f);
    for (const auto& [file, blocks] : f.file_blocks) {
      SCOPED_TRACE(file);
      FlatRuns runs{ext_handler()->get_file_runs(vol.part, file.c_str())};
      ASSERT_NE(runs.get(), nullptr);
      std::vector<uint64_t> mapped;
      for (const auto& [first, count] : ranges_of(runs.get())) {
        ASSERT_EQ(first % spb, 0u);
        ASSERT_EQ(count % spb, 0u);
        for (uint64_t s = first; s < first + count; s += spb) mapped.push_back(s / spb);
      }
      // debugfs also lists indirect blocks; the runs hold data blocks only, in the same order.
      if (f.text("features").find("extent") != std::string::npos) {
        EXPECT_EQ(mapped, blocks);
      } else {
        size_t next = 0;
        for (uint64_t b : mapped) {
          while (next < blocks.size() && blocks[next] != b) ++next;
          ASSERT_LT(next, blocks.size()) << "block " << b << " is not the file's, or out of order";
          ++next;
        }
        const uint64_t per_indirect = f.num("block_size") / 4;
        EXPECT_LE(blocks.size() - mapped.size(), 6 + 2 * (blocks.size() / per_indirect));
      }
      if (file == "/sparse.bin") continue;

      const std::vector<uint8_t> want = file_bytes(path("src") + file);
      std::vector<uint8_t> got;
      ASSERT_EQ(vol.part->ops->open(vol.part, kOpenRead), 0);
      for (const auto& [first, count] : ranges_of(runs.get())) {
        std::vector<uint8_t> buf(count * kSectorSize);
        ASSERT_EQ(vol.part->ops->read_sectors(vol.part, first, uint32_t(count), buf.data()), int64_t(count));
        got.insert(got.end(), buf.begin(), buf.end());
      }
      vol.part->ops->close(vol.part);
      ASSERT_GE(got.size(), want.size());
      got.resize(want.size());
      EXPECT_TRUE(got == want) << "bytes read through the runs differ from the file";
    }
  }
}

TEST_F(ExtTest, FileRunsOfMissingAndBadPaths) {
  const Facts f = facts("ext4_4k");
  Volume vol = open_volume(image_of("ext4_4k"), f);
  struct Case {
    const char* path;
    bool null_result;
  } cases[] = {
      {"/no-such-file", false},          // absent: empty
      {"/many/f000.txt/below", false},   // a file used as a directory: absent
      {"/deep/a/missing/x", false},
      {"relative/path", true},           // not from the root: an error
      {"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FlatRuns runs{ext_handler()->get_file_runs(vol.part, c.path)};
    if (c.null_result) {
      EXPECT_EQ(runs.get(), nullptr);
    } else {
      ASSERT_NE(runs.get(), nullptr);
      EXPECT_EQ(runs.get()->run_count, 0u);
    }
  }
  EXPECT_EQ(ext_handler()->get_file_runs(vol.part, nullptr), nullptr);
  EXPECT_EQ(vol.part->fd, -1);
}

// The estimate is never below what resize2fs accepts, never above the file system, and not far
// above resize2fs's figure (a tenth of the file system at most) where clusters are not in play.
TEST_F(ExtTest, MinimumSizeIsNotBelowResize2fs) {
  for (const FixtureCase& c : kFixtures) {
    SCOPED_TRACE(c.name);
    if (!have(c.name)) continue;
    const Facts f = facts(c.name);
    Volume vol = open_volume(image_of(c.name), f);
    const int64_t min_bytes = ext_handler()->min_size_bytes(vol.part);
    const uint64_t bs = f.num("block_size");
    const uint64_t tool_bytes = f.num("min_blocks") * bs;
    const uint64_t fs_bytes = f.num("block_count") * bs;
    ASSERT_GT(f.num("min_blocks"), 0u);
    EXPECT_GE(uint64_t(min_bytes), tool_bytes);
    EXPECT_LE(uint64_t(min_bytes), fs_bytes);
    if (std::string(c.name) != "bigalloc") {
      EXPECT_LE(uint64_t(min_bytes), tool_bytes + fs_bytes / 10);
    }
    EXPECT_EQ(min_bytes % int64_t(bs), 0);
  }
}

// Patched superblocks, descriptors, bitmaps and inode tables: the partition falls back to the
// unknown handler or the operations fail; nothing crashes, nothing reads outside the partition.
TEST_F(ExtTest, DamagedImagesAreErrorsNotCrashes) {
  enum Expect { kNotExt, kUnknown, kPrepared };
  struct Patch {
    const char* what;
    const char* fixture;
    const char* base;  // "" for byte 0, else a fact naming a block of group 0
    uint64_t offset;   // bytes from the base
    std::vector<uint8_t> bytes;
    Expect expect;
  };
  const std::vector<Patch> patches = {
      {"magic", "ext2_1k", "", 1024 + 0x38, {0x00, 0x00}, kNotExt},
      {"log block size 7", "ext2_1k", "", 1024 + 0x18, {7, 0, 0, 0}, kNotExt},
      {"blocks per group 0", "ext2_1k", "", 1024 + 0x20, {0, 0, 0, 0}, kNotExt},
      {"block count beyond the partition", "ext2_1k", "", 1024 + 0x04, {0, 0, 0x10, 0}, kUnknown},
      {"block count beyond the partition (4k)", "ext3_4k", "", 1024 + 0x04, {0, 0, 1, 0}, kUnknown},
      {"inodes per group 1", "ext2_1k", "", 1024 + 0x28, {1, 0, 0, 0}, kUnknown},
      {"unknown incompat feature", "ext2_1k", "", 1024 + 0x60 + 3, {0x80}, kUnknown},
      {"unknown ro_compat feature", "ext2_1k", "", 1024 + 0x64 + 3, {0x80}, kUnknown},
      {"journal needs recovery", "ext3_4k", "", 1024 + 0x60, {0x06, 0, 0, 0}, kUnknown},
      {"superblock checksum", "ext4_1k", "", 1024 + 0x30, {0xDE, 0xAD}, kUnknown},
      {"block bitmap pointer far away", "ext2_1k", "", 2048, {0xF0, 0xFF, 0xFF, 0x7F}, kUnknown},
      {"block bitmap pointer past the end", "ext2_1k", "", 2048, {0x00, 0x90, 0x00, 0x00}, kUnknown},
      {"descriptor checksum", "ext4_4k", "", 4096 + 0x0C, {0x55}, kUnknown},
      {"bitmap checksum", "ext4_1k", "block_bitmap", 100, {0xFF, 0x00, 0xFF}, kUnknown},
      {"cleared bitmap without checksums", "ext2_1k", "block_bitmap", 0, std::vector<uint8_t>(64, 0), kPrepared},
      {"root inode zeroed", "ext2_1k", "inode_table", 0, std::vector<uint8_t>(1024, 0), kPrepared},
      {"root inode blocks far away", "ext4_4k", "inode_table", 256 + 0x28, std::vector<uint8_t>(60, 0xEE), kPrepared},
  };
  TempDir work;
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    const Facts f = facts(p.fixture);
    const uint64_t at = (p.base[0] == '\0' ? 0 : f.num(p.base) * f.num("block_size")) + p.offset;
    ASSERT_LE(at + p.bytes.size(), f.num("part_sectors") * kSectorSize);
    const std::string damaged = work.file("damaged.img");
    ASSERT_TRUE(test::copy_file(image_of(p.fixture), damaged) && test::patch_file(damaged, at, p.bytes));

    Volume vol = open_volume(damaged, f);
    const FILE_SYSTEM_TYPE* ext = ext_handler();
    EXPECT_EQ(ext->probe(vol.part) != 0, p.expect != kNotExt);
    ASSERT_EQ(attach_file_system(vol.part), 0);
    if (p.expect == kPrepared) {
      EXPECT_EQ(vol.part->fs, ext);
    } else {
      EXPECT_EQ(vol.part->fs, nullptr);
      EXPECT_EQ(vol.part->ops_fs, unknown_file_system());
      EXPECT_EQ(part_used_sectors(*vol.part), vol.part->sector_count);
    }
    // Every operation on the damaged volume returns a result.
    ImageRuns used{ext->get_used_runs(nullptr, vol.part)};
    EXPECT_EQ(used.get() != nullptr, p.expect == kPrepared);
    for (const char* file : {"/random.bin", "/deep/a/b/c/nested.txt", "/many/f100.txt"}) {
      FlatRuns runs{ext->get_file_runs(vol.part, file)};
      if (runs.get() != nullptr) {
        for (const auto& [first, count] : ranges_of(runs.get())) EXPECT_LE(first + count, f.fs_sectors());
      }
    }
    const int64_t min_bytes = ext->min_size_bytes(vol.part);
    if (p.expect == kPrepared) {
      EXPECT_GT(min_bytes, 0);
    } else {
      EXPECT_EQ(min_bytes, -1);
    }
    EXPECT_EQ(vol.part->fd, -1);
  }
}

// ---- partitions supplied by other operation tables (as snapshot partitions are) ----

// An in-memory partition whose reads may stop short or fail from a byte offset on.
struct MemoryPartition {
  std::vector<uint8_t> bytes;
  uint64_t short_from = UINT64_MAX;  // reads reaching this offset return what lies before it
  uint64_t fail_from = UINT64_MAX;   // reads reaching this offset fail with EIO
  int opens = 0;
  int closes = 0;
  bool open = false;
};

MemoryPartition* memory_of(BACKUP_PARTITION_INFO* part) { return static_cast<MemoryPartition*>(part->part_data); }

int64_t memory_pos_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, void* buffer) {
  MemoryPartition* m = memory_of(part);
  if (!m->open || offset + bytes > m->bytes.size()) {
    errno = EINVAL;
    return -1;
  }
  if (offset + bytes > m->fail_from) {
    errno = EIO;
    return -1;
  }
  uint64_t n = bytes;
  if (offset + n > m->short_from) n = m->short_from > offset ? m->short_from - offset : 0;
  std::memcpy(buffer, m->bytes.data() + offset, n);
  return int64_t(n);
}
int64_t memory_pos_write(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) {
  ADD_FAILURE() << "the handler wrote to the partition";
  errno = EBADF;
  return -1;
}
int64_t memory_read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
  const int64_t n = memory_pos_read(part, first * kSectorSize, count * kSectorSize, buffer);
  return n < 0 ? -1 : n / kSectorSize;
}
int64_t memory_write_sectors(BACKUP_PARTITION_INFO* part, uint64_t, uint32_t, const void* buffer) {
  return memory_pos_write(part, 0, 0, buffer);
}
int memory_finish(BACKUP_PARTITION_INFO*) { return 0; }
int memory_open(BACKUP_PARTITION_INFO* part, int mode) {
  EXPECT_EQ(mode, kOpenRead);
  memory_of(part)->opens++;
  memory_of(part)->open = true;
  return 0;
}
int memory_close(BACKUP_PARTITION_INFO* part) {
  memory_of(part)->closes++;
  memory_of(part)->open = false;
  return 0;
}
const PART_OPERATIONS kMemoryOps = {memory_pos_read, memory_pos_write, memory_read_sectors, memory_write_sectors,
                                    memory_finish,   memory_open,      memory_close};

struct MemoryVolume {
  MemoryPartition memory;
  BACKUP_PARTITION_INFO part;

  explicit MemoryVolume(std::vector<uint8_t> bytes) {
    memory.bytes = std::move(bytes);
    init_part_record(part);
    set_part_extent(part, 0, memory.bytes.size() / kSectorSize);
    part.is_image = 1;
    part.part_data = &memory;
    part.ops = &kMemoryOps;
  }
};

TEST_F(ExtTest, ReadsOnlyThroughThePartitionOperations) {
  const Facts f = facts("ext4_1k");
  MemoryVolume vol(file_bytes(image_of("ext4_1k")));
  const FILE_SYSTEM_TYPE* ext = ext_handler();
  ASSERT_NE(ext->probe(&vol.part), 0);
  ASSERT_EQ(ext->prepare(&vol.part), 0);
  EXPECT_EQ(part_used_sectors(vol.part), (f.num("block_count") - f.num("free_blocks")) * 2);
  ImageRuns used{ext->get_used_runs(nullptr, &vol.part)};
  ASSERT_NE(used.get(), nullptr);
  FlatRuns file{ext->get_file_runs(&vol.part, "/text.txt")};
  ASSERT_NE(file.get(), nullptr);
  EXPECT_GT(ext->min_size_bytes(&vol.part), 0);
  // Each operation opened the partition for itself and closed it again.
  EXPECT_EQ(vol.memory.opens, 5);
  EXPECT_EQ(vol.memory.closes, 5);
  EXPECT_FALSE(vol.memory.open);
}

// A read that stops short or fails is an error wherever it happens, never zeros taken as data.
TEST_F(ExtTest, ShortAndFailedReadsAreErrors) {
  const Facts f = facts("ext4_1k");
  const std::vector<uint8_t> image = file_bytes(image_of("ext4_1k"));
  const uint64_t bitmap_byte = f.num("block_bitmap") * f.num("block_size");
  struct Case {
    const char* what;
    uint64_t short_from;
    uint64_t fail_from;
    bool probes;
  } cases[] = {
      {"short inside the superblock", 1500, UINT64_MAX, false},
      {"short inside the descriptors", 2048 + 100, UINT64_MAX, true},
      {"short inside the block bitmap", bitmap_byte + 10, UINT64_MAX, true},
      {"failing inside the block bitmap", UINT64_MAX, bitmap_byte + 10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryVolume vol(image);
    vol.memory.short_from = c.short_from;
    vol.memory.fail_from = c.fail_from;
    const FILE_SYSTEM_TYPE* ext = ext_handler();
    EXPECT_EQ(ext->probe(&vol.part) != 0, c.probes);
    EXPECT_EQ(ext->prepare(&vol.part), -1);
    EXPECT_EQ(ext->get_used_runs(nullptr, &vol.part), nullptr);
    EXPECT_EQ(ext->min_size_bytes(&vol.part), -1);
    EXPECT_EQ(vol.memory.opens, vol.memory.closes);
  }
}

TEST_F(ExtTest, IoManagerRefusesWritesAndUnboundNames) {
  MemoryVolume vol(file_bytes(image_of("ext2_1k")));
  ASSERT_EQ(vol.part.ops->open(&vol.part, kOpenRead), 0);
  ext2_filsys fs = nullptr;
  std::string name;
  {
    ExtIoBinding binding(&vol.part);
    name = binding.name();
    EXPECT_EQ(ext2fs_open2(name.c_str(), nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0, ext_io_manager(), &fs),
              EXT2_ET_RO_FILSYS);
    ASSERT_EQ(ext2fs_open2(name.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, ext_io_manager(), &fs), 0);
    std::vector<uint8_t> block(1024, 0);
    EXPECT_EQ(io_channel_write_blk64(fs->io, 1, 1, block.data()), EXT2_ET_RO_FILSYS);
    EXPECT_EQ(io_channel_write_byte(fs->io, 1024, 4, block.data()), EXT2_ET_RO_FILSYS);
    EXPECT_NE(io_channel_read_blk64(fs->io, uint64_t(1) << 60, 1, block.data()), 0);  // offset overflow
    EXPECT_NE(io_channel_read_blk64(fs->io, 40000, 1, block.data()), 0);              // past the end
    ext2fs_close_free(&fs);
  }
  // Once the binding is gone the name reaches nothing, nor does a made-up one.
  for (const std::string& n : {name, std::string("tavpart:1234"), std::string("tavpart:"), std::string("/dev/sda")}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(ext2fs_open2(n.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, ext_io_manager(), &fs),
              EXT2_ET_BAD_DEVICE_NAME);
  }
  vol.part.ops->close(&vol.part);
  EXPECT_TRUE(file_bytes(image_of("ext2_1k")) == vol.memory.bytes);
}

// An operation on a partition the caller already opened leaves it open.
TEST_F(ExtTest, LeavesAnOpenPartitionOpen) {
  const Facts f = facts("mbr_disk");
  Volume vol = open_volume(image_of("mbr_disk"), f);
  ASSERT_EQ(vol.part->ops->open(vol.part, kOpenRead), 0);
  const int fd = vol.part->fd;
  ASSERT_EQ(ext_handler()->prepare(vol.part), 0);
  ImageRuns used{ext_handler()->get_used_runs(nullptr, vol.part)};
  EXPECT_NE(used.get(), nullptr);
  EXPECT_EQ(vol.part->fd, fd);
  uint8_t byte = 0;
  EXPECT_EQ(vol.part->ops->pos_read(vol.part, 1080, 1, &byte), 1);
  EXPECT_EQ(byte, 0x53);
  vol.part->ops->close(vol.part);
}

}  // namespace
}  // namespace tav::disk
