// Tests of the EGO records: golden bytes written from the layout tables, the readers' refusal
// rules, the uncovered tails of the struct sums, 1.0 partition records and the synthesized
// extended partition.
#include "format/ego_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "format/ego_format.h"
#include "format/struct_sum.h"

namespace tav::img {
namespace {

// A fixture is written as pieces (offset, hex bytes) laid over a zeroed record. The pieces follow
// the layout tables of ego_format.h field by field; every `sum` was worked out separately from the
// same pieces, so the encoder is not consulted for any byte.
struct Piece {
  size_t offset;
  const char* hex;
};

std::vector<uint8_t> fixture(size_t size, std::initializer_list<Piece> pieces) {
  std::vector<uint8_t> bytes(size, 0);
  for (const Piece& piece : pieces) {
    size_t at = piece.offset;
    for (const char* h = piece.hex; *h != '\0';) {
      if (*h == ' ') {
        ++h;
        continue;
      }
      const unsigned value = std::stoul(std::string(h, 2), nullptr, 16);
      if (at >= size) ADD_FAILURE() << "piece at " << piece.offset << " runs past the record";
      if (at < size) bytes[at] = uint8_t(value);
      ++at;
      h += 2;
    }
  }
  return bytes;
}

// fixture: header 610
std::vector<uint8_t> golden_header() {
  return fixture(kHeaderSize, {
      {0, "62 02 00 00"},                       // header_size 610
      {4, "7A 0F 81 F4"},                       // sum
      {8, "45 47 4F 2E 49 4D 41 47 45"},        // magic "EGO.IMAGE"
      {17, "03 00 00 00"},                      // major 3
      {21, "04 00 00 00"},                      // minor 4
      {25, "00 00 00 00"},                      // reserved1
      {29, "01 10 5E 5F"},                      // signature 0x5F5E1001
      {33, "3D 2C 1B 3A"},                      // create_time 0x3A1B2C3D
      {37, "01 00 00 00"},                      // has_name 1
      {41, "6E 69 67 68 74 6C 79"},             // name "nightly"
      {74, "02 00 00 00"},                      // compress_mode high
      {78, "00 00 02 00"},                      // unit_bytes 131072
      {82, "62 02 00 00 00 00 00 00"},          // comment_offset 610
      {90, "1A 00 00 00"},                      // comment_length 26
      {94, "03 00 00 00"},                      // total_vol 3
      {98, "02 00 00 00"},                      // num_disks 2
      {102, "08 07 06 05 04 03 02 01"},         // disk_table_offset 0x0102030405060708
      {110, "07 00 00 00"},                     // vol 7
      {114, "02 00 00 00"},                     // backup_type incremental
      {118, "07 00 00 00"},                     // first_vol 7
      {122, "07 00 00 00"},                     // first_vol2 7
      {126, "05 00 00 00"},                     // snap_seq 5
      {130, "14 18 0B 00 1D 17 3B 2A"},         // create_systime 2024-11-29 23:59:42
  });
}
// end fixture

// fixture: tailer 601
std::vector<uint8_t> golden_tailer() {
  return fixture(kTailerSize, {
      {512, "04 00 00 00"},                     // unit_info_count 4
      {516, "00 10 00 00 02 00 00 00"},         // unit_info_offset 0x200001000
      {524, "00 00 00 00"},                     // reserved1
      {528, "03 00 00 00"},                     // total_vol 3
      {532, "02 00 00 00"},                     // num_disks 2
      {536, "00 20 00 00 02 00 00 00"},         // disk_table_offset 0x200002000
      {544, "00 30 00 00 02 00 00 00"},         // comment_offset 0x200003000
      {552, "1A 00 00 00"},                     // comment_length 26
      {556, "01 00 00 00"},                     // complete 1
      {560, "00 10 00 00 00 00 00 00"},         // data_start 0x1000
      {568, "00 F0 FF FF 01 00 00 00"},         // location_offset 0x1FFFFF000
      {576, "03 00 00 00"},                     // major
      {580, "04 00 00 00"},                     // minor
      {584, "FB B1 6C 8A"},                     // sum
      {588, "45 47 4F 2E 49 4D 41 47 45"},      // magic
      {597, "59 02 00 00"},                     // tailer_size 601
  });
}
// end fixture

// fixture: disk 253
std::vector<uint8_t> golden_disk() {
  return fixture(kDiskRecordSize, {
      {0, "45 47 4F 2E 44 49 53 4B"},           // magic "EGO.DISK"
      {8, "42 98 8A 42"},                       // sum
      {12, "00 04 00 00"},                      // cylinders 1024
      {16, "FF 00 00 00"},                      // heads 255
      {20, "3F 00 00 00"},                      // sectors_per_track 63
      {24, "C1 3E 00 00"},                      // sectors_per_cylinder 16065
      {28, "00 00 00 05 01 00 00 00"},          // total_sectors 0x105000000
      {36, "64 69 73 6B 30"},                   // disk_name "disk0"
      {69, "11 00 00 00"},                      // disk_kind 0x11
      {73, "01 00 00 00"},                      // whole_disk 1
      {77, "00 00 10 00 00 00 00 00"},          // ext_length 0x100000
      {85, "00 08 00 00 00 00 00 00"},          // ext_start 0x800
      {93, "FF 07 10 00 00 00 00 00"},          // ext_end 0x1007FF
      {101, "3F 00 00 00"},                     // mbr_sectors 63
      {105, "80 02 00 00 00 00 00 00"},         // mbr_offset 0x280
      {113, "03 00 00 00"},                     // num_parts 3
      {117, "80 80 00 00 00 00 00 00"},         // parts_offset 0x8080
      {125, "02 00 00 00"},                     // boot_kind 2
      {129, "D4 C3 B2 A1"},                     // disk_signature 0xA1B2C3D4
      {133, "00 08 00 00 00 00 00 00"},         // boot_part_start 0x800
  });
}
// end fixture

// fixture: part 391
std::vector<uint8_t> golden_part() {
  return fixture(kPartRecordSize, {
      {0, "45 47 4F 2E 50 41 52 54"},           // magic "EGO.PART"
      {8, "C1 06 EC 89"},                       // sum
      {12, "80"},                               // boot_flag
      {13, "00 08 00 00 01 00 00 00"},          // start_sector 0x100000800
      {21, "83"},                               // part_type
      {22, "00 00 20 00 00 00 00 00"},          // sector_count 0x200000
      {30, "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"},  // disk library
      {46, "43"},                               // drive_letter 'C'
      {47, "05 00 00 00"},                      // part_number 5
      {51, "B1 B2 B3 B4 B5 B6 B7 B8"},          // disk library
      {59, "01 01 00 00"},                      // part_flags: logical + a library bit
      {63, "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF D0 D1 D2 D3 D4 D5 D6 D7"},  // library
      {87, "56 34 12 00 00 00 00 00"},          // used_sectors 0x123456
      {95, "00 00 E2 04 00 00 00 00"},          // orig_bytes 0x4E20000
      {103, "CE 8A 46 02 00 00 00 00"},         // stored_bytes 0x2468ACE
      {111, "07 00 00 00"},                     // run_vol 7
      {115, "00 10 00 00 00 00 00 00"},         // run_offset 0x1000
      {123, "60 09 00 00"},                     // run_bytes 2400
      {127, "07 00 00 00"},                     // start_vol 7
      {131, "09 00 00 00"},                     // end_vol 9
      {135, "01 00 00 00"},                     // unit_info_index 1
      {139, "00 00 00 00"},                     // full 0
      {143, "02 10 5E 5F"},                     // signature 0x5F5E1002
      {147, "04 00 00 00"},                     // parent_seq 4
      {151, "00 2C 1B 3A"},                     // parent_time 0x3A1B2C00
      {155, "02 00 00 00"},                     // parent_vol 2
      {159, "02 00 00 00"},                     // parent_vol2 2
      {163, "DE AD BE EF"},                     // disk library
      {167, "00 00 01 00 00 00 00 00"},         // excluded_sectors 0x10000
      {175, "01 00 00 00"},                     // boot entries: flag
      {179, "01 00 00 00 00 00 00 00 03 00 00 00"},  // entry numbers 1, 0, 3
      {191, "00 00 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00 00 00 00 02 00 00 00"},  // 0, 0x800, 0x200000000
      {215, "11 22 33 44"},                     // disk library
      {300, "55 66"},                           // disk library
      {386, "77 88 99 AA BB"},                  // disk library, into the uncovered tail
  });
}
// end fixture

// fixture: part10 139
std::vector<uint8_t> golden_part_v10() {
  return fixture(kPartRecordSizeV10, {
      {0, "45 47 4F 2E 50 41 52 54"},           // magic "EGO.PART"
      {8, "D7 29 19 71"},                       // sum over 139 bytes
      {13, "3F 00 00 00 00 00 00 00"},          // start_sector 63
      {21, "07"},                               // part_type
      {22, "00 00 FA 00 00 00 00 00"},          // sector_count 0xFA0000
      {30, "01 02 03 04"},                      // disk library
      {46, "44"},                               // drive_letter 'D'
      {47, "FF FF FF FF"},                      // part_number -1
      {87, "00 10 00 00 00 00 00 00"},          // used_sectors 0x1000
      {95, "00 00 02 00 00 00 00 00"},          // orig_bytes 0x20000
      {103, "00 80 00 00 00 00 00 00"},         // stored_bytes 0x8000
      {111, "00 00 00 00"},                     // run_vol 0
      {115, "00 08 00 00 00 00 00 00"},         // run_offset 0x800
      {123, "08 00 00 00"},                     // run_bytes 8
      {127, "00 00 00 00"},                     // start_vol 0
      {131, "00 00 00 00"},                     // end_vol 0
      {135, "02 00 00 00"},                     // unit_info_index 2
  });
}
// end fixture

std::vector<uint8_t> golden_unit_info() {
  return fixture(kUnitInfoSize, {
      {0, "00 10 00 00 01 00 00 00"},           // seg_start 0x100001000
      {8, "18 00 00 00 00 00 00 00"},           // loc_offset 24
      {16, "00 10 04 00 01 00 00 00"},          // seg_end 0x100041000
      {24, "20 00 00 00"},                      // loc_bytes 32
  });
}

void reseal(std::vector<uint8_t>& rec, size_t sum_offset) { seal_struct_sum(rec, sum_offset); }
void set32(std::vector<uint8_t>& rec, size_t off, uint32_t v) { put_le32(rec.data() + off, v); }

// ---- golden records ----

TEST(EgoGoldenTest, ImageHeader) {
  const auto bytes = golden_header();
  ASSERT_TRUE(check_image_header(bytes)) << check_image_header(bytes).message();
  EGO_IMAGE_HEADER h;
  ASSERT_TRUE(decode_image_header(bytes, &h));
  EXPECT_EQ(h.header_size, 610u);
  EXPECT_EQ(h.sum, 0xF4810F7Au);
  EXPECT_EQ(h.magic, magic_bytes(kImageMagic));
  EXPECT_EQ(h.major, 3u);
  EXPECT_EQ(h.minor, 4u);
  EXPECT_EQ(h.reserved1, 0u);
  EXPECT_EQ(h.signature, 0x5F5E1001u);
  EXPECT_EQ(h.create_time, 0x3A1B2C3Du);
  EXPECT_EQ(h.has_name, 1u);
  EXPECT_EQ(name_field_text(h.name), "nightly");
  EXPECT_EQ(h.compress_mode, uint32_t(kCompressHigh));
  EXPECT_EQ(h.unit_bytes, kUnitBytes);
  EXPECT_EQ(h.comment_offset, 610u);
  EXPECT_EQ(h.comment_length, 26u);
  EXPECT_EQ(h.total_vol, 3u);
  EXPECT_EQ(h.num_disks, 2u);
  EXPECT_EQ(h.disk_table_offset, 0x0102030405060708u);
  EXPECT_EQ(h.vol, 7u);
  EXPECT_EQ(h.backup_type, uint32_t(kBackupIncremental));
  EXPECT_EQ(h.first_vol, 7u);
  EXPECT_EQ(h.first_vol2, 7u);
  EXPECT_EQ(h.snap_seq, 5u);
  EXPECT_EQ(h.create_systime.century, 20);
  EXPECT_EQ(h.create_systime.year, 24);
  EXPECT_EQ(h.create_systime.month, 11);
  EXPECT_EQ(h.create_systime.zero, 0);
  EXPECT_EQ(h.create_systime.day, 29);
  EXPECT_EQ(h.create_systime.hour, 23);
  EXPECT_EQ(h.create_systime.minute, 59);
  EXPECT_EQ(h.create_systime.second, 42);
  EXPECT_EQ(h.version().major, 3u);

  std::array<uint8_t, kHeaderSize> again{};
  h.sum = 0x12345678;  // ignored: encode seals its own
  encode_image_header(h, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(EgoGoldenTest, ImageTailer) {
  const auto bytes = golden_tailer();
  ASSERT_TRUE(check_image_tailer(bytes)) << check_image_tailer(bytes).message();
  EGO_IMAGE_TAILER t;
  ASSERT_TRUE(decode_image_tailer(bytes, &t));
  EXPECT_EQ(t.unit_info_count, 4u);
  EXPECT_EQ(t.unit_info_offset, 0x200001000u);
  EXPECT_EQ(t.reserved1, 0u);
  EXPECT_EQ(t.total_vol, 3u);
  EXPECT_EQ(t.num_disks, 2u);
  EXPECT_EQ(t.disk_table_offset, 0x200002000u);
  EXPECT_EQ(t.comment_offset, 0x200003000u);
  EXPECT_EQ(t.comment_length, 26u);
  EXPECT_EQ(t.complete, 1u);
  EXPECT_EQ(t.data_start, 0x1000u);
  EXPECT_EQ(t.location_offset, 0x1FFFFF000u);
  EXPECT_EQ(t.major, 3u);
  EXPECT_EQ(t.minor, 4u);
  EXPECT_EQ(t.sum, 0x8A6CB1FBu);
  EXPECT_EQ(t.magic, magic_bytes(kImageMagic));
  EXPECT_EQ(t.tailer_size, 601u);

  std::array<uint8_t, kTailerSize> again{};
  encode_image_tailer(t, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(EgoGoldenTest, DiskRecord) {
  const auto bytes = golden_disk();
  ASSERT_TRUE(check_disk_record(bytes)) << check_disk_record(bytes).message();
  EGO_DISK_RECORD d;
  ASSERT_TRUE(decode_disk_record(bytes, &d));
  EXPECT_EQ(d.magic, magic_bytes(kDiskMagic));
  EXPECT_EQ(d.sum, 0x428A9842u);
  EXPECT_EQ(d.cylinders, 1024u);
  EXPECT_EQ(d.heads, 255u);
  EXPECT_EQ(d.sectors_per_track, 63u);
  EXPECT_EQ(d.sectors_per_cylinder, 16065u);
  EXPECT_EQ(d.total_sectors, 0x105000000u);
  EXPECT_EQ(name_field_text(d.disk_name), "disk0");
  EXPECT_EQ(d.disk_kind, 0x11u);
  EXPECT_EQ(d.whole_disk, 1u);
  EXPECT_EQ(d.ext_length, 0x100000u);
  EXPECT_EQ(d.ext_start, 0x800u);
  EXPECT_EQ(d.ext_end, 0x1007FFu);
  EXPECT_EQ(d.mbr_sectors, 63u);
  EXPECT_EQ(d.mbr_offset, 0x280u);
  EXPECT_EQ(d.num_parts, 3u);
  EXPECT_EQ(d.parts_offset, 0x8080u);
  EXPECT_EQ(d.boot_kind, 2u);
  EXPECT_EQ(d.disk_signature, 0xA1B2C3D4u);
  EXPECT_EQ(d.boot_part_start, 0x800u);

  std::array<uint8_t, kDiskRecordSize> again{};
  encode_disk_record(d, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(EgoGoldenTest, PartitionRecordKeepsTheDiskLibraryBytes) {
  const auto bytes = golden_part();
  const FormatVersion v34{3, 4};
  ASSERT_TRUE(check_part_record(bytes, v34)) << check_part_record(bytes, v34).message();
  EGO_PART_RECORD p;
  ASSERT_TRUE(decode_part_record(bytes, v34, &p));
  EXPECT_EQ(p.magic, magic_bytes(kPartMagic));
  EXPECT_EQ(p.sum, 0x89EC06C1u);
  EXPECT_EQ(p.boot_flag, 0x80);
  EXPECT_EQ(p.start_sector, 0x100000800u);
  EXPECT_EQ(p.part_type, 0x83);
  EXPECT_EQ(p.sector_count, 0x200000u);
  EXPECT_EQ(p.drive_letter, 'C');
  EXPECT_EQ(p.part_number, 5);
  EXPECT_EQ(p.part_flags, 0x101u);
  EXPECT_EQ(p.used_sectors, 0x123456u);
  EXPECT_EQ(p.orig_bytes, 0x4E20000u);
  EXPECT_EQ(p.stored_bytes, 0x2468ACEu);
  EXPECT_EQ(p.run_vol, 7u);
  EXPECT_EQ(p.run_offset, 0x1000u);
  EXPECT_EQ(p.run_bytes, 2400u);
  EXPECT_EQ(p.start_vol, 7u);
  EXPECT_EQ(p.end_vol, 9u);
  EXPECT_EQ(p.unit_info_index, 1u);
  EXPECT_EQ(p.full, 0u);
  EXPECT_EQ(p.signature, 0x5F5E1002u);
  EXPECT_EQ(p.parent_seq, 4u);
  EXPECT_EQ(p.parent_time, 0x3A1B2C00u);
  EXPECT_EQ(p.parent_vol, 2u);
  EXPECT_EQ(p.parent_vol2, 2u);
  EXPECT_EQ(p.excluded_sectors, 0x10000u);
  EXPECT_EQ(p.boot_entries.flag, 1u);
  EXPECT_EQ(p.boot_entries.entry_numbers, (std::array<uint32_t, 3>{1, 0, 3}));
  EXPECT_EQ(p.boot_entries.system_starts, (std::array<uint64_t, 3>{0, 0x800, 0x200000000}));
  EXPECT_TRUE(std::equal(p.raw.begin(), p.raw.end(), bytes.begin()));

  std::array<uint8_t, kPartRecordSize> again{};
  encode_part_record(p, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(EgoGoldenTest, PartitionRecordFieldsOverrideRaw) {
  // A writer fills the format fields of a record whose other bytes came from the disk library:
  // the fields win, the library bytes stay.
  EGO_PART_RECORD p;
  ASSERT_TRUE(decode_part_record(golden_part(), FormatVersion{}, &p));
  p.start_sector = 0x1234;
  p.signature = 99;
  std::array<uint8_t, kPartRecordSize> out{};
  encode_part_record(p, out);
  EXPECT_EQ(get_le64(out.data() + part_layout::kStartSector), 0x1234u);
  EXPECT_EQ(get_le32(out.data() + part_layout::kSignature), 99u);
  EXPECT_EQ(out[30], 0xA0);
  EXPECT_EQ(out[390], 0xBB);
  EXPECT_TRUE(check_part_record(out, FormatVersion{}));
}

TEST(EgoGoldenTest, V10PartitionRecord) {
  const auto bytes = golden_part_v10();
  const FormatVersion v10{1, 0};
  ASSERT_TRUE(check_part_record(bytes, v10)) << check_part_record(bytes, v10).message();
  EGO_PART_RECORD p;
  ASSERT_TRUE(decode_part_record(bytes, v10, &p));
  EXPECT_EQ(p.sum, 0x711929D7u);
  EXPECT_EQ(p.start_sector, 63u);
  EXPECT_EQ(p.part_type, 0x07);
  EXPECT_EQ(p.sector_count, 0xFA0000u);
  EXPECT_EQ(p.drive_letter, 'D');
  EXPECT_EQ(p.part_number, -1);
  EXPECT_EQ(p.used_sectors, 0x1000u);
  EXPECT_EQ(p.orig_bytes, 0x20000u);
  EXPECT_EQ(p.stored_bytes, 0x8000u);
  EXPECT_EQ(p.run_offset, 0x800u);
  EXPECT_EQ(p.run_bytes, 8u);
  EXPECT_EQ(p.unit_info_index, 2u);
  // Fields the 1.0 record lacks: always a full snapshot; the signature comes from the catalogue.
  EXPECT_EQ(p.full, 1u);
  EXPECT_EQ(p.signature, 0u);
  EXPECT_EQ(p.parent_seq, 0u);
  EXPECT_EQ(p.parent_time, 0u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), p.raw.begin()));
  EXPECT_TRUE(std::all_of(p.raw.begin() + kPartRecordSizeV10, p.raw.end(), [](uint8_t b) { return b == 0; }));

  std::array<uint8_t, kPartRecordSizeV10> again{};
  encode_part_record_v10(p, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));

  // Read as a 3.x record the 139 bytes are too short.
  EXPECT_EQ(check_part_record(bytes, FormatVersion{3, 4}).code(), StatusCode::kCorruption);
  EXPECT_EQ(synthesize_v10_signature(0x3A1B2C3D, 2), 0x3A1B2C3Fu);
  EXPECT_EQ(synthesize_v10_signature(0xFFFFFFFF, 1), 0u);
}

TEST(EgoGoldenTest, UnitInfoAndLocationTable) {
  const auto bytes = golden_unit_info();
  EGO_UNIT_INFO u;
  ASSERT_TRUE(decode_unit_info(bytes, &u));
  EXPECT_EQ(u.seg_start, 0x100001000u);
  EXPECT_EQ(u.loc_offset, 24u);
  EXPECT_EQ(u.seg_end, 0x100041000u);
  EXPECT_EQ(u.loc_bytes, 32u);
  std::array<uint8_t, kUnitInfoSize> again;
  again.fill(0xEE);  // reserved bytes must be written as zero
  encode_unit_info(u, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));

  const auto table = fixture(24, {{0, "00 10 00 00 00 00 00 00"},
                                  {8, "F0 8F 00 00 00 00 00 00"},
                                  {16, "00 00 00 00 01 00 00 00"}});
  std::vector<uint64_t> offsets{99};
  ASSERT_TRUE(decode_location_table(table, &offsets));
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0x1000, 0x8FF0, 0x100000000}));
  std::vector<uint8_t> encoded{1, 2, 3};
  encode_location_table(offsets, &encoded);
  EXPECT_EQ(encoded, table);

  const Status partial = decode_location_table(std::span(table).first(20), &offsets);
  EXPECT_EQ(partial.code(), StatusCode::kCorruption);
  EXPECT_NE(partial.message().find("location table"), std::string::npos);
}

TEST(EgoGoldenTest, DefaultRecordsEncodeValid) {
  // A writer starting from default records gets the magics and a valid sum.
  EGO_IMAGE_HEADER h;
  h.num_disks = 1;
  h.total_vol = 1;
  std::array<uint8_t, kHeaderSize> hb{};
  encode_image_header(h, hb);
  EXPECT_TRUE(check_image_header(hb));
  std::array<uint8_t, kTailerSize> tb{};
  encode_image_tailer(EGO_IMAGE_TAILER{}, tb);
  EXPECT_TRUE(check_image_tailer(tb));
  std::array<uint8_t, kDiskRecordSize> db{};
  encode_disk_record(EGO_DISK_RECORD{}, db);
  EXPECT_TRUE(check_disk_record(db));
  std::array<uint8_t, kPartRecordSize> pb{};
  encode_part_record(EGO_PART_RECORD{}, pb);
  EXPECT_TRUE(check_part_record(pb, FormatVersion{}));
}

// ---- short input ----

TEST(EgoRecordTest, ShortInputIsCorruptionNamingTheRecord) {
  std::vector<uint8_t> buf(1000, 0);
  EGO_IMAGE_HEADER h;
  EGO_IMAGE_TAILER t;
  EGO_DISK_RECORD d;
  EGO_PART_RECORD p;
  EGO_UNIT_INFO u;
  const std::span<const uint8_t> b(buf);
  struct Case {
    const char* record;
    Status status;
  } cases[] = {
      {"image header", decode_image_header(b.first(kHeaderSize - 1), &h)},
      {"image header", check_image_header(b.first(kHeaderSize - 1))},
      {"image tailer", decode_image_tailer(b.first(kTailerSize - 1), &t)},
      {"image tailer", check_image_tailer(b.first(0))},
      {"disk record", decode_disk_record(b.first(kDiskRecordSize - 1), &d)},
      {"disk record", check_disk_record(b.first(kDiskRecordSize - 1))},
      {"partition record", decode_part_record(b.first(kPartRecordSize - 1), FormatVersion{}, &p)},
      {"partition record", decode_part_record(b.first(kPartRecordSizeV10 - 1), FormatVersion{1, 0}, &p)},
      {"partition record", check_part_record(b.first(kPartRecordSizeV10 - 1), FormatVersion{1, 0})},
      {"unit-info record", decode_unit_info(b.first(kUnitInfoSize - 1), &u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(c.status.code(), StatusCode::kCorruption);
    EXPECT_EQ(c.status.message().rfind(c.record, 0), 0u) << c.status.message();
  }
}

// ---- struct sums over every record ----

struct SummedRecord {
  const char* name;
  std::vector<uint8_t> (*make)();
  size_t sum_offset;
  Status (*check)(std::span<const uint8_t>);
};

Status check_part34(std::span<const uint8_t> b) { return check_part_record(b, FormatVersion{3, 4}); }
Status check_part10(std::span<const uint8_t> b) { return check_part_record(b, FormatVersion{1, 0}); }

const SummedRecord kSummedRecords[] = {
    {"image header", golden_header, header_layout::kSum, check_image_header},
    {"image tailer", golden_tailer, tailer_layout::kSum, check_image_tailer},
    {"disk record", golden_disk, disk_layout::kSum, check_disk_record},
    {"partition record", golden_part, part_layout::kSum, check_part34},
    {"partition record 1.0", golden_part_v10, part_layout::kSum, check_part10},
};

TEST(EgoStructSumTest, AnyCoveredByteChangeFailsAndTheTailIsNotCovered) {
  for (const SummedRecord& r : kSummedRecords) {
    SCOPED_TRACE(r.name);
    const auto good = r.make();
    const size_t covered = good.size() / 4 * 4;
    ASSERT_TRUE(r.check(good));
    for (size_t i = 0; i < good.size(); ++i) {
      for (uint8_t delta : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
        auto bad = good;
        bad[i] = uint8_t(bad[i] + delta);
        const Status s = r.check(bad);
        if (i < covered) {
          ASSERT_FALSE(s) << "byte " << i << " +" << int(delta) << " passed";
          ASSERT_NE(s.message().find("struct sum mismatch"), std::string::npos) << s.message();
          ASSERT_FALSE(verify_struct_sum(bad, r.sum_offset));
          ASSERT_EQ(libtavimg_check_struct_sum32(bad.data(), uint32_t(bad.size()), bad.data() + r.sum_offset), 0);
        } else {
          ASSERT_TRUE(s) << "uncovered byte " << i << ": " << s.message();
        }
      }
    }
  }
}

TEST(EgoStructSumTest, CheckRestoresTheFieldAndAgreesWithVerify) {
  for (const SummedRecord& r : kSummedRecords) {
    SCOPED_TRACE(r.name);
    auto rec = r.make();
    const auto before = rec;
    EXPECT_EQ(libtavimg_check_struct_sum32(rec.data(), uint32_t(rec.size()), rec.data() + r.sum_offset), 1);
    EXPECT_EQ(rec, before);
    EXPECT_TRUE(verify_struct_sum(rec, r.sum_offset));
    // The stored value is the negated sum of the words with the field zeroed.
    set32(rec, r.sum_offset, 0);
    EXPECT_EQ(get_le32(before.data() + r.sum_offset),
              0u - libtavimg_calc_struct_sum32(rec.data(), uint32_t(rec.size())));
  }
}

TEST(EgoStructSumTest, WholeWordsOnlyAndAnyFieldPosition) {
  const uint8_t words[] = {0x01, 0, 0, 0, 0x02, 0, 0, 0x80, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(libtavimg_calc_struct_sum32(words, sizeof words), 0x80000003u);
  EXPECT_EQ(libtavimg_calc_struct_sum32(words, 3), 0u);
  EXPECT_EQ(libtavimg_calc_struct_sum32(nullptr, 8), 0u);

  // A field that is not word-aligned and one that reaches into the uncovered tail.
  for (size_t off : {size_t{5}, size_t{14}, size_t{17}}) {
    SCOPED_TRACE(off);
    std::vector<uint8_t> rec(21);
    for (size_t i = 0; i < rec.size(); ++i) rec[i] = uint8_t(0x31 * i + 7);
    seal_struct_sum(rec, off);
    EXPECT_TRUE(verify_struct_sum(rec, off));
    EXPECT_EQ(libtavimg_check_struct_sum32(rec.data(), uint32_t(rec.size()), rec.data() + off), 1);
    rec[2] ^= 0x40;
    EXPECT_FALSE(verify_struct_sum(rec, off));
  }
  std::vector<uint8_t> tiny(6);
  EXPECT_FALSE(verify_struct_sum(tiny, 3));  // the field would run past the record
}

// ---- refusal rules ----

TEST(EgoHeaderCheckTest, RefusalTable) {
  namespace L = header_layout;
  struct Case {
    const char* name;
    void (*edit)(std::vector<uint8_t>&);
    bool reseal;
    const char* error;  // null: passes
  } cases[] = {
      {"golden", [](std::vector<uint8_t>&) {}, false, nullptr},
      {"num_disks 0", [](std::vector<uint8_t>& r) { set32(r, L::kNumDisks, 0); }, true,
       "image header: num_disks 0 out of range 1..24"},
      {"num_disks 25", [](std::vector<uint8_t>& r) { set32(r, L::kNumDisks, 25); }, true,
       "image header: num_disks 25 out of range 1..24"},
      {"num_disks 1", [](std::vector<uint8_t>& r) { set32(r, L::kNumDisks, 1); }, true, nullptr},
      {"num_disks 24", [](std::vector<uint8_t>& r) { set32(r, L::kNumDisks, 24); }, true, nullptr},
      {"total_vol 513", [](std::vector<uint8_t>& r) { set32(r, L::kTotalVol, 513); }, true,
       "image header: total_vol 513 exceeds 512"},
      {"total_vol 512", [](std::vector<uint8_t>& r) { set32(r, L::kTotalVol, 512); }, true, nullptr},
      {"interrupted first volume", [](std::vector<uint8_t>& r) { set32(r, L::kTotalVol, 0); }, true,
       "image header: first volume of an unfinished backup (total_vol 0)"},
      {"later volume of the same backup",
       [](std::vector<uint8_t>& r) {
         set32(r, L::kTotalVol, 0);
         set32(r, L::kVol, 8);
       },
       true, nullptr},
      {"interrupted, reserved1 set",
       [](std::vector<uint8_t>& r) {
         set32(r, L::kTotalVol, 0);
         set32(r, L::kReserved1, 1);
       },
       true, nullptr},
      {"bad magic", [](std::vector<uint8_t>& r) { r[L::kMagic + 4] = 'i'; }, true, "image header: bad magic"},
      {"bad sum", [](std::vector<uint8_t>& r) { r[L::kSum] ^= 1; }, false, "image header: struct sum mismatch"},
      {"field changed without reseal", [](std::vector<uint8_t>& r) { set32(r, L::kNumDisks, 3); }, false,
       "image header: struct sum mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto rec = golden_header();
    c.edit(rec);
    if (c.reseal) reseal(rec, L::kSum);
    const Status s = check_image_header(rec);
    if (c.error == nullptr) {
      EXPECT_TRUE(s) << s.message();
    } else {
      EXPECT_EQ(s.code(), StatusCode::kCorruption);
      EXPECT_EQ(s.message(), c.error);
    }
  }
}

TEST(EgoTailerCheckTest, RefusalTable) {
  namespace L = tailer_layout;
  struct Case {
    const char* name;
    uint32_t reserved1, complete, total_vol;
    bool passes;
  } cases[] = {
      {"finished last volume", 0, 1, 3, true},
      {"unfinished volume", 0, 0, 0, true},
      {"complete, reserved1 set, total_vol 0", 1, 1, 0, false},
      {"complete, reserved1 set, total_vol 3", 1, 1, 3, true},
      {"reserved1 set, not complete", 1, 0, 0, true},
      {"complete without total_vol, reserved1 0", 0, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto rec = golden_tailer();
    set32(rec, L::kReserved1, c.reserved1);
    set32(rec, L::kComplete, c.complete);
    set32(rec, L::kTotalVol, c.total_vol);
    reseal(rec, L::kSum);
    const Status s = check_image_tailer(rec);
    EXPECT_EQ(s.is_ok(), c.passes) << s.message();
    if (!c.passes) {
      EXPECT_EQ(s.message().rfind("image tailer: ", 0), 0u);
    }
  }
  auto rec = golden_tailer();
  rec[L::kMagic] = 'e';
  reseal(rec, L::kSum);
  EXPECT_EQ(check_image_tailer(rec).message(), "image tailer: bad magic");
}

TEST(EgoRecordCheckTest, DiskAndPartitionMagic) {
  auto disk = golden_disk();
  disk[disk_layout::kMagic + 4] = 'd';
  reseal(disk, disk_layout::kSum);
  EXPECT_EQ(check_disk_record(disk).message(), "disk record: bad magic");
  auto part = golden_part();
  part[part_layout::kMagic + 7] = 'Q';
  reseal(part, part_layout::kSum);
  EXPECT_EQ(check_part_record(part, FormatVersion{}).message(), "partition record: bad magic");
  auto part10 = golden_part_v10();
  part10[0] = 0;
  EXPECT_EQ(check_part_record(part10, FormatVersion{1, 0}).message(), "partition record: struct sum mismatch");
}

// ---- synthesized records ----

TEST(EgoSynthesisTest, ExtendedPartitionRecord) {
  EGO_DISK_RECORD disk;
  ASSERT_TRUE(decode_disk_record(golden_disk(), &disk));
  const EGO_PART_RECORD ext = synthesize_extended_part_record(disk);
  EXPECT_TRUE(check_part_record(ext.raw, FormatVersion{})) << check_part_record(ext.raw, FormatVersion{}).message();
  EXPECT_EQ(ext.part_type, kPartTypeExtended);
  EXPECT_EQ(ext.start_sector, 0x800u);
  EXPECT_EQ(ext.sector_count, 0x100000u);
  EXPECT_EQ(ext.part_flags, kPartFlagExtended);
  EXPECT_EQ(ext.part_number, -1);
  EXPECT_EQ(ext.boot_flag, 0);
  EXPECT_EQ(ext.sum, get_le32(ext.raw.data() + part_layout::kSum));

  // The raw bytes decode to the same record, and hold nothing but these fields.
  EGO_PART_RECORD back;
  ASSERT_TRUE(decode_part_record(ext.raw, FormatVersion{}, &back));
  EXPECT_EQ(back.start_sector, ext.start_sector);
  EXPECT_EQ(back.sector_count, ext.sector_count);
  EXPECT_EQ(back.part_number, -1);
  EXPECT_EQ(back.part_flags, kPartFlagExtended);
  const auto expected = fixture(kPartRecordSize, {
      {0, "45 47 4F 2E 50 41 52 54"},
      {13, "00 08 00 00 00 00 00 00"},
      {21, "0F"},
      {22, "00 00 10 00 00 00 00 00"},
      {47, "FF FF FF FF"},
      {59, "02 00 00 00"},
  });
  for (size_t i = 0; i < kPartRecordSize; ++i) {
    if (i >= part_layout::kSum && i < part_layout::kSum + 4) continue;
    ASSERT_EQ(ext.raw[i], expected[i]) << "byte " << i;
  }
}

// ---- name fields ----

TEST(EgoNameFieldTest, CutToFitWithATerminatingZero) {
  std::array<uint8_t, kNameFieldSize> field;
  field.fill(0xAA);
  set_name_field(field, "short");
  EXPECT_EQ(name_field_text(field), "short");
  EXPECT_TRUE(std::all_of(field.begin() + 5, field.end(), [](uint8_t b) { return b == 0; }));

  set_name_field(field, std::string(40, 'x'));
  EXPECT_EQ(name_field_text(field), std::string(32, 'x'));
  EXPECT_EQ(field[32], 0);

  // A damaged field without any zero gives its 33 bytes and nothing beyond them.
  field.fill('y');
  EXPECT_EQ(name_field_text(field), std::string(33, 'y'));
  set_name_field(field, "");
  EXPECT_EQ(name_field_text(field), "");
}

}  // namespace
}  // namespace tav::img
