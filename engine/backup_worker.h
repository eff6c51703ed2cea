// The backup's worker threads: for one partition at a time they turn the backup plan into
// compress units. A read thread fills packages of 256 sectors from the partition (comparing the
// sectors the parent snapshot also holds with the parent image, so that only changed sectors are
// stored), compress threads (one per processor) compress the packages in parallel, and the calling
// (worker) thread hands the framed units to the image writer strictly in unit order. Packages
// are recycled through three lists. A single-thread mode does the same steps one package at a
// time.
//
// Errors are reported through the engine's report target (engine/engine_channel.h) and counted on the
// channel's error_count, which every thread polls; the channel's cancel ends the run at the next
// package. One BackupWorker serves one run at a time; its methods are called from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "format/ego_format.h"
#include "core/extent_vector.h"
#include "core/settings.h"
#include "core/status.h"
#include "disk/disk.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

class ImageWriter;

// Package states.
enum : uint32_t { kPackageFilled = 1, kPackageCompressed = 2, kPackageFree = 3 };

// Bytes of one package's buffer: the largest framed unit.
constexpr size_t kPackageBytes = 135168;

// How the worker is sized for a run.
struct WorkerSizing {
  uint32_t compress_threads = 1;  // C, 1 to kMaxCompressThreads
  uint32_t depth = 30;            // P, the read-ahead depth; there are 3P packages
  bool debug = false;             // "BackupInDebug": verify every unit, record compressed CRCs
  bool single_thread = false;     // "BackupBySingleThread"
};

// The sizing rule of a run: one compress thread per logical processor, at most one per 16 MiB of
// free memory and at most kMaxCompressThreads (32); a "CompressThreads" setting of 1 to 32
// overrides it. Depth 300 for at least 512 MiB free, 200 for 256, 100 for 128, 60 for 64, else
// 30, raised to 4 per compress thread.
WorkerSizing size_worker(uint32_t logical_processors, uint64_t free_mib,
                         const AdjustmentSettings& settings);

// Size of the writer's buffer for depth P: floor(P/2) packages.
size_t write_buffer_bytes_for(uint32_t depth);

// One partition's work, set up by the backup run.
struct PartitionWork {
  BACKUP_PARTITION_INFO* part = nullptr;  // open for reading
  // What to visit, in order: added runs are read and stored, common runs compared with the
  // parent (what differs is stored), minus runs skipped. Consumed: each run's Begin advances and
  // its Number shrinks as its sectors are visited.
  IMAGE_RUN_VECTOR* plan = nullptr;
  // The sectors stored, in storing order (RUN_TYPE_DATA, snapshot 0), appended to.
  IMAGE_RUN_VECTOR* stored = nullptr;
  // The parent image partition, open for reading; null for a full partition.
  BACKUP_PARTITION_INFO* parent = nullptr;
  // The parent's sectors of common runs come through imagefile_read_sectors (the caller started
  // the read-ahead with the plan's common runs); otherwise through the parent's own operations.
  bool parent_read_ahead = false;
};

class BackupWorker {
 public:
  BackupWorker();
  ~BackupWorker();
  BackupWorker(const BackupWorker&) = delete;
  BackupWorker& operator=(const BackupWorker&) = delete;

  // Allocates the packages (one block, or one by one in debug mode; none in single-thread mode),
  // the comparison buffers and the per-thread codecs. `channel` (may be null) is the channel whose
  // error_count and cancel the threads poll. Units are framed for `version`.
  Status init(const WorkerSizing& sizing, THREAD_GUI_DATA* channel, img::CompressMode mode,
              img::FormatVersion version = {});
  // Per partition: next unit to write 0, reader's unit counter 0, every package free in the read
  // list, finished counts and the end-of-data flag 0.
  void reset();
  // Runs the partition's data through `writer` (its segment started by the caller): the
  // multi-thread pipeline or the single-thread loop, on the calling thread plus, in the pipeline,
  // one read thread and `compress_threads` compress threads, all joined before it returns.
  // Starts with reset(). Returns when the data is written, an error was counted or the run was
  // cancelled; true only in the first case, and then every unit from 0 up to the last one was
  // handed to the writer in order and the progress of every visited sector was reported.
  // Errors are reported through bak_report() and counted on the channel given to init (or on a
  // counter of the worker's own without one). The plan's runs are consumed.
  bool run(const PartitionWork& work, ImageWriter* writer);
  // Frees everything init allocated; init may be called again afterwards.
  void release();

  const WorkerSizing& sizing() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tav::engine
