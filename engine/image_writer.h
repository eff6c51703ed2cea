// The image writer: the volume files of one snapshot, written while the backup hands it framed
// compress units in unit order. It owns the open volume, the header and tailer templates, the
// current volume's location table and unit-info records, the descriptor areas, the run tables
// and the volume split.
//
// Durability: every volume is fsynced before it is closed, and the first volume becomes
// loadable (its header gets total_vol) only after every other volume and its own final
// descriptor area are on disk, so an interrupted run never leaves a snapshot that loads as
// complete with data missing.
//
// Calling order: begin(); per selected partition start_segment(), write_unit()..., 
// write_run_table() (before the units of a full partition, after those of a dependent one),
// close_segment(); then finish(). After any failure, or to cancel, call abort(), which deletes
// every volume file of the run. The destructor aborts a run that was begun and not finished.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/ego_format.h"
#include "image/image_storage.h"
#include "core/extent_run.h"
#include "core/status.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

// Bytes one framed unit can take at most (framing + the compressed stream).
constexpr size_t kMaxFramedUnitBytes = 16 + img::kMaxCompressedBytes;  // 135168

struct ImageWriterRequest {
  std::string directory;  // existing directory of the storage
  std::string base_name;
  // Comment of the snapshot; nullopt writes none at all, "" writes only its terminating zero.
  std::optional<std::string> comment;
  // Disks whose `selected` partitions are written, in list order (not owned; must outlive the
  // writer). A partition the disk library does not report backup-capable is deselected.
  _DISK_INFOMATION* disks = nullptr;
  uint32_t backup_type = img::kBackupFull;
  img::CompressMode compress_mode = img::kCompressNormal;
  // The loaded storage this snapshot is added to, or null for a new one. A full backup into a
  // new storage (null or not `storage_exists`) takes the current time as its signature; every
  // other backup takes the storage's signature, and a dependent one the storage's highest
  // snap_seq + 1 as its own.
  const STORAGE_DATA* storage = nullptr;
  bool storage_exists = false;
  uint32_t first_vol = 0;
  // Largest size of one volume file in bytes; 0 means no limit.
  uint64_t volume_limit = 0;
  // Size of the write buffer; 0 takes 2 framed units. At least one framed unit is used.
  size_t write_buffer_bytes = 0;
  // Clock of the run (signature, create_time, create_systime); nullopt takes the current time.
  std::optional<time_t> now;
  // Progress channel whose error_count counts failed steps; may be null.
  THREAD_GUI_DATA* channel = nullptr;
};

class ImageWriter {
 public:
  ImageWriter();
  ~ImageWriter();
  ImageWriter(const ImageWriter&) = delete;
  ImageWriter& operator=(const ImageWriter&) = delete;

  // Fills the header and tailer templates and creates the first volume (an existing file of
  // that name is replaced).
  Status begin(const ImageWriterRequest& request);

  // Starts the partition's segment in the current volume: sets its start_vol and
  // unit_info_index and zeroes its orig_bytes and stored_bytes.
  Status start_segment(BACKUP_PARTITION_INFO* part);
  // Appends one framed unit (as made by UnitCodec::compress for the current version) of the
  // current segment's partition and records its location; adds 131072 to the partition's
  // orig_bytes and the unit's length to its stored_bytes; splits the volume when the next unit
  // might not fit.
  Status write_unit(std::span<const uint8_t> framed_unit);
  // Writes the partition's run table in chunks of at most 128 runs, splitting between chunks as
  // needed; sets run_vol, run_offset and run_bytes.
  Status write_run_table(BACKUP_PARTITION_INFO* part, std::span<const FLAT_RUN> runs);
  // Ends the partition's segment; sets its end_vol.
  Status close_segment(BACKUP_PARTITION_INFO* part);

  // Closes the last volume (complete, with the volume count) and finishes the first volume.
  Status finish();
  // Closes the open volume and deletes every volume file of this run. Safe to call at any time,
  // more than once.
  void abort();

  // The header template as it stands (signature, create_time, snap_seq, ...).
  const img::EGO_IMAGE_HEADER& header() const;
  uint32_t first_vol() const;
  uint32_t current_vol() const;
  bool begun() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tav::engine
