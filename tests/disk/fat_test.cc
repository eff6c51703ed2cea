// FAT handlers over volumes made by mkfs.fat and filled by mtools (fixtures/make_fat.sh): used
// sectors against fsck.fat's figures, file runs against mshowfat's chains and the files' own
// bytes, the minimum size, damaged volumes, and boot sectors that are or are not FAT.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_order.h"
#include "core/extent_vector.h"
#include "disk/fat_reader.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "tests/core/extent_test_helpers.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::TempDir;

using ImageRuns = tav::test::ImageVector;
using FlatRuns = tav::test::FlatVector;

std::vector<uint8_t> file_bytes(const std::string& path, uint64_t offset = 0, size_t bytes = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  std::vector<uint8_t> data;
  char c;
  while (data.size() < bytes && in.get(c)) data.push_back(uint8_t(c));
  return data;
}

uint64_t file_size(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return uint64_t(in.tellg());
}

// Figures fsck.fat reported for a volume: used clusters, cluster size, start of cluster 2.
struct FsckFigures {
  uint64_t used_clusters = 0;
  uint64_t cluster_bytes = 0;
  uint64_t data_start_bytes = 0;

  uint64_t cluster_sector(uint32_t cluster) const {
    return (data_start_bytes + (cluster - 2) * cluster_bytes) / kSectorSize;
  }
  uint64_t sectors_per_cluster() const { return cluster_bytes / kSectorSize; }
};

FsckFigures read_fsck(const std::string& image) {
  FsckFigures f;
  std::ifstream(image + ".fsck") >> f.used_clusters >> f.cluster_bytes >> f.data_start_bytes;
  return f;
}

// mshowfat's chains: "::/frag.bin <10-16> <27-39>" -> {"/frag.bin", {{10, 16}, {27, 39}}}.
using ClusterRanges = std::vector<std::pair<uint32_t, uint32_t>>;
std::map<std::string, ClusterRanges> read_chains(const std::string& image) {
  std::map<std::string, ClusterRanges> chains;
  std::ifstream in(image + ".chains");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string name, range;
    words >> name;
    ClusterRanges& ranges = chains[name.substr(2)];
    while (words >> range) {
      const std::string inner = range.substr(1, range.size() - 2);
      const size_t dash = inner.find('-');
      const uint32_t first = uint32_t(std::stoul(inner.substr(0, dash)));
      const uint32_t last = dash == std::string::npos ? first : uint32_t(std::stoul(inner.substr(dash + 1)));
      ranges.emplace_back(first, last);
    }
  }
  return chains;
}

// A disk object over an image file with one partition (no table is read).
struct OpenedPartition {
  std::unique_ptr<_DISK_INFOMATION> disk;
  BACKUP_PARTITION_INFO* part = nullptr;
};

OpenedPartition open_partition(const std::string& image, uint64_t start, uint64_t count, uint8_t type = 0x0C) {
  OpenedPartition o;
  o.disk = test::file_disk(image);
  if (o.disk == nullptr) return o;
  if (count == 0) count = o.disk->total_sectors - start;
  o.part = test::add_file_partition(o.disk.get(), start, count, type);
  return o;
}

// True when every sector of [first, first + count) lies in one of the sorted runs.
bool covered(const IMAGE_RUN_VECTOR& runs, uint64_t first, uint64_t count) {
  for (uint32_t i = 0; i < runs.run_count && count > 0; ++i) {
    const IMAGE_RUN& r = *runs.runs[i];
    if (first < r.value.Begin) return false;
    if (first < run_end(r)) {
      const uint64_t n = std::min<uint64_t>(count, run_end(r) - first);
      first += n;
      count -= n;
    }
  }
  return count == 0;
}

// Writes bytes into an image file and puts the old bytes back when it goes.
class Patch {
 public:
  Patch(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) : path_(path), offset_(offset) {
    old_ = file_bytes(path, offset, bytes.size());
    write(bytes);
  }
  ~Patch() { write(old_); }
  Patch(const Patch&) = delete;
  Patch& operator=(const Patch&) = delete;

