// Reading an image partition like a disk partition: sector S of a partition in snapshot N comes
// from the newest snapshot of N's chain that stored it, through the unit that holds it (framing
// and CRCs checked, inflated, cached); sectors no member stored read as zeros.
//
// The reading state lives in the storage and in the partitions' private data; one thread at a
// time. Results follow the partition operations: counts, -1 on error (reported through the image
// library's report; errno says why: EUCLEAN for damaged data, EIO, ENOENT for a missing volume or
// parent, ECANCELED when the user chose Abort).
#pragma once

#include <cstdint>

#include "image/image_storage.h"

// The seven operations of image partitions: position read, position write (does nothing, -1),
// read sectors, write sectors (does nothing, -1), finish (0), open, close. Reads reopen the
// partition when another partition was opened since.
const PART_OPERATIONS* libtavimg_image_part_operations();

// Opens `part` for reading: builds its chain (a missing parent is reported with the volume to
// look for), reads every member's run table and first location, builds the combined run vector
// and empties the cache. 0 or -1.
int tav_start_read_part(BACKUP_PARTITION_INFO* part);
// Frees the reading state of every member of the chain of `part`, empties the cache and
// forgets the current partition.
void tav_end_read_part(BACKUP_PARTITION_INFO* part);

// Sectors [sector, sector + count) of the partition into `buffer`; the number produced, -1 on
// error.
int64_t tav_image_read_sectors(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count, void* buffer);
// Bytes [offset, offset + length); the number produced, -1 on error.
int64_t tav_image_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t length, void* buffer);

// The combined run vector of an opened partition: every sector that some member of its chain
// stored, each run's `snapshot` the chain index of the newest member holding it. Null when the
// partition is not open. The backup compares against it; it belongs to the partition.
const IMAGE_RUN_VECTOR* libtavimg_get_part_run_vector(const BACKUP_PARTITION_INFO* part);
