// The NTFS handler over volumes made by fixtures/make_ntfs.sh: used sectors against the volume
// tools' own count, file runs against the files' bytes, damaged volumes, the 32-bit run limit,
// the minimum size with and without a block device, and concurrent scans.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "core/extent_vector.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::copy_file;
using test::file_bytes;
using test::FlatRuns;
using test::ImageRuns;
using test::patch_file;

struct Facts {
  uint64_t clusters = 0;
  uint64_t free_clusters = 0;
  uint64_t cluster_size = 0;
  uint64_t sector_size = 0;
  uint64_t frag_runs = 0;
  std::string label;
};

Facts read_facts(const std::string& path) {
  Facts f;
  std::ifstream in(path);
  std::string key;
  while (in >> key) {
    if (key == "label") {
      in >> std::ws;
      std::getline(in, f.label);
      continue;
    }
    uint64_t v = 0;
    in >> v;
    if (key == "clusters") f.clusters = v;
    if (key == "free") f.free_clusters = v;
    if (key == "cluster_size") f.cluster_size = v;
    if (key == "sector_size") f.sector_size = v;
    if (key == "frag_runs") f.frag_runs = v;
  }
  return f;
}

// "You might resize at N bytes" from ntfsresize run on `path`, or -1.
int64_t resize_tool_figure(const std::string& path) {
  const std::string cmd = "ntfsresize --info --force --no-progress-bar '" + path + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  int64_t bytes = -1;
  char line[1024];
  while (std::fgets(line, sizeof(line), p) != nullptr) {
    long long v = 0;
    if (std::sscanf(line, "You might resize at %lld bytes", &v) == 1) bytes = v;
  }
  ::pclose(p);
  return bytes;
}

// Every sector of [first, end) lies in one of the sorted used runs.
bool inside_used(const IMAGE_RUN_VECTOR* used, uint64_t first, uint64_t end) {
  for (uint32_t i = 0; i < used->run_count; ++i) {
    const IMAGE_RUN& r = *used->runs[i];
    if (first >= r.value.Begin && end <= run_end(r)) return true;
  }
  return false;
}

// A detached-on-exit loop device over a file (read-only).
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    FILE* p = ::popen(("losetup --find --show --read-only '" + file + "' 2>/dev/null").c_str(), "r");
    if (p == nullptr) return;
    char line[256] = {};
    if (std::fgets(line, sizeof(line), p) != nullptr) path_ = line;
    ::pclose(p);
    while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' ')) path_.pop_back();
  }
  ~LoopDevice() {
    if (!path_.empty()) std::system(("losetup -d '" + path_ + "'").c_str());
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const char* const kVolumes[] = {"vol4k.img", "vol512.img", "sec4k.img", "disk.img"};

class NtfsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixtures_ = &test::fixture_files("make_ntfs.sh", {"mkntfs", "ntfscp", "ntfsinfo", "sfdisk", "ntfsresize"});
  }

  void SetUp() override {
    if (!fixtures_->have_tools) GTEST_SKIP() << "needs mkntfs, ntfscp, ntfsinfo, ntfsresize and sfdisk";
    ASSERT_TRUE(fixtures_->dir.ok());
    ASSERT_EQ(fixtures_->status, 0) << "make_ntfs.sh failed";
    tav_init_disk();
    ntfs_ = file_system_by_code(FS_NTFS);
    ASSERT_NE(ntfs_, nullptr);
    ASSERT_STREQ(ntfs_->name, "NTFS");
  }

  struct Volume {
    std::unique_ptr<_DISK_INFOMATION> disk;
    BACKUP_PARTITION_INFO* part = nullptr;
    Facts facts;
  };

  // A partition over `image` (a copy of a fixture, or the fixture itself): the whole file for a
  // partition image, the partition at 2048 for disk.img.
  Volume open_volume(const std::string& name, const std::string& image = "") {
    Volume v;
    const std::string path = image.empty() ? fixtures_->file(name) : image;
    v.facts = read_facts(fixtures_->file(name + ".facts"));
    v.disk = test::file_disk(path);
    if (v.disk == nullptr) return v;
    const uint64_t start = name == "disk.img" ? 2048 : 0;
    v.part = test::add_file_partition(v.disk.get(), start, v.disk->total_sectors - start, 0x07);
    return v;
  }

  // A copy of a fixture image the test may damage.
  std::string scratch_copy(const std::string& name, const std::string& copy) {
    const std::string path = fixtures_->file(copy);
    EXPECT_TRUE(copy_file(fixtures_->file(name), path));
    return path;
  }

  static inline const test::FixtureFiles* fixtures_ = nullptr;
  const FILE_SYSTEM_TYPE* ntfs_ = nullptr;
};

