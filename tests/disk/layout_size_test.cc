// Partition and disk sizes of the restore layouts, checked against numbers worked out by hand.
#include "disk/layout_size.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "disk/part_record.h"

namespace tav::disk {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr int64_t kNoHandler = -2;  // the partition's handler has no minimum-size operation
constexpr uint64_t C = 255 * 63;    // sectors per cylinder of the usual geometry

// A handler whose minimum size is whatever the test put in the partition's private data.
int64_t min_from_part_data(BACKUP_PARTITION_INFO* part) { return *static_cast<const int64_t*>(part->part_data); }
const FILE_SYSTEM_TYPE kShrinkable = {FS_EXT, "EXT", nullptr, nullptr, nullptr, nullptr, min_from_part_data, nullptr};
const FILE_SYSTEM_TYPE kFixed = {FS_UNKNOWN, "Unknown", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct PartShape {
  int32_t number;
  uint64_t sectors;
  uint8_t type = 0x83;
  uint32_t flags = 0;
  bool selected = true;
  int64_t min_bytes = kNoHandler;  // what the handler reports; kNoHandler: no such operation
  uint64_t match;                  // expected tav_get_match_part_sectors
  uint64_t min;                    // expected tav_get_min_part_sectors
};

struct LayoutCase {
  const char* name;
  uint32_t dest_heads, dest_spt;
  uint64_t dest_sectors;
  bool whole_disk;
  std::vector<PartShape> parts;
  uint64_t min_disk;
  bool match_fits;
  bool min_fits;
};

// Hand computations: C = 16065 sectors per cylinder, T = 63 sectors per track. Partitions not
// numbered 2-4 get T more before rounding up to whole cylinders.
const LayoutCase kCases[] = {
    // #1: 100000 + 63 = 100063 -> 7 cylinders = 112455. Minimum 20000 sectors + 63 -> 2 cylinders.
    // The empty slot counts nowhere. The destination is exactly the match layout.
    {"OnePrimary", 255, 63, 7 * C, false,
     {{1, 100000, 0x83, 0, true, 20000 * 512, 7 * C, 2 * C}, {2, 5000, 0x00, 0, true, kNoHandler, 0, 0}},
     2 * C, true, true},
    // #1: 16002 + 63 = 16065, one cylinder exactly. #2: 16065 with no gap, one cylinder exactly.
    // #3: 16066 -> 2 cylinders. #4: 1 -> 1 cylinder. Match total 5 cylinders = 80325; the
    // destination has one sector less than 6 cylinders and rounds down to 5. Only #1 and #3 are
    // selected: minimum disk 1 + 2 cylinders.
    {"PrimariesOneToFourAtCylinderEdges", 255, 63, 6 * C - 1, false,
     {{1, 16002, 0x07, 0, true, kNoHandler, C, C},
      {2, 16065, 0x07, 0, false, kNoHandler, C, C},
      {3, 16066, 0x0C, 0, true, kNoHandler, 2 * C, 2 * C},
      {4, 1, 0x83, 0, false, kNoHandler, C, C}},
     3 * C, true, true},
    // #1: 20063 -> 2 cylinders (minimum: no handler, the same). #5: 30063 -> 2 cylinders; its
    // file system needs 1000 sectors and one byte -> 1001 + 63 -> 1 cylinder. #6: 16002 + 63 ->
    // 1 cylinder; its handler cannot tell (-1) -> its size. Extended: 2 + 1 cylinders (match),
    // 1 + 1 (minimum); it takes no room of its own. Match total 2 + 2 + 1 = 5 cylinders on a
    // destination one sector short of that (4 whole cylinders): no fit. Minimum 2 + 1 + 1 = 4
    // cylinders fits exactly.
    {"ExtendedWithLogicals", 255, 63, 5 * C - 1, false,
     {{1, 20000, 0x07, 0, true, kNoHandler, 2 * C, 2 * C},
      {2, 50000, 0x0F, kPartFlagExtended, false, kNoHandler, 3 * C, 2 * C},
      {5, 30000, 0x83, kPartFlagLogical, true, 1000 * 512 + 1, 2 * C, C},
      {6, 16002, 0x83, kPartFlagLogical, true, -1, C, C}},
     4 * C, false, true},
    // #2: 3 cylinders exactly; a handler claiming more than the partition holds is held to the
    // partition's size. The destination is one sector short of 3 cylinders: neither fits.
    {"DestinationOneCylinderTooSmall", 255, 63, 3 * C - 1, false,
     {{2, 3 * C, 0x83, 0, true, 1000000000, 3 * C, 3 * C}},
     3 * C, false, false},
    // A destination without geometry is laid out as 255/63: as OnePrimary.
    {"ZeroGeometryIs255By63", 0, 0, 7 * C, false,
     {{1, 100000, 0x83, 0, true, kNoHandler, 7 * C, 7 * C}},
     7 * C, true, true},
    // 16 heads x 63: cylinders of 1008. #1: 100063 -> 100 cylinders = 100800 (the image disk's
    // own 255/63 plays no part). The whole-disk flag selects every partition.
    {"DestinationGeometryRules", 16, 63, 100800, true,
     {{1, 100000, 0x83, 0, false, kNoHandler, 100800, 100800}},
     100800, true, true},
    // A damaged record's count must not wrap around to a small size that fits.
    {"HugeCountSaturates", 255, 63, uint64_t(1) << 40, false,
     {{1, kMax - 10, 0x83, 0, true, kNoHandler, kMax, kMax}, {2, 1, 0x83, 0, true, kNoHandler, C, C}},
     kMax, false, false},
};

struct Built {
  _DISK_INFOMATION dest;
  std::unique_ptr<_DISK_INFOMATION> image = std::make_unique<_DISK_INFOMATION>();
  std::vector<std::unique_ptr<int64_t>> min_bytes;
};

void build(const LayoutCase& c, Built* b) {
  b->dest.heads = c.dest_heads;
  b->dest.sectors_per_track = c.dest_spt;
  b->dest.sectors_per_cylinder = c.dest_heads * c.dest_spt;
  b->dest.total_sectors = c.dest_sectors;
  _DISK_INFOMATION& image = *b->image;
  image.heads = 255;
  image.sectors_per_track = 63;
  image.sectors_per_cylinder = uint32_t(C);
  image.disk_type = DEVICE_IMAGE;
  image.whole_disk = c.whole_disk ? 1 : 0;
  uint64_t start = 63;
  for (const PartShape& shape : c.parts) {
    auto part = std::make_unique<BACKUP_PARTITION_INFO>();
    init_part_record(*part);
    part->disk = &image;
    part->is_image = 1;
    set_part_extent(*part, start, shape.sectors);
    start += shape.sectors;
    set_rec_u8(*part, tav::img::part_layout::kPartType, shape.type);
    set_rec_u32(*part, tav::img::part_layout::kPartNumber, uint32_t(shape.number));
    set_rec_u32(*part, tav::img::part_layout::kPartFlags, shape.flags);
    part->selected = shape.selected ? 1 : 0;
    if (shape.min_bytes == kNoHandler) {
      part->ops_fs = &kFixed;
    } else {
      b->min_bytes.push_back(std::make_unique<int64_t>(shape.min_bytes));
      part->part_data = b->min_bytes.back().get();
      part->ops_fs = &kShrinkable;
    }
    part->fs = part->ops_fs;
    part->index = uint32_t(image.parts.size());
    image.parts.push_back(std::move(part));
  }
}

TEST(LayoutSizeTest, SizesAndFitsFollowTheLayoutRules) {
  for (const LayoutCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Built b;
    build(c, &b);
    for (size_t i = 0; i < c.parts.size(); ++i) {
      SCOPED_TRACE("partition #" + std::to_string(c.parts[i].number));
      EXPECT_EQ(tav_get_match_part_sectors(&b.dest, b.image->parts[i].get()), c.parts[i].match);
      EXPECT_EQ(tav_get_min_part_sectors(&b.dest, b.image->parts[i].get()), c.parts[i].min);
    }
    EXPECT_EQ(tav_get_min_disk_sectors(&b.dest, b.image.get()), c.min_disk);
    EXPECT_EQ(tav_match_match_disk_space(&b.dest, b.image.get()), c.match_fits ? 1 : 0);
    EXPECT_EQ(tav_match_min_disk_space(&b.dest, b.image.get()), c.min_fits ? 1 : 0);
  }
}

TEST(LayoutSizeTest, MissingObjectsGiveNothingAndNeverFit) {
  _DISK_INFOMATION disk;
  disk.heads = 255;
  disk.sectors_per_track = 63;
  disk.total_sectors = 100 * C;
  EXPECT_EQ(tav_get_match_part_sectors(&disk, nullptr), 0u);
  EXPECT_EQ(tav_get_min_part_sectors(&disk, nullptr), 0u);
  EXPECT_EQ(tav_get_min_disk_sectors(&disk, nullptr), 0u);
  EXPECT_EQ(tav_match_match_disk_space(nullptr, &disk), 0);
  EXPECT_EQ(tav_match_match_disk_space(&disk, nullptr), 0);
  EXPECT_EQ(tav_match_min_disk_space(nullptr, &disk), 0);
  EXPECT_EQ(tav_match_min_disk_space(&disk, nullptr), 0);
  // A null geometry is the usual one: a first partition of one sector takes one cylinder.
  BACKUP_PARTITION_INFO part;
  init_part_record(part);
  set_part_extent(part, 63, 1);
  set_rec_u8(part, tav::img::part_layout::kPartType, 0x83);
  set_rec_u32(part, tav::img::part_layout::kPartNumber, 1);
  EXPECT_EQ(tav_get_match_part_sectors(nullptr, &part), C);
}

}  // namespace
}  // namespace tav::disk
