// Record-by-record inspection of one EGO volume file (layout in format/ego_format.h).
//
// Order of the checks: file size, header, tailer, their agreement, the data-area bounds, the
// comment, the second descriptor copy's bounds, the descriptor area (disk table, boot sectors,
// partition records), the unit-info records with their location entries and unit magics, the run
// tables stored in this volume, and last the partitions' byte counts against their units. A check
// runs only on values that earlier checks vouched for, so every offset and count is bounded
// before it is used for a read or an allocation.
#include "format/volume_inspector.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/byte_order.h"
#include "core/text_convert.h"
#include "format/compress_unit.h"
#include "format/ego_records.h"
#include "format/volume_file.h"

namespace tav::img {

namespace {

constexpr uint32_t kRunMinusFlag = 0x80000000u;
constexpr size_t kLocationChunkEntries = 1024;  // location entries read per pread

std::string at(uint64_t offset) { return " at offset " + std::to_string(offset); }

// [offset, offset + length) lies inside [lo, hi); safe against overflow.
bool range_within(uint64_t offset, uint64_t length, uint64_t lo, uint64_t hi) {
  return offset >= lo && offset <= hi && length <= hi - offset;
}

bool magic_is(std::span<const uint8_t> bytes, const char* magic, size_t size) {
  return bytes.size() >= size && std::equal(bytes.begin(), bytes.begin() + size, magic);
}

// The record checks name their record at the start of the message ("image header: struct sum
// mismatch"); our own text already names it, with its index and offset.
std::string without_record_prefix(const std::string& message) {
  for (const char* prefix : {"image header: ", "image tailer: ", "disk record: ", "partition record: "}) {
    const std::string p(prefix);
    if (message.compare(0, p.size(), p) == 0) return message.substr(p.size());
  }
  return message;
}

class Inspector {
 public:
  Inspector(const VolumeFile& file, const InspectOptions& options, VolumeReport* report)
      : file_(file), options_(options), r_(*report) {}

  void run() {
    r_.file_size = file_.size();
    if (r_.file_size < kHeaderSize + kTailerSize) {
      fail("file", "file", 0,
           "too short: " + std::to_string(r_.file_size) + " bytes, a volume holds at least " +
               std::to_string(kHeaderSize + kTailerSize) + " (header and tailer)");
      return;
    }
    tail_limit_ = r_.file_size - kTailerSize;
    inspect_header();
    inspect_tailer();
    check_agreement();
    check_data_area_bounds();
    descriptor_limit_ = r_.data_area_valid ? r_.tailer.data_start : tail_limit_;
    if (r_.header_valid) {
      r_.comment_utf16 = version_.comment_is_utf16();
      inspect_comment(r_.header.comment_offset, r_.header.comment_length, "comment", descriptor_limit_,
                      /*keep_text=*/true);
      inspect_descriptors();
    }
    if (r_.tailer_valid && version_known_) {
      inspect_comment(r_.tailer.comment_offset, r_.tailer.comment_length, "second comment copy", tail_limit_,
                      /*keep_text=*/false);
      check_second_disk_table();
    }
    if (r_.data_area_valid && version_known_) {
      inspect_unit_infos();
      if (r_.header_valid) {
        inspect_run_tables();
        cross_check_partitions();
      }
    }
  }

 private:
  void fail(std::string record, std::string where, uint64_t offset, std::string check) {
    if (r_.errors.size() >= kMaxReportedErrors) {
      ++r_.errors_not_reported;
      return;
    }
    r_.errors.push_back({std::move(record), std::move(where), offset, std::move(check)});
  }

  // Reads a range already checked to lie inside the file; a failure (the file shrank, an I/O
  // error) is reported against the record being read.
  bool read(uint64_t offset, std::span<uint8_t> out, const std::string& record, const std::string& where) {
    const Status s = file_.read(offset, out);
    if (!s) fail(record, where, offset, s.message());
    return s.is_ok();
  }

