// Catalogue loading: which volume files of a directory become snapshots, in which order, which
// are refused, and the image disks and partitions built from their descriptor areas.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>

#include "core/byte_order.h"
#include "core/memory.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "format/ego_records.h"
#include "format/struct_sum.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "tests/fixtures/snapshot_builder.h"
#include "tests/image/catalogue_test_support.h"

namespace tav::test {
namespace {

using img::EGO_PART_RECORD;

class CatalogueTest : public ::testing::Test {
 protected:
  void TearDown() override { libtavimg_unload_image(&storage_); }

  // Volume `v` of base name `base` in the test directory.
  std::string volume_path(uint32_t vol, const std::string& base = "imbackup") const {
    return dir_.file(base + std::to_string(vol) + ".ego");
  }
  void put(const CraftVolume& v, const std::string& base = "imbackup") { write_file(volume_path(v.vol, base), build_volume(v)); }

  // A snapshot of volumes first..first+count-1 with one disk of two partitions.
  void put_snapshot(uint32_t first, uint32_t count, uint32_t create_time, uint32_t snap_seq = 0,
                    uint32_t signature = 1000) {
    for (uint32_t vol = first; vol < first + count; ++vol) {
      CraftVolume v;
      v.vol = vol;
      v.first_vol = first;
      v.total_vol = count;
      v.create_time = create_time;
      v.snap_seq = snap_seq;
      v.signature = signature;
      v.backup_type = snap_seq == 0 ? img::kBackupFull : img::kBackupIncremental;
      v.disks = {craft_disk({craft_part(2048, 4096, create_time + 1), craft_part(8192, 1024, create_time + 2)})};
      put(v);
    }
  }

  int load(bool first_only = false) {
    return libtavimg_load_image2(&storage_, dir_.file("").c_str(), "imbackup", first_only ? 1 : 0);
  }

