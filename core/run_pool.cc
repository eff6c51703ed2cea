// The run pool: blocks of run records on three circular doubly linked lists with sentinel heads
// (blocks, free records, used records), all guarded by one mutex.
#include "core/run_pool.h"

#include <mutex>
#include <type_traits>

#include "core/memory.h"

namespace {

// One pool record: the four run fields followed by the list links. On 64-bit hosts the links are
// pointers, so a record is 32 bytes rather than six 32-bit words; a block still holds 4096
// records. A run handed out points at `run`, the first member, so the record is found again by
// converting that pointer back.
struct PoolRecord {
  IMAGE_RUN run{};
  PoolRecord* next = nullptr;
  PoolRecord* prev = nullptr;
};
static_assert(std::is_standard_layout_v<PoolRecord>);
static_assert(offsetof(PoolRecord, run) == 0);

// A node of the block list: the address of one block of kRunsPerPoolBlock records.
struct BlockNode {
  PoolRecord* block = nullptr;
  BlockNode* next = nullptr;
  BlockNode* prev = nullptr;
};

// A record or node whose links point at itself is on no list. Sentinel heads start with null
// links and are made self-linked on first use, so the pool needs no start-up code.
template <typename Node>
void make_empty(Node& head) {
  head.next = &head;
  head.prev = &head;
}

template <typename Node>
void unlink(Node* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->next = node;
  node->prev = node;
}

template <typename Node>
void push_front(Node& head, Node* node) {
  node->next = head.next;
  node->prev = &head;
  head.next->prev = node;
  head.next = node;
}

struct RunPool {
  std::mutex mu;
  // Everything below is guarded by mu.
  BlockNode blocks{};
  PoolRecord free_head{};
  PoolRecord used_head{};
  uint32_t block_count = 0;
  uint32_t free_count = 0;
  uint32_t used_count = 0;

  void ensure_lists() {
    if (free_head.next == nullptr) {
      make_empty(blocks);
      make_empty(free_head);
      make_empty(used_head);
    }
  }

  bool add_block() {
    void* memory = libtavpub_xmalloc(sizeof(PoolRecord) * tav::kRunsPerPoolBlock);
    if (memory == nullptr) return false;
    auto* node = static_cast<BlockNode*>(libtavpub_xmalloc(sizeof(BlockNode)));
    if (node == nullptr) {
      libtavpub_xfree(memory);
      return false;
    }
    // The zero-filled memory holds implicitly created records (PoolRecord is trivially
    // copyable and its all-zero value is a valid record).
    node->block = static_cast<PoolRecord*>(memory);
    push_front(blocks, node);
    ++block_count;
    // Pushed last to first, so the block's records are handed out in address order.
    for (uint32_t i = tav::kRunsPerPoolBlock; i > 0; --i) push_front(free_head, &node->block[i - 1]);
    free_count += tav::kRunsPerPoolBlock;
    return true;
  }

  void release_all() {
    for (PoolRecord* head : {&free_head, &used_head}) {
      PoolRecord* rec = head->next;
      while (rec != head) {
        PoolRecord* next = rec->next;
        make_empty(*rec);
        rec = next;
      }
      make_empty(*head);
    }
    free_count = 0;
    used_count = 0;
  }

  void free_blocks() {
    BlockNode* node = blocks.next;
    while (node != &blocks) {
      BlockNode* next = node->next;
      libtavpub_xfree(node->block);
      libtavpub_xfree(node);
      node = next;
    }
    make_empty(blocks);
    // Every record lived in a freed block.
    make_empty(free_head);
    make_empty(used_head);
    block_count = 0;
    free_count = 0;
    used_count = 0;
  }
};

constinit RunPool g_pool;

}  // namespace

int libtavpub_run_init() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  g_pool.add_block();
  return 1;
}

int libtavpub_alloc_some_new_runs() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  return g_pool.add_block() ? 1 : 0;
}

IMAGE_RUN* libtavpub_get_image_run() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  if (g_pool.free_head.next == &g_pool.free_head && !g_pool.add_block()) return nullptr;
  PoolRecord* rec = g_pool.free_head.next;
  unlink(rec);
  push_front(g_pool.used_head, rec);
  --g_pool.free_count;
  ++g_pool.used_count;
  return &rec->run;
}

void libtavpub_release_image_run(IMAGE_RUN* run) {
  if (run == nullptr) return;
  auto* rec = reinterpret_cast<PoolRecord*>(run);
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  // A record left on no list by release-all is self-linked; unlinking it changes nothing.
  if (rec->next != rec) --g_pool.used_count;
  unlink(rec);
  push_front(g_pool.free_head, rec);
  ++g_pool.free_count;
}

void libtavpub_release_all_image_runs() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  g_pool.release_all();
}

void libtavpub_free_mem() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  g_pool.free_blocks();
}

int libtavpub_run_uninit() {
  std::lock_guard lock(g_pool.mu);
  g_pool.ensure_lists();
  g_pool.release_all();
  g_pool.free_blocks();
  return 1;
}

namespace tav {

RunPoolStats run_pool_stats() {
  std::lock_guard lock(g_pool.mu);
  return RunPoolStats{g_pool.block_count, g_pool.free_count, g_pool.used_count};
}

}  // namespace tav
