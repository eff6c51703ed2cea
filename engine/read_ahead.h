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
// request may repeat or start inside the previous piece (and extend past it), but never go back
// before it. Cache mode also needs the runs in ascending sector order, as run vectors are.
//
// Threads: the caller of imagefile_read_sectors (one thread) plus, in thread mode, the reader
// thread. init, read and uninit are called by that one caller, never concurrently.
// Errors of the reader and of requests are reported through the engine's report
// (engine/engine_channel.h) and counted once on the `channel` record; a short count (not -1) means the data
// ended: all runs delivered, a cancel, or an error counted on `channel` (or the reader's own failure
// when there is no record).
#pragma once

#include <cstdint>

#include "core/extent_vector.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

// The largest single request, in sectors (one compress unit).
constexpr uint32_t COMPRESS_UNIT_SECTORS = 256;

// Starts the read-ahead of `runs` out of `img_part` (an image partition opened for reading, with
// a read_sectors operation) with `buffer_count` 128 KiB buffers (thread mode) or a cache of that
// many (cache_mode nonzero). Takes ownership of `runs` in every outcome. `channel` (may be null: no
// cancel then, errors only reported) supplies error_count and cancel and counts the reader's
// errors; it and `img_part` must outlive imagefile_read_uninit. 0, or -1 after a report that is
// not counted (the caller counts an error); -1 also while another read-ahead is active.
int imagefile_read_init(int32_t buffer_count, IMAGE_RUN_VECTOR* runs, THREAD_GUI_DATA* channel,
                        BACKUP_PARTITION_INFO* img_part, int32_t cache_mode);

// Delivers `count` (at most COMPRESS_UNIT_SECTORS) sectors at `begin` into `out` (count x 512
// bytes): the number of sectors delivered (`count` on success, fewer when the data ended), or -1
// after a report. `img_part` is the partition given to init (cache mode reads through it).
int64_t imagefile_read_sectors(void* out, uint32_t count, THREAD_GUI_DATA* channel,
                               BACKUP_PARTITION_INFO* img_part, int64_t begin);

// Stops the reader (waiting for a read of the image it is inside) and frees everything. Must be
// called after a successful init, also after failures of the copy; harmless when nothing is
// active or when init failed.
void imagefile_read_uninit();