  TempDir dir_;
  STORAGE_DATA storage_;
};

TEST_F(CatalogueTest, LoadsSnapshotsOrderedByCreationTimeAndIgnoresOtherNames) {
  put_snapshot(0, 2, /*create_time=*/9000, /*snap_seq=*/1);
  put_snapshot(2, 2, /*create_time=*/7000, /*snap_seq=*/0);
  // Names that are not the base name, digits and ".ego" are passed over, however valid the
  // file; so is a directory with a volume's name.
  const std::vector<uint8_t> valid = read_file(volume_path(2));
  for (const char* other : {"imbackupX.ego", "imbackup2a.ego", "imbackup2.ego.bak", "xmbackup4.ego"}) {
    write_file(dir_.file(other), valid);
  }
  ASSERT_EQ(0, ::mkdir(dir_.file("imbackup9.ego").c_str(), 0700));

  ASSERT_EQ(0, load());
  ASSERT_EQ(2u, storage_.snaps.size());
  EXPECT_EQ(7000, storage_.snaps[0]->create_time);
  EXPECT_EQ(2u, storage_.snaps[0]->first_vol);
  EXPECT_EQ(9000, storage_.snaps[1]->create_time);
  EXPECT_EQ(0u, storage_.snaps[1]->first_vol);
  for (const auto& s : storage_.snaps) {
    EXPECT_EQ(1u, s->from_first_vol);
    EXPECT_EQ(s->first_vol, s->meta_vol);
    EXPECT_EQ(&storage_, s->pstorage);
  }
  // Volumes are taken in number order, so the snapshot of volume 0 was loaded first.
  EXPECT_LT(storage_.snaps[1]->load_order, storage_.snaps[0]->load_order);
  EXPECT_EQ(1000u, storage_.signature);
  EXPECT_EQ(4u, storage_.total_vol);
  EXPECT_EQ(1, libtavimg_get_max_inner_snap_seq(&storage_));
  int max = -1, min = -1;
  ASSERT_EQ(0, libtavimg_get_imagefile_range(&storage_, &max, &min));
  EXPECT_EQ(0, min);
  EXPECT_EQ(3, max);
  EXPECT_NE(storage_.codec, nullptr);  // the reader's buffers come with a load

  // Loading again replaces the catalogue instead of adding to it.
  ASSERT_EQ(0, load());
  EXPECT_EQ(2u, storage_.snaps.size());
}

TEST_F(CatalogueTest, EqualCreationTimesKeepVolumeOrder) {
  put_snapshot(0, 1, 5000, 0, 1000);
  put_snapshot(1, 1, 5000, 1, 1000);
  put_snapshot(2, 1, 5000, 2, 1000);
  ASSERT_EQ(0, load());
  ASSERT_EQ(3u, storage_.snaps.size());
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(i, storage_.snaps[i]->first_vol);
}

TEST_F(CatalogueTest, EmptyOrMissingStorageFails) {
  EXPECT_EQ(-1, load());
  EXPECT_TRUE(storage_.snaps.empty());
  EXPECT_EQ(-1, libtavimg_get_max_inner_snap_seq(&storage_));
  int max = 0, min = 0;
  EXPECT_EQ(-1, libtavimg_get_imagefile_range(&storage_, &max, &min));
  EXPECT_EQ(-1, libtavimg_load_image2(&storage_, dir_.file("missing/").c_str(), "imbackup", 0));
}

// Each case spoils volume 2 (a one-volume snapshot of its own) beside a good volume 0; only the
// good snapshot may load, and nothing may crash or allocate what the file cannot hold.
TEST_F(CatalogueTest, RefusesDamagedAndForeignVolumes) {
  struct Case {
    const char* name;
    std::function<void(CraftVolume*)> change;                              // before building
    std::function<void(std::vector<uint8_t>*, const CraftLayout&)> spoil;  // after building
  };
  const auto reseal_disk = [](std::vector<uint8_t>* b, const CraftLayout& l, size_t field, uint64_t value, int bytes) {
    uint8_t* rec = b->data() + l.disk_table_offset;
    if (bytes == 4) put_le32(rec + field, uint32_t(value)); else put_le64(rec + field, value);
    img::seal_struct_sum(std::span<uint8_t>(rec, img::kDiskRecordSize), img::disk_layout::kSum);
  };
  const auto reseal_header = [](std::vector<uint8_t>* b, size_t field, uint64_t value, int bytes) {
    if (bytes == 4) put_le32(b->data() + field, uint32_t(value)); else put_le64(b->data() + field, value);
    img::seal_struct_sum(std::span<uint8_t>(b->data(), img::kHeaderSize), img::header_layout::kSum);
  };
  const auto reseal_tailer = [](std::vector<uint8_t>* b, const CraftLayout& l, size_t field, uint64_t value) {
    put_le64(b->data() + l.tailer_offset + field, value);
    img::seal_struct_sum(std::span<uint8_t>(b->data() + l.tailer_offset, img::kTailerSize), img::tailer_layout::kSum);
  };
  namespace D = img::disk_layout;
  const std::vector<Case> cases = {
      {"interrupted first volume (total_vol 0)", [](CraftVolume* v) { v->total_vol = 0; }, nullptr},
      {"foreign storage signature", [](CraftVolume* v) { v->signature = 2000; }, nullptr},
      {"marked unloadable (reserved1)", [](CraftVolume* v) { v->reserved1 = 1; }, nullptr},
      {"header sum", nullptr, [](std::vector<uint8_t>* b, const CraftLayout&) { (*b)[40] ^= 1; }},
      {"tailer sum", nullptr, [](std::vector<uint8_t>* b, const CraftLayout& l) { (*b)[l.tailer_offset + 520] ^= 1; }},
      {"truncated volume", nullptr, [](std::vector<uint8_t>* b, const CraftLayout&) { b->resize(700); }},
      {"disk record sum", nullptr,
       [](std::vector<uint8_t>* b, const CraftLayout& l) { (*b)[l.disk_table_offset + 20] ^= 1; }},
      {"partition record sum", nullptr,
       [](std::vector<uint8_t>* b, const CraftLayout& l) { (*b)[l.part_offsets[1] + 30] ^= 1; }},
      {"4 Gi partition records", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout& l) { reseal_disk(b, l, D::kNumParts, 0xFFFFFFFFu, 4); }},
      {"4 Gi boot sectors", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout& l) { reseal_disk(b, l, D::kMbrSectors, 0xFFFFFFFFu, 4); }},
      {"partition records past the end", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout& l) { reseal_disk(b, l, D::kPartsOffset, ~uint64_t{0} - 100, 8); }},
      {"disk table past the end", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout&) {
         reseal_header(b, img::header_layout::kDiskTableOffset, b->size() - 100, 8);
       }},
      {"comment past the end", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout&) {
         reseal_header(b, img::header_layout::kCommentOffset, ~uint64_t{0} - 4, 8);
         reseal_header(b, img::header_layout::kCommentLength, 64, 4);
       }},
      {"data area outside the file", nullptr,
       [&](std::vector<uint8_t>* b, const CraftLayout& l) {
         reseal_tailer(b, l, img::tailer_layout::kLocationOffset, b->size() + 4096);
       }},
      // A partition lies inside its disk (64512 sectors here) and holds at least one sector.
      {"partition of 2^60 sectors", [](CraftVolume* v) { v->disks[0].parts[0].sector_count = uint64_t(1) << 60; },
       nullptr},
      {"partition ending one sector past the disk",
       [](CraftVolume* v) { v->disks[0].parts[1].sector_count = 64512 - 8192 + 1; }, nullptr},
      {"partition starting past the disk", [](CraftVolume* v) { v->disks[0].parts[1].start_sector = 70000; }, nullptr},
      {"partition whose end overflows",
       [](CraftVolume* v) {
         v->disks[0].parts[1].start_sector = uint64_t(1) << 63;
         v->disks[0].parts[1].sector_count = (uint64_t(1) << 63) + 10;
       },
       nullptr},
      {"partition of 0 sectors", [](CraftVolume* v) { v->disks[0].parts[0].sector_count = 0; }, nullptr},
      {"extended partition past the disk",
       [](CraftVolume* v) {
         v->disks[0].record.ext_start = 8000;
         v->disks[0].record.ext_length = 1 << 20;
         v->disks[0].parts[1].part_flags = img::kPartFlagLogical;
       },
       nullptr},
      // Versions the reader does not know.
      {"major version 4", [](CraftVolume* v) { v->major = 4; v->minor = 0; }, nullptr},
      {"version 3.5", [](CraftVolume* v) { v->minor = 5; }, nullptr},
      {"major version 0", [](CraftVolume* v) { v->major = 0; v->minor = 9; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(volume_path(2));
    put_snapshot(0, 1, 5000);
    CraftVolume bad;
    bad.vol = 2;
    bad.first_vol = 2;
    bad.create_time = 6000;
    bad.snap_seq = 1;
    bad.comment = utf16_comment("spoilt");
    bad.disks = {craft_disk({craft_part(2048, 4096, 6001), craft_part(8192, 1024, 6002)})};
    if (c.change) c.change(&bad);
    CraftLayout layout;
    std::vector<uint8_t> bytes = build_volume(bad, &layout);
    if (c.spoil) c.spoil(&bytes, layout);
    write_file(volume_path(2), bytes);

    ASSERT_EQ(0, load());
    ASSERT_EQ(1u, storage_.snaps.size());
    EXPECT_EQ(5000, storage_.snaps[0]->create_time);
  }
}

