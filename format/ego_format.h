// The EGO volume file format: layout, constants and the decoded form of every record.
// Reader, writer, validator, the mount daemon and `tav inspect` all take the layout from here.
//
// An image (a storage) is a chain of snapshots stored in numbered volume files in one directory.
// All integers are little-endian; records are packed, at the byte offsets below. A sector is
// 512 bytes. Records are decoded from bytes (ego_records.h), never by casting buffers.
//
// One volume file, in file order:
//   1. image header (610 bytes) at offset 0
//   2. optional comment at offset 610: UTF-16LE (ANSI up to 3.1) with its terminating zero,
//      at most 512 characters before the zero
//   3. descriptor area: per disk, its saved boot sectors then its partition records; after all
//      disks, the disk table (num_disks disk records back to back)
//   4. data area [tailer.data_start, tailer.location_offset): compress units and run tables
//   5. location table: one u64 file offset per compress unit stored in this volume
//   6. unit-info records, one per partition segment in this volume
//   7. a second copy of the descriptor area and the comment (readers do not use it)
//   8. image tailer (601 bytes), ending at the end of the file
//
// Struct sum: a record's `sum` field holds the two's complement of the 32-bit sum of the
// record's first floor(length / 4) little-endian words, taken while the field is 0. The trailing
// 1-3 bytes of a record whose length is not a multiple of 4 are not covered (disk record: byte
// 252; partition record: bytes 388-390; tailer: byte 600).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/sector.h"
#include "core/time_word.h"

namespace tav::img {

// Format version written by us; readers accept earlier ones (see FormatVersion).
constexpr uint32_t kFormatMajor = 3;
constexpr uint32_t kFormatMinor = 4;

constexpr size_t kImageMagicSize = 9;
constexpr char kImageMagic[] = "EGO.IMAGE";  // stored without its zero, in header and tailer
constexpr size_t kRecordMagicSize = 8;
constexpr char kDiskMagic[] = "EGO.DISK";
constexpr char kPartMagic[] = "EGO.PART";
constexpr char kUnitStartMagic[] = "HOLE";  // COMPRESS_UNIT_START_MAGIC
constexpr char kUnitEndMagic[] = "IOLF";    // COMPRESS_UNIT_END_MAGIC
constexpr size_t kUnitMagicSize = 4;

// The bytes of a magic text without its terminating zero, as stored.
template <size_t N>
constexpr std::array<uint8_t, N - 1> magic_bytes(const char (&text)[N]) {
  std::array<uint8_t, N - 1> bytes{};
  for (size_t i = 0; i + 1 < N; ++i) bytes[i] = uint8_t(text[i]);
  return bytes;
}

constexpr size_t kHeaderSize = 610;
constexpr size_t kTailerSize = 601;
constexpr size_t kDiskRecordSize = 253;
constexpr size_t kPartRecordSize = 391;
constexpr size_t kPartRecordSizeV10 = 139;  // version 1.0 partition record
constexpr size_t kUnitInfoSize = 92;
constexpr size_t kLocationEntrySize = 8;
constexpr size_t kFlatRunSize = 8;
constexpr size_t kRunTableChunkBytes = 1024;  // a run table splits across volumes at multiples of this

constexpr uint32_t kUnitBytes = 131072;  // uncompressed bytes per compress unit
constexpr uint32_t kSectorsPerUnit = kUnitBytes / kSectorSize;
constexpr uint32_t kMaxCompressedBytes = 135152;  // the writer's limit for the zlib stream
constexpr uint32_t kMaxStoredUnitBytes = 147456;  // Z_BUFSIZE: the readers' limit for a stored unit

constexpr uint32_t kMinDisks = 1;
constexpr uint32_t kMaxDisks = 24;
constexpr uint32_t kMaxVolumesPerSnapshot = 512;
constexpr uint32_t kMaxCommentChars = 512;  // before the terminating zero
constexpr size_t kNameFieldSize = 33;       // header `name`, disk record `disk_name`
constexpr size_t kMaxVolumeNameChars = 599;

// Values of the header's `compress_mode` (3.2 and later) and the zlib level each one means.
enum CompressMode : uint32_t { kCompressNone = 0, kCompressNormal = 1, kCompressHigh = 2 };
constexpr int kZlibLevelNone = 0;
constexpr int kZlibLevelNormal = 2;
constexpr int kZlibLevelHigh = 6;

// `backup_type` of the header (BACKUP_TYPE).
enum BackupType : uint32_t { kBackupFull = 1, kBackupIncremental = 2, kBackupDifferential = 3 };

// Partition record `part_flags` bits defined by the format; the others are the disk library's.
constexpr uint32_t kPartFlagLogical = 1u << 0;
constexpr uint32_t kPartFlagExtended = 1u << 1;
constexpr uint8_t kPartTypeExtended = 0x0F;

// What differs between format versions, for readers.
struct FormatVersion {
  uint32_t major = kFormatMajor;
  uint32_t minor = kFormatMinor;

