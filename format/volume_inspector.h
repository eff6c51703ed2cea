// Reads one EGO volume file into a structured report and checks it, record by record, without
// trusting any count, length or offset before it is checked against the file (layout in
// format/ego_format.h). Prints nothing; the inspect command renders the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "format/ego_format.h"

namespace tav::img {

// Partition records per disk that the inspector accepts: more than any partition table holds.
constexpr uint32_t kMaxPartsPerDisk = 256;
// Unit-info records per volume that the inspector accepts: one segment per partition.
constexpr uint32_t kMaxUnitInfos = kMaxDisks * kMaxPartsPerDisk;
// Failed checks kept in a report; further ones are only counted.
constexpr size_t kMaxReportedErrors = 64;

struct InspectOptions {
  // Also inflate every compress unit and check its CRCs (reads all of the volume's data).
  bool inflate_units = false;
};

// One failed check: what failed and where.
struct InspectError {
  std::string record;   // kind of record: "header", "partition record", "unit", ...
  std::string where;    // e.g. "partition record 1 of disk 0 at offset 1234"
  uint64_t offset = 0;  // file offset of the record (or of the byte) that failed
  std::string check;    // e.g. "struct sum mismatch"
};

struct BootSectorsReport {
  uint32_t count = 0;
  uint64_t offset = 0;
  bool inside_file = false;
  bool boot_signature = false;      // first sector ends with 0x55 0xAA
  uint32_t mbr_disk_signature = 0;  // bytes 440-443 of the first sector
};

struct RunTableReport {
  bool in_this_volume = false;  // the table starts in this volume (run_vol == the header's vol)
  bool checked = false;         // its bytes here passed the bounds checks and were read
  uint64_t offset = 0;
  uint64_t bytes_here = 0;  // bytes of the table in this volume
  bool continues = false;   // the rest lies at the next volume's data start
  uint64_t runs = 0;
  uint64_t minus_runs = 0;    // runs marked with the minus flag (bit 31 of Number)
  uint64_t sectors = 0;       // sectors of all runs, minus runs included
  uint64_t data_sectors = 0;  // sectors of the runs that carry data
};

struct PartitionReport {
  uint64_t offset = 0;
  bool decoded = false;
  bool valid = false;  // passed its record check
  img::EGO_PART_RECORD record;
  RunTableReport run_table;
};

struct DiskReport {
  uint64_t offset = 0;
  bool decoded = false;
  bool valid = false;
  img::EGO_DISK_RECORD record;
  BootSectorsReport boot_sectors;
  std::vector<PartitionReport> partitions;
};

struct UnitInfoReport {
  uint64_t offset = 0;
  img::EGO_UNIT_INFO record;
  bool consistent = false;  // bounds and location entries checked without a failure
  uint64_t units = 0;       // loc_bytes / 8
};

struct VolumeReport {
  std::string path;
  uint64_t file_size = 0;

  bool header_decoded = false;
  bool header_valid = false;
  img::EGO_IMAGE_HEADER header;

  bool tailer_decoded = false;
  bool tailer_valid = false;
  uint64_t tailer_offset = 0;
  img::EGO_IMAGE_TAILER tailer;

  bool has_comment = false;
  bool comment_utf16 = false;
  std::string comment;  // UTF-8 for a UTF-16 comment; the stored bytes for an ANSI one

  std::vector<DiskReport> disks;

  bool data_area_valid = false;   // data_start <= location_offset <= unit_info_offset <= tailer
  uint64_t location_entries = 0;  // (unit_info_offset - location_offset) / 8
  std::vector<UnitInfoReport> unit_infos;

  bool units_inflated = false;  // --units ran
  uint64_t units_verified = 0;  // units that inflated and matched their CRCs

  std::vector<InspectError> errors;  // at most kMaxReportedErrors
  uint64_t errors_not_reported = 0;

  bool ok() const { return errors.empty() && errors_not_reported == 0; }
};

// Inspects the volume file at `path`. A damaged volume is not a failure of this call: its
// failed checks are listed in report->errors. The call fails (not_found, io_error) only when the
// file cannot be opened as a regular file; the report then holds just the path. Never throws
// except std::bad_alloc; the memory used is bounded by checked counts, never by a value read
// from the file alone.
Status inspect_volume(const std::string& path, const InspectOptions& options, VolumeReport* report);

}  // namespace tav::img
