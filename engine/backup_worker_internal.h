// Internals of the backup worker threads (engine layer only): the package that travels between
// the threads, the three package lists, the wake-up events, the shared state of one run and the
// steps each thread performs. backup_worker.h is the public face.
//
// Ownership of a package: it sits on exactly one list or is held by exactly one thread.
//   read_list      free packages; the read thread (or the pre-fill) takes them and fills them
//   compress_list  filled packages, first in first out; one compress thread takes each
//   write_list     compressed packages sorted by unit; the write loop takes the head run
// A package taken off a list belongs to the taker until it puts it on the next list. `state`
// says where it should be and is changed under `state_mu` only.
//
// Locks: read_list.mu, compress_list.mu, write_list.mu, state_mu and the events' own mutexes.
// No thread holds two of them at once, and none is held while a thread reads, compresses,
// writes or reports.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "format/compress_unit.h"
#include "format/ego_format.h"
#include "engine/backup_worker.h"

namespace tav::engine {

// One unit of work between the threads. `chk_unit`, `walk` and `chk_buff_p` are copies the
// compress step compares with `unit`, the package's own address and `buff` to catch a package
// damaged or handed over twice.
struct BACKUP_PACKAGE {
  int64_t unit = 0;      // compress unit number within the partition, from 0
  uint32_t len = 0;      // bytes of the framed unit in `buff` after compression
  uint32_t crc32 = 0;    // CRC-32 of the 131072 uncompressed bytes
  uint32_t state = kPackageFree;
  int64_t chk_unit = 0;
  uint8_t* buff = nullptr;  // kPackageBytes: the uncompressed data, then the framed unit
  BACKUP_PACKAGE* walk = nullptr;
  uint8_t* chk_buff_p = nullptr;
  BACKUP_PACKAGE* next = nullptr;
  BACKUP_PACKAGE* prev = nullptr;
};

// A doubly linked list of packages, guarded by its own mutex.
struct PACKAGE_LIST {
  BACKUP_PACKAGE* head = nullptr;
  BACKUP_PACKAGE* tail = nullptr;
  std::mutex mu;
};

// A wake-up event: set() leaves it signalled until a waiter takes it (auto-reset) or until
// reset() (manual-reset), so a set() that comes before the wait is never lost.
class WorkerEvent {
 public:
  explicit WorkerEvent(bool manual_reset) : manual_reset_(manual_reset) {}
  void set();
  void reset();
  void wait();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
  const bool manual_reset_;
};

// What one compress thread (or the single-thread loop) works with.
struct CompressContext {
  img::UnitCodec codec;
  std::vector<uint8_t> framed;  // the codec's output, capacity kPackageBytes
  uint64_t stored_units = 0;    // units of this run stored, not compressed (looked incompressible)
  // Debug mode only: the data the unit was compressed from, and the inflated check copy.
  std::unique_ptr<uint8_t[]> work;
  std::unique_ptr<uint8_t[]> check;
};

// The shared state of the worker. Members are grouped by who may touch them.
struct WorkerShared {
  // ---- Set by init, constant during a run. ----
  WorkerSizing sizing;
  THREAD_GUI_DATA* channel = nullptr;
  img::CompressMode mode = img::kCompressNormal;
  img::FormatVersion version;
  std::atomic<int32_t>* error_count = nullptr;  // the channel's, or local_errors without one
  std::atomic<uint32_t>* cancel = nullptr;      // the channel's, or local_cancel without one
  std::atomic<int32_t> local_errors{0};
  std::atomic<uint32_t> local_cancel{0};

  std::vector<BACKUP_PACKAGE> packages;  // 3P, none in single-thread mode
  std::unique_ptr<uint8_t[]> block;      // their buffers in one block
  std::vector<std::unique_ptr<uint8_t[]>> separate;  // or one by one in debug mode
  std::vector<std::unique_ptr<CompressContext>> contexts;  // one per compress thread

  // ---- Set per partition by run(), constant while the threads run. ----
  const PartitionWork* work = nullptr;
  ImageWriter* writer = nullptr;

  // ---- Lists, states and events. ----
  PACKAGE_LIST read_list, compress_list, write_list;
  std::mutex state_mu;  // guards every package's `state`
  WorkerEvent reader_wakeup{false};
  WorkerEvent compress_wakeup{true};
  WorkerEvent writer_wakeup{false};

  // ---- Reader only (the pre-fill, then the read thread, never both at once). ----
  int64_t reader_unit = 0;      // next unit to fill
  uint32_t plan_index = 0;      // plan run reached
  uint32_t progress_sectors = 0;  // sectors visited since the last progress report
  std::unique_ptr<uint8_t[]> compare_part;    // kUnitBytes: the partition's side of a common run
  std::unique_ptr<uint8_t[]> compare_parent;  // kUnitBytes: the parent's side
  // The piece of a common run held in the comparison buffers: sectors [cached_begin,
  // cached_begin + cached_count). A package that fills up inside a common run leaves the rest
  // of the piece here for the next one instead of reading it again.
  uint64_t cached_begin = 0;
  uint32_t cached_count = 0;

  // ---- Writer only. ----
  int64_t next_write_unit = 0;
  img::UnitCodec write_codec;           // debug verification before writing
  std::unique_ptr<uint8_t[]> write_check;  // kUnitBytes, debug mode only

  // ---- Shared counters. ----
  std::atomic<bool> end_of_data{false};
  std::atomic<uint32_t> readers_finished{0};
  std::atomic<uint32_t> compressors_finished{0};
  std::atomic<uint32_t> writers_finished{0};