 private:
  void write(const std::vector<uint8_t>& bytes) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), off_t(offset_)), ssize_t(bytes.size()));
    ::close(fd);
  }
  std::string path_;
  uint64_t offset_;
  std::vector<uint8_t> old_;
};

struct VolumeCase {
  const char* image;
  uint64_t start;  // partition's first sector in the image
  uint64_t count;  // its sectors; 0: the rest of the image
  uint32_t fs_code;
  const char* fs_name;
  const char* label;
  uint32_t min_clusters;  // the FAT type's least cluster count
};

const VolumeCase kVolumes[] = {
    {"fat12.img", 0, 0, FS_FAT16, "FAT12", "SMALLVOL", 0},
    {"fat16.img", 0, 0, FS_FAT16, "FAT16", "Mid Vol", fat::kMinFat16Clusters},
    {"fat16_4k.img", 0, 0, FS_FAT16, "FAT16", "", fat::kMinFat16Clusters},
    {"fat32.img", 0, 0, FS_FAT32, "FAT32", "BIGVOL", fat::kMinFat32Clusters},
    {"mbr.img", 2048, 81920, FS_FAT32, "FAT32", "DISKVOL", fat::kMinFat32Clusters},
};

class FatImagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tav_init_disk();
    if (!test::have_tools({"mkfs.fat", "fsck.fat", "mcopy", "mmd", "mdel", "mshowfat", "sfdisk", "awk", "od"})) {
      return;
    }
    dir_ = new TempDir();
    script_status_ = test::run_fixture("make_fat.sh", {dir_->path()});
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr) GTEST_SKIP() << "needs dosfstools, mtools and sfdisk";
    ASSERT_EQ(script_status_, 0) << "make_fat.sh failed";
  }

  static std::string image(const char* name) { return dir_->file(name); }
  static const FILE_SYSTEM_TYPE* handler(uint32_t code) { return file_system_by_code(code); }

  static TempDir* dir_;
  static int script_status_;
};

TempDir* FatImagesTest::dir_ = nullptr;
int FatImagesTest::script_status_ = -1;

TEST_F(FatImagesTest, UsedSectorsAgreeWithFsck) {
  for (const VolumeCase& c : kVolumes) {
    SCOPED_TRACE(c.image);
    const std::string path = image(c.image);
    OpenedPartition o = open_partition(path, c.start, c.count);
    ASSERT_NE(o.part, nullptr);
    const FILE_SYSTEM_TYPE* own = handler(c.fs_code);
    const FILE_SYSTEM_TYPE* other = handler(c.fs_code == FS_FAT16 ? FS_FAT32 : FS_FAT16);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(own->probe(o.part), 1);
    EXPECT_EQ(other->probe(o.part), 0);

    ASSERT_EQ(attach_file_system(o.part), 0);
    EXPECT_EQ(o.part->fs, own);
    EXPECT_EQ(part_fs_name(*o.part), c.fs_name);
    EXPECT_EQ(part_fs_label(*o.part), c.label);

    const FsckFigures f = read_fsck(path);
    ASSERT_GT(f.used_clusters, 0u);
    const uint64_t expected = f.data_start_bytes / kSectorSize + f.used_clusters * f.sectors_per_cluster();
    EXPECT_EQ(part_used_sectors(*o.part), expected);

    ImageRuns runs(own->get_used_runs(nullptr, o.part));
    ASSERT_NE(runs, nullptr);
    ASSERT_GT(runs->run_count, 0u);
    EXPECT_EQ(runs->runs[0]->value.Begin, 0u);
    EXPECT_GE(run_end(*runs->runs[0]), f.data_start_bytes / kSectorSize);  // the whole metadata area
    uint64_t total = 0;
    uint64_t previous_end = 0;
    for (uint32_t i = 0; i < runs->run_count; ++i) {
      const IMAGE_RUN& r = *runs->runs[i];
      EXPECT_EQ(r.type, RUN_TYPE_DATA);
      EXPECT_GT(r.value.Number, 0u);
      if (i > 0) {
        EXPECT_GT(r.value.Begin, previous_end) << "run " << i << " unsorted or not merged";
      }
      if (i > 0) {  // whole clusters
        EXPECT_EQ((r.value.Begin - f.data_start_bytes / kSectorSize) % f.sectors_per_cluster(), 0u);
        EXPECT_EQ(r.value.Number % f.sectors_per_cluster(), 0u);
      }
      previous_end = run_end(r);
      total += r.value.Number;
    }
    EXPECT_LE(previous_end, o.part->sector_count);
    EXPECT_EQ(total, expected);
    // Image partitions pick their handler by type byte, which may name the other FAT kind.
    ImageRuns by_other(other->get_used_runs(nullptr, o.part));
    EXPECT_EQ(libtavpub_equal_image_run_vector(by_other.get(), runs.get()), 1);
    EXPECT_LT(o.part->fd, 0) << "the handler left the partition open";
  }
}

