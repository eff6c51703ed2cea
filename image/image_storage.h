// The loaded catalogue of one storage: its volume files, its snapshots, and the reading state
// that the snapshot sector reader keeps per image partition and per storage.
//
// One storage per process (libtavimg_get_storage_data); tests may make their own. A storage is
// loaded and read by one thread at a time; nothing here locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/extent_vector.h"
#include "disk/disk.h"
#include "format/compress_unit.h"
#include "format/ego_format.h"

struct STORAGE_DATA;
struct IMAGE_PART_DATA;

// One volume file that was opened. Files stay open until the storage is closed.
struct IMAGE_FILE_DATA {
  std::string name;       // full path
  int32_t vol = -1;
  int fd = -1;            // -1 when closed
  uint64_t file_size = 0;  // at open; every read is checked against it
  uint32_t major = 0;      // format version of its header
  uint32_t minor = 0;
  uint32_t complete = 0;  // tailer values
  uint64_t data_start = 0;
  uint64_t location_offset = 0;
  uint32_t unit_info_count = 0;
  uint64_t unit_info_offset = 0;
};

// One snapshot, built from the header and descriptor area of one of its volumes.
struct SNAP_DATA {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t backup_type = tav::img::kBackupFull;  // 1 for version 1.0
  int64_t create_time = 0;                       // the header's time word, widened with sign
  SYSTIME create_systime{};
  uint32_t signature = 0;
  uint32_t compress_mode = 0;  // normalized to tav::img::CompressMode
  uint32_t unit_bytes = tav::img::kUnitBytes;
  uint32_t snap_seq = 0;
  uint32_t first_vol = 0;
  uint32_t first_vol2 = 0;
  uint32_t total_vol = 0;
  bool has_comment = false;
  std::string comment;  // UTF-8, at most 512 characters
  uint32_t num_disks = 0;
  uint64_t disk_table_offset = 0;
  _DISK_INFOMATION* disks = nullptr;  // owned list of image disks (tav_destroy_all_disks)
  uint32_t load_order = 0;
  uint32_t meta_vol = 0;        // volume whose header was read
  uint32_t from_first_vol = 0;  // 1 when read from the snapshot's first volume
  STORAGE_DATA* pstorage = nullptr;
  // Private data of the snapshot's image partitions (the partition objects point at them but do
  // not own them); freed with the snapshot, after its disks.
  std::vector<std::unique_ptr<IMAGE_PART_DATA>> part_data;

  tav::img::FormatVersion version() const { return {major, minor}; }
};
using PSNAP_DATA = SNAP_DATA*;

// One partition segment of an image partition: its units in one volume.
struct UNIT_LOCATION {
  std::vector<uint64_t> entries;  // file offsets of the units (loc_count = entries.size())
  uint64_t seg_start = 0;
  uint64_t seg_end = 0;
  uint64_t first_unit = 0;  // number of the segment's first unit within the partition's data
  uint32_t vol = 0;
};

// Private data (`part_data`) of an image partition: what the catalogue read, then the reader's
// working state (empty until the partition is opened, freed when it is closed).
struct IMAGE_PART_DATA {
  BACKUP_PARTITION_INFO* part = nullptr;
  SNAP_DATA* psnap = nullptr;
  uint32_t full = 0;
  uint32_t signature = 0;
  uint32_t parent_seq = 0;
  int64_t parent_time = 0;  // widened with sign

  // Reader state of this partition as a chain member.
  bool runs_loaded = false;
  std::vector<FLAT_RUN> run_buff;                // its run table
  std::vector<uint64_t> run_begin_in_image;      // per run: stored sectors before it
  std::vector<UNIT_LOCATION> locations;          // segments read so far, in volume order
  int run_hint = 0;                              // last index found in run_buff

  // Reader state of this partition as the one being read (index 0 of its own chain).
  IMAGE_RUN_VECTOR* prun_vector = nullptr;            // combined runs; snapshot = chain index
  std::vector<BACKUP_PARTITION_INFO*> snap_part_vector;  // 0 = this partition, then parents
  int image_run_hint = 0;                             // last index found in prun_vector
};

namespace tav::img {

constexpr size_t kCacheSlots = 32;

// One slot of the unit cache. The key names the chain member's partition as well as the unit,
// so partitions of one snapshot (and members shared by two chains) never see each other's data.
struct CacheSlot {
  const BACKUP_PARTITION_INFO* member = nullptr;
  int64_t unit = -1;  // -1: empty
  uint64_t stamp = 0;
  std::unique_ptr<uint8_t[]> data;  // kUnitBytes
};

// How volume files are opened: a regular file for reading, returning a descriptor or -1 with
// errno set. The mount daemon puts in its own (it opens with the rights of its caller).
using OpenVolumeFn = int (*)(const char* path);
int open_volume_default(const char* path);

}  // namespace tav::img

struct STORAGE_DATA {
  std::string directory;  // as given, with its trailing separator
  std::string base_name;
  uint32_t signature = 0;  // 0 until the first snapshot is loaded
  std::vector<std::unique_ptr<SNAP_DATA>> snaps;  // by (create_time, load_order)
  std::vector<IMAGE_FILE_DATA> files;             // by vol
  int last_file_index = -1;                       // hint for the files search
  uint64_t total_vol = 0;  // sum of the snapshots' total_vol

  // Current volume (image_open_image_file).
  int32_t cur_vol = -1;
  IMAGE_FILE_DATA* cur_file = nullptr;

  // Reader state.
  BACKUP_PARTITION_INFO* part = nullptr;       // chain member being read
  IMAGE_PART_DATA* part_data = nullptr;        // its private data
  BACKUP_PARTITION_INFO* open_part = nullptr;  // partition opened by tav_start_read_part
  std::vector<uint8_t> stored_unit;            // one stored unit as read (kMaxStoredUnitBytes)
  std::unique_ptr<tav::img::UnitCodec> codec;  // inflate state (allocated with the cache)
  std::array<tav::img::CacheSlot, tav::img::kCacheSlots> cache;
  uint64_t cache_counter = 0;

  tav::img::OpenVolumeFn open_volume = tav::img::open_volume_default;
};