  constexpr bool at_least(uint32_t maj, uint32_t min) const {
    return major > maj || (major == maj && minor >= min);
  }
  // 1.0 stores 139-byte partition records.
  constexpr bool is_v10() const { return major < 2; }
  constexpr size_t part_record_size() const { return is_v10() ? kPartRecordSizeV10 : kPartRecordSize; }
  // Up to 3.1 the comment is ANSI text; from 3.2 on UTF-16LE.
  constexpr bool comment_is_utf16() const { return at_least(3, 2); }
  // Below 3.2 `compress_mode` holds a zlib level.
  constexpr bool compress_mode_is_zlib_level() const { return !at_least(3, 2); }
  // Framing bytes around a unit's zlib stream: 0 up to 3.0 (bare stream), 12 for 3.1-3.3
  // (start magic, end magic, CRC of the uncompressed data), 16 from 3.4 (also the CRC of the
  // compressed bytes).
  constexpr uint32_t unit_framing_bytes() const { return !at_least(3, 1) ? 0 : (!at_least(3, 4) ? 12 : 16); }
  // The CRC of the uncompressed data is checked by readers from 3.3 on.
  constexpr bool verifies_data_crc() const { return at_least(3, 3); }
};

// Normalizes a header's `compress_mode` to CompressMode for any version.
constexpr CompressMode compress_mode_of(FormatVersion v, uint32_t stored) {
  if (v.compress_mode_is_zlib_level()) {
    return stored == 0 ? kCompressNone : (stored == 9 ? kCompressHigh : kCompressNormal);
  }
  return stored == 0 ? kCompressNone : (stored == 2 ? kCompressHigh : kCompressNormal);
}

constexpr int zlib_level_of(CompressMode mode) {
  return mode == kCompressNone ? kZlibLevelNone : (mode == kCompressHigh ? kZlibLevelHigh : kZlibLevelNormal);
}

// Image header, 610 bytes at offset 0 of every volume.
//   off size field
//     0    4 header_size        610
//     4    4 sum                struct sum over 610 bytes
//     8    9 magic              "EGO.IMAGE"
//    17    4 major              3
//    21    4 minor              4
//    25    4 reserved1          0; nonzero makes the snapshot unloadable
//    29    4 signature          storage signature, the same in every volume of a chain
//    33    4 create_time        packed time word
//    37    4 has_name           1 when `name` holds text (0 is written)
//    41   33 name               ANSI, zero-terminated
//    74    4 compress_mode      0 none, 1 normal, 2 high (a zlib level below 3.2)
//    78    4 unit_bytes         131072
//    82    8 comment_offset     0 when no comment
//    90    4 comment_length     bytes including the zero, 0 when none
//    94    4 total_vol          set in the first volume when the backup finishes, else 0
//    98    4 num_disks          1..24
//   102    8 disk_table_offset
//   110    4 vol                number of this volume
//   114    4 backup_type        1 full, 2 incremental, 3 differential
//   118    4 first_vol          first volume of the snapshot
//   122    4 first_vol2         the same again
//   126    4 snap_seq           0 for a full snapshot, else one more than the highest so far
//   130    8 create_systime     SYSTIME
//   138  472 zero
struct EGO_IMAGE_HEADER {
  uint32_t header_size = kHeaderSize;
  uint32_t sum = 0;
  std::array<uint8_t, kImageMagicSize> magic = magic_bytes(kImageMagic);
  uint32_t major = kFormatMajor;
  uint32_t minor = kFormatMinor;
  uint32_t reserved1 = 0;
  uint32_t signature = 0;
  uint32_t create_time = 0;
  uint32_t has_name = 0;
  std::array<uint8_t, kNameFieldSize> name{};
  uint32_t compress_mode = 0;
  uint32_t unit_bytes = kUnitBytes;
  uint64_t comment_offset = 0;
  uint32_t comment_length = 0;
  uint32_t total_vol = 0;
  uint32_t num_disks = 0;
  uint64_t disk_table_offset = 0;
  uint32_t vol = 0;
  uint32_t backup_type = kBackupFull;
  uint32_t first_vol = 0;
  uint32_t first_vol2 = 0;
  uint32_t snap_seq = 0;
  SYSTIME create_systime{};

