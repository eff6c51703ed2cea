// Typed access to the partition record at the head of a partition object. The record is kept as
// the bytes that are stored in images, so the image writer copies it as it stands; these helpers
// read and change single fields at the offsets of the format (and of the library's own bytes).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/byte_order.h"
#include "disk/disk.h"

namespace tav::disk {

namespace pl = tav::img::part_layout;
namespace pp = part_private;

inline uint8_t rec_u8(const BACKUP_PARTITION_INFO& p, size_t off) { return p.record[off]; }
inline uint32_t rec_u32(const BACKUP_PARTITION_INFO& p, size_t off) { return get_le32(&p.record[off]); }
inline uint64_t rec_u64(const BACKUP_PARTITION_INFO& p, size_t off) { return get_le64(&p.record[off]); }
inline void set_rec_u8(BACKUP_PARTITION_INFO& p, size_t off, uint8_t v) { p.record[off] = v; }
inline void set_rec_u32(BACKUP_PARTITION_INFO& p, size_t off, uint32_t v) { put_le32(&p.record[off], v); }
inline void set_rec_u64(BACKUP_PARTITION_INFO& p, size_t off, uint64_t v) { put_le64(&p.record[off], v); }

// Zero-terminated text field of `size` bytes; set_rec_text cuts at size - 1 bytes without
// splitting a UTF-8 character and zero-fills the rest.
std::string rec_text(const BACKUP_PARTITION_INFO& p, size_t off, size_t size);
void set_rec_text(BACKUP_PARTITION_INFO& p, size_t off, size_t size, const std::string& text);

// Writes the magic "EGO.PART" into a fresh record (the sum is sealed by the image writer).
void init_part_record(BACKUP_PARTITION_INFO& p);

inline uint8_t part_type(const BACKUP_PARTITION_INFO& p) { return rec_u8(p, pl::kPartType); }
inline bool part_is_bootable(const BACKUP_PARTITION_INFO& p) { return rec_u8(p, pl::kBootFlag) != 0; }
inline uint64_t part_used_sectors(const BACKUP_PARTITION_INFO& p) { return rec_u64(p, pl::kUsedSectors); }
inline void set_part_used_sectors(BACKUP_PARTITION_INFO& p, uint64_t v) { set_rec_u64(p, pl::kUsedSectors, v); }
inline int32_t part_number(const BACKUP_PARTITION_INFO& p) { return int32_t(rec_u32(p, pl::kPartNumber)); }
inline uint32_t part_flags(const BACKUP_PARTITION_INFO& p) { return rec_u32(p, pl::kPartFlags); }
inline bool part_is_logical(const BACKUP_PARTITION_INFO& p) { return (part_flags(p) & kPartFlagLogical) != 0; }
inline bool part_is_extended(const BACKUP_PARTITION_INFO& p) { return (part_flags(p) & kPartFlagExtended) != 0; }
inline char part_drive_letter(const BACKUP_PARTITION_INFO& p) { return char(rec_u8(p, pl::kDriveLetter)); }

// Sets first sector and count in the object and in the record, and the last sector.
void set_part_extent(BACKUP_PARTITION_INFO& p, uint64_t first_sector, uint64_t sector_count);

// The file-system name and label kept in the library's bytes (empty when unknown).
inline std::string part_fs_name(const BACKUP_PARTITION_INFO& p) { return rec_text(p, pp::kFsName, 16); }
inline std::string part_fs_label(const BACKUP_PARTITION_INFO& p) { return rec_text(p, pp::kFsLabel, 48); }

}  // namespace tav::disk