  void inspect_header() {
    std::array<uint8_t, kHeaderSize> buf{};
    const std::string where = "header" + at(0);
    if (!read(0, buf, "header", where)) return;
    r_.header_decoded = decode_image_header(buf, &r_.header).is_ok();
    if (const Status s = check_image_header(buf); !s)
      return fail("header", where, 0, without_record_prefix(s.message()));
    if (!r_.header_decoded) return fail("header", where, 0, "cannot be decoded");
    const EGO_IMAGE_HEADER& h = r_.header;
    if (h.header_size != kHeaderSize)
      return fail("header", where, 0, "header_size is " + std::to_string(h.header_size) + ", not 610");
    if (h.unit_bytes != kUnitBytes)
      return fail("header", where, 0, "unit_bytes is " + std::to_string(h.unit_bytes) + ", not 131072");
    r_.header_valid = true;
    version_ = h.version();
    version_known_ = true;
  }

  void inspect_tailer() {
    std::array<uint8_t, kTailerSize> buf{};
    r_.tailer_offset = tail_limit_;
    const std::string where = "tailer" + at(tail_limit_);
    if (!read(tail_limit_, buf, "tailer", where)) return;
    r_.tailer_decoded = decode_image_tailer(buf, &r_.tailer).is_ok();
    if (const Status s = check_image_tailer(buf); !s)
      return fail("tailer", where, tail_limit_, without_record_prefix(s.message()));
    if (!r_.tailer_decoded) return fail("tailer", where, tail_limit_, "cannot be decoded");
    const EGO_IMAGE_TAILER& t = r_.tailer;
    if (t.tailer_size != kTailerSize)
      return fail("tailer", where, tail_limit_, "tailer_size is " + std::to_string(t.tailer_size) + ", not 601");
    if (t.num_disks < kMinDisks || t.num_disks > kMaxDisks)
      return fail("tailer", where, tail_limit_, "num_disks " + std::to_string(t.num_disks) + " is not 1 to 24");
    r_.tailer_valid = true;
    if (!version_known_) {
      version_ = FormatVersion{t.major, t.minor};
      version_known_ = true;
    }
  }

  void check_agreement() {
    if (!r_.header_valid || !r_.tailer_valid) return;
    const EGO_IMAGE_HEADER& h = r_.header;
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const std::string where = "tailer" + at(tail_limit_);
    if (t.num_disks != h.num_disks)
      fail("tailer", where, tail_limit_,
           "num_disks " + std::to_string(t.num_disks) + " differs from the header's " + std::to_string(h.num_disks));
    if (t.major != h.major || t.minor != h.minor)
      fail("tailer", where, tail_limit_,
           "version " + std::to_string(t.major) + "." + std::to_string(t.minor) + " differs from the header's " +
               std::to_string(h.major) + "." + std::to_string(h.minor));
  }

  void check_data_area_bounds() {
    if (!r_.tailer_valid) return;
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const std::string where = "tailer" + at(tail_limit_);
    if (!(kHeaderSize <= t.data_start && t.data_start <= t.location_offset && t.location_offset <= t.unit_info_offset &&
          t.unit_info_offset <= tail_limit_)) {
      return fail("tailer", where, tail_limit_,
                  "data area bounds out of order: data_start " + std::to_string(t.data_start) + ", location_offset " +
                      std::to_string(t.location_offset) + ", unit_info_offset " + std::to_string(t.unit_info_offset) +
                      ", tailer" + at(tail_limit_));
    }
    const uint64_t table_bytes = t.unit_info_offset - t.location_offset;
    if (table_bytes % kLocationEntrySize != 0) {
      return fail("location table", "location table" + at(t.location_offset), t.location_offset,
                  "size " + std::to_string(table_bytes) + " is not a multiple of 8");
    }
    if (t.unit_info_count > kMaxUnitInfos) {
      return fail("tailer", where, tail_limit_,
                  "unit_info_count " + std::to_string(t.unit_info_count) + " exceeds " + std::to_string(kMaxUnitInfos));
    }
    if (!range_within(t.unit_info_offset, uint64_t(t.unit_info_count) * kUnitInfoSize, kHeaderSize, tail_limit_)) {
      return fail("tailer", where, tail_limit_,
                  std::to_string(t.unit_info_count) + " unit-info records at offset " +
                      std::to_string(t.unit_info_offset) + " run past the tailer");
    }
    r_.location_entries = table_bytes / kLocationEntrySize;
    r_.data_area_valid = true;
  }