TEST_F(CatalogueTest, PartitionEndingAtTheDisksLastSectorLoads) {
  CraftVolume v;
  v.disks = {craft_disk({craft_part(2048, 4096, 5001), craft_part(8192, 64512 - 8192, 5002)})};
  put(v);
  ASSERT_EQ(0, load());
  ASSERT_EQ(1u, storage_.snaps.size());
  const _DISK_INFOMATION* disk = storage_.snaps[0]->disks;
  ASSERT_NE(disk, nullptr);
  ASSERT_EQ(2u, disk->parts.size());
  EXPECT_EQ(64511u, disk->parts[1]->last_sector);
}

TEST_F(CatalogueTest, RenamedVolumeCopyIsRefusedUnderItsNewName) {
  put_snapshot(0, 3, 5000);
  std::filesystem::copy_file(volume_path(2), volume_path(5));
  IMAGEFILE_INFO info;
  EXPECT_EQ(1, libtavimg_get_imagefile_info(volume_path(2).c_str(), &info, false));
  EXPECT_EQ(0, libtavimg_get_imagefile_info(volume_path(5).c_str(), &info, false));
  // The loader skips it; the copy under the new name is never opened as volume 5 either.
  ASSERT_EQ(0, load());
  ASSERT_EQ(1u, storage_.snaps.size());
  EXPECT_EQ(-1, image_open_image_file(&storage_, 5));
}

TEST_F(CatalogueTest, SecondStorageWithTheSameBaseNameIsRefused) {
  put_snapshot(0, 1, 5000, 0, /*signature=*/1000);
  put_snapshot(1, 1, 4000, 0, /*signature=*/2000);  // older, but loaded second
  ASSERT_EQ(0, load());
  ASSERT_EQ(1u, storage_.snaps.size());
  EXPECT_EQ(1000u, storage_.snaps[0]->signature);
  // The range loader refuses it as well.
  EXPECT_EQ(0, libtavimg_load_specified_range_snaps(&storage_, dir_.file("").c_str(), "imbackup", 1, 1));
  EXPECT_EQ(1u, storage_.snaps.size());
}

