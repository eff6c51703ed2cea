// Encoding, decoding and checking of the fixed EGO records; the layouts are in ego_format.h.
#include "format/ego_records.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "format/struct_sum.h"

namespace tav::img {
namespace {

// Each record's last field must end exactly where the layout says the record (or its reserved
// tail) begins; a wrong offset constant fails here rather than in a file.
static_assert(header_layout::kCreateSystime + sizeof(SYSTIME) == header_layout::kReservedTail);
static_assert(header_layout::kReservedTail + 472 == kHeaderSize);
static_assert(header_layout::kName + kNameFieldSize == header_layout::kCompressMode);
static_assert(tailer_layout::kTailerSize + 4 == kTailerSize);
static_assert(tailer_layout::kMagic + kImageMagicSize == tailer_layout::kTailerSize);
static_assert(disk_layout::kDiskName + kNameFieldSize == disk_layout::kDiskKind);
static_assert(disk_layout::kBootPartStart + 8 == disk_layout::kReservedTail);
static_assert(disk_layout::kReservedTail + 112 == kDiskRecordSize);
static_assert(part_layout::kUnitInfoIndex + 4 == kPartRecordSizeV10);
static_assert(part_layout::kBootSystemStarts + 3 * 8 == 215);
static_assert(part_layout::kBootEntries + 40 == 215);
static_assert(unit_info_layout::kReservedTail + 64 == kUnitInfoSize);

// Sequential writer and reader over a record buffer at fixed offsets. The record length is
// checked once by the caller; the asserts guard the offsets used here against the buffer.
class Out {
 public:
  explicit Out(std::span<uint8_t> b) : b_(b) {}
  void u8(size_t off, uint8_t v) { at(off, 1)[0] = v; }
  void u32(size_t off, uint32_t v) { put_le32(at(off, 4), v); }
  void u64(size_t off, uint64_t v) { put_le64(at(off, 8), v); }
  template <size_t N>
  void bytes(size_t off, const std::array<uint8_t, N>& v) {
    std::memcpy(at(off, N), v.data(), N);
  }

 private:
  uint8_t* at(size_t off, size_t n) {
    assert_inside(off, n);
    return b_.data() + off;
  }
  void assert_inside(size_t off, size_t n) const {
    if (off > b_.size() || b_.size() - off < n) __builtin_trap();
  }
  std::span<uint8_t> b_;
};

class In {
 public:
  explicit In(std::span<const uint8_t> b) : b_(b) {}
  uint8_t u8(size_t off) const { return at(off, 1)[0]; }
  uint32_t u32(size_t off) const { return get_le32(at(off, 4)); }
  uint64_t u64(size_t off) const { return get_le64(at(off, 8)); }
  template <size_t N>
  void bytes(size_t off, std::array<uint8_t, N>* v) const {
    std::memcpy(v->data(), at(off, N), N);
  }

