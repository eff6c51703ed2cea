// Read-ahead of an image partition's sectors. Before a partition's sectors are taken out of a
// snapshot in a known order (the backup's comparison with its parent, a restore's copy), the
// caller hands the exact runs it will ask for; the module produces their data ahead of the
// caller, either on a reader thread into a pool of 128 KiB pieces (thread mode) or in large
// batches into one cache (cache mode, for an image on the same disk as the other side of the
// copy, so that reads and writes alternate in long stretches).
//
// One read-ahead is active per process at a time. Sector numbers are partition-relative.
//
// Callers request, after imagefile_read_init, exactly the runs of the vector in vector order,
// each run in consecutive pieces of at most COMPRESS_UNIT_SECTORS sectors from its Begin; a
// request may repeat or start inside the previous piece, but never go back before it.
#pragma once

#include <cstdint>

#include "core/extent_vector.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

// The largest single request, in sectors (one compress unit).
constexpr uint32_t COMPRESS_UNIT_SECTORS = 256;

// Starts the read-ahead of `runs` out of `img_part` (an image partition opened for reading)
// with `buffer_count` 128 KiB buffers (thread mode) or a cache of that many (cache_mode
// nonzero). Takes ownership of `runs` in every outcome. `gui` supplies error_count and cancel
// and counts the reader's errors. 0, or -1 after a report (the caller counts an error).
int imagefile_read_init(int32_t buffer_count, IMAGE_RUN_VECTOR* runs, THREAD_GUI_DATA* gui,
                        BACKUP_PARTITION_INFO* img_part, int32_t cache_mode);

// Delivers `count` sectors at `begin` into `out`: the number of sectors delivered (`count` on
// success, fewer when the reader ended early through cancel or an error), or -1 after a report.
int64_t imagefile_read_sectors(void* out, uint32_t count, THREAD_GUI_DATA* gui,
                               BACKUP_PARTITION_INFO* img_part, int64_t begin);

// Stops the reader and frees everything. Must be called exactly once after a successful init,
// also after failures of the copy; harmless when nothing is active.
void imagefile_read_uninit();