TEST_F(CatalogueTest, SnapshotFromLaterVolumeIsReplacedWhenItsFirstVolumeLoads) {
  put_snapshot(0, 1, 3000);
  put_snapshot(1, 3, 5000, 1);  // volumes 1-3
  const std::vector<uint8_t> first = read_file(volume_path(1));
  std::filesystem::remove(volume_path(1));

  ASSERT_EQ(0, load(/*first_only=*/true));
  ASSERT_EQ(1u, storage_.snaps.size());  // volumes 2 and 3 are not first volumes

  ASSERT_EQ(0, load());
  ASSERT_EQ(2u, storage_.snaps.size());
  const SNAP_DATA* partial = storage_.snaps[1].get();
  EXPECT_EQ(0u, partial->from_first_vol);
  EXPECT_EQ(2u, partial->meta_vol);  // the lowest volume present; volume 3 adds nothing
  EXPECT_EQ(0u, partial->total_vol);
  EXPECT_EQ(1u, partial->first_vol);
  const uint32_t order = partial->load_order;
  EXPECT_EQ(1u, storage_.total_vol);

  write_file(volume_path(1), first);
  ASSERT_EQ(0, libtavimg_load_specified_range_snaps(&storage_, dir_.file("").c_str(), "imbackup", 0, 3));
  ASSERT_EQ(2u, storage_.snaps.size());
  const SNAP_DATA* whole = storage_.snaps[1].get();
  EXPECT_EQ(1u, whole->from_first_vol);
  EXPECT_EQ(1u, whole->meta_vol);
  EXPECT_EQ(3u, whole->total_vol);
  EXPECT_EQ(order, whole->load_order);
  EXPECT_EQ(4u, storage_.total_vol);
  // Its partitions point at the new record.
  EXPECT_EQ(whole, libtavimg_get_part_snap(whole->disks->parts[0].get()));
}

// The range loader takes the volume files that are there, not every number of the range: a range
// read from a forged or damaged record spanning two billion numbers loads at once, and a name that
// spells a number another way ("imbackup007.ego") is no volume file.
TEST_F(CatalogueTest, RangeLoaderTakesTheVolumesThereHoweverWideTheRange) {
  constexpr uint32_t kFar = 2000000000;
  put_snapshot(0, 1, 5000, 0);
  put_snapshot(3, 1, 6000, 1);
  put_snapshot(kFar, 1, 7000, 2);
  put_snapshot(7, 1, 8000, 3);
  std::filesystem::rename(volume_path(7), dir_.file("imbackup007.ego"));

  struct Case {
    int from, to;
    std::vector<uint32_t> volumes;  // meta_vol of the loaded snapshots, in creation order
  };
  const Case cases[] = {
      {0, int(kFar), {0, 3, kFar}},
      {1, int(kFar) - 1, {3}},
      {4, INT_MAX, {kFar}},
      {7, 7, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
    libtavimg_unload_image(&storage_);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0, libtavimg_load_specified_range_snaps(&storage_, dir_.file("").c_str(), "imbackup", c.from, c.to));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    std::vector<uint32_t> loaded;
    for (const auto& s : storage_.snaps) loaded.push_back(s->meta_vol);
    EXPECT_EQ(c.volumes, loaded);
  }
  // What a mount of this storage asks the daemon for spans every number up to the far volume.
  ASSERT_EQ(0, load());
  int max = 0, min = -1;
  ASSERT_EQ(0, libtavimg_get_imagefile_range(&storage_, &max, &min));
  EXPECT_EQ(0, min);
  EXPECT_EQ(int(kFar), max);
}

