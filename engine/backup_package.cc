// The backup worker's package lists, package states and wake-up events.
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"

namespace tav::engine {

namespace {

std::atomic<const WorkerTestHooks*> g_hooks{nullptr};

void append(PACKAGE_LIST& list, BACKUP_PACKAGE* walk) {
  walk->next = nullptr;
  walk->prev = list.tail;
  if (list.tail != nullptr) {
    list.tail->next = walk;
  } else {
    list.head = walk;
  }
  list.tail = walk;
}

}  // namespace

void WorkerEvent::set() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
  }
  if (manual_reset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void WorkerEvent::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = false;
}

void WorkerEvent::wait() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return signalled_; });
  if (!manual_reset_) signalled_ = false;
}

void link_all_free(WorkerShared& w) {
  std::lock_guard<std::mutex> lock(w.read_list.mu);
  w.read_list.head = w.read_list.tail = nullptr;
  for (BACKUP_PACKAGE& p : w.packages) {
    p.state = kPackageFree;
    append(w.read_list, &p);
  }
}

namespace {

// Appends to `list`, reports damage of the list, wakes its consumer.
void append_and_wake(PACKAGE_LIST& list, BACKUP_PACKAGE* walk, WorkerEvent& wakeup, const char* damage_text) {
  bool damaged;
  {
    std::lock_guard<std::mutex> lock(list.mu);
    append(list, walk);
    damaged = list.head == nullptr || list.tail == nullptr;
  }
  if (damaged) TAV_WORKER_WARN("%s", damage_text);
  wakeup.set();
}

}  // namespace

void sent_to_read_list(WorkerShared& w, BACKUP_PACKAGE* walk) {
  append_and_wake(w.read_list, walk, w.reader_wakeup, "!pread_list->head || !pread_list->tail");
}

void sent_to_compress_list(WorkerShared& w, BACKUP_PACKAGE* walk) {
  append_and_wake(w.compress_list, walk, w.compress_wakeup, "!pcompress_list->head || !pcompress_list->tail");
}

void sent_to_write_list(WorkerShared& w, BACKUP_PACKAGE* walk) {
  bool damaged;
  {
    std::lock_guard<std::mutex> lock(w.write_list.mu);
    PACKAGE_LIST& list = w.write_list;
    // An equal unit (only a damaged duplicate can be one) goes behind the tail too, where the
    // write loop's order check reports it.
    if (list.tail == nullptr || walk->unit >= list.tail->unit) {
      append(list, walk);
    } else {
      // Units arrive nearly in order, so the place is found from the tail: before the first
      // unit larger than this one, i.e. after the last smaller one.
      BACKUP_PACKAGE* after = list.tail;
      while (after != nullptr && after->unit > walk->unit) after = after->prev;
      walk->prev = after;
      walk->next = after != nullptr ? after->next : list.head;
      walk->next->prev = walk;
      if (after != nullptr) {
        after->next = walk;
      } else {
        list.head = walk;
      }
    }
    damaged = list.head == nullptr || list.tail == nullptr;
  }
  if (damaged) TAV_WORKER_WARN("!pwrite_list->head || !pwrite_list->tail");
  w.writer_wakeup.set();
}

BACKUP_PACKAGE* take_all(PACKAGE_LIST& list) {
  std::lock_guard<std::mutex> lock(list.mu);
  BACKUP_PACKAGE* chain = list.head;
  list.head = list.tail = nullptr;
  return chain;
}

BACKUP_PACKAGE* take_head(PACKAGE_LIST& list, bool* more) {
  std::lock_guard<std::mutex> lock(list.mu);
  BACKUP_PACKAGE* walk = list.head;
  if (more != nullptr) *more = walk != nullptr && walk->next != nullptr;
  if (walk == nullptr) return nullptr;
  list.head = walk->next;
  if (list.head != nullptr) {
    list.head->prev = nullptr;
  } else {
    list.tail = nullptr;
  }
  walk->next = walk->prev = nullptr;
  return walk;
}

BACKUP_PACKAGE* take_run_from(PACKAGE_LIST& list, int64_t unit) {
  std::lock_guard<std::mutex> lock(list.mu);
  BACKUP_PACKAGE* first = list.head;
  if (first == nullptr || first->unit != unit) return nullptr;
  BACKUP_PACKAGE* last = first;
  while (last->next != nullptr && last->next->unit == last->unit + 1) last = last->next;
  list.head = last->next;
  if (list.head != nullptr) {
    list.head->prev = nullptr;
  } else {
    list.tail = nullptr;
  }
  last->next = nullptr;
  return first;
}

bool change_state(WorkerShared& w, BACKUP_PACKAGE* walk, uint32_t from, uint32_t to) {
  std::lock_guard<std::mutex> lock(w.state_mu);
  if (walk->state != from) return false;
  walk->state = to;
  return true;
}

bool state_is(WorkerShared& w, const BACKUP_PACKAGE* walk, uint32_t state) {
  std::lock_guard<std::mutex> lock(w.state_mu);
  return walk->state == state;
}

void set_worker_test_hooks(const WorkerTestHooks* hooks) { g_hooks.store(hooks); }
const WorkerTestHooks* worker_test_hooks() { return g_hooks.load(std::memory_order_acquire); }

}  // namespace tav::engine
