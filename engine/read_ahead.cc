// The read-ahead's entry points: start (buffers, node pool, reader thread), dispatch of the
// consumer's requests to thread mode or cache mode, and the stop that frees everything.
#include "engine/read_ahead.h"

#include <new>
#include <system_error>

#include "engine/read_ahead_internal.h"

namespace tav::engine::read_ahead {

ReadData s_read_data;

void AutoResetEvent::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void AutoResetEvent::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  signalled_ = false;
}

void AutoResetEvent::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

void NodeList::push_back(READ_NODE* node) {
  node->next = nullptr;
  node->prev = tail;
  if (tail != nullptr) {
    tail->next = node;
  } else {
    head = node;
  }
  tail = node;
}

READ_NODE* NodeList::pop_front() {
  READ_NODE* node = head;
  if (node == nullptr) return nullptr;
  head = node->next;
  if (head != nullptr) {
    head->prev = nullptr;
  } else {
    tail = nullptr;
  }
  node->next = nullptr;
  node->prev = nullptr;
  return node;
}

NodeList NodeList::take_all() {
  NodeList all = *this;
  head = nullptr;
  tail = nullptr;
  return all;
}

namespace {

// Stops the reader (when there is one) and frees every resource; leaves the record idle.
// Safe on an idle record and after a partial start.
void release_all() {
  ReadData& d = s_read_data;
  if (d.reader.joinable()) {
    d.stop_requests.store(1);
    // Both waits of the reader are paired with these sets, so the join cannot hang on them.
    d.sync->data_ready.set();
    d.sync->free_ready.set();
    d.reader.join();
  }
  d.sync.reset();
  libtavpub_release_image_run_vector(d.poverlap_vec);
  d.poverlap_vec = nullptr;
  libtavpub_release_image_run_vector(d.cached_vec);
  d.cached_vec = nullptr;
  d.cache_buf.reset();
  d.node_data.reset();
  d.nodes.reset();
  d.one_buf.reset();
  d.ready_list = NodeList{};
  d.free_list = NodeList{};
  d.img_part = nullptr;
  d.buffer_count = 0;
  d.cache_mode = 0;
  d.run_index = 0;
  d.cache_sectors = 0;
  d.cache_hint = 0;
  d.one_start = 0;
  d.one_size = 0;
  d.stop_requests.store(0);
  d.end_of_data.store(0);
}

// Creates the mutexes and events (not signalled); false when memory runs out.
bool sync_object_init() {
  s_read_data.sync.reset(new (std::nothrow) SyncObjects);
  return s_read_data.sync != nullptr;
}

// The cache (cache mode) or the node pool and one_buf (thread mode).
bool allocate_buffer() {
  ReadData& d = s_read_data;
  const size_t area_bytes = size_t(d.buffer_count) * kNodeBytes;
  if (d.cache_mode != 0) {
    d.cache_buf.reset(new (std::nothrow) uint8_t[area_bytes]);
    if (!d.cache_buf) return false;
    d.cache_sectors = uint32_t(d.buffer_count) * COMPRESS_UNIT_SECTORS;
    return true;
  }
  d.nodes.reset(new (std::nothrow) READ_NODE[size_t(d.buffer_count)]);
  d.node_data.reset(new (std::nothrow) uint8_t[area_bytes]);
  d.one_buf.reset(new (std::nothrow) uint8_t[size_t(kOneBufSectors) * kSectorSize]);
  return d.nodes && d.node_data && d.one_buf;
}

bool valid_partition(const BACKUP_PARTITION_INFO* part) {
  return part != nullptr && part->ops != nullptr && part->ops->read_sectors != nullptr;
}

int init_read_ahead(int32_t buffer_count, IMAGE_RUN_VECTOR* runs, THREAD_GUI_DATA* channel,
                    BACKUP_PARTITION_INFO* img_part, int32_t cache_mode) {
  ReadData& d = s_read_data;
  // A second start while one is active would lose the running reader and its buffers.
  if (d.poverlap_vec != nullptr || d.sync != nullptr) {
    libtavpub_release_image_run_vector(runs);
    return -1;
  }
  if (runs == nullptr || buffer_count <= 0 || !valid_partition(img_part)) {
    libtavpub_release_image_run_vector(runs);
    return -1;
  }
  // From here on the record owns the vector and release_all frees it on every failure.
  d.poverlap_vec = runs;
  if (!sync_object_init()) {
    release_all();
    TAV_READ_AHEAD_INIT_ERROR("imagefile read init: initializing sync objects failed!");
    return -1;
  }
  d.img_part = img_part;
  d.buffer_count = buffer_count;
  d.cache_mode = cache_mode;
  d.run_index = 0;
  if (buffer_count > kMaxBufferCount || !allocate_buffer()) {
    release_all();
    TAV_READ_AHEAD_INIT_ERROR("imagefile read init: allocatting memory failed!");
    return -1;
  }
  if (cache_mode != 0) return 0;  // the consumer does all the work; no reader is needed

  for (int32_t i = 0; i < buffer_count; ++i) {
    READ_NODE& node = d.nodes[size_t(i)];
    node = READ_NODE{0, 0, d.node_data.get() + size_t(i) * kNodeBytes, nullptr, nullptr};
    d.free_list.push_back(&node);
  }
  d.sync->data_ready.reset();
  d.sync->free_ready.reset();
  // Everything the reader reads is in place before it starts.
  try {
    d.reader = std::thread(reader_thread, channel);
  } catch (const std::system_error&) {
    release_all();
    return -1;
  }
  return 0;
}

}  // namespace
}  // namespace tav::engine::read_ahead

using namespace tav::engine::read_ahead;

int imagefile_read_init(int32_t buffer_count, IMAGE_RUN_VECTOR* runs, THREAD_GUI_DATA* channel,
                        BACKUP_PARTITION_INFO* img_part, int32_t cache_mode) {
  int result = -1;
  try {
    result = init_read_ahead(buffer_count, runs, channel, img_part, cache_mode);
  } catch (...) {
    release_all();
    result = -1;
  }
  if (result != 0) TAV_READ_AHEAD_INIT_ERROR("imagefile read init failed!");
  return result;
}

int64_t imagefile_read_sectors(void* out, uint32_t count, THREAD_GUI_DATA* channel,
                               BACKUP_PARTITION_INFO* img_part, int64_t begin) {
  ReadData& d = s_read_data;
  if (d.poverlap_vec == nullptr || d.sync == nullptr || (out == nullptr && count != 0)) {
    TAV_READ_AHEAD_ERROR(channel, "imagefile read sectors: shouldn't be here why?");
    return -1;
  }
  if (count == 0) return 0;
  auto* bytes = static_cast<uint8_t*>(out);
  if (d.cache_mode != 0) {
    return cache_read(channel, valid_partition(img_part) ? img_part : d.img_part, begin, count, bytes);
  }
  return thread_read(channel, begin, count, bytes);
}

void imagefile_read_uninit() { release_all(); }