  bool failed() const {
    return error_count->load(std::memory_order_relaxed) > 0 || cancel->load(std::memory_order_relaxed) != 0;
  }
  void count_error() { error_count->fetch_add(1); }
};

// Where the parts of a framed unit of `framed_bytes` bytes lie for format version `v` (layouts
// in ego_format.h).
struct UnitFraming {
  size_t stream_offset = 0;
  size_t stream_bytes = 0;
  size_t data_crc_offset = 0;    // 0 when the version stores none
  size_t stream_crc_offset = 0;  // 0 when the version stores none
};
inline UnitFraming unit_framing(img::FormatVersion v, size_t framed_bytes) {
  UnitFraming f;
  const size_t framing = v.unit_framing_bytes();
  if (framing == 0 || framed_bytes < framing) {
    f.stream_bytes = framed_bytes;
    return f;
  }
  f.stream_offset = img::kUnitMagicSize;
  f.stream_bytes = framed_bytes - framing;
  const size_t tail = f.stream_offset + f.stream_bytes;
  f.data_crc_offset = tail + img::kUnitMagicSize;
  if (framing == 16) f.stream_crc_offset = f.data_crc_offset + 4;
  return f;
}

// Reports through the engine's report target and counts one error on the worker's channel (the
// report's own record may be another one, so the count is made here).
#define TAV_WORKER_FAIL(shared, ...)                                                          \
  do {                                                                                     \
    (shared).count_error();                                                                \
    TAV_ENGINE_REPORT(::tav::engine::bak_report(), false, ::tav::kIconError, __VA_ARGS__); \
  } while (0)
#define TAV_WORKER_WARN(...) TAV_ENGINE_REPORT(::tav::engine::bak_report(), false, ::tav::kIconWarning, __VA_ARGS__)

// ---- Lists (backup_package.cc). ----
// Links every package of the worker into read_list in order, all free.
void link_all_free(WorkerShared& w);
// Appends to read_list and sets the reader wake-up event.
void sent_to_read_list(WorkerShared& w, BACKUP_PACKAGE* walk);
// Appends to compress_list and sets the compress wake-up event.
void sent_to_compress_list(WorkerShared& w, BACKUP_PACKAGE* walk);
// Inserts into write_list by ascending unit and sets the writer wake-up event.
void sent_to_write_list(WorkerShared& w, BACKUP_PACKAGE* walk);
// Detaches the whole list (a chain linked through `next`), or null when it is empty.
BACKUP_PACKAGE* take_all(PACKAGE_LIST& list);
// Detaches the head, or null; `more` (may be null) tells whether packages remain behind it.
BACKUP_PACKAGE* take_head(PACKAGE_LIST& list, bool* more = nullptr);
// Detaches the longest run of consecutive units from the head when the head is `unit`; else null.
BACKUP_PACKAGE* take_run_from(PACKAGE_LIST& list, int64_t unit);
// Moves a package from state `from` to `to`; false (nothing changed) when it was not in `from`.
bool change_state(WorkerShared& w, BACKUP_PACKAGE* walk, uint32_t from, uint32_t to);
bool state_is(WorkerShared& w, const BACKUP_PACKAGE* walk, uint32_t state);

// ---- Steps. ----
// Fills the package's 131072 bytes from the plan (worker_fill.cc).
void read_handle_func(WorkerShared& w, BACKUP_PACKAGE* walk);
// Reports the sectors visited since the last report (worker_fill.cc).
void flush_progress(WorkerShared& w);
// Compresses and frames the package in place; false (error counted) drops it
// (worker_compress.cc).
bool compress_handle_func(WorkerShared& w, CompressContext& ctx, BACKUP_PACKAGE* walk);
// Checks the order (and in debug mode the unit) and hands the framed unit to the image writer;
// false after a counted error (worker_write.cc).
bool write_handle_func(WorkerShared& w, BACKUP_PACKAGE* walk);
// Writes the debug compress file of a unit that failed verification (worker_debug_file.cc).
// False when the file could not be created or written (logged).
bool write_compress_debug_info(int64_t unit, const uint8_t* original, size_t original_bytes,
                               const uint8_t* compressed, size_t compressed_bytes);
// The debug compress file is written at most once per process; tests start afresh with this.
void reset_compress_debug_info_once();

// ---- Threads (worker_threads.cc). ----
void read_thread(WorkerShared& w);
void compress_thread(WorkerShared& w, CompressContext& ctx);
void write_thread(WorkerShared& w);
// Fills up to `depth` packages on the calling thread and puts them on compress_list (the
// compress threads already run; the read thread starts after it).
void prefill(WorkerShared& w);
// Fills, compresses and writes one package after another on the calling thread.
void single_thread_loop(WorkerShared& w, BACKUP_PACKAGE* walk);

// ---- Test seam. ----
// Hooks a test installs to steer the compress threads: delay a unit, or damage its framed bytes
// to exercise the verification. Called without any lock held.
struct WorkerTestHooks {
  void* context = nullptr;
  void (*before_compress)(void* context, int64_t unit) = nullptr;
  void (*after_compress)(void* context, int64_t unit, uint8_t* framed, size_t framed_bytes) = nullptr;
};
// Installs `hooks` (not owned; null removes them). Not for use while a run is going.
void set_worker_test_hooks(const WorkerTestHooks* hooks);
const WorkerTestHooks* worker_test_hooks();

}  // namespace tav::engine
