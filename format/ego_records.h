// Encoding, decoding and checking of the fixed EGO records (layout in ego_format.h).
//
// decode_* only needs enough bytes and fills every field as stored, so a damaged record can still
// be shown; check_* applies the readers' rules and names the first check that fails (checks
// return Status::corruption with a message starting with the record's name). encode_* writes
// every byte of the record (reserved bytes zero, the disk library's partition bytes from `raw`,
// the magic from the `magic` field, whose default is the right one) and seals the struct sum;
// the `sum` field of the input is ignored. None of them keeps a reference to its arguments.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/status.h"
#include "format/ego_format.h"

namespace tav::img {

// The format versions readers take: 1.0 up to the version written (3.4).
bool format_version_supported(FormatVersion v);

// Image header. check: struct sum, magic, a supported format version, num_disks 1..24,
// total_vol <= 512, and not the first volume of a backup that never finished (reserved1 0,
// first_vol2 == vol, total_vol 0).
void encode_image_header(const EGO_IMAGE_HEADER& h, std::span<uint8_t, kHeaderSize> out);
Status decode_image_header(std::span<const uint8_t> bytes, EGO_IMAGE_HEADER* out);
Status check_image_header(std::span<const uint8_t> bytes);

// Image tailer. check: struct sum, magic, a supported format version, and not (reserved1 and
// complete nonzero while total_vol is 0).
void encode_image_tailer(const EGO_IMAGE_TAILER& t, std::span<uint8_t, kTailerSize> out);
Status decode_image_tailer(std::span<const uint8_t> bytes, EGO_IMAGE_TAILER* out);
Status check_image_tailer(std::span<const uint8_t> bytes);

// Disk record. check: struct sum and magic.
void encode_disk_record(const EGO_DISK_RECORD& d, std::span<uint8_t, kDiskRecordSize> out);
Status decode_disk_record(std::span<const uint8_t> bytes, EGO_DISK_RECORD* out);
Status check_disk_record(std::span<const uint8_t> bytes);

// Partition record in the form of version `v` (391 bytes, or 139 for 1.0). Decoding a 1.0 record
// sets `full` to 1 and leaves `signature` 0: the catalogue gives it the snapshot's create_time
// plus the record's 1-based position on its disk (see synthesize_v10_signature).
// check: struct sum over the record's size, and magic.
void encode_part_record(const EGO_PART_RECORD& p, std::span<uint8_t, kPartRecordSize> out);
// The 139-byte 1.0 form: the first 139 bytes of `raw` and the fields up to unit_info_index,
// sealed over 139 bytes (for readers' tests and tools; the writer writes the 391-byte form).
void encode_part_record_v10(const EGO_PART_RECORD& p, std::span<uint8_t, kPartRecordSizeV10> out);
Status decode_part_record(std::span<const uint8_t> bytes, FormatVersion v, EGO_PART_RECORD* out);
Status check_part_record(std::span<const uint8_t> bytes, FormatVersion v);
uint32_t synthesize_v10_signature(uint32_t create_time, uint32_t position_on_disk);

// A partition's place on its disk: at least one sector, and start_sector + sector_count within
// the disk record's total_sectors (checked without overflow). Status::corruption starting with
// "partition record: " otherwise. Applies to stored and synthesized records alike.
Status check_part_extent(uint64_t start_sector, uint64_t sector_count, const EGO_DISK_RECORD& disk);

// The record readers put before the first logical partition of a disk whose extended partition
// has a nonzero length: type 0x0F, start ext_start, count ext_length, flags 2, number -1, zero
// elsewhere, with a valid sum (its `raw` holds the sealed 391 bytes).
EGO_PART_RECORD synthesize_extended_part_record(const EGO_DISK_RECORD& disk);

// Unit-info record (no sum of its own).
void encode_unit_info(const EGO_UNIT_INFO& u, std::span<uint8_t, kUnitInfoSize> out);
Status decode_unit_info(std::span<const uint8_t> bytes, EGO_UNIT_INFO* out);

// Location table: u64 file offsets, one per unit. `bytes` must be a whole number of entries;
// *out is replaced. Encoding replaces *out with 8 bytes per offset.
Status decode_location_table(std::span<const uint8_t> bytes, std::vector<uint64_t>* out);
void encode_location_table(std::span<const uint64_t> offsets, std::vector<uint8_t>* out);

// Text of the fixed 33-byte name fields (stops at the first zero).
std::string name_field_text(std::span<const uint8_t> field);
// Fills a name field from text, cut to 32 bytes, zero-filled after it.
void set_name_field(std::span<uint8_t> field, const std::string& text);

}  // namespace tav::img
