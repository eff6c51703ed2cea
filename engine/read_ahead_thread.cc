// Thread mode of the read-ahead: the reader thread fills pieces of at most 256 sectors of the
// run list into pool nodes and queues them; the consumer takes them in order through one_buf,
// which keeps the last piece so that a request may repeat it or start inside it.
#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "engine/read_ahead_internal.h"

namespace tav::engine::read_ahead {
namespace {

// How filling one node ended.
enum class FillResult { kQueued, kEndOfData, kStopped, kFailed };

void queue_node(READ_NODE* node) {
  {
    std::lock_guard<std::mutex> lock(s_read_data.sync->ready_mutex);
    s_read_data.ready_list.push_back(node);
  }
  s_read_data.sync->data_ready.set();
}

void return_node(READ_NODE* node) {
  {
    std::lock_guard<std::mutex> lock(s_read_data.sync->free_mutex);
    s_read_data.free_list.push_back(node);
  }
  s_read_data.sync->free_ready.set();
}

// Fills `node` with the next piece of the run list and queues it. A node is queued only with
// the data it claims to hold: on cancel or a failure it stays with the reader, which then ends,
// so the consumer never takes zeros for image data.
FillResult thread_read_func(THREAD_GUI_DATA* channel, READ_NODE* node) {
  ReadData& d = s_read_data;
  IMAGE_RUN_VECTOR* vec = d.poverlap_vec;
  if (vec == nullptr) {
    TAV_READ_AHEAD_ERROR(channel, "thread read func: !poverlap_vec");
    return FillResult::kFailed;
  }
  if (d.img_part == nullptr) {
    TAV_READ_AHEAD_ERROR(channel, "thread read func: !pimg_part");
    return FillResult::kFailed;
  }
  IMAGE_RUN* run = nullptr;
  for (; d.run_index < vec->run_count; ++d.run_index) {
    run = vec->runs[d.run_index];
    if (run == nullptr) {
      TAV_READ_AHEAD_ERROR(channel, "thread read func: !pimg_run index=%ld, count=%ld",
                           long(d.run_index), long(vec->run_count));
      return FillResult::kFailed;
    }
    if (run->value.Number != 0) break;
  }
  if (d.run_index >= vec->run_count) {
    d.end_of_data.store(1);
    return FillResult::kEndOfData;
  }
  if (channel_cancelled(channel)) return FillResult::kStopped;

  const uint32_t n = std::min(run->value.Number, COMPRESS_UNIT_SECTORS);
  const int64_t got = d.img_part->ops->read_sectors(d.img_part, uint64_t{run->value.Begin}, n, node->data);
  if (got != int64_t{n}) {
    TAV_READ_AHEAD_ERROR(channel, "thread read func: read image disk failed");
    return FillResult::kFailed;
  }
  node->start = run->value.Begin;
  node->count = n;
  run->value.Begin += n;  // wraps to 0 only for a run that ends at 2^32, which is then empty
  run->value.Number -= n;
  // A cancel that came during the read stops production here: a consumer waiting for this
  // piece then sees the cancel rather than one more piece.
  if (channel_cancelled(channel)) return FillResult::kStopped;
  queue_node(node);
  return FillResult::kQueued;
}

// Ends the reader: the consumer's wait for data is always released by this set.
void end_reader() {
  s_read_data.end_of_data.store(1);
  s_read_data.sync->data_ready.set();
}

void reader_loop(THREAD_GUI_DATA* channel) {
  ReadData& d = s_read_data;
  while (!channel_stopped(channel) && d.stop_requests.load() == 0) {
    NodeList batch;
    {
      std::unique_lock<std::mutex> lock(d.sync->free_mutex);
      while (d.free_list.empty()) {
        if (channel_stopped(channel) || d.stop_requests.load() != 0) {
          lock.unlock();
          end_reader();
          return;
        }
        lock.unlock();
        d.sync->free_ready.wait();  // paired: the consumer returns a node or gives up; uninit
        lock.lock();
      }
      batch = d.free_list.take_all();
    }
    // The detached nodes are the reader's alone until they are queued.
    while (READ_NODE* node = batch.pop_front()) {
      if (channel_stopped(channel) || d.end_of_data.load() != 0 || d.stop_requests.load() != 0) break;
      const FillResult result = thread_read_func(channel, node);
      if (result == FillResult::kEndOfData || result == FillResult::kFailed) {
        end_reader();
        return;
      }
      if (result == FillResult::kStopped) break;
    }
    if (d.end_of_data.load() != 0) {
      end_reader();
      return;
    }
  }
  end_reader();
}

// The next queued node, or null when the consumer must give up: nothing is queued and the
// reader has ended (all runs delivered, a failure, or a stop) or the channel reports an error or
// a cancel (which also ends the reader). Pieces already queued are good data and are delivered.
READ_NODE* take_ready_node(THREAD_GUI_DATA* channel) {
  ReadData& d = s_read_data;
  std::unique_lock<std::mutex> lock(d.sync->ready_mutex);
  for (;;) {
    if (READ_NODE* node = d.ready_list.pop_front()) return node;
    if (channel_stopped(channel)) d.end_of_data.store(1);
    if (d.end_of_data.load() != 0 || d.stop_requests.load() != 0) {
      lock.unlock();
      d.sync->free_ready.set();
      return nullptr;
    }
    lock.unlock();
    d.sync->data_ready.wait();  // paired: the reader sets it after each node and when it ends
    lock.lock();
  }
}

uint8_t* one_buf_at(uint32_t sector) { return s_read_data.one_buf.get() + size_t(sector) * kSectorSize; }

}  // namespace

void reader_thread(THREAD_GUI_DATA* channel) {
  pthread_setname_np(pthread_self(), "tav-readahead");
  try {
    reader_loop(channel);
  } catch (...) {
    end_reader();
  }
}

int64_t thread_read(THREAD_GUI_DATA* channel, int64_t begin, uint32_t count, uint8_t* out) {
  ReadData& d = s_read_data;
  if (count > COMPRESS_UNIT_SECTORS) {
    TAV_READ_AHEAD_ERROR(channel, "thread read: lCount=%ld failed!", long(count));
    return -1;
  }
  uint32_t delivered = 0;
  if (d.one_size > 0) {
    if (begin < d.one_start) {
      TAV_READ_AHEAD_ERROR(channel, "thread read: llBegin < s_read_data.one_start!");
      return -1;
    }
    if (begin >= d.one_start + d.one_size) {
      d.one_start = 0;
      d.one_size = 0;
    } else {
      // Keep only the sectors from `begin` on: no later request goes back before it.
      const uint32_t skip = uint32_t(begin - d.one_start);
      if (skip != 0) {
        std::memmove(one_buf_at(0), one_buf_at(skip), size_t(d.one_size - skip) * kSectorSize);
        d.one_size -= skip;
        d.one_start = begin;
      }
      delivered = std::min(count, d.one_size);
      std::memcpy(out, one_buf_at(0), size_t(delivered) * kSectorSize);
    }
  }
  // Here one_buf holds exactly [begin, begin + delivered) (or nothing), with delivered < count
  // <= 256, so one more node of at most 256 sectors always fits behind it.
  while (delivered < count) {
    READ_NODE* node = take_ready_node(channel);
    if (node == nullptr) return delivered;
    const uint64_t node_start = node->start;  // 32-bit start, extended with zeros
    if (d.one_size > 0) {
      if (uint64_t(d.one_start) + d.one_size != node_start) {
        return_node(node);
        TAV_READ_AHEAD_ERROR(channel, "thread read: (s_read_data.one_start+s_read_data.one_size) != curr_list->start!");
        return -1;
      }
      if (d.one_size + node->count > kOneBufSectors) {
        return_node(node);
        TAV_READ_AHEAD_ERROR(channel, "thread read: s_read_data.one_size > COMPRESS_UNIT_SECTORS*2!");
        return -1;
      }
    } else if (node_start != uint64_t(begin)) {
      // Nothing held: the request must start exactly at the piece.
      return_node(node);
      TAV_READ_AHEAD_ERROR(channel, "thread read: lCount > COMPRESS_UNIT_SECTORS || llBegin != curr_list->start!");
      return -1;
    } else {
      d.one_start = begin;
    }
    std::memcpy(one_buf_at(d.one_size), node->data, size_t(node->count) * kSectorSize);
    d.one_size += node->count;
    const uint32_t take = std::min(count - delivered, node->count);
    std::memcpy(out + size_t(delivered) * kSectorSize, node->data, size_t(take) * kSectorSize);
    delivered += take;
    return_node(node);
  }
  return delivered;
}

}  // namespace tav::engine::read_ahead