  // Checks a comment's placement and form; keeps its text when `keep_text`.
  void inspect_comment(uint64_t offset, uint32_t length, const std::string& record_name, uint64_t limit,
                       bool keep_text) {
    if (offset == 0 && length == 0) return;
    const std::string where = record_name + at(offset);
    if (offset == 0 || length == 0)
      return fail("comment", where, offset, "comment_offset and comment_length disagree (one of them is 0)");
    if (!range_within(offset, length, kHeaderSize, limit))
      return fail("comment", where, offset,
                  std::to_string(length) + " bytes do not fit between the header and offset " + std::to_string(limit));
    const bool utf16 = version_.comment_is_utf16();
    const uint64_t unit = utf16 ? 2 : 1;
    if (length % unit != 0)
      return fail("comment", where, offset, "odd length " + std::to_string(length) + " for UTF-16");
    if (length / unit > kMaxCommentChars + 1)
      return fail("comment", where, offset, std::to_string(length / unit) + " characters with the zero, more than 513");
    std::vector<uint8_t> bytes(length);  // at most 1026 bytes after the checks above
    if (!read(offset, bytes, "comment", where)) return;
    const bool terminated = utf16 ? (bytes[length - 2] == 0 && bytes[length - 1] == 0) : bytes[length - 1] == 0;
    if (!terminated) return fail("comment", where, offset, "missing its terminating zero");
    if (!keep_text) return;
    r_.has_comment = true;
    if (utf16) {
      r_.comment = utf16le_bytes_to_utf8(std::span<const unsigned char>(bytes.data(), bytes.size()));
    } else {
      const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
      r_.comment.assign(bytes.begin(), end);
    }
  }

  void check_second_disk_table() {
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const uint64_t bytes = uint64_t(t.num_disks) * kDiskRecordSize;
    if (!range_within(t.disk_table_offset, bytes, kHeaderSize, tail_limit_))
      fail("tailer", "tailer" + at(tail_limit_), tail_limit_,
           "second disk table at offset " + std::to_string(t.disk_table_offset) + " (" + std::to_string(bytes) +
               " bytes) lies outside the file");
  }

  void inspect_descriptors() {
    const EGO_IMAGE_HEADER& h = r_.header;
    const uint64_t table_offset = h.disk_table_offset;
    const uint64_t table_bytes = uint64_t(h.num_disks) * kDiskRecordSize;  // num_disks is 1..24
    const std::string where = "disk table" + at(table_offset);
    if (!range_within(table_offset, table_bytes, kHeaderSize, descriptor_limit_))
      return fail("disk table", where, table_offset,
                  std::to_string(h.num_disks) + " disk records do not fit between the header and offset " +
                      std::to_string(descriptor_limit_));
    std::vector<uint8_t> table(table_bytes);
    if (!read(table_offset, table, "disk table", where)) return;
    r_.disks.resize(h.num_disks);
    for (uint32_t i = 0; i < h.num_disks; ++i) {
      const auto record = std::span<const uint8_t>(table).subspan(i * kDiskRecordSize, kDiskRecordSize);
      inspect_disk(i, table_offset + i * kDiskRecordSize, record);
    }
  }