TEST_F(CatalogueTest, ImageDisksAndPartitionsCarryTheDescriptorArea) {
  CraftVolume v;
  v.comment = utf16_comment("nightly \u00e9t\u00e9");
  EGO_PART_RECORD primary = craft_part(63, 1000, 777);
  primary.raw[disk::part_private::kFsTypeCode] = uint8_t(disk::FS_EXT);
  primary.raw[disk::part_private::kTableKind] = uint8_t(disk::TableKind::kMbr);
  EGO_PART_RECORD logical1 = craft_part(2100, 500, 778, img::kPartFlagLogical, 0x07);
  EGO_PART_RECORD logical2 = craft_part(2700, 300, 779, img::kPartFlagLogical, 0x0B);
  EGO_PART_RECORD dependent = craft_part(4000, 100, 780);
  dependent.full = 0;
  dependent.parent_seq = 3;
  dependent.parent_time = 0x80000001u;  // widened with its sign
  CraftDisk d = craft_disk({primary, logical1, logical2}, /*boot_sectors=*/2);
  d.record.ext_start = 2000;
  d.record.ext_length = 1200;
  d.record.ext_end = 3199;
  d.record.whole_disk = 1;
  d.record.boot_kind = 2;
  d.record.boot_part_start = 63;
  CraftDisk no_boot = craft_disk({dependent}, /*boot_sectors=*/0);
  img::set_name_field(no_boot.record.disk_name, "caf\xe9");  // ANSI: Latin-1
  v.disks = {d, no_boot};
  put(v);

  ASSERT_EQ(0, load());
  ASSERT_EQ(1u, storage_.snaps.size());
  SNAP_DATA* snap = storage_.snaps[0].get();
  EXPECT_EQ("nightly \u00e9t\u00e9", snap->comment);
  char* comment = libtavimg_get_snap_comment(snap);
  ASSERT_NE(nullptr, comment);
  EXPECT_STREQ("nightly \u00e9t\u00e9", comment);
  libtavpub_xfree(comment);

  _DISK_INFOMATION* disk0 = libtavimg_get_image_disks_list(snap);
  ASSERT_NE(nullptr, disk0);
  ASSERT_NE(nullptr, disk0->next);
  EXPECT_EQ(nullptr, disk0->next->next);
  EXPECT_EQ(disk::DEVICE_IMAGE, disk0->disk_type);
  EXPECT_EQ("sda", disk0->name);
  EXPECT_EQ(64u, disk0->cylinders);
  EXPECT_EQ(1008u, disk0->sectors_per_cylinder);
  EXPECT_EQ(1u, disk0->whole_disk);
  EXPECT_EQ(2u, disk0->boot_kind);
  EXPECT_EQ(0xA1B2C3D4u, disk0->disk_signature);
  EXPECT_EQ(63u, disk0->boot_part_start);
  EXPECT_EQ(disk::TableKind::kMbr, disk0->table_kind);
  EXPECT_EQ(d.boot_sectors, disk0->mbr);
  EXPECT_EQ(2000u, disk0->ext_start);

  // The extended partition is put back before the first logical one.
  ASSERT_EQ(4u, disk0->parts.size());
  const uint64_t starts[] = {63, 2000, 2100, 2700};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    BACKUP_PARTITION_INFO* p = disk0->parts[i].get();
    EXPECT_EQ(starts[i], p->first_sector);
    EXPECT_EQ(p->first_sector + p->sector_count - 1, p->last_sector);
    EXPECT_EQ(1u, p->is_image);
    EXPECT_EQ(libtavimg_image_part_operations(), p->ops);
    EXPECT_EQ(disk0, p->disk);
    EXPECT_NE(nullptr, p->ops_fs);
    EXPECT_EQ(snap, libtavimg_get_part_snap(p));
    EXPECT_EQ(p, img::image_part_data(p)->part);
    EXPECT_NE(0u, p->dev_num);
  }
  BACKUP_PARTITION_INFO* ext = disk0->parts[1].get();
  EXPECT_TRUE(disk::part_is_extended(*ext));
  EXPECT_EQ(img::kPartTypeExtended, disk::part_type(*ext));
  EXPECT_EQ(1200u, ext->sector_count);
  EXPECT_EQ(-1, disk::part_number(*ext));
  EXPECT_TRUE(img::verify_struct_sum(ext->record, img::part_layout::kSum));
  EXPECT_EQ(disk::file_system_by_code(disk::FS_EXT), disk0->parts[0]->fs);
  EXPECT_EQ(nullptr, disk0->parts[2]->fs);
  EXPECT_EQ(disk0->parts[3].get(), libtavimg_get_part_from_signature(disk0, 779));
  EXPECT_EQ(nullptr, libtavimg_get_part_from_signature(disk0, 0));  // the synthesized extended partition

  _DISK_INFOMATION* disk1 = disk0->next;
  EXPECT_EQ("caf\u00e9", disk1->name);
  EXPECT_TRUE(disk1->mbr.empty());
  ASSERT_EQ(1u, disk1->parts.size());
  const IMAGE_PART_DATA* dep = img::image_part_data(disk1->parts[0].get());
  EXPECT_EQ(0u, dep->full);
  EXPECT_EQ(780u, dep->signature);
  EXPECT_EQ(3u, dep->parent_seq);
  EXPECT_EQ(int64_t(int32_t(0x80000001u)), dep->parent_time);
  EXPECT_EQ(disk1->parts[0].get(), libtavimg_get_part_from_signature(disk0, 780));

  // Partitions that are not image partitions have no snapshot.
  BACKUP_PARTITION_INFO plain;
  plain.part_data = const_cast<IMAGE_PART_DATA*>(dep);  // data of an image partition, but not one
  EXPECT_EQ(nullptr, libtavimg_get_part_snap(&plain));
  EXPECT_EQ(nullptr, img::image_part_data(&plain));
}