  FormatVersion version() const { return FormatVersion{major, minor}; }
};

// Field offsets of the image header, as in the table above.
namespace header_layout {
constexpr size_t kHeaderSize = 0, kSum = 4, kMagic = 8, kMajor = 17, kMinor = 21, kReserved1 = 25,
                 kSignature = 29, kCreateTime = 33, kHasName = 37, kName = 41, kCompressMode = 74,
                 kUnitBytes = 78, kCommentOffset = 82, kCommentLength = 90, kTotalVol = 94,
                 kNumDisks = 98, kDiskTableOffset = 102, kVol = 110, kBackupType = 114,
                 kFirstVol = 118, kFirstVol2 = 122, kSnapSeq = 126, kCreateSystime = 130,
                 kReservedTail = 138;
}  // namespace header_layout

// Image tailer, 601 bytes ending at the end of every volume.
//   off size field
//     0  512 zero
//   512    4 unit_info_count
//   516    8 unit_info_offset
//   524    4 reserved1          copy of the header's (0)
//   528    4 total_vol          set only in the last volume of a finished backup
//   532    4 num_disks
//   536    8 disk_table_offset  of the second descriptor copy
//   544    8 comment_offset     of the second comment copy, 0 when none
//   552    4 comment_length
//   556    4 complete           1 in the last volume of a finished backup
//   560    8 data_start
//   568    8 location_offset    also the end of the data area
//   576    4 major
//   580    4 minor
//   584    4 sum                struct sum over 601 bytes (the first 600 are covered)
//   588    9 magic              "EGO.IMAGE"
//   597    4 tailer_size        601
struct EGO_IMAGE_TAILER {
  uint32_t unit_info_count = 0;
  uint64_t unit_info_offset = 0;
  uint32_t reserved1 = 0;
  uint32_t total_vol = 0;
  uint32_t num_disks = 0;
  uint64_t disk_table_offset = 0;
  uint64_t comment_offset = 0;
  uint32_t comment_length = 0;
  uint32_t complete = 0;
  uint64_t data_start = 0;
  uint64_t location_offset = 0;
  uint32_t major = kFormatMajor;
  uint32_t minor = kFormatMinor;
  uint32_t sum = 0;
  std::array<uint8_t, kImageMagicSize> magic = magic_bytes(kImageMagic);
  uint32_t tailer_size = kTailerSize;
};

// Field offsets of the image tailer, as in the table above.
namespace tailer_layout {
constexpr size_t kUnitInfoCount = 512, kUnitInfoOffset = 516, kReserved1 = 524, kTotalVol = 528,
                 kNumDisks = 532, kDiskTableOffset = 536, kCommentOffset = 544,
                 kCommentLength = 552, kComplete = 556, kDataStart = 560, kLocationOffset = 568,
                 kMajor = 576, kMinor = 580, kSum = 584, kMagic = 588, kTailerSize = 597;
}  // namespace tailer_layout

// Disk record ("EGO.DISK"), 253 bytes; the disk table is num_disks of them back to back.
// Offsets 12-35 (the geometry) are copied from the disk library and handed back unchanged.
//   off size field
//     0    8 magic              "EGO.DISK"
//     8    4 sum                struct sum over 253 bytes (the first 252 are covered)
//    12    4 cylinders
//    16    4 heads
//    20    4 sectors_per_track
//    24    4 sectors_per_cylinder
//    28    8 total_sectors
//    36   33 disk_name          ANSI, zero-terminated
//    69    4 disk_kind          readers set their own
//    73    4 whole_disk         1 when the whole disk was selected
//    77    8 ext_length         sectors of the extended partition, 0 when none
//    85    8 ext_start
//    93    8 ext_end
//   101    4 mbr_sectors        saved boot sectors
//   105    8 mbr_offset         file offset of the saved boot sectors
//   113    4 num_parts          partition records stored for this disk
//   117    8 parts_offset       file offset of its first partition record
//   125    4 boot_kind          2 entries recorded, 1 not (final descriptor area of volume 1 only)
//   129    4 disk_signature     bytes 440-443 of the saved MBR (same)
//   133    8 boot_part_start
//   141  112 zero
struct EGO_DISK_RECORD {
  std::array<uint8_t, kRecordMagicSize> magic = magic_bytes(kDiskMagic);
  uint32_t sum = 0;
  uint32_t cylinders = 0;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t sectors_per_cylinder = 0;
  uint64_t total_sectors = 0;
  std::array<uint8_t, kNameFieldSize> disk_name{};
  uint32_t disk_kind = 0;
  uint32_t whole_disk = 0;
  uint64_t ext_length = 0;
  uint64_t ext_start = 0;
  uint64_t ext_end = 0;
  uint32_t mbr_sectors = 0;
  uint64_t mbr_offset = 0;
  uint32_t num_parts = 0;
  uint64_t parts_offset = 0;
  uint32_t boot_kind = 0;
  uint32_t disk_signature = 0;
  uint64_t boot_part_start = 0;
};

// Field offsets of the disk record, as in the table above.
namespace disk_layout {
constexpr size_t kMagic = 0, kSum = 8, kCylinders = 12, kHeads = 16, kSectorsPerTrack = 20,
                 kSectorsPerCylinder = 24, kTotalSectors = 28, kDiskName = 36, kDiskKind = 69,
                 kWholeDisk = 73, kExtLength = 77, kExtStart = 85, kExtEnd = 93,
                 kMbrSectors = 101, kMbrOffset = 105, kNumParts = 113, kPartsOffset = 117,
                 kBootKind = 125, kDiskSignature = 129, kBootPartStart = 133, kReservedTail = 141;
}  // namespace disk_layout

// Boot-configuration entries found on a partition (partition record offset 175, 40 bytes).
struct EGO_BOOT_ENTRIES {
  uint32_t flag = 0;                        // 1 when any entry is recorded
  std::array<uint32_t, 3> entry_numbers{};  // 0 = free slot
  std::array<uint64_t, 3> system_starts{};  // first sector of each entry's system partition
};

// Partition record ("EGO.PART"), 391 bytes (139 in version 1.0, fields up to unit_info_index).
// It is the first 391 bytes of the disk library's partition object: the fields below are the
// format's, every other byte is the disk library's and is kept in `raw` as it was supplied.
//   off size field
//     0    8 magic              "EGO.PART"
//     8    4 sum                struct sum over the record (391 or 139 bytes)
//    12    1 boot_flag          nonzero for the active partition
//    13    8 start_sector       on its disk
//    21    1 part_type          partition type byte (0x0F extended)
//    22    8 sector_count
//    46    1 drive_letter       ASCII, 0 when none
//    47    4 part_number        signed; -1 in synthesized records
//    59    4 part_flags         bit 0 logical, bit 1 the extended partition itself
//    87    8 used_sectors
//    95    8 orig_bytes         uncompressed bytes stored (131072 per unit)
//   103    8 stored_bytes       bytes of compress units stored
//   111    4 run_vol            volume where the run table starts
//   115    8 run_offset         file offset of the run table in that volume
//   123    4 run_bytes          8 x number of flat runs
//   127    4 start_vol          volume of the first compress unit
//   131    4 end_vol            volume of the last compress unit
//   135    4 unit_info_index    index of the unit-info record in start_vol
//   --- end of the 1.0 record (139 bytes)
//   139    4 full               1 when self-contained
//   143    4 signature          the same in every snapshot of this partition's chain
//   147    4 parent_seq         snap_seq of the parent (0 when full)
//   151    4 parent_time        create_time of the parent (0 when full)
//   155    4 parent_vol         first_vol of the parent (0 when full)
//   159    4 parent_vol2        the same again
//   167    8 excluded_sectors   paging and hibernation sectors left out
//   175   40 boot_entries       EGO_BOOT_ENTRIES
// Disk library bytes: 30-45, 51-58, 63-86, 163-166, 215-390.
struct EGO_PART_RECORD {
  std::array<uint8_t, kPartRecordSize> raw{};  // the record as stored (zero past a 1.0 record)
  std::array<uint8_t, kRecordMagicSize> magic = magic_bytes(kPartMagic);
  uint32_t sum = 0;
  uint8_t boot_flag = 0;
  uint64_t start_sector = 0;
  uint8_t part_type = 0;
  uint64_t sector_count = 0;
  uint8_t drive_letter = 0;
  int32_t part_number = 0;
  uint32_t part_flags = 0;
  uint64_t used_sectors = 0;
  uint64_t orig_bytes = 0;
  uint64_t stored_bytes = 0;
  uint32_t run_vol = 0;
  uint64_t run_offset = 0;
  uint32_t run_bytes = 0;
  uint32_t start_vol = 0;
  uint32_t end_vol = 0;
  uint32_t unit_info_index = 0;
  uint32_t full = 0;
  uint32_t signature = 0;
  uint32_t parent_seq = 0;
  uint32_t parent_time = 0;
  uint32_t parent_vol = 0;
  uint32_t parent_vol2 = 0;
  uint64_t excluded_sectors = 0;
  EGO_BOOT_ENTRIES boot_entries{};
};

// Field offsets of the partition record, as in the table above. kBootEntries is the flag, then
// three u32 entry numbers from kBootEntryNumbers, then three u64 sectors from kBootSystemStarts.
namespace part_layout {
constexpr size_t kMagic = 0, kSum = 8, kBootFlag = 12, kStartSector = 13, kPartType = 21,
                 kSectorCount = 22, kDriveLetter = 46, kPartNumber = 47, kPartFlags = 59,
                 kUsedSectors = 87, kOrigBytes = 95, kStoredBytes = 103, kRunVol = 111,
                 kRunOffset = 115, kRunBytes = 123, kStartVol = 127, kEndVol = 131,
                 kUnitInfoIndex = 135, kFull = 139, kSignature = 143, kParentSeq = 147,
                 kParentTime = 151, kParentVol = 155, kParentVol2 = 159, kExcludedSectors = 167,
                 kBootEntries = 175, kBootEntryNumbers = 179, kBootSystemStarts = 191;
}  // namespace part_layout

// Unit-info record, 92 bytes, one per partition segment (one partition's units in one volume).
//   off size field
//     0    8 seg_start          file offset of the segment's first unit
//     8    8 loc_offset         offset of its first location entry, relative to location_offset
//    16    8 seg_end            file offset just after its last unit
//    24    4 loc_bytes          8 x number of its units
//    28   64 zero
struct EGO_UNIT_INFO {
  uint64_t seg_start = 0;
  uint64_t loc_offset = 0;
  uint64_t seg_end = 0;
  uint32_t loc_bytes = 0;
};

namespace unit_info_layout {
constexpr size_t kSegStart = 0, kLocOffset = 8, kSegEnd = 16, kLocBytes = 24, kReservedTail = 28;
}  // namespace unit_info_layout

// Compress unit, stored contiguously (3.4; see FormatVersion for earlier framings):
//   off   size field
//     0      4 "HOLE"
//     4      n zlib stream of the unit's 131072 uncompressed bytes
//   4+n      4 "IOLF"
//   8+n      4 CRC-32 of the 131072 uncompressed bytes
//  12+n      4 CRC-32 of the n compressed bytes; 0 means not recorded
// A unit's stored length comes from the location table: the next entry minus its own, or for
// the last unit of a segment the segment's end minus its own.

}  // namespace tav::img
