// Crafted volume files for the catalogue tests: a header, an optional comment, a descriptor area
// of disk records with their boot sectors and partition records, an empty data area and a
// tailer, in any format version and with any header values (the loader never reads units).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/text_convert.h"
#include "format/ego_records.h"
#include "format/struct_sum.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::test {

struct CraftDisk {
  img::EGO_DISK_RECORD record;  // offsets and counts are filled in by the builder
  std::vector<uint8_t> boot_sectors;
  std::vector<img::EGO_PART_RECORD> parts;
};

struct CraftVolume {
  uint32_t major = img::kFormatMajor;
  uint32_t minor = img::kFormatMinor;
  uint32_t vol = 0;
  uint32_t first_vol = 0;
  uint32_t total_vol = 1;  // header; only a first volume carries it
  uint32_t signature = 1000;
  uint32_t create_time = 5000;
  uint32_t snap_seq = 0;
  uint32_t backup_type = img::kBackupFull;
  uint32_t compress_mode = img::kCompressNormal;
  uint32_t reserved1 = 0;
  std::vector<uint8_t> comment;  // stored bytes, terminating zero included; empty: none
  std::vector<CraftDisk> disks;
};

// Where the builder put things, for byte surgery.
struct CraftLayout {
  uint64_t disk_table_offset = 0;
  std::vector<uint64_t> part_offsets;  // per partition record, over all disks
  uint64_t tailer_offset = 0;
};

inline img::EGO_PART_RECORD craft_part(uint64_t start, uint64_t count, uint32_t signature, uint32_t flags = 0,
                                       uint8_t type = 0x83) {
  img::EGO_PART_RECORD p;
  p.start_sector = start;
  p.sector_count = count;
  p.part_type = type;
  p.part_flags = flags;
  p.part_number = int32_t(flags & img::kPartFlagLogical ? 5 : 1);
  p.full = 1;
  p.signature = signature;
  return p;
}

inline CraftDisk craft_disk(std::vector<img::EGO_PART_RECORD> parts, uint32_t boot_sectors = 1) {
  CraftDisk d;
  d.record.cylinders = 64;
  d.record.heads = 16;
  d.record.sectors_per_track = 63;
  d.record.sectors_per_cylinder = 16 * 63;
  d.record.total_sectors = 64 * 16 * 63;
  img::set_name_field(d.record.disk_name, "sda");
  d.record.boot_kind = 1;
  d.record.disk_signature = 0xA1B2C3D4;
  d.boot_sectors.assign(size_t(boot_sectors) * kSectorSize, 0);
  for (size_t i = 0; i < d.boot_sectors.size(); ++i) d.boot_sectors[i] = uint8_t(i * 7 + 1);
  d.parts = std::move(parts);
  return d;
}

inline std::vector<uint8_t> utf16_comment(const std::string& text) {
  const std::vector<unsigned char> bytes = utf8_to_utf16le_bytes_z(text);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

inline std::vector<uint8_t> build_volume(const CraftVolume& v, CraftLayout* layout = nullptr) {
  using namespace img;
  const FormatVersion version{v.major, v.minor};
  std::vector<uint8_t> out(kHeaderSize, 0);
  const auto append = [&](const std::vector<uint8_t>& bytes) {
    const uint64_t at = out.size();
    out.insert(out.end(), bytes.begin(), bytes.end());
    return at;
  };
  CraftLayout lay;
  const uint64_t comment_offset = v.comment.empty() ? 0 : append(v.comment);
  std::vector<EGO_DISK_RECORD> records;
  for (const CraftDisk& d : v.disks) {
    EGO_DISK_RECORD r = d.record;
    r.mbr_sectors = uint32_t(d.boot_sectors.size() / kSectorSize);
    r.mbr_offset = d.boot_sectors.empty() ? 0 : append(d.boot_sectors);
    r.num_parts = uint32_t(d.parts.size());
    r.parts_offset = out.size();
    for (const EGO_PART_RECORD& p : d.parts) {
      lay.part_offsets.push_back(out.size());
      if (version.is_v10()) {
        std::array<uint8_t, kPartRecordSizeV10> bytes{};
        encode_part_record_v10(p, bytes);
        out.insert(out.end(), bytes.begin(), bytes.end());
      } else {
        std::array<uint8_t, kPartRecordSize> bytes{};
        encode_part_record(p, bytes);
        out.insert(out.end(), bytes.begin(), bytes.end());
      }
    }
    records.push_back(r);
  }
  lay.disk_table_offset = out.size();
  for (const EGO_DISK_RECORD& r : records) {
    std::array<uint8_t, kDiskRecordSize> bytes{};
    encode_disk_record(r, bytes);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  const uint64_t data_start = out.size();
  const uint64_t second_comment = v.comment.empty() ? 0 : append(v.comment);

  EGO_IMAGE_TAILER t;
  t.num_disks = uint32_t(v.disks.size());
  t.disk_table_offset = lay.disk_table_offset;
  t.comment_offset = second_comment;
  t.comment_length = uint32_t(v.comment.size());
  t.complete = 1;
  t.data_start = data_start;
  t.location_offset = data_start;
  t.unit_info_offset = data_start;
  t.major = v.major;
  t.minor = v.minor;
  lay.tailer_offset = out.size();
  out.resize(out.size() + kTailerSize);
  encode_image_tailer(t, std::span<uint8_t, kTailerSize>(out.data() + lay.tailer_offset, kTailerSize));

  EGO_IMAGE_HEADER h;
  h.major = v.major;
  h.minor = v.minor;
  h.reserved1 = v.reserved1;
  h.signature = v.signature;
  h.create_time = v.create_time;
  h.compress_mode = v.compress_mode;
  h.comment_offset = comment_offset;
  h.comment_length = uint32_t(v.comment.size());
  h.total_vol = v.vol == v.first_vol ? v.total_vol : 0;
  h.num_disks = uint32_t(v.disks.size());
  h.disk_table_offset = lay.disk_table_offset;
  h.vol = v.vol;
  h.backup_type = v.backup_type;
  h.first_vol = v.first_vol;
  h.first_vol2 = v.first_vol;
  h.snap_seq = v.snap_seq;
  h.create_systime = SYSTIME{20, 24, 3, 0, 9, 10, 11, 12};
  encode_image_header(h, std::span<uint8_t, kHeaderSize>(out.data(), kHeaderSize));
  if (layout != nullptr) *layout = lay;
  return out;
}

using sysutil_test::TempDir;

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace tav::test