struct FileCase {
  const char* path;
  const char* source;  // file under src/ with the expected bytes; null: no runs expected
};

const FileCase kFiles[] = {
    {"/pagefile.sys", "pagefile.sys"},
    {"/PAGEFILE.SYS", "pagefile.sys"},
    {"/frag.bin", "frag.bin"},
    {"/Dir1/Dir2/Dir3/Deep File.txt", "deep.txt"},
    {"/dir1/DIR2/dir3/DEEP FILE.TXT", "deep.txt"},
    {"//Dir1//Dir2/Dir3/Deep File.txt", "deep.txt"},
    {"/A long file name with spaces.text", "long.txt"},
    {"/ALONGF~1.TEX", "long.txt"},  // its short name
    {"/after.bin", "after.bin"},
    {"/empty.txt", nullptr},
    {"/gap.bin", nullptr},  // deleted
    {"/hiberfil.sys", nullptr},
    {"/Dir1", nullptr},  // a directory is not a file
    {"/", nullptr},
    {"/pagefile.sys/x", nullptr},
    {"/Dir1/pagefile.sys", nullptr},
    {"/Dir1/Dir2/Dir3/Deep File", nullptr},
};

TEST_F(FatImagesTest, FileRunsHoldTheFilesBytesInsideTheUsedRuns) {
  for (const VolumeCase& v : kVolumes) {
    const std::string path = image(v.image);
    OpenedPartition o = open_partition(path, v.start, v.count);
    ASSERT_NE(o.part, nullptr);
    const FILE_SYSTEM_TYPE* h = handler(v.fs_code);
    ImageRuns used(h->get_used_runs(nullptr, o.part));
    ASSERT_NE(used, nullptr);
    const FsckFigures f = read_fsck(path);
    for (const FileCase& c : kFiles) {
      SCOPED_TRACE(std::string(v.image) + " " + c.path);
      FlatRuns runs(h->get_file_runs(o.part, c.path));
      ASSERT_NE(runs, nullptr);
      if (c.source == nullptr) {
        EXPECT_EQ(runs->run_count, 0u);
        continue;
      }
      const std::vector<uint8_t> want = file_bytes(dir_->file(std::string("src/") + c.source));
      std::vector<uint8_t> got;
      for (uint32_t i = 0; i < runs->run_count; ++i) {
        const FLAT_RUN& r = runs->runs[i];
        EXPECT_TRUE(covered(*used, r.Begin, r.Number)) << "run " << i << " outside the used sectors";
        const std::vector<uint8_t> bytes =
            file_bytes(path, (v.start + r.Begin) * kSectorSize, size_t(r.Number) * kSectorSize);
        got.insert(got.end(), bytes.begin(), bytes.end());
      }
      ASSERT_GE(got.size(), want.size());
      EXPECT_LT(got.size() - want.size(), f.cluster_bytes) << "more clusters than the file needs";
      got.resize(want.size());
      EXPECT_TRUE(got == want) << "the runs do not hold the file's bytes";
    }

    // The same clusters as mshowfat lists, and frag.bin really in two pieces.
    auto chains = read_chains(path);
    for (const char* name : {"/frag.bin", "/pagefile.sys"}) {
      SCOPED_TRACE(std::string(v.image) + " chain of " + name);
      FlatRuns runs(h->get_file_runs(o.part, name));
      ASSERT_NE(runs, nullptr);
      const ClusterRanges& ranges = chains[name];
      ASSERT_EQ(runs->run_count, ranges.size());
      for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(runs->runs[i].Begin, f.cluster_sector(ranges[i].first));
        EXPECT_EQ(runs->runs[i].Number, (ranges[i].second - ranges[i].first + 1) * f.sectors_per_cluster());
      }
    }
    EXPECT_GE(chains["/frag.bin"].size(), 2u);
  }
}