  void inspect_disk(uint32_t index, uint64_t offset, std::span<const uint8_t> bytes) {
    DiskReport& d = r_.disks[index];
    d.offset = offset;
    const std::string where = "disk record " + std::to_string(index) + at(offset);
    d.decoded = decode_disk_record(bytes, &d.record).is_ok();
    if (const Status s = check_disk_record(bytes); !s)
      return fail("disk record", where, offset, without_record_prefix(s.message()));
    if (!d.decoded) return fail("disk record", where, offset, "cannot be decoded");
    const EGO_DISK_RECORD& rec = d.record;
    if (rec.num_parts > kMaxPartsPerDisk)
      return fail("disk record", where, offset,
                  "num_parts " + std::to_string(rec.num_parts) + " exceeds " + std::to_string(kMaxPartsPerDisk));
    d.valid = true;

    BootSectorsReport& boot = d.boot_sectors;
    boot.count = rec.mbr_sectors;
    boot.offset = rec.mbr_offset;
    if (rec.mbr_sectors > 0) {
      const std::string boot_where = "boot sectors of disk " + std::to_string(index) + at(rec.mbr_offset);
      if (!range_within(rec.mbr_offset, uint64_t(rec.mbr_sectors) * kSectorSize, kHeaderSize, descriptor_limit_)) {
        fail("boot sectors", boot_where, rec.mbr_offset,
             std::to_string(rec.mbr_sectors) + " sectors do not fit between the header and offset " +
                 std::to_string(descriptor_limit_));
      } else {
        std::array<uint8_t, kSectorSize> mbr{};
        if (read(rec.mbr_offset, mbr, "boot sectors", boot_where)) {
          boot.inside_file = true;
          boot.boot_signature = mbr[510] == 0x55 && mbr[511] == 0xAA;
          boot.mbr_disk_signature = get_le32(&mbr[440]);
        }
      }
    }

    if (rec.num_parts == 0) return;
    const size_t psize = version_.part_record_size();
    const uint64_t parts_bytes = uint64_t(rec.num_parts) * psize;
    if (!range_within(rec.parts_offset, parts_bytes, kHeaderSize, descriptor_limit_)) {
      return fail("disk record", where, offset,
                  std::to_string(rec.num_parts) + " partition records at offset " + std::to_string(rec.parts_offset) +
                      " do not fit between the header and offset " + std::to_string(descriptor_limit_));
    }
    std::vector<uint8_t> parts(parts_bytes);  // at most 256 records
    if (!read(rec.parts_offset, parts, "partition record",
              "partition records of disk " + std::to_string(index) + at(rec.parts_offset)))
      return;
    d.partitions.resize(rec.num_parts);
    for (uint32_t j = 0; j < rec.num_parts; ++j) {
      PartitionReport& p = d.partitions[j];
      p.offset = rec.parts_offset + j * psize;
      const auto record = std::span<const uint8_t>(parts).subspan(j * psize, psize);
      const std::string part_where = part_name(index, j) + at(p.offset);
      p.decoded = decode_part_record(record, version_, &p.record).is_ok();
      if (const Status s = check_part_record(record, version_); !s) {
        fail("partition record", part_where, p.offset, without_record_prefix(s.message()));
        continue;
      }
      if (!p.decoded) {
        fail("partition record", part_where, p.offset, "cannot be decoded");
        continue;
      }
      if (const Status s = check_part_extent(p.record.start_sector, p.record.sector_count, rec); !s) {
        fail("partition record", part_where, p.offset, without_record_prefix(s.message()));
        continue;
      }
      p.valid = true;
    }
  }

  static std::string part_name(uint32_t disk, uint32_t part) {
    return "partition record " + std::to_string(part) + " of disk " + std::to_string(disk);
  }