TEST_F(NtfsTest, UsedSectorsMatchTheVolumeToolsCount) {
  for (const char* name : kVolumes) {
    SCOPED_TRACE(name);
    Volume v = open_volume(name);
    ASSERT_NE(v.part, nullptr);
    EXPECT_EQ(ntfs_->probe(v.part), 1);
    ASSERT_EQ(attach_file_system(v.part), 0);
    ASSERT_EQ(v.part->fs, ntfs_);
    EXPECT_EQ(rec_u32(*v.part, pp::kFsTypeCode), FS_NTFS);
    EXPECT_EQ(part_fs_name(*v.part), "NTFS");
    EXPECT_EQ(part_fs_label(*v.part), v.facts.label);

    // Clusters in use, plus the backup boot sector (one NTFS sector past the clusters).
    const uint64_t expected =
        (v.facts.clusters - v.facts.free_clusters) * (v.facts.cluster_size / kSectorSize) +
        v.facts.sector_size / kSectorSize;
    EXPECT_EQ(part_used_sectors(*v.part), expected);

    ImageRuns runs{ntfs_->get_used_runs(nullptr, v.part)};
    ASSERT_NE(runs.get(), nullptr);
    ASSERT_GT(runs.get()->run_count, 0u);
    uint64_t total = 0;
    uint64_t previous_end = 0;
    for (uint32_t i = 0; i < runs.get()->run_count; ++i) {
      const IMAGE_RUN& r = *runs.get()->runs[i];
      EXPECT_EQ(r.type, RUN_TYPE_DATA);
      EXPECT_GT(r.value.Number, 0u);
      if (i > 0) {
        EXPECT_GT(r.value.Begin, previous_end) << "runs overlap, touch or are out of order at " << i;
      }
      previous_end = run_end(r);
      total += r.value.Number;
    }
    EXPECT_EQ(total, part_used_sectors(*v.part));
    EXPECT_EQ(runs.get()->runs[0]->value.Begin, 0u);                           // boot sector
    EXPECT_EQ(run_end(*runs.get()->runs[runs.get()->run_count - 1]), v.part->sector_count);  // its backup
    EXPECT_EQ(v.part->fd, -1) << "a partition found closed is left closed";
  }
}

TEST_F(NtfsTest, AnOpenPartitionIsLeftOpen) {
  Volume v = open_volume("disk.img");
  ASSERT_EQ(v.part->ops->open(v.part, kOpenRead), 0);
  const int fd = v.part->fd;
  ImageRuns runs{ntfs_->get_used_runs(nullptr, v.part)};
  EXPECT_NE(runs.get(), nullptr);
  FlatRuns file{ntfs_->get_file_runs(v.part, "/pagefile.sys")};
  EXPECT_NE(file.get(), nullptr);
  EXPECT_EQ(v.part->fd, fd);
  uint8_t sector[kSectorSize];
  EXPECT_EQ(v.part->ops->pos_read(v.part, 0, kSectorSize, sector), int64_t{kSectorSize});
  v.part->ops->close(v.part);
}

TEST_F(NtfsTest, NothingIsWrittenEvenThroughAWritablePartition) {
  const std::string path = scratch_copy("disk.img", "untouched.img");
  const std::vector<uint8_t> before = file_bytes(path);
  Volume v = open_volume("disk.img", path);
  ASSERT_EQ(v.part->ops->open(v.part, kOpenWrite), 0);  // writes would succeed if attempted
  ASSERT_EQ(attach_file_system(v.part), 0);
  EXPECT_EQ(v.part->fs, ntfs_);
  ImageRuns runs{ntfs_->get_used_runs(nullptr, v.part)};
  EXPECT_NE(runs.get(), nullptr);
  FlatRuns file{ntfs_->get_file_runs(v.part, "/hiberfil.sys")};
  EXPECT_NE(file.get(), nullptr);
  EXPECT_GT(ntfs_->min_size_bytes(v.part), 0);
  v.part->ops->close(v.part);
  EXPECT_TRUE(file_bytes(path) == before) << "the volume was changed";
}