TEST_F(FatImagesTest, APartitionOpenedByTheCallerStaysOpen) {
  OpenedPartition o = open_partition(image("fat32.img"), 0, 0);
  ASSERT_EQ(o.part->ops->open(o.part, kOpenRead), 0);
  const int fd = o.part->fd;
  FlatRuns runs(handler(FS_FAT32)->get_file_runs(o.part, "/pagefile.sys"));
  ASSERT_NE(runs, nullptr);
  EXPECT_GT(runs->run_count, 0u);
  EXPECT_EQ(o.part->fd, fd);
  o.part->ops->close(o.part);
}

TEST_F(FatImagesTest, MinimumSizeEndsAtTheLastUsedClusterButKeepsTheFatType) {
  for (const VolumeCase& v : kVolumes) {
    SCOPED_TRACE(v.image);
    const std::string path = image(v.image);
    OpenedPartition o = open_partition(path, v.start, v.count);
    const FsckFigures f = read_fsck(path);
    // Files are written in order, so pagefile.sys, written last, ends at the last used cluster.
    uint64_t last = 0;
    for (const auto& [name, ranges] : read_chains(path)) {
      for (const auto& r : ranges) last = std::max<uint64_t>(last, r.second);
    }
    const uint64_t clusters = std::max<uint64_t>(last - 1, v.min_clusters);
    EXPECT_EQ(handler(v.fs_code)->min_size_bytes(o.part), int64_t(f.data_start_bytes + clusters * f.cluster_bytes));
  }
}

TEST_F(FatImagesTest, BadClustersAreNotUsed) {
  const std::string path = image("fat16.img");
  const FsckFigures f = read_fsck(path);
  const std::vector<uint8_t> boot = file_bytes(path, 0, kSectorSize);
  const uint64_t fat_offset = uint64_t(get_le16(&boot[14])) * get_le16(&boot[11]);
  const uint32_t bad_cluster = 1000;  // free in the fixture
  std::vector<uint8_t> mark(2);
  put_le16(mark.data(), 0xFFF7);
  OpenedPartition o = open_partition(path, 0, 0);
  Patch patch(path, fat_offset + 2 * bad_cluster, mark);
  ASSERT_EQ(handler(FS_FAT16)->prepare(o.part), 0);
  EXPECT_EQ(part_used_sectors(*o.part), f.data_start_bytes / kSectorSize + f.used_clusters * f.sectors_per_cluster());
  ImageRuns runs(handler(FS_FAT16)->get_used_runs(nullptr, o.part));
  ASSERT_NE(runs, nullptr);
  for (uint32_t i = 0; i < runs->run_count; ++i) {
    const IMAGE_RUN& r = *runs->runs[i];
    EXPECT_FALSE(r.value.Begin <= f.cluster_sector(bad_cluster) && f.cluster_sector(bad_cluster) < run_end(r));
  }
}

// ---- damaged volumes ----

// Where a volume keeps what the damage cases change.
struct VolumeFacts {
  std::string path;
  uint64_t fat_offset = 0;  // first FAT, bytes
  int bits = 0;             // 12, 16 or 32
  uint32_t cluster_count = 0;
  FsckFigures fsck;
  std::map<std::string, ClusterRanges> chains;

  uint32_t first_of(const char* name) const { return chains.at(name).front().first; }
  uint32_t last_of(const char* name) const { return chains.at(name).back().second; }
  uint32_t end_mark() const { return bits == 12 ? 0xFFF : bits == 16 ? 0xFFFF : 0x0FFFFFFF; }