  void inspect_unit_infos() {
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const uint32_t count = t.unit_info_count;  // bounded by kMaxUnitInfos and the file size
    std::vector<uint8_t> bytes(uint64_t(count) * kUnitInfoSize);
    if (!read(t.unit_info_offset, bytes, "unit-info record", "unit-info records" + at(t.unit_info_offset))) return;
    r_.unit_infos.resize(count);
    const uint64_t table_bytes = t.unit_info_offset - t.location_offset;
    // Segments follow each other in the data area and their entries follow each other in the
    // location table; after a damaged record that chain can no longer be followed.
    bool chain_intact = true;
    uint64_t next_loc_offset = 0;
    uint64_t prev_seg_end = t.data_start;
    for (uint32_t i = 0; i < count; ++i) {
      UnitInfoReport& u = r_.unit_infos[i];
      u.offset = t.unit_info_offset + uint64_t(i) * kUnitInfoSize;
      const auto record = std::span<const uint8_t>(bytes).subspan(i * kUnitInfoSize, kUnitInfoSize);
      const std::string where = "unit-info record " + std::to_string(i) + at(u.offset);
      const std::string problem = unit_info_problem(record, &u.record, table_bytes);
      std::string chain_problem;
      if (problem.empty() && chain_intact) {
        if (u.record.loc_offset != next_loc_offset) {
          chain_problem = "loc_offset " + std::to_string(u.record.loc_offset) +
                          " does not follow the previous segment's entries (" + std::to_string(next_loc_offset) + ")";
        } else if (u.record.seg_start < prev_seg_end) {
          chain_problem = "segment starts at " + std::to_string(u.record.seg_start) +
                          ", before the end of the previous segment or the data start at " +
                          std::to_string(prev_seg_end);
        }
      }
      if (!problem.empty() || !chain_problem.empty()) {
        fail("unit-info record", where, u.offset, problem.empty() ? chain_problem : problem);
        chain_intact = false;
        continue;
      }
      next_loc_offset = u.record.loc_offset + u.record.loc_bytes;
      prev_seg_end = u.record.seg_end;
      u.units = u.record.loc_bytes / kLocationEntrySize;
      u.consistent = inspect_segment(i, u);
    }
    if (chain_intact && next_loc_offset != table_bytes) {
      fail("location table", "location table" + at(t.location_offset), t.location_offset,
           std::to_string(table_bytes - next_loc_offset) + " bytes of entries belong to no unit-info record");
    }
  }

  // Decodes one unit-info record and checks it on its own: empty when fine, else the failed
  // check. The record has no checksum, so its reserved bytes and its fit with the location table
  // and the data area are what show damage.
  std::string unit_info_problem(std::span<const uint8_t> record, EGO_UNIT_INFO* ui, uint64_t table_bytes) {
    const EGO_IMAGE_TAILER& t = r_.tailer;
    if (const Status s = decode_unit_info(record, ui); !s) return s.message();
    const auto tail = record.subspan(unit_info_layout::kReservedTail);
    if (std::any_of(tail.begin(), tail.end(), [](uint8_t b) { return b != 0; }))
      return "reserved bytes 28-91 are not zero";
    if (ui->loc_bytes % kLocationEntrySize != 0)
      return "loc_bytes " + std::to_string(ui->loc_bytes) + " is not a multiple of 8";
    if (!range_within(ui->loc_offset, ui->loc_bytes, 0, table_bytes))
      return "location entries [" + std::to_string(ui->loc_offset) + ", +" + std::to_string(ui->loc_bytes) +
             ") lie outside the location table of " + std::to_string(table_bytes) + " bytes";
    if (!(ui->seg_start <= ui->seg_end && ui->seg_start >= t.data_start && ui->seg_end <= t.location_offset))
      return "segment [" + std::to_string(ui->seg_start) + ", " + std::to_string(ui->seg_end) +
             ") lies outside the data area [" + std::to_string(t.data_start) + ", " +
             std::to_string(t.location_offset) + ")";
    if (ui->loc_bytes == 0 && ui->seg_end != ui->seg_start) return "segment without units is not empty";
    return {};
  }