TEST_F(CatalogueTest, OlderFormatVersions) {
  struct Case {
    const char* name;
    uint32_t major, minor;
    uint32_t stored_compress_mode;
    uint32_t expected_compress_mode;
  };
  const Case cases[] = {
      {"1.0", 1, 0, 9, img::kCompressHigh},
      {"3.1", 3, 1, 2, img::kCompressNormal},  // a zlib level below 3.2
      {"3.2", 3, 2, 2, img::kCompressHigh},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const img::FormatVersion version{c.major, c.minor};
    CraftVolume v;
    v.major = c.major;
    v.minor = c.minor;
    v.compress_mode = c.stored_compress_mode;
    v.create_time = 0x5A000000;
    v.snap_seq = 4;
    v.backup_type = img::kBackupIncremental;
    if (version.comment_is_utf16()) {
      v.comment = utf16_comment("caf\u00e9");
    } else {
      v.comment = {'c', 'a', 'f', 0xE9, 0};  // ANSI, not UTF-8: read as Latin-1
    }
    CraftDisk d = craft_disk({craft_part(100, 50, 41), craft_part(300, 50, 42, img::kPartFlagLogical)});
    d.record.ext_start = 250;
    d.record.ext_length = 200;
    v.disks = {d};
    put(v);

    ASSERT_EQ(0, load());
    ASSERT_EQ(1u, storage_.snaps.size());
    const SNAP_DATA* snap = storage_.snaps[0].get();
    EXPECT_EQ("caf\u00e9", snap->comment);
    EXPECT_EQ(c.expected_compress_mode, snap->compress_mode);
    const _DISK_INFOMATION* disk = snap->disks;
    ASSERT_EQ(3u, disk->parts.size());
    if (version.is_v10()) {
      // Full, sequence 0, and partition signatures from the time and the place on the disk.
      EXPECT_EQ(img::kBackupFull, snap->backup_type);
      EXPECT_EQ(0u, snap->snap_seq);
      SYSTIME expected{};
      libtavimg_dword_convert_systime(0x5A000000, &expected);
      EXPECT_EQ(0, std::memcmp(&expected, &snap->create_systime, sizeof expected));
      for (uint32_t i = 0; i < 3; ++i) {
        const IMAGE_PART_DATA* data = img::image_part_data(disk->parts[i].get());
        EXPECT_EQ(1u, data->full);
        EXPECT_EQ(img::synthesize_v10_signature(0x5A000000, i + 1), data->signature);
        EXPECT_EQ(data->signature, disk::rec_u32(*disk->parts[i], img::part_layout::kSignature));
        EXPECT_EQ(1u, disk::rec_u32(*disk->parts[i], img::part_layout::kFull));
      }
    } else {
      EXPECT_EQ(img::kBackupIncremental, snap->backup_type);
      EXPECT_EQ(4u, snap->snap_seq);
      EXPECT_EQ(42u, img::image_part_data(disk->parts[2].get())->signature);
    }
    libtavimg_unload_image(&storage_);
    std::filesystem::remove(volume_path(0));
  }
}