  // A FAT entry as it is stored (FAT12 entries share bytes with their neighbour).
  std::pair<uint64_t, std::vector<uint8_t>> encode_entry(uint32_t cluster, uint32_t value) const {
    if (bits == 12) {
      const uint64_t off = fat_offset + cluster + cluster / 2;
      std::vector<uint8_t> pair = file_bytes(path, off, 2);
      uint16_t v = get_le16(pair.data());
      v = (cluster & 1) ? uint16_t((v & 0x000F) | (value << 4)) : uint16_t((v & 0xF000) | (value & 0xFFF));
      put_le16(pair.data(), v);
      return {off, pair};
    }
    std::vector<uint8_t> b(bits / 8);
    if (bits == 16) put_le16(b.data(), uint16_t(value));
    else put_le32(b.data(), value);
    return {fat_offset + uint64_t(cluster) * (bits / 8), b};
  }
};

VolumeFacts facts_of(const std::string& path, int bits) {
  VolumeFacts v;
  v.path = path;
  v.bits = bits;
  const std::vector<uint8_t> boot = file_bytes(path, 0, kSectorSize);
  v.fat_offset = uint64_t(get_le16(&boot[14])) * get_le16(&boot[11]);
  v.fsck = read_fsck(path);
  v.cluster_count = uint32_t((file_size(path) - v.fsck.data_start_bytes) / v.fsck.cluster_bytes);
  v.chains = read_chains(path);
  return v;
}

enum class Want { kOk, kFail };

struct DamageCase {
  const char* name;
  bool fat32_only;
  // Returns the FAT entry to change (cluster, new value); cluster 0: change nothing.
  std::function<std::pair<uint32_t, uint32_t>(const VolumeFacts&)> entry;
  uint64_t cut_sectors;  // the partition ends this many sectors before the volume
  const char* path;      // looked up with get_file_runs
  Want prepare;          // prepare, used runs and minimum size
  Want file;
};

TEST_F(FatImagesTest, DamageIsAnErrorNeverACrashOrAHang) {
  const DamageCase cases[] = {
      {"truncated partition", false, [](const VolumeFacts&) { return std::make_pair(0u, 0u); }, 1,
       "/pagefile.sys", Want::kFail, Want::kFail},
      {"FAT entry past the last cluster", false,
       [](const VolumeFacts& v) { return std::make_pair(v.first_of("/pagefile.sys"), v.cluster_count + 2); }, 0,
       "/pagefile.sys", Want::kFail, Want::kFail},
      {"chain loops back to its start", false,
       [](const VolumeFacts& v) { return std::make_pair(v.last_of("/pagefile.sys"), v.first_of("/pagefile.sys")); },
       0, "/pagefile.sys", Want::kOk, Want::kFail},
      {"chain points at itself", false,
       [](const VolumeFacts& v) { return std::make_pair(v.first_of("/pagefile.sys"), v.first_of("/pagefile.sys")); },
       0, "/pagefile.sys", Want::kOk, Want::kFail},
      {"chain runs into a free cluster", false,
       [](const VolumeFacts& v) { return std::make_pair(v.first_of("/pagefile.sys"), v.cluster_count + 1); }, 0,
       "/pagefile.sys", Want::kOk, Want::kFail},
      {"chain ends before the file does", false,
       [](const VolumeFacts& v) { return std::make_pair(v.first_of("/pagefile.sys"), v.end_mark()); }, 0,
       "/pagefile.sys", Want::kOk, Want::kFail},
      {"directory chain loops", false,
       [](const VolumeFacts& v) { return std::make_pair(v.first_of("/Dir1"), v.first_of("/Dir1")); }, 0,
       "/Dir1/Dir2/Dir3/Deep File.txt", Want::kOk, Want::kFail},
      {"root directory chain loops", true, [](const VolumeFacts&) { return std::make_pair(2u, 2u); }, 0,
       "/pagefile.sys", Want::kOk, Want::kFail},
      {"undamaged (control)", false, [](const VolumeFacts&) { return std::make_pair(0u, 0u); }, 0,
       "/Dir1/Dir2/Dir3/Deep File.txt", Want::kOk, Want::kOk},
  };
  const std::pair<const char*, int> volumes[] = {{"fat12.img", 12}, {"fat16_4k.img", 16}, {"fat32.img", 32}};
  for (const auto& [name, bits] : volumes) {
    const VolumeFacts facts = facts_of(image(name), bits);
    const FILE_SYSTEM_TYPE* h = handler(bits == 32 ? FS_FAT32 : FS_FAT16);
    for (const DamageCase& c : cases) {
      if (c.fat32_only && bits != 32) continue;
      SCOPED_TRACE(std::string(name) + ": " + c.name);
      const auto [cluster, value] = c.entry(facts);
      std::unique_ptr<Patch> patch;
      if (cluster != 0) {
        auto [offset, bytes] = facts.encode_entry(cluster, value);
        patch = std::make_unique<Patch>(facts.path, offset, bytes);
      }
      const uint64_t volume_sectors = file_size(facts.path) / kSectorSize;
      OpenedPartition o = open_partition(facts.path, 0, volume_sectors - c.cut_sectors);
      EXPECT_EQ(h->probe(o.part), 1) << "a damaged volume is still FAT";
      const bool prepare_ok = c.prepare == Want::kOk;
      EXPECT_EQ(h->prepare(o.part), prepare_ok ? 0 : -1);
      ImageRuns used(h->get_used_runs(nullptr, o.part));
      EXPECT_EQ(used != nullptr, prepare_ok);
      EXPECT_EQ(h->min_size_bytes(o.part) > 0, prepare_ok);
      FlatRuns file(h->get_file_runs(o.part, c.path));
      EXPECT_EQ(file != nullptr, c.file == Want::kOk);
      if (file != nullptr) {
        EXPECT_GT(file->run_count, 0u);
      }
      EXPECT_LT(o.part->fd, 0);
    }
  }
}