  // Location entries of one segment and the framing of its units; false at the first failure.
  // Each entry is checked, then the start magic at the offset it names, and only then the
  // previous unit, whose stored length (and so its end magic's place) this entry decides.
  bool inspect_segment(uint32_t index, const UnitInfoReport& u) {
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const EGO_UNIT_INFO& ui = u.record;
    const uint64_t first_entry = t.location_offset + ui.loc_offset;
    const std::string seg_name = " of unit-info record " + std::to_string(index);
    std::vector<uint8_t> chunk;
    std::optional<uint64_t> prev;  // previous entry's unit offset
    for (uint64_t k = 0; k <= u.units; ++k) {
      uint64_t entry = ui.seg_end;  // one past the last unit closes the last unit's length
      if (k < u.units) {
        const uint64_t in_chunk = k % kLocationChunkEntries;
        if (in_chunk == 0) {
          const uint64_t n = std::min<uint64_t>(kLocationChunkEntries, u.units - k);
          chunk.resize(n * kLocationEntrySize);
          if (!read(first_entry + k * kLocationEntrySize, chunk, "location entry",
                    "location entries" + seg_name + at(first_entry + k * kLocationEntrySize)))
            return false;
        }
        entry = get_le64(&chunk[in_chunk * kLocationEntrySize]);
        const uint64_t entry_offset = first_entry + k * kLocationEntrySize;
        const std::string where = "location entry " + std::to_string(k) + seg_name + at(entry_offset);
        if (k == 0 && entry != ui.seg_start) {
          fail("location entry", where, entry_offset,
               "first unit at " + std::to_string(entry) + " but the unit-info record's seg_start is " +
                   std::to_string(ui.seg_start));
          return false;
        }
        if (entry < ui.seg_start || entry >= ui.seg_end) {
          fail("location entry", where, entry_offset,
               "unit offset " + std::to_string(entry) + " lies outside the segment [" + std::to_string(ui.seg_start) +
                   ", " + std::to_string(ui.seg_end) + ")");
          return false;
        }
        if (prev && entry <= *prev) {
          fail("location entry", where, entry_offset,
               "unit offset " + std::to_string(entry) + " does not follow the previous entry " + std::to_string(*prev));
          return false;
        }
        if (!check_start_magic(unit_name(index, k, entry), entry)) return false;
      }
      if (prev && !check_unit(unit_name(index, k - 1, *prev), *prev, entry - *prev,
                              k < u.units ? "location entry " + std::to_string(k) : std::string("seg_end")))
        return false;
      prev = entry;
    }
    return true;
  }

  static std::string unit_name(uint32_t segment, uint64_t unit_number, uint64_t unit_offset) {
    return "unit " + std::to_string(unit_number) + " (location entry " + std::to_string(unit_number) +
           " of unit-info record " + std::to_string(segment) + ")" + at(unit_offset);
  }

  bool check_start_magic(const std::string& where, uint64_t unit_offset) {
    if (version_.unit_framing_bytes() == 0) return true;  // bare zlib streams up to 3.0
    std::array<uint8_t, kUnitMagicSize> magic{};
    // The entry lies inside the segment, so the magic's bytes lie inside the file; the stored
    // length check below makes sure they lie inside the unit.
    if (!file_.contains(unit_offset, magic.size())) {
      fail("unit", where, unit_offset, "start magic lies outside the file");
      return false;
    }
    if (!read(unit_offset, magic, "unit", where)) return false;
    if (!magic_is(magic, kUnitStartMagic, kUnitMagicSize)) {
      fail("unit", where, unit_offset, "start magic \"HOLE\" missing");
      return false;
    }
    return true;
  }