TEST_F(NtfsTest, FileRunsHoldExactlyTheFilesBytes) {
  const char* const kFiles[] = {"pagefile.sys", "hiberfil.sys", "frag.bin", "readme.txt"};
  for (const char* name : kVolumes) {
    Volume v = open_volume(name);
    ImageRuns used{ntfs_->get_used_runs(nullptr, v.part)};
    ASSERT_NE(used.get(), nullptr) << name;
    for (const char* file : kFiles) {
      SCOPED_TRACE(std::string(name) + " /" + file);
      const std::vector<uint8_t> source = file_bytes(fixtures_->file(std::string("src/") + file));
      ASSERT_FALSE(source.empty());
      FlatRuns runs{ntfs_->get_file_runs(v.part, (std::string("/") + file).c_str())};
      ASSERT_NE(runs.get(), nullptr);

      const uint64_t cluster = v.facts.cluster_size;
      const uint64_t allocated = (source.size() + cluster - 1) / cluster * cluster;
      EXPECT_EQ(uint64_t(libtavpub_flat_runs_total_sectors(runs.get())) * kSectorSize, allocated);

      std::vector<uint8_t> read;
      ASSERT_EQ(v.part->ops->open(v.part, kOpenRead), 0);
      for (uint32_t i = 0; i < runs.get()->run_count; ++i) {
        const FLAT_RUN& r = runs.get()->runs[i];
        EXPECT_FALSE(flat_run_is_minus(r));
        EXPECT_TRUE(inside_used(used.get(), r.Begin, flat_run_end(r))) << "run " << i << " is not in use";
        std::vector<uint8_t> chunk(size_t(flat_run_sectors(r)) * kSectorSize);
        ASSERT_EQ(v.part->ops->read_sectors(v.part, r.Begin, flat_run_sectors(r), chunk.data()),
                  int64_t(flat_run_sectors(r)));
        read.insert(read.end(), chunk.begin(), chunk.end());
      }
      v.part->ops->close(v.part);
      ASSERT_GE(read.size(), source.size());
      EXPECT_TRUE(std::equal(source.begin(), source.end(), read.begin())) << "runs do not hold the file";
      if (std::string(file) == "frag.bin" && v.facts.frag_runs >= 2) {
        EXPECT_GE(runs.get()->run_count, 2u) << "the fixture made this file fragmented";
      }
    }
  }
}

TEST_F(NtfsTest, PathsWithoutClustersGiveEmptyRuns) {
  Volume v = open_volume("vol4k.img");
  const char* const kEmpty[] = {
      "/tiny.txt",              // data resident in its MFT record
      "/missing.sys",           // no such file
      "/tiny.txt/below",        // a file used as a directory
      "/nodir/pagefile.sys",    // missing directory
      "/",                      // the root directory has no unnamed $DATA
  };
  for (const char* path : kEmpty) {
    SCOPED_TRACE(path);
    FlatRuns runs{ntfs_->get_file_runs(v.part, path)};
    ASSERT_NE(runs.get(), nullptr);
    EXPECT_EQ(runs.get()->run_count, 0u);
  }
  // Repeated and trailing slashes still name the file.
  FlatRuns slashes{ntfs_->get_file_runs(v.part, "//pagefile.sys/")};
  ASSERT_NE(slashes.get(), nullptr);
  EXPECT_GT(slashes.get()->run_count, 0u);
  // Not a '/'-path.
  EXPECT_EQ(ntfs_->get_file_runs(v.part, "pagefile.sys"), nullptr);
  EXPECT_EQ(ntfs_->get_file_runs(v.part, nullptr), nullptr);
}