// Every operation survives a smashed byte anywhere in the metadata (boot sector, FATs, root
// directory) and in the first directory clusters, and what prepare counts stays what the used
// runs hold.
TEST_F(FatImagesTest, SmashedMetadataBytesNeverCrashOrDisagree) {
  const std::string path = image("fat12.img");
  const FsckFigures f = read_fsck(path);
  const uint64_t end = f.data_start_bytes + 4 * f.cluster_bytes;
  const FILE_SYSTEM_TYPE* h = handler(FS_FAT16);
  for (uint64_t offset = 0; offset < end; offset += 5) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
      Patch patch(path, offset, {value});
      OpenedPartition o = open_partition(path, 0, 0);
      if (h->probe(o.part) == 0) continue;
      const int prepared = h->prepare(o.part);
      ImageRuns used(h->get_used_runs(nullptr, o.part));
      ASSERT_EQ(prepared == 0, used != nullptr) << "byte " << offset << " = " << int(value);
      if (used != nullptr) {
        ASSERT_EQ(libtavpub_image_runs_total_sectors(used.get()), part_used_sectors(*o.part)) << "byte " << offset;
      }
      for (const char* file : {"/pagefile.sys", "/Dir1/Dir2/Dir3/Deep File.txt"}) {
        FlatRuns runs(h->get_file_runs(o.part, file));
        if (runs == nullptr) continue;
        for (uint32_t i = 0; i < runs->run_count; ++i) {
          ASSERT_LE(flat_run_end(runs->runs[i]), o.part->sector_count) << "byte " << offset << " " << file;
        }
      }
      h->min_size_bytes(o.part);
    }
  }
}

// ---- boot sectors ----