TEST_F(CatalogueTest, FindsSnapshotsAndParents) {
  // A full snapshot, an incremental one on it, then a differential one (sequence 2).
  put_snapshot(0, 1, 1000, 0);
  put_snapshot(1, 1, 2000, 1);
  put_snapshot(2, 1, 3000, 2);
  ASSERT_EQ(0, load());
  ASSERT_EQ(3u, storage_.snaps.size());
  storage_.snaps[2]->backup_type = img::kBackupDifferential;

  int index = -1;
  EXPECT_EQ(storage_.snaps[1].get(), libtavimg_find_last_snap(&storage_, 1000, 1, 2000, &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(storage_.snaps[1].get(), libtavimg_find_last_snap(&storage_, 0, 1, 2000, nullptr));
  EXPECT_EQ(nullptr, libtavimg_find_last_snap(&storage_, 1001, 1, 2000, &index));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(nullptr, libtavimg_find_last_snap(&storage_, 1000, 1, 3000, nullptr));
  EXPECT_EQ(2, libtavimg_get_max_inner_snap_seq(&storage_));

  // A live partition matching the second image partition (same place, size and file system).
  BACKUP_PARTITION_INFO live;
  disk::set_part_extent(live, 8192, 1024);
  struct Case {
    uint32_t backup_type;
    size_t expected_snap;
  };
  for (const Case c : {Case{img::kBackupIncremental, 2}, Case{img::kBackupDifferential, 0}}) {
    SCOPED_TRACE(c.backup_type);
    BACKUP_PARTITION_INFO* parent = tav_match_part_from_storage(nullptr, &live, &storage_, c.backup_type);
    ASSERT_NE(nullptr, parent);
    EXPECT_EQ(storage_.snaps[c.expected_snap].get(), libtavimg_get_part_snap(parent));
    EXPECT_EQ(8192u, parent->first_sector);
  }
  disk::set_rec_u32(live, disk::part_private::kFsTypeCode, disk::FS_NTFS);
  EXPECT_EQ(nullptr, tav_match_part_from_storage(nullptr, &live, &storage_, img::kBackupIncremental));
  disk::set_rec_u32(live, disk::part_private::kFsTypeCode, disk::FS_UNKNOWN);
  disk::set_part_extent(live, 8192, 1023);
  EXPECT_EQ(nullptr, tav_match_part_from_storage(nullptr, &live, &storage_, img::kBackupIncremental));
}

TEST_F(CatalogueTest, VolumeFilesOpenOnDemandAndStayInVolumeOrder) {
  put_snapshot(0, 4, 5000);
  storage_.directory = dir_.file("");
  storage_.base_name = "imbackup";
  for (int vol : {3, 1, 2, 0}) ASSERT_EQ(0, image_open_image_file(&storage_, vol)) << vol;
  ASSERT_EQ(4u, storage_.files.size());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(i, storage_.files[size_t(i)].vol);
    EXPECT_GE(storage_.files[size_t(i)].fd, 0);
  }
  ASSERT_EQ(0, image_open_image_file(&storage_, 2));
  EXPECT_EQ(2, storage_.cur_vol);
  ASSERT_NE(nullptr, storage_.cur_file);
  EXPECT_EQ(volume_path(2), storage_.cur_file->name);
  const int fd = storage_.cur_file->fd;
  ASSERT_EQ(0, image_open_image_file(&storage_, 2));
  EXPECT_EQ(fd, storage_.cur_file->fd);  // still the same file: kept open

  // Reads stay inside the file as opened.
  const IMAGE_FILE_DATA& file = *storage_.cur_file;
  uint8_t buffer[16];
  EXPECT_TRUE(img::read_volume_bytes(file, 8, buffer, 9));
  EXPECT_EQ(0, std::memcmp(buffer, "EGO.IMAGE", 9));
  EXPECT_EQ(StatusCode::kCorruption, img::read_volume_bytes(file, file.file_size - 4, buffer, 8).code());
  EXPECT_EQ(StatusCode::kCorruption, img::read_volume_bytes(file, ~uint64_t{0} - 2, buffer, 8).code());

  // A volume replaced on disk is opened again; one holding another volume number is refused.
  const std::vector<uint8_t> vol1 = read_file(volume_path(1));
  std::filesystem::remove(volume_path(2));
  write_file(volume_path(2), vol1);
  EXPECT_EQ(-1, image_open_image_file(&storage_, 2));
  EXPECT_EQ(nullptr, storage_.cur_file);
  std::filesystem::remove(volume_path(2));
  EXPECT_EQ(-1, image_open_image_file(&storage_, 2));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, image_open_image_file(&storage_, 7));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, image_open_image_file(&storage_, -1));

  libtavimg_close_all_image_file(&storage_);
  EXPECT_TRUE(storage_.files.empty());
  EXPECT_EQ(nullptr, storage_.cur_file);
}

TEST_F(CatalogueTest, VolumeOpeningGoesThroughTheStoragesOpener) {
  put_snapshot(0, 1, 5000);
  static int calls;
  calls = 0;
  storage_.open_volume = [](const char* path) {
    ++calls;
    return img::open_volume_default(path);
  };
  ASSERT_EQ(0, load());
  EXPECT_GT(calls, 0);
  const int before = calls;
  storage_.open_volume = [](const char*) {
    errno = EACCES;
    return -1;
  };
  libtavimg_close_all_image_file(&storage_);
  EXPECT_EQ(-1, image_open_image_file(&storage_, 0));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(before, calls);
  storage_.open_volume = img::open_volume_default;
}

}  // namespace
}  // namespace tav::test