TEST_F(NtfsTest, DamagedVolumesFailWithoutCrashing) {
  // vol4k.img: 4 KiB clusters, 1 KiB MFT records; $MFT's first cluster from its boot sector.
  const std::vector<uint8_t> boot = file_bytes(fixtures_->file("vol4k.img"));
  ASSERT_GE(boot.size(), 512u);
  const uint64_t mft = get_le64(&boot[0x30]) * 4096;
  const std::vector<uint8_t> ff8(8, 0xFF);
  struct Case {
    const char* name;
    uint64_t offset;
    std::vector<uint8_t> bytes;
    bool probes;  // the boot sector still looks like NTFS
  };
  const Case kCases[] = {
      {"OEM id", 3, {'N', 'T', 'F', 'X'}, false},
      {"boot signature", 510, {0, 0}, false},
      {"bytes per sector 768", 0x0B, {0x00, 0x03}, false},
      {"sectors per cluster 3", 0x0D, {3}, false},
      {"volume larger than the partition", 0x28, {0, 0, 0, 0, 1, 0, 0, 0}, false},
      {"$MFT beyond the volume", 0x30, ff8, false},
      {"$MFT record magic", mft, {'X', 'X', 'X', 'X'}, true},
      {"$MFT attribute offset", mft + 0x14, {0xF0, 0xFF}, true},
      {"$Bitmap record magic", mft + 6 * 1024, {'X', 'X', 'X', 'X'}, true},
      {"$MFT area overwritten", mft, std::vector<uint8_t>(64 * 1024, 0xA5), true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratch_copy("vol4k.img", "damaged.img");
    ASSERT_TRUE(patch_file(path, c.offset, c.bytes));
    Volume v = open_volume("vol4k.img", path);
    EXPECT_EQ(ntfs_->probe(v.part), c.probes ? 1 : 0);
    ASSERT_EQ(attach_file_system(v.part), 0);
    EXPECT_EQ(v.part->fs, nullptr);
    EXPECT_EQ(v.part->ops_fs, unknown_file_system());
    EXPECT_EQ(part_used_sectors(*v.part), v.part->sector_count);
    // The handler's own operations on the damaged volume report failure.
    EXPECT_EQ(ntfs_->get_used_runs(nullptr, v.part), nullptr);
    EXPECT_EQ(ntfs_->get_file_runs(v.part, "/pagefile.sys"), nullptr);
    EXPECT_EQ(ntfs_->min_size_bytes(v.part), -1);
    EXPECT_EQ(v.part->fd, -1);
  }
}

TEST_F(NtfsTest, DamagedFileRecordFailsOnlyThatFile) {
  // Find pagefile.sys's MFT record by its name in UTF-16 and break its magic: the volume still
  // mounts, the scan of that file fails, other files are unaffected.
  const std::string path = scratch_copy("vol4k.img", "damaged_file.img");
  const std::vector<uint8_t> image = file_bytes(path);
  const uint64_t mft = get_le64(&image[0x30]) * 4096;
  const std::u16string name = u"pagefile.sys";
  std::vector<uint8_t> needle;
  for (char16_t ch : name) {
    needle.push_back(uint8_t(ch));
    needle.push_back(uint8_t(ch >> 8));
  }
  uint64_t record = 0;
  for (uint64_t r = 24; r < 256 && record == 0; ++r) {  // user files start at record 24
    const uint64_t at = mft + r * 1024;
    if (at + 1024 > image.size()) break;
    if (std::search(image.begin() + at, image.begin() + at + 1024, needle.begin(), needle.end()) !=
        image.begin() + at + 1024) {
      record = at;
    }
  }
  ASSERT_NE(record, 0u) << "record of pagefile.sys not found";
  ASSERT_TRUE(patch_file(path, record, {'B', 'A', 'A', 'D'}));
  Volume v = open_volume("vol4k.img", path);
  ASSERT_EQ(attach_file_system(v.part), 0);
  ASSERT_EQ(v.part->fs, ntfs_);
  // A broken record is an error (or, where the directory lookup already refuses it, a file
  // that is not there), never runs from a damaged record.
  FLAT_RUN_VECTOR* broken = ntfs_->get_file_runs(v.part, "/pagefile.sys");
  if (broken != nullptr) {
    EXPECT_EQ(broken->run_count, 0u);
  }
  libtavpub_release_flat_run_vector(broken);
  FlatRuns other{ntfs_->get_file_runs(v.part, "/hiberfil.sys")};
  ASSERT_NE(other.get(), nullptr);
  EXPECT_GT(other.get()->run_count, 0u);
}

TEST_F(NtfsTest, PartitionBeyondThirtyTwoBitSectorsFailsClearly) {
  // The volume fits; the partition object claims 2^32 sectors and more, which runs cannot hold.
  Volume v = open_volume("vol4k.img");
  set_part_extent(*v.part, 0, (uint64_t{1} << 32) + 64);
  EXPECT_EQ(ntfs_->prepare(v.part), 0);  // counting needs no runs
  errno = 0;
  EXPECT_EQ(ntfs_->get_used_runs(nullptr, v.part), nullptr);
  EXPECT_EQ(errno, EFBIG);
  errno = 0;
  EXPECT_EQ(ntfs_->get_file_runs(v.part, "/pagefile.sys"), nullptr);
  EXPECT_EQ(errno, EFBIG);
}

TEST_F(NtfsTest, MinSizeWithoutABlockDeviceCoversTheLastUsedCluster) {
  for (const char* name : kVolumes) {
    SCOPED_TRACE(name);
    Volume v = open_volume(name);
    const int64_t min = ntfs_->min_size_bytes(v.part);
    ASSERT_GT(min, 0);
    EXPECT_LE(uint64_t(min), v.part->sector_count * kSectorSize);
    // Whole clusters plus one NTFS sector for the backup boot sector.
    EXPECT_EQ((uint64_t(min) - v.facts.sector_size) % v.facts.cluster_size, 0u);
    // Nothing in use may lie past it, apart from the backup boot sector itself.
    ImageRuns used{ntfs_->get_used_runs(nullptr, v.part)};
    ASSERT_NE(used.get(), nullptr);
    ASSERT_GE(used.get()->run_count, 2u);
    const IMAGE_RUN& last_data = *used.get()->runs[used.get()->run_count - 2];
    EXPECT_EQ(run_end(last_data) * kSectorSize + v.facts.sector_size, uint64_t(min));
    // The resize tool may move clusters down, so its answer is never larger.
    const std::string image = fixtures_->file(name);
    if (std::string(name) != "disk.img") {
      const int64_t tool = resize_tool_figure(image);
      ASSERT_GT(tool, 0);
      EXPECT_LE(tool, min);
    }
  }
}

TEST_F(NtfsTest, BlockDeviceAsksTheResizeTool) {
  if (::geteuid() != 0 || !test::have_tools({"losetup"})) GTEST_SKIP() << "needs root and losetup";
  const std::string image = scratch_copy("vol4k.img", "loop.img");
  LoopDevice loop(image);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device could be set up";
  Volume v = open_volume("vol4k.img", image);
  const int64_t fallback = ntfs_->min_size_bytes(v.part);
  v.part->dev_path = loop.path();
  v.part->dev_name = loop.path();

  // Read through the device instead of the disk file: the same answers.
  ASSERT_EQ(attach_file_system(v.part), 0);
  ASSERT_EQ(v.part->fs, ntfs_);
  const Facts& f = v.facts;
  EXPECT_EQ(part_used_sectors(*v.part), (f.clusters - f.free_clusters) * (f.cluster_size / kSectorSize) + 1);

  const int64_t tool = resize_tool_figure(loop.path());
  ASSERT_GT(tool, 0);
  EXPECT_EQ(ntfs_->min_size_bytes(v.part), tool);
  EXPECT_LT(tool, fallback);
  // While a snapshot stands in for the partition the tool is not asked.
  v.part->read_path = image;
  EXPECT_EQ(ntfs_->min_size_bytes(v.part), fallback);
}

TEST_F(NtfsTest, ConcurrentScansAgree) {
  // Each thread has its own partition objects; the volumes are scanned at the same time.
  constexpr size_t kRounds = 3;
  std::vector<uint64_t> expected;
  std::vector<Volume> volumes;
  for (size_t round = 0; round < kRounds; ++round) {
    for (const char* name : kVolumes) volumes.push_back(open_volume(name));
  }
  for (size_t i = 0; i < std::size(kVolumes); ++i) {
    ImageRuns runs{ntfs_->get_used_runs(nullptr, volumes[i].part)};
    ASSERT_NE(runs.get(), nullptr);
    expected.push_back(libtavpub_image_runs_total_sectors(runs.get()));
  }
  std::vector<uint64_t> got(volumes.size(), 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < volumes.size(); ++t) {
    threads.emplace_back([&, t] {
      ImageRuns runs{ntfs_->get_used_runs(nullptr, volumes[t].part)};
      if (runs.get() != nullptr) got[t] = libtavpub_image_runs_total_sectors(runs.get());
    });
  }
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < got.size(); ++t) EXPECT_EQ(got[t], expected[t % std::size(kVolumes)]) << "thread " << t;
}

}  // namespace
}  // namespace tav::disk