TEST_F(FatImagesTest, BootSectorChecks) {
  const std::vector<uint8_t> good = file_bytes(image("fat16.img"), 0, kSectorSize);
  struct Case {
    const char* name;
    size_t offset;
    std::vector<uint8_t> bytes;
    bool accepted;
  };
  const Case cases[] = {
      {"as made", 0, {}, true},
      {"near jump E9", 0, {0xE9}, true},
      {"no jump", 0, {0x00}, false},
      {"no signature", 510, {0x55, 0x00}, false},
      {"0 bytes per sector", 11, {0x00, 0x00}, false},
      {"768 bytes per sector", 11, {0x00, 0x03}, false},
      {"8192 bytes per sector", 11, {0x00, 0x20}, false},
      {"0 sectors per cluster", 13, {0}, false},
      {"3 sectors per cluster", 13, {3}, false},
      {"no reserved sectors", 14, {0, 0}, false},
      {"no FAT", 16, {0}, false},
      {"3 FATs", 16, {3}, false},
      {"media byte 0x00", 21, {0x00}, false},
      {"no sector count", 19, {0, 0}, false},  // the 32-bit count is 0 on this volume
      {"FAT of one sector", 22, {1, 0}, false},
      {"no root directory", 17, {0, 0}, false},
      {"NTFS name", 3, {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> sector = good;
    std::copy(c.bytes.begin(), c.bytes.end(), sector.begin() + long(c.offset));
    fat::Geometry geo;
    EXPECT_EQ(fat::decode_boot_sector(sector, &geo).is_ok(), c.accepted);
  }

  // Boot sectors that mkntfs and mkfs.ext4 wrote are neither FAT16 nor FAT32.
  for (const char* other : {"other_ntfs.img", "other_ext4.img"}) {
    if (file_size(image(other)) == uint64_t(-1) || file_size(image(other)) == 0) continue;
    SCOPED_TRACE(other);
    OpenedPartition o = open_partition(image(other), 0, 0);
    ASSERT_NE(o.part, nullptr);
    EXPECT_EQ(handler(FS_FAT16)->probe(o.part), 0);
    EXPECT_EQ(handler(FS_FAT32)->probe(o.part), 0);
  }
}

// A boot sector whose layout gives exactly `clusters` data clusters.
std::vector<uint8_t> crafted_boot_sector(uint32_t clusters, bool fat32_layout) {
  std::vector<uint8_t> b(kSectorSize, 0);
  b[0] = 0xEB;
  b[1] = 0x3C;
  b[2] = 0x90;
  put_le16(&b[11], 512);
  b[13] = 1;
  put_le16(&b[14], fat32_layout ? 32 : 1);
  b[16] = 2;
  b[21] = 0xF8;
  const uint32_t root_entries = fat32_layout ? 0 : 512;
  put_le16(&b[17], uint16_t(root_entries));
  const uint32_t bits = fat32_layout ? 32 : (clusters < fat::kMinFat16Clusters ? 12 : 16);
  const uint32_t fat_sectors = uint32_t(((uint64_t(clusters) + 2) * bits / 8 + 511) / 512 + 1);
  if (fat32_layout) {
    put_le32(&b[36], fat_sectors);
    put_le32(&b[44], 2);
  } else {
    put_le16(&b[22], uint16_t(fat_sectors));
  }
  const uint32_t total = get_le16(&b[14]) + 2 * fat_sectors + root_entries * 32 / 512 + clusters;
  if (total < 65536) put_le16(&b[19], uint16_t(total));
  else put_le32(&b[32], total);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

TEST(FatBootSectorTest, ClusterCountDecidesTheType) {
  struct Case {
    uint32_t clusters;
    bool fat32_layout;
    bool accepted;
    fat::FatKind kind;
  };
  const Case cases[] = {
      {1, false, true, fat::FatKind::kFat12},
      {4084, false, true, fat::FatKind::kFat12},
      {4085, false, true, fat::FatKind::kFat16},
      {65524, false, true, fat::FatKind::kFat16},
      {65525, false, false, fat::FatKind::kFat16},  // too many clusters for a fixed root directory
      {65525, true, true, fat::FatKind::kFat32},
      {65524, true, true, fat::FatKind::kFat32},  // without a fixed root it can only be FAT32
      {0x0FFFFFF5, true, true, fat::FatKind::kFat32},
      {0x0FFFFFF6, true, false, fat::FatKind::kFat32},  // its last cluster would be the bad mark
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.clusters) + (c.fat32_layout ? " FAT32 layout" : " FAT12/16 layout"));
    fat::Geometry geo;
    const Status st = fat::decode_boot_sector(crafted_boot_sector(c.clusters, c.fat32_layout), &geo);
    ASSERT_EQ(st.is_ok(), c.accepted) << st.message();
    if (!c.accepted) continue;
    EXPECT_EQ(geo.cluster_count, c.clusters);
    EXPECT_EQ(geo.kind, c.kind);
  }
}

}  // namespace
}  // namespace tav::disk