 private:
  const uint8_t* at(size_t off, size_t n) const {
    if (off > b_.size() || b_.size() - off < n) __builtin_trap();
    return b_.data() + off;
  }
  std::span<const uint8_t> b_;
};

Status short_record(const char* record, size_t have, size_t need) {
  return Status::corruption(std::string(record) + ": short record (" + std::to_string(have) + " of " +
                            std::to_string(need) + " bytes)");
}

// Declared below, outside the unnamed namespace.
}  // namespace
bool format_version_supported(FormatVersion v);
namespace {

Status check_version(const char* record, uint32_t major, uint32_t minor) {
  if (format_version_supported(FormatVersion{major, minor})) return Status::ok();
  return Status::corruption(std::string(record) + ": unsupported format version " + std::to_string(major) + "." +
                            std::to_string(minor));
}

template <size_t N>
bool magic_matches(std::span<const uint8_t> bytes, size_t off, const char (&magic)[N]) {
  return std::memcmp(bytes.data() + off, magic, N - 1) == 0;
}

void put_systime(Out& o, size_t off, const SYSTIME& t) {
  const uint8_t b[8] = {t.century, t.year, t.month, t.zero, t.day, t.hour, t.minute, t.second};
  for (size_t i = 0; i < 8; ++i) o.u8(off + i, b[i]);
}

SYSTIME get_systime(const In& in, size_t off) {
  SYSTIME t{};
  t.century = in.u8(off + 0);
  t.year = in.u8(off + 1);
  t.month = in.u8(off + 2);
  t.zero = in.u8(off + 3);
  t.day = in.u8(off + 4);
  t.hour = in.u8(off + 5);
  t.minute = in.u8(off + 6);
  t.second = in.u8(off + 7);
  return t;
}

// The partition record fields up to unit_info_index, common to the 1.0 and the full form.
void put_part_v10_fields(Out& o, const EGO_PART_RECORD& p) {
  namespace L = part_layout;
  o.bytes(L::kMagic, p.magic);
  o.u32(L::kSum, 0);
  o.u8(L::kBootFlag, p.boot_flag);
  o.u64(L::kStartSector, p.start_sector);
  o.u8(L::kPartType, p.part_type);
  o.u64(L::kSectorCount, p.sector_count);
  o.u8(L::kDriveLetter, p.drive_letter);
  o.u32(L::kPartNumber, uint32_t(p.part_number));
  o.u32(L::kPartFlags, p.part_flags);
  o.u64(L::kUsedSectors, p.used_sectors);
  o.u64(L::kOrigBytes, p.orig_bytes);
  o.u64(L::kStoredBytes, p.stored_bytes);
  o.u32(L::kRunVol, p.run_vol);
  o.u64(L::kRunOffset, p.run_offset);
  o.u32(L::kRunBytes, p.run_bytes);
  o.u32(L::kStartVol, p.start_vol);
  o.u32(L::kEndVol, p.end_vol);
  o.u32(L::kUnitInfoIndex, p.unit_info_index);
}

}  // namespace

// ---- image header ----

void encode_image_header(const EGO_IMAGE_HEADER& h, std::span<uint8_t, kHeaderSize> out) {
  namespace L = header_layout;
  std::fill(out.begin(), out.end(), uint8_t{0});
  Out o(out);
  o.u32(L::kHeaderSize, h.header_size);
  o.bytes(L::kMagic, h.magic);
  o.u32(L::kMajor, h.major);
  o.u32(L::kMinor, h.minor);
  o.u32(L::kReserved1, h.reserved1);
  o.u32(L::kSignature, h.signature);
  o.u32(L::kCreateTime, h.create_time);
  o.u32(L::kHasName, h.has_name);
  o.bytes(L::kName, h.name);
  o.u32(L::kCompressMode, h.compress_mode);
  o.u32(L::kUnitBytes, h.unit_bytes);
  o.u64(L::kCommentOffset, h.comment_offset);
  o.u32(L::kCommentLength, h.comment_length);
  o.u32(L::kTotalVol, h.total_vol);
  o.u32(L::kNumDisks, h.num_disks);
  o.u64(L::kDiskTableOffset, h.disk_table_offset);
  o.u32(L::kVol, h.vol);
  o.u32(L::kBackupType, h.backup_type);
  o.u32(L::kFirstVol, h.first_vol);
  o.u32(L::kFirstVol2, h.first_vol2);
  o.u32(L::kSnapSeq, h.snap_seq);
  put_systime(o, L::kCreateSystime, h.create_systime);
  seal_struct_sum(out, L::kSum);
}

Status decode_image_header(std::span<const uint8_t> bytes, EGO_IMAGE_HEADER* out) {
  namespace L = header_layout;
  if (bytes.size() < kHeaderSize) return short_record("image header", bytes.size(), kHeaderSize);
  const In in(bytes.first(kHeaderSize));
  EGO_IMAGE_HEADER h;
  h.header_size = in.u32(L::kHeaderSize);
  h.sum = in.u32(L::kSum);
  in.bytes(L::kMagic, &h.magic);
  h.major = in.u32(L::kMajor);
  h.minor = in.u32(L::kMinor);
  h.reserved1 = in.u32(L::kReserved1);
  h.signature = in.u32(L::kSignature);
  h.create_time = in.u32(L::kCreateTime);
  h.has_name = in.u32(L::kHasName);
  in.bytes(L::kName, &h.name);
  h.compress_mode = in.u32(L::kCompressMode);
  h.unit_bytes = in.u32(L::kUnitBytes);
  h.comment_offset = in.u64(L::kCommentOffset);
  h.comment_length = in.u32(L::kCommentLength);
  h.total_vol = in.u32(L::kTotalVol);
  h.num_disks = in.u32(L::kNumDisks);
  h.disk_table_offset = in.u64(L::kDiskTableOffset);
  h.vol = in.u32(L::kVol);
  h.backup_type = in.u32(L::kBackupType);
  h.first_vol = in.u32(L::kFirstVol);
  h.first_vol2 = in.u32(L::kFirstVol2);
  h.snap_seq = in.u32(L::kSnapSeq);
  h.create_systime = get_systime(in, L::kCreateSystime);
  *out = h;
  return Status::ok();
}

bool format_version_supported(FormatVersion v) {
  return v.major >= 1 && (v.major < kFormatMajor || (v.major == kFormatMajor && v.minor <= kFormatMinor));
}

Status check_image_header(std::span<const uint8_t> bytes) {
  namespace L = header_layout;
  if (bytes.size() < kHeaderSize) return short_record("image header", bytes.size(), kHeaderSize);
  const auto rec = bytes.first(kHeaderSize);
  if (!verify_struct_sum(rec, L::kSum)) return Status::corruption("image header: struct sum mismatch");
  if (!magic_matches(rec, L::kMagic, kImageMagic)) return Status::corruption("image header: bad magic");
  const In in(rec);
  if (Status s = check_version("image header", in.u32(L::kMajor), in.u32(L::kMinor)); !s) return s;
  const uint32_t num_disks = in.u32(L::kNumDisks);
  if (num_disks < kMinDisks || num_disks > kMaxDisks) {
    return Status::corruption("image header: num_disks " + std::to_string(num_disks) + " out of range " +
                              std::to_string(kMinDisks) + ".." + std::to_string(kMaxDisks));
  }
  const uint32_t total_vol = in.u32(L::kTotalVol);
  if (total_vol > kMaxVolumesPerSnapshot) {
    return Status::corruption("image header: total_vol " + std::to_string(total_vol) + " exceeds " +
                              std::to_string(kMaxVolumesPerSnapshot));
  }
  // The first volume gets total_vol only when the backup finishes; without it the snapshot is
  // the remains of an interrupted run. Later volumes (vol != first_vol2) always hold 0.
  if (in.u32(L::kReserved1) == 0 && in.u32(L::kFirstVol2) == in.u32(L::kVol) && total_vol == 0) {
    return Status::corruption("image header: first volume of an unfinished backup (total_vol 0)");
  }
  return Status::ok();
}

// ---- image tailer ----

void encode_image_tailer(const EGO_IMAGE_TAILER& t, std::span<uint8_t, kTailerSize> out) {
  namespace L = tailer_layout;
  std::fill(out.begin(), out.end(), uint8_t{0});
  Out o(out);
  o.u32(L::kUnitInfoCount, t.unit_info_count);
  o.u64(L::kUnitInfoOffset, t.unit_info_offset);
  o.u32(L::kReserved1, t.reserved1);
  o.u32(L::kTotalVol, t.total_vol);
  o.u32(L::kNumDisks, t.num_disks);
  o.u64(L::kDiskTableOffset, t.disk_table_offset);
  o.u64(L::kCommentOffset, t.comment_offset);
  o.u32(L::kCommentLength, t.comment_length);
  o.u32(L::kComplete, t.complete);
  o.u64(L::kDataStart, t.data_start);
  o.u64(L::kLocationOffset, t.location_offset);
  o.u32(L::kMajor, t.major);
  o.u32(L::kMinor, t.minor);
  o.bytes(L::kMagic, t.magic);
  o.u32(L::kTailerSize, t.tailer_size);
  seal_struct_sum(out, L::kSum);
}

Status decode_image_tailer(std::span<const uint8_t> bytes, EGO_IMAGE_TAILER* out) {
  namespace L = tailer_layout;
  if (bytes.size() < kTailerSize) return short_record("image tailer", bytes.size(), kTailerSize);
  const In in(bytes.first(kTailerSize));
  EGO_IMAGE_TAILER t;
  t.unit_info_count = in.u32(L::kUnitInfoCount);
  t.unit_info_offset = in.u64(L::kUnitInfoOffset);
  t.reserved1 = in.u32(L::kReserved1);
  t.total_vol = in.u32(L::kTotalVol);
  t.num_disks = in.u32(L::kNumDisks);
  t.disk_table_offset = in.u64(L::kDiskTableOffset);
  t.comment_offset = in.u64(L::kCommentOffset);
  t.comment_length = in.u32(L::kCommentLength);
  t.complete = in.u32(L::kComplete);
  t.data_start = in.u64(L::kDataStart);
  t.location_offset = in.u64(L::kLocationOffset);
  t.major = in.u32(L::kMajor);
  t.minor = in.u32(L::kMinor);
  t.sum = in.u32(L::kSum);
  in.bytes(L::kMagic, &t.magic);
  t.tailer_size = in.u32(L::kTailerSize);
  *out = t;
  return Status::ok();
}

Status check_image_tailer(std::span<const uint8_t> bytes) {
  namespace L = tailer_layout;
  if (bytes.size() < kTailerSize) return short_record("image tailer", bytes.size(), kTailerSize);
  const auto rec = bytes.first(kTailerSize);
  if (!verify_struct_sum(rec, L::kSum)) return Status::corruption("image tailer: struct sum mismatch");
  if (!magic_matches(rec, L::kMagic, kImageMagic)) return Status::corruption("image tailer: bad magic");
  const In in(rec);
  if (Status s = check_version("image tailer", in.u32(L::kMajor), in.u32(L::kMinor)); !s) return s;
  if (in.u32(L::kReserved1) != 0 && in.u32(L::kComplete) != 0 && in.u32(L::kTotalVol) == 0) {
    return Status::corruption("image tailer: complete with reserved1 set but total_vol 0");
  }
  return Status::ok();
}

// ---- disk record ----

void encode_disk_record(const EGO_DISK_RECORD& d, std::span<uint8_t, kDiskRecordSize> out) {
  namespace L = disk_layout;
  std::fill(out.begin(), out.end(), uint8_t{0});
  Out o(out);
  o.bytes(L::kMagic, d.magic);
  o.u32(L::kCylinders, d.cylinders);
  o.u32(L::kHeads, d.heads);
  o.u32(L::kSectorsPerTrack, d.sectors_per_track);
  o.u32(L::kSectorsPerCylinder, d.sectors_per_cylinder);
  o.u64(L::kTotalSectors, d.total_sectors);
  o.bytes(L::kDiskName, d.disk_name);
  o.u32(L::kDiskKind, d.disk_kind);
  o.u32(L::kWholeDisk, d.whole_disk);
  o.u64(L::kExtLength, d.ext_length);
  o.u64(L::kExtStart, d.ext_start);
  o.u64(L::kExtEnd, d.ext_end);
  o.u32(L::kMbrSectors, d.mbr_sectors);
  o.u64(L::kMbrOffset, d.mbr_offset);
  o.u32(L::kNumParts, d.num_parts);
  o.u64(L::kPartsOffset, d.parts_offset);
  o.u32(L::kBootKind, d.boot_kind);
  o.u32(L::kDiskSignature, d.disk_signature);
  o.u64(L::kBootPartStart, d.boot_part_start);
  seal_struct_sum(out, L::kSum);
}

Status decode_disk_record(std::span<const uint8_t> bytes, EGO_DISK_RECORD* out) {
  namespace L = disk_layout;
  if (bytes.size() < kDiskRecordSize) return short_record("disk record", bytes.size(), kDiskRecordSize);
  const In in(bytes.first(kDiskRecordSize));
  EGO_DISK_RECORD d;
  in.bytes(L::kMagic, &d.magic);
  d.sum = in.u32(L::kSum);
  d.cylinders = in.u32(L::kCylinders);
  d.heads = in.u32(L::kHeads);
  d.sectors_per_track = in.u32(L::kSectorsPerTrack);
  d.sectors_per_cylinder = in.u32(L::kSectorsPerCylinder);
  d.total_sectors = in.u64(L::kTotalSectors);
  in.bytes(L::kDiskName, &d.disk_name);
  d.disk_kind = in.u32(L::kDiskKind);
  d.whole_disk = in.u32(L::kWholeDisk);
  d.ext_length = in.u64(L::kExtLength);
  d.ext_start = in.u64(L::kExtStart);
  d.ext_end = in.u64(L::kExtEnd);
  d.mbr_sectors = in.u32(L::kMbrSectors);
  d.mbr_offset = in.u64(L::kMbrOffset);
  d.num_parts = in.u32(L::kNumParts);
  d.parts_offset = in.u64(L::kPartsOffset);
  d.boot_kind = in.u32(L::kBootKind);
  d.disk_signature = in.u32(L::kDiskSignature);
  d.boot_part_start = in.u64(L::kBootPartStart);
  *out = d;
  return Status::ok();
}

Status check_disk_record(std::span<const uint8_t> bytes) {
  namespace L = disk_layout;
  if (bytes.size() < kDiskRecordSize) return short_record("disk record", bytes.size(), kDiskRecordSize);
  const auto rec = bytes.first(kDiskRecordSize);
  if (!verify_struct_sum(rec, L::kSum)) return Status::corruption("disk record: struct sum mismatch");
  if (!magic_matches(rec, L::kMagic, kDiskMagic)) return Status::corruption("disk record: bad magic");
  return Status::ok();
}

// ---- partition record ----

void encode_part_record(const EGO_PART_RECORD& p, std::span<uint8_t, kPartRecordSize> out) {
  namespace L = part_layout;
  // The disk library's bytes come from `raw`; every format field is then written over it.
  std::copy(p.raw.begin(), p.raw.end(), out.begin());
  Out o(out);
  put_part_v10_fields(o, p);
  o.u32(L::kFull, p.full);
  o.u32(L::kSignature, p.signature);
  o.u32(L::kParentSeq, p.parent_seq);
  o.u32(L::kParentTime, p.parent_time);
  o.u32(L::kParentVol, p.parent_vol);
  o.u32(L::kParentVol2, p.parent_vol2);
  o.u64(L::kExcludedSectors, p.excluded_sectors);
  o.u32(L::kBootEntries, p.boot_entries.flag);
  for (size_t i = 0; i < 3; ++i) {
    o.u32(L::kBootEntryNumbers + 4 * i, p.boot_entries.entry_numbers[i]);
    o.u64(L::kBootSystemStarts + 8 * i, p.boot_entries.system_starts[i]);
  }
  seal_struct_sum(out, L::kSum);
}

void encode_part_record_v10(const EGO_PART_RECORD& p, std::span<uint8_t, kPartRecordSizeV10> out) {
  std::copy_n(p.raw.begin(), kPartRecordSizeV10, out.begin());
  Out o(out);
  put_part_v10_fields(o, p);
  seal_struct_sum(out, part_layout::kSum);
}

Status decode_part_record(std::span<const uint8_t> bytes, FormatVersion v, EGO_PART_RECORD* out) {
  namespace L = part_layout;
  const size_t size = v.part_record_size();
  if (bytes.size() < size) return short_record("partition record", bytes.size(), size);
  const In in(bytes.first(size));
  EGO_PART_RECORD p;
  std::copy_n(bytes.begin(), size, p.raw.begin());
  in.bytes(L::kMagic, &p.magic);
  p.sum = in.u32(L::kSum);
  p.boot_flag = in.u8(L::kBootFlag);
  p.start_sector = in.u64(L::kStartSector);
  p.part_type = in.u8(L::kPartType);
  p.sector_count = in.u64(L::kSectorCount);
  p.drive_letter = in.u8(L::kDriveLetter);
  p.part_number = int32_t(in.u32(L::kPartNumber));
  p.part_flags = in.u32(L::kPartFlags);
  p.used_sectors = in.u64(L::kUsedSectors);
  p.orig_bytes = in.u64(L::kOrigBytes);
  p.stored_bytes = in.u64(L::kStoredBytes);
  p.run_vol = in.u32(L::kRunVol);
  p.run_offset = in.u64(L::kRunOffset);
  p.run_bytes = in.u32(L::kRunBytes);
  p.start_vol = in.u32(L::kStartVol);
  p.end_vol = in.u32(L::kEndVol);
  p.unit_info_index = in.u32(L::kUnitInfoIndex);
  if (v.is_v10()) {
    // 1.0 snapshots are always full; the signature is given by the catalogue, which knows the
    // record's position on its disk (synthesize_v10_signature).
    p.full = 1;
  } else {
    p.full = in.u32(L::kFull);
    p.signature = in.u32(L::kSignature);
    p.parent_seq = in.u32(L::kParentSeq);
    p.parent_time = in.u32(L::kParentTime);
    p.parent_vol = in.u32(L::kParentVol);
    p.parent_vol2 = in.u32(L::kParentVol2);
    p.excluded_sectors = in.u64(L::kExcludedSectors);
    p.boot_entries.flag = in.u32(L::kBootEntries);
    for (size_t i = 0; i < 3; ++i) {
      p.boot_entries.entry_numbers[i] = in.u32(L::kBootEntryNumbers + 4 * i);
      p.boot_entries.system_starts[i] = in.u64(L::kBootSystemStarts + 8 * i);
    }
  }
  *out = p;
  return Status::ok();
}

Status check_part_record(std::span<const uint8_t> bytes, FormatVersion v) {
  namespace L = part_layout;
  const size_t size = v.part_record_size();
  if (bytes.size() < size) return short_record("partition record", bytes.size(), size);
  const auto rec = bytes.first(size);
  if (!verify_struct_sum(rec, L::kSum)) return Status::corruption("partition record: struct sum mismatch");
  if (!magic_matches(rec, L::kMagic, kPartMagic)) return Status::corruption("partition record: bad magic");
  return Status::ok();
}

Status check_part_extent(uint64_t start_sector, uint64_t sector_count, const EGO_DISK_RECORD& disk) {
  const std::string place = "start sector " + std::to_string(start_sector) + ", " + std::to_string(sector_count) +
                            " sectors";
  if (sector_count == 0) return Status::corruption("partition record: holds no sector (" + place + ")");
  if (start_sector > disk.total_sectors || sector_count > disk.total_sectors - start_sector) {
    return Status::corruption("partition record: lies outside its disk of " + std::to_string(disk.total_sectors) +
                              " sectors (" + place + ")");
  }
  return Status::ok();
}

uint32_t synthesize_v10_signature(uint32_t create_time, uint32_t position_on_disk) {
  return create_time + position_on_disk;  // 32-bit arithmetic, wrapping like the stored field
}

EGO_PART_RECORD synthesize_extended_part_record(const EGO_DISK_RECORD& disk) {
  EGO_PART_RECORD p;  // raw and every field zero, magic "EGO.PART"
  p.part_type = kPartTypeExtended;
  p.start_sector = disk.ext_start;
  p.sector_count = disk.ext_length;
  p.part_flags = kPartFlagExtended;
  p.part_number = -1;
  std::array<uint8_t, kPartRecordSize> sealed{};
  encode_part_record(p, sealed);
  p.raw = sealed;
  p.sum = get_le32(sealed.data() + part_layout::kSum);
  return p;
}

// ---- unit-info records and the location table ----

void encode_unit_info(const EGO_UNIT_INFO& u, std::span<uint8_t, kUnitInfoSize> out) {
  namespace L = unit_info_layout;
  std::fill(out.begin(), out.end(), uint8_t{0});
  Out o(out);
  o.u64(L::kSegStart, u.seg_start);
  o.u64(L::kLocOffset, u.loc_offset);
  o.u64(L::kSegEnd, u.seg_end);
  o.u32(L::kLocBytes, u.loc_bytes);
}

Status decode_unit_info(std::span<const uint8_t> bytes, EGO_UNIT_INFO* out) {
  namespace L = unit_info_layout;
  if (bytes.size() < kUnitInfoSize) return short_record("unit-info record", bytes.size(), kUnitInfoSize);
  const In in(bytes.first(kUnitInfoSize));
  EGO_UNIT_INFO u;
  u.seg_start = in.u64(L::kSegStart);
  u.loc_offset = in.u64(L::kLocOffset);
  u.seg_end = in.u64(L::kSegEnd);
  u.loc_bytes = in.u32(L::kLocBytes);
  *out = u;
  return Status::ok();
}

Status decode_location_table(std::span<const uint8_t> bytes, std::vector<uint64_t>* out) {
  if (bytes.size() % kLocationEntrySize != 0) {
    return Status::corruption("location table: " + std::to_string(bytes.size()) +
                              " bytes is not a whole number of 8-byte entries");
  }
  out->clear();
  out->reserve(bytes.size() / kLocationEntrySize);
  for (size_t off = 0; off < bytes.size(); off += kLocationEntrySize) out->push_back(get_le64(bytes.data() + off));
  return Status::ok();
}

void encode_location_table(std::span<const uint64_t> offsets, std::vector<uint8_t>* out) {
  out->assign(offsets.size() * kLocationEntrySize, 0);
  for (size_t i = 0; i < offsets.size(); ++i) put_le64(out->data() + i * kLocationEntrySize, offsets[i]);
}

// ---- name fields ----

std::string name_field_text(std::span<const uint8_t> field) {
  const auto end = std::find(field.begin(), field.end(), uint8_t{0});
  return std::string(field.begin(), end);
}

void set_name_field(std::span<uint8_t> field, const std::string& text) {
  std::fill(field.begin(), field.end(), uint8_t{0});
  if (field.empty()) return;
  // Keep room for the terminating zero; a zero inside `text` ends the stored name there.
  const size_t n = std::min(text.size(), field.size() - 1);
  std::copy_n(text.begin(), n, field.begin());
}

}  // namespace tav::img
