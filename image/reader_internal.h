// Pieces shared by the snapshot sector reader's source files (chain building, run tables and
// locations, the unit cache, the sector reads, the partition operations). Not part of the
// library's interface; the exported functions are in image_reader.h.
//
// Every step returns a Status. A step that detects a failure reports it through the image
// library's report (reader_fail) before returning, so the message names the step that saw it;
// the exported functions only turn the status into errno and their result convention.
#pragma once

#include <cstdint>
#include <string>

#include "core/status.h"
#include "image/image_storage.h"

namespace tav::img {

// printf-style text; empty when it cannot be formatted.
std::string reader_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports `text` (icon error, counted) from `function` at `file`:`line` and returns a status of
// `code` with that text. A cancelled status (the user chose Abort) is only traced.
Status reader_fail(const char* file, int line, const char* function, StatusCode code, const std::string& text);

// Sets errno and the thread's last error for a failed status.
void set_reader_errno(const Status& status);

// The storage a partition is read from, with its private data; null when the partition is not
// an image partition of a loaded snapshot.
STORAGE_DATA* storage_of(const BACKUP_PARTITION_INFO* part);

// The full name of volume `vol` of the storage ("?" when it cannot be built), for messages.
std::string volume_file_name(const STORAGE_DATA* storage, int64_t vol);

// Makes volume `vol` current and returns its file data in *file. Reports with `step` naming the
// caller; a missing volume is not_found.
Status open_volume(STORAGE_DATA* storage, int64_t vol, const char* step, IMAGE_FILE_DATA** file);

// ---- Reader buffers and unit cache (unit_cache.cc). ----

// Allocates what reading needs and the storage does not have yet: the codec, the unit cache
// slots and the stored-unit scratch area.
Status ensure_reader_buffers(STORAGE_DATA* storage);
// Marks every slot empty.
void empty_unit_cache(STORAGE_DATA* storage);
// The 131072 inflated bytes of unit `unit` of `member` (which lies in `loc`), from the cache or
// loaded into it. The pointer stays valid until the next load.
Status load_cache_unit(STORAGE_DATA* storage, const BACKUP_PARTITION_INFO* member, const UNIT_LOCATION& loc,
                       uint64_t unit, const uint8_t** data);

// ---- Run tables and locations (part_locations.cc). ----

// Reads the member's run table into its part data and computes run_begin_in_image.
Status read_part_runs(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member);
// Reads the member's next partition segment (location) and appends it.
Status read_one_image_location(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member);
// The location of the member that holds `unit`, reading further locations as needed.
Status find_unit_loc(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t unit,
                     const UNIT_LOCATION** loc);
// Frees the run table and locations of a member.
void free_member_state(IMAGE_PART_DATA* pd);

// ---- Reads (sector_read.cc). ----

// Sectors [sector, sector + count) of the current member (storage->part), which must all lie in
// its runs, into `buffer`.
Status tav_read_snap_sectors(STORAGE_DATA* storage, uint64_t sector, uint32_t count, uint8_t* buffer);

}  // namespace tav::img

// Reports a reader failure from the calling function: TAV_READER_FAIL(kCorruption, "fmt", ...).
#define TAV_READER_FAIL(code, ...)                                                           \
  ::tav::img::reader_fail(__FILE__, __LINE__, __func__, ::tav::StatusCode::code, \
                          ::tav::img::reader_text(__VA_ARGS__))