  // Stored length, end magic and (with --units) the inflated contents of one unit whose start
  // magic has been checked. `length_from` names what set the end of the unit.
  bool check_unit(const std::string& where, uint64_t unit_offset, uint64_t stored_length,
                  const std::string& length_from) {
    const uint32_t framing = version_.unit_framing_bytes();
    if (stored_length <= framing || stored_length > kMaxStoredUnitBytes) {
      fail("unit", where, unit_offset,
           "stored length " + std::to_string(stored_length) + " (up to " + length_from + ") is not more than " +
               std::to_string(framing) + " and at most " + std::to_string(kMaxStoredUnitBytes));
      return false;
    }
    if (framing > 0) {
      std::array<uint8_t, kUnitMagicSize> magic{};
      const uint64_t end_magic = unit_offset + stored_length - (framing - kUnitMagicSize);
      if (!read(end_magic, magic, "unit", where)) return false;
      if (!magic_is(magic, kUnitEndMagic, kUnitMagicSize)) {
        fail("unit", where, end_magic,
             "end magic \"IOLF\" missing at offset " + std::to_string(end_magic) + " (stored length " +
                 std::to_string(stored_length) + " up to " + length_from + ")");
        return false;
      }
    }
    if (options_.inflate_units) {
      r_.units_inflated = true;
      if (!codec_) codec_ = std::make_unique<UnitCodec>();
      stored_.resize(stored_length);  // at most kMaxStoredUnitBytes
      inflated_.resize(kUnitBytes);
      if (!read(unit_offset, stored_, "unit", where)) return false;
      if (const Status s = codec_->inflate(stored_, version_, inflated_); !s) {
        fail("unit", where, unit_offset, s.message());
        return false;
      }
      ++r_.units_verified;
    }
    return true;
  }

  void inspect_run_tables() {
    for (uint32_t i = 0; i < r_.disks.size(); ++i) {
      for (uint32_t j = 0; j < r_.disks[i].partitions.size(); ++j) {
        PartitionReport& p = r_.disks[i].partitions[j];
        if (p.valid && p.record.run_vol == r_.header.vol && p.record.run_bytes > 0) inspect_run_table(i, j, p);
      }
    }
  }

  void inspect_run_table(uint32_t disk, uint32_t part, PartitionReport& p) {
    const EGO_IMAGE_TAILER& t = r_.tailer;
    const EGO_PART_RECORD& rec = p.record;
    RunTableReport& rt = p.run_table;
    rt.in_this_volume = true;
    rt.offset = rec.run_offset;
    const std::string where = "run table of " + part_name(disk, part) + at(rec.run_offset);
    if (rec.run_bytes % kFlatRunSize != 0)
      return fail("run table", where, rec.run_offset,
                  "run_bytes " + std::to_string(rec.run_bytes) + " is not a multiple of 8");
    if (rec.run_offset < t.data_start || rec.run_offset >= t.location_offset)
      return fail("run table", where, rec.run_offset,
                  "starts outside the data area [" + std::to_string(t.data_start) + ", " +
                      std::to_string(t.location_offset) + ")");
    rt.bytes_here = std::min<uint64_t>(rec.run_bytes, t.location_offset - rec.run_offset);
    if (rt.bytes_here < rec.run_bytes) {
      // The writer splits a run table only between 1024-byte chunks, and never in the last volume.
      if (t.complete != 0 || rt.bytes_here % kRunTableChunkBytes != 0)
        return fail("run table", where, rec.run_offset,
                    std::to_string(rec.run_bytes) + " bytes run past the end of the data area at " +
                        std::to_string(t.location_offset));
      rt.continues = true;
    }
    for (const UnitInfoReport& u : r_.unit_infos) {
      if (u.consistent && rec.run_offset < u.record.seg_end && u.record.seg_start < rec.run_offset + rt.bytes_here)
        return fail("run table", where, rec.run_offset,
                    "overlaps the units of the segment [" + std::to_string(u.record.seg_start) + ", " +
                        std::to_string(u.record.seg_end) + ")");
    }
    std::vector<uint8_t> chunk;
    uint64_t prev_end = 0;
    for (uint64_t done = 0; done < rt.bytes_here; done += chunk.size()) {
      chunk.resize(std::min<uint64_t>(kRunTableChunkBytes, rt.bytes_here - done));
      if (!read(rec.run_offset + done, chunk, "run table", where)) return;
      for (size_t b = 0; b < chunk.size(); b += kFlatRunSize) {
        const uint64_t k = (done + b) / kFlatRunSize;
        const uint64_t begin = get_le32(&chunk[b]);
        const uint32_t number = get_le32(&chunk[b + 4]);
        const uint64_t count = number & ~kRunMinusFlag;
        const std::string run =
            "run " + std::to_string(k) + " [" + std::to_string(begin) + ", " + std::to_string(begin + count) + ")";
        if (k > 0 && begin < prev_end)
          return fail("run table", where, rec.run_offset + done + b,
                      run + " starts before the end of the previous run at " + std::to_string(prev_end));
        if (begin + count > rec.sector_count)
          return fail("run table", where, rec.run_offset + done + b,
                      run + " ends past the partition's " + std::to_string(rec.sector_count) + " sectors");
        prev_end = begin + count;
        ++rt.runs;
        rt.sectors += count;
        if (number & kRunMinusFlag) {
          ++rt.minus_runs;
        } else {
          rt.data_sectors += count;
        }
      }
    }
    rt.checked = true;
  }

