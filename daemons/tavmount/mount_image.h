// The mount daemon's use of the image code: loading the volume set of a mount, finding the
// snapshot partition, and reading it. Each function reports its failures through the daemon's
// error idiom (mount_report.h).
//
// The image state (a STORAGE_DATA whose volume opens go through open_volume_as_client) is not
// thread-safe: the caller serializes every call on one state.
#pragma once

#include <cstdint>

#include "image/image_storage.h"

namespace tav::mount {

// Clears the error flag, writes the start text into the message buffer, empties `state` and
// stores the folder and base name in it. 0, or -1 (flag 2) when it cannot.
int init_image_data(STORAGE_DATA* state, const char* folder, const char* base_name);

// init_image_data, then the snapshots of every existing volume file numbered min_seq..max_seq;
// the first loaded snapshot's volume is opened for reading. 0, or -1 with the failure reported.
int tav_load_image3(STORAGE_DATA* state, const char* folder, const char* base_name, uint32_t min_seq,
                    uint32_t max_seq);

// The partition with chain signature `signature` in the loaded snapshot numbered `snap_seq`
// created at `snap_time`; null (reported) when there is none or the signature is 0.
BACKUP_PARTITION_INFO* get_mounting_part(STORAGE_DATA* state, uint32_t snap_seq, int64_t snap_time,
                                         uint32_t signature);

// Starts and ends reading the partition. 0, or -1.
int mount_part(BACKUP_PARTITION_INFO* part);
int umount_part(BACKUP_PARTITION_INFO* part);

// Reads `count` bytes at byte `offset` of the partition; the bytes read (a short or failed read
// is reported and gives less than `count`, at worst 0).
uint32_t mount_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t count, void* buffer);

// The partition's sector count and its record's partition type byte; 0 without a partition.
uint64_t mount_get_part_length(const BACKUP_PARTITION_INFO* part);
uint8_t mount_get_part_type(const BACKUP_PARTITION_INFO* part);

// The memory alignment the file system asks of direct reads of the current volume file; 1 when it
// asks none, or (reported) when there is no current file or the query fails.
uint32_t mount_get_alignment(const STORAGE_DATA* state);

}  // namespace tav::mount
