// Internal state of the read-ahead (engine/read_ahead.h): the module-wide record shared by
// the entry points, the reader thread (thread mode) and the cache (cache mode).
//
// Ownership while a read-ahead is active:
// - the run vector belongs to the reader thread in thread mode and to the consumer (the caller
//   of imagefile_read_sectors) in cache mode;
// - one_buf, the cache and cached_vec belong to the consumer;
// - ready_list is touched only under ready_mutex, free_list only under free_mutex;
// - end_of_data and stop_requests are atomics read by both threads.
// Lock order: ready_mutex and free_mutex are never held together; no lock is held while an
// event is waited for or while sectors are read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/extent_vector.h"
#include "core/sector.h"
#include "core/progress_channel.h"
#include "disk/disk.h"
#include "engine/engine_channel.h"
#include "engine/read_ahead.h"

// Reports a failure of the read-ahead through the engine's report and counts it once on `channel`
// (the engine's report already counts it on its own record; `channel` may be that record or null).
#define TAV_READ_AHEAD_ERROR(channel, ...)                                                        \
  do {                                                                                        \
    THREAD_GUI_DATA* const counted_channel_ = (channel);                                              \
    TAV_ENGINE_REPORT(::tav::engine::bak_report(), true, ::tav::kIconError, __VA_ARGS__);     \
    if (counted_channel_ != nullptr && counted_channel_ != ::tav::engine::bak_report().record) {      \
      ++counted_channel_->error_count;                                                            \
    }                                                                                         \
  } while (0)

// Reports a failed start without counting it: the caller of imagefile_read_init counts it.
#define TAV_READ_AHEAD_INIT_ERROR(...) \
  TAV_ENGINE_REPORT(::tav::engine::bak_report(), false, ::tav::kIconError, __VA_ARGS__)

// One piece of the run list in thread mode: `count` (1-256) sectors from `start`, in `data`
// (a 128 KiB area of node_data).
struct READ_NODE {
  uint32_t start;
  uint32_t count;
  uint8_t* data;
  READ_NODE* next;
  READ_NODE* prev;
};

namespace tav::engine::read_ahead {

constexpr size_t kNodeBytes = size_t{COMPRESS_UNIT_SECTORS} * kSectorSize;  // 131072
// one_buf holds the last piece taken plus the tail of the one before it.
constexpr uint32_t kOneBufSectors = COMPRESS_UNIT_SECTORS * 2;
// Largest buffer count: the cache's capacity in sectors must fit 32 bits.
constexpr int32_t kMaxBufferCount = int32_t(UINT32_MAX / COMPRESS_UNIT_SECTORS);

// An event that stays set until one wait consumes it (one waiter at a time).
class AutoResetEvent {
 public:
  void set();
  void wait();
  void reset();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// A doubly linked list of nodes; the nodes live in ReadData::nodes.
struct NodeList {
  READ_NODE* head = nullptr;
  READ_NODE* tail = nullptr;

  bool empty() const { return head == nullptr; }
  void push_back(READ_NODE* node);
  READ_NODE* pop_front();  // null when empty
  // Moves the whole list out, leaving this one empty.
  NodeList take_all();
};

// The two mutexes and the two events; created by sync_object_init, closed by uninit.
struct SyncObjects {
  std::mutex ready_mutex;
  AutoResetEvent data_ready;  // set when a node is queued or the reader ends
  std::mutex free_mutex;
  AutoResetEvent free_ready;  // set when a node comes back or the consumer gives up
};

// The module-wide record (s_read_data).
struct ReadData {
  BACKUP_PARTITION_INFO* img_part = nullptr;
  int32_t buffer_count = 0;
  int32_t cache_mode = 0;
  IMAGE_RUN_VECTOR* poverlap_vec = nullptr;  // consumed as it is read; owned
  uint32_t run_index = 0;

  // Cache mode.
  std::unique_ptr<uint8_t[]> cache_buf;  // buffer_count x 128 KiB
  uint32_t cache_sectors = 0;
  IMAGE_RUN_VECTOR* cached_vec = nullptr;  // runs in cache_buf; `snapshot` = cache offset, sectors
  uint32_t cache_hint = 0;

  // Thread mode.
  std::thread reader;
  int64_t one_start = 0;
  uint32_t one_size = 0;
  std::unique_ptr<uint8_t[]> one_buf;  // kOneBufSectors sectors
  std::unique_ptr<READ_NODE[]> nodes;
  std::unique_ptr<uint8_t[]> node_data;  // buffer_count x 128 KiB
  NodeList ready_list;
  NodeList free_list;
  std::unique_ptr<SyncObjects> sync;

  std::atomic<int32_t> stop_requests{0};
  std::atomic<int32_t> end_of_data{0};
};

extern ReadData s_read_data;

// Nonzero error_count or cancel on the channel (never for a null record).
inline bool channel_stopped(const THREAD_GUI_DATA* channel) {
  return channel != nullptr && (channel->error_count.load() != 0 || channel->cancel.load() != 0);
}
inline bool channel_cancelled(const THREAD_GUI_DATA* channel) {
  return channel != nullptr && channel->cancel.load() != 0;
}

// Thread mode (read_ahead_thread.cc).
void reader_thread(THREAD_GUI_DATA* channel);
int64_t thread_read(THREAD_GUI_DATA* channel, int64_t begin, uint32_t count, uint8_t* out);

// Cache mode (read_ahead_cache.cc).
int64_t cache_read(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* img_part, int64_t begin,
                   uint32_t count, uint8_t* out);

}  // namespace tav::engine::read_ahead