namespace tav::test {
namespace {

// Snapshots written by the real writer: a full one over several volumes, then an incremental
// one that names it as parent.
TEST_F(CatalogueTest, LoadsSnapshotsOfTheImageWriter) {
  SyntheticPartition part;
  part.start_sector = 2048;
  part.signature = 1700000001;
  part.content = pattern_bytes(8 * 1024 * 1024, 7);
  part.stored = {{0, 16384}};
  SyntheticDisk disk;
  disk.total_sectors = 65536;
  disk.boot_sectors.assign(2048 * 512, 0x11);
  disk.parts = {part};

  SnapshotPlan full;
  full.directory = dir_.file("");
  full.comment = "full";
  full.volume_limit = 3 * 1024 * 1024;
  full.now = 1700000000;
  WrittenSnapshot w1;
  const Status written = write_snapshot(full, {disk}, &w1);
  if (written.code() == StatusCode::kNotSupported) GTEST_SKIP() << "image writer not available yet";
  ASSERT_TRUE(written) << written.message();
  ASSERT_GT(w1.last_vol, w1.first_vol);  // several volumes
  ASSERT_EQ(0, load());

  SyntheticDisk changed = disk;
  changed.boot_sectors.clear();  // recorded without boot sectors
  changed.parts[0].stored = {{100, 300}};
  changed.parts[0].parent_seq = w1.snap_seq;
  changed.parts[0].parent_time = w1.create_time;
  changed.parts[0].parent_vol = w1.first_vol;
  SnapshotPlan incremental = full;
  incremental.backup_type = img::kBackupIncremental;
  incremental.comment = std::nullopt;
  incremental.first_vol = w1.last_vol + 1;
  incremental.now = 1700003600;
  incremental.storage = &storage_;
  WrittenSnapshot w2;
  ASSERT_TRUE(write_snapshot(incremental, {changed}, &w2));

  ASSERT_EQ(0, load());
  ASSERT_EQ(2u, storage_.snaps.size());
  const SNAP_DATA* first = storage_.snaps[0].get();
  SNAP_DATA* second = storage_.snaps[1].get();
  EXPECT_EQ(w1.first_vol, first->first_vol);
  EXPECT_EQ(w1.last_vol - w1.first_vol + 1, first->total_vol);
  EXPECT_EQ(1u, first->from_first_vol);
  EXPECT_EQ("full", first->comment);
  EXPECT_EQ(2048u * 512, first->disks->mbr.size());
  EXPECT_EQ(w2.snap_seq, second->snap_seq);
  EXPECT_EQ(1u, second->snap_seq);
  EXPECT_EQ(img::kBackupIncremental, second->backup_type);
  EXPECT_EQ(nullptr, libtavimg_get_snap_comment(second));
  EXPECT_TRUE(second->disks->mbr.empty());
  int max = 0, min = -1;
  ASSERT_EQ(0, libtavimg_get_imagefile_range(&storage_, &max, &min));
  EXPECT_EQ(0, min);
  EXPECT_EQ(int(w2.last_vol), max);

  // The dependent partition leads back to its parent.
  BACKUP_PARTITION_INFO* child = libtavimg_get_part_from_signature(second->disks, part.signature);
  ASSERT_NE(nullptr, child);
  EXPECT_EQ(2048u, child->first_sector);
  const IMAGE_PART_DATA* data = img::image_part_data(child);
  EXPECT_EQ(0u, data->full);
  SNAP_DATA* parent_snap = libtavimg_find_last_snap(&storage_, storage_.signature, data->parent_seq, data->parent_time, nullptr);
  ASSERT_EQ(first, parent_snap);
  BACKUP_PARTITION_INFO* parent = libtavimg_get_part_from_signature(parent_snap->disks, data->signature);
  ASSERT_NE(nullptr, parent);
  EXPECT_EQ(1u, img::image_part_data(parent)->full);
  EXPECT_EQ(child, tav_match_part_from_storage(nullptr, child, &storage_, img::kBackupIncremental));
  EXPECT_EQ(parent, tav_match_part_from_storage(nullptr, child, &storage_, img::kBackupDifferential));
}

}  // namespace
}  // namespace tav::test
