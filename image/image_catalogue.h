// Loading the catalogue of a storage (the volume files of one base name in one directory) and
// questions about single volume files. Snapshots come out as lists of image disks and image
// partitions, the disk library's own objects, so every consumer reads them like real ones.
//
// Paths are UTF-8. A directory may end with "/" (or "\"); volume names are built by
// libtavimg_create_image_name. Exported functions keep the fixed results of their kind (0/-1,
// 1/0, pointers) and report failures through the image library's report (image_channel.h): the
// first failure of an operation is shown, later ones are only formatted.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_storage.h"

// What libtavimg_get_imagefile_info tells about one volume file.
struct IMAGEFILE_INFO {
  int64_t create_time = 0;  // widened with sign
  uint32_t signature = 0;
  uint32_t snap_seq = 0;
  uint32_t first_vol2 = 0;
  uint32_t vol = 0;
  uint32_t first_vol = 0;  // only for its snapshot's first volume (and a 1.0 volume 0), else 0
  uint32_t total_vol = 0;  // the same
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t backup_type = 0;    // 1 below version 3.0
  uint32_t compress_mode = 0;  // normalized
  std::string directory;       // with its trailing separator
  std::string base_name;
  bool has_comment = false;
  std::string comment;  // UTF-8
};

// The process's storage.
STORAGE_DATA* libtavimg_get_storage_data();

// Resets `storage` to `directory` and `base_name` and loads every snapshot of the base name
// (with first_only, only from files that are the first volume of their snapshot). 0 on
// success, -1 on failure or when no snapshot was found.
int libtavimg_load_image2(STORAGE_DATA* storage, const char* directory, const char* base_name,
                          int first_only);
// Loads the snapshots of the existing volume files from..to (storage unused beyond the
// process's own: it loads into `storage`). 0, or -1 when a name cannot be built.
int libtavimg_load_specified_range_snaps(STORAGE_DATA* storage, const char* directory,
                                         const char* base_name, int from, int to);
// Closes every file, frees every snapshot (with its disks) and the cache, and clears the storage.
void libtavimg_unload_image(STORAGE_DATA* storage);
// Closes every volume file and empties the files vector.
void libtavimg_close_all_image_file(STORAGE_DATA* storage);

_DISK_INFOMATION* libtavimg_get_image_disks_list(SNAP_DATA* snap);
// The snapshot of an image partition; null for other partitions.
SNAP_DATA* libtavimg_get_part_snap(const BACKUP_PARTITION_INFO* part);
// New copy (free with libtavpub_xfree) of the snapshot's comment; null when it has none or it
// is empty.
char* libtavimg_get_snap_comment(const SNAP_DATA* snap);
// The snapshot with that snap_seq and create_time (and signature, unless 0); its index in
// *index when not null. Null when none.
SNAP_DATA* libtavimg_find_last_snap(STORAGE_DATA* storage, uint32_t signature, uint32_t snap_seq,
                                    int64_t create_time, int* index);
// First partition of the disk list whose chain signature is `signature`, or null.
BACKUP_PARTITION_INFO* libtavimg_get_part_from_signature(_DISK_INFOMATION* disks, uint32_t signature);
// The parent for a backup of `part`: from the newest snapshot back (only full ones for a
// differential backup, type 3), the first image partition with the same first sector, sector
// count and file-system kind. Null when none.
BACKUP_PARTITION_INFO* tav_match_part_from_storage(_DISK_INFOMATION* disk, BACKUP_PARTITION_INFO* part,
                                                   STORAGE_DATA* storage, uint32_t backup_type);
// Highest snap_seq of the storage's snapshots, -1 when it has none.
int libtavimg_get_max_inner_snap_seq(const STORAGE_DATA* storage);
// 0 with *min = smallest first_vol and *max = largest first_vol + total_vol - 1; -1 otherwise.
int libtavimg_get_imagefile_range(const STORAGE_DATA* storage, int* max, int* min);

// 0 when `file_name` opens and its header (kHeaderSize bytes into `buffer`) passes the header
// check, else -1.
int libtavimg_get_image_header(const char* file_name, uint8_t* buffer);
// 1 when the name ends in ".ego" and both header and tailer are valid; the header's version.
int TavIsDiskVol(const char* file_name, uint32_t* major, uint32_t* minor);
// 1 when the name is longer than 4 characters and ends in ".ego" (any case).
int libtavimg_is_image_file(const char* name);
// Compares up to n characters ignoring ASCII case, stopping after a terminating zero; the
// difference of the first unequal pair (lower-cased), else 0.
int libtavimg_my_strnicmp(const char* a, const char* b, size_t n);
// 1 and three new strings (free with libtavpub_xfree): the file name, the directory (up to and
// including the last separator) and the base name (the file name without ".ego" and without
// the trailing digits of its header's volume number). Else 0 with all three null.
int libtavimg_parse_image_pathfilename(const char* path, char** file_name, char** directory,
                                       char** base_name);
// 1 when the file's header is valid, its name parses and the name rebuilt from directory, base
// name and the header's vol equals it; fills *info (the comment only when want_comment).
int libtavimg_get_imagefile_info(const char* file_name, IMAGEFILE_INFO* info, bool want_comment);

// Makes volume `vol` current (storage->cur_vol, cur_file), opening it when needed: the header
// must pass the check and carry `vol`, and the tailer must pass its check. 0 or -1.
int image_open_image_file(STORAGE_DATA* storage, int32_t vol);

namespace tav::img {

// Reads exactly `length` bytes at `offset` of an open volume; corruption when the range lies
// outside the file as it was opened, io_error when the read fails or comes up short.
Status read_volume_bytes(const IMAGE_FILE_DATA& file, uint64_t offset, void* buffer, size_t length);

// Private data of an image partition; null for other partitions.
IMAGE_PART_DATA* image_part_data(const BACKUP_PARTITION_INFO* part);

}  // namespace tav::img