  // A partition whose run table and units all lie in this volume: its units, orig_bytes and
  // stored_bytes must follow from its runs and its segment.
  void cross_check_partitions() {
    const uint32_t vol = r_.header.vol;
    for (uint32_t i = 0; i < r_.disks.size(); ++i) {
      for (uint32_t j = 0; j < r_.disks[i].partitions.size(); ++j) {
        const PartitionReport& p = r_.disks[i].partitions[j];
        const EGO_PART_RECORD& rec = p.record;
        if (!p.valid || !p.run_table.checked || p.run_table.continues || rec.start_vol != vol || rec.end_vol != vol)
          continue;
        const std::string where = part_name(i, j) + at(p.offset);
        const uint64_t units = (p.run_table.data_sectors + kSectorsPerUnit - 1) / kSectorsPerUnit;
        if (rec.orig_bytes != units * kUnitBytes) {
          fail("partition record", where, p.offset,
               "orig_bytes " + std::to_string(rec.orig_bytes) + " does not match the run table's " +
                   std::to_string(p.run_table.data_sectors) + " sectors in " + std::to_string(units) + " units");
          continue;
        }
        if (units == 0) continue;
        if (rec.unit_info_index >= r_.unit_infos.size()) {
          fail("partition record", where, p.offset,
               "unit_info_index " + std::to_string(rec.unit_info_index) + " names no unit-info record (" +
                   std::to_string(r_.unit_infos.size()) + " in this volume)");
          continue;
        }
        const UnitInfoReport& u = r_.unit_infos[rec.unit_info_index];
        if (!u.consistent) continue;  // already reported
        if (u.units != units) {
          fail("partition record", where, p.offset,
               "the run table needs " + std::to_string(units) + " units but unit-info record " +
                   std::to_string(rec.unit_info_index) + " lists " + std::to_string(u.units));
          continue;
        }
        const uint64_t segment_bytes = u.record.seg_end - u.record.seg_start;
        if (rec.stored_bytes != segment_bytes)
          fail("partition record", where, p.offset,
               "stored_bytes " + std::to_string(rec.stored_bytes) + " differs from the " +
                   std::to_string(segment_bytes) + " bytes of its units");
      }
    }
  }

  const VolumeFile& file_;
  const InspectOptions& options_;
  VolumeReport& r_;
  uint64_t tail_limit_ = 0;        // file size - 601: where the tailer begins
  uint64_t descriptor_limit_ = 0;  // end of the space the first descriptor area may use
  FormatVersion version_{};
  bool version_known_ = false;
  std::unique_ptr<UnitCodec> codec_;
  std::vector<uint8_t> stored_;
  std::vector<uint8_t> inflated_;
};

}  // namespace

Status inspect_volume(const std::string& path, const InspectOptions& options, VolumeReport* report) {
  *report = VolumeReport{};
  report->path = path;
  VolumeFile file;
  if (Status s = file.open(path); !s) return s;
  Inspector(file, options, report).run();
  return Status::ok();
}

}  // namespace tav::img
