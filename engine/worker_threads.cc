// The backup worker's threads: the pre-fill, the read thread, the compress threads and the write
// loop of the multi-thread pipeline, and the single-thread loop.
//
// How nobody waits forever: every thread leaves when an error is counted or the run is cancelled
// (checked before each wait and after each package), and on leaving sets the event its
// consumers wait on: the reader wakes the compress threads, a compress thread wakes the writer
// and its sibling compress threads, the writer wakes the reader. A thread re-checks the
// finished counts it read before looking at its list, so the last package is never left behind.
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"

namespace tav::engine {

namespace {

// Puts back packages the reader took but will not fill.
void return_unfilled(WorkerShared& w, BACKUP_PACKAGE* chain) {
  while (chain != nullptr) {
    BACKUP_PACKAGE* walk = chain;
    chain = chain->next;
    sent_to_read_list(w, walk);
  }
}

bool reader_should_stop(const WorkerShared& w) { return w.failed() || w.end_of_data.load(); }

// Runs `leave` when the thread's body ends, by return or by exception.
template <typename Leave>
struct OnLeave {
  Leave leave;
  ~OnLeave() { leave(); }
};
template <typename Leave>
OnLeave(Leave) -> OnLeave<Leave>;

}  // namespace

void prefill(WorkerShared& w) {
  for (uint32_t i = 0; i < w.sizing.depth && !reader_should_stop(w); ++i) {
    BACKUP_PACKAGE* walk = take_head(w.read_list);
    if (walk == nullptr) break;
    if (!change_state(w, walk, kPackageFree, kPackageFilled)) {
      TAV_WORKER_WARN("WARNING: package(%ld) is duplicated, discard it!", long(walk->unit));
      continue;
    }
    read_handle_func(w, walk);
    sent_to_compress_list(w, walk);
  }
}

void read_thread(WorkerShared& w) {
  OnLeave on_leave{[&w] {
    w.readers_finished = 1;
    w.compress_wakeup.set();
  }};
  while (!reader_should_stop(w)) {
    const bool writer_done = w.writers_finished.load() != 0;
    BACKUP_PACKAGE* chain = take_all(w.read_list);
    if (chain == nullptr) {
      if (writer_done) break;
      w.reader_wakeup.wait();
      continue;
    }
    while (chain != nullptr && !reader_should_stop(w)) {
      BACKUP_PACKAGE* walk = chain;
      chain = chain->next;
      if (!change_state(w, walk, kPackageFree, kPackageFilled)) {
        TAV_WORKER_WARN("WARNING: package(%ld) is duplicated, discard it!", long(walk->unit));
        continue;
      }
      read_handle_func(w, walk);
      sent_to_compress_list(w, walk);
    }
    return_unfilled(w, chain);
  }
}

void compress_thread(WorkerShared& w, CompressContext& ctx) {
  OnLeave on_leave{[&w] {
    w.compressors_finished.fetch_add(1);
    // Siblings that reset the event after the reader's last set would otherwise sleep on.
    w.compress_wakeup.set();
    w.writer_wakeup.set();
  }};
  while (!w.failed()) {
    // Reset before looking at the list: a package that arrives after the look sets the event
    // again, so the wait below cannot miss it.
    w.compress_wakeup.reset();
    const bool reader_done = w.readers_finished.load() != 0;
    bool more = false;
    BACKUP_PACKAGE* walk = take_head(w.compress_list, &more);
    if (walk == nullptr) {
      if (reader_done) break;
      w.compress_wakeup.wait();
      continue;
    }
    // The reset above may have taken the signal meant for a sibling that found the list empty
    // a moment before and is about to wait: while packages remain, hand it on.
    if (more) w.compress_wakeup.set();
    if (!state_is(w, walk, kPackageFilled)) {
      // A unit that cannot be written stops the run; skipping it alone would leave the writer
      // waiting for it.
      TAV_WORKER_FAIL(w, "WARNING: package(%ld) is duplicated, discard it!", long(walk->unit));
      continue;
    }
    if (!compress_handle_func(w, ctx, walk)) continue;
    if (!change_state(w, walk, kPackageFilled, kPackageCompressed)) {
      TAV_WORKER_FAIL(w, "WARNING: package(%ld) is duplicated, discard it!", long(walk->unit));
      continue;
    }
    sent_to_write_list(w, walk);
  }
}

void write_thread(WorkerShared& w) {
  OnLeave on_leave{[&w] {
    w.writers_finished = 1;
    w.reader_wakeup.set();
  }};
  const uint32_t compressors = uint32_t(w.contexts.size());
  while (!w.failed()) {
    const bool compressors_done = w.compressors_finished.load() == compressors;
    BACKUP_PACKAGE* run = take_run_from(w.write_list, w.next_write_unit);
    if (run == nullptr) {
      if (compressors_done) break;
      w.writer_wakeup.wait();
      continue;
    }
    bool ok = true;
    while (run != nullptr && ok) {
      BACKUP_PACKAGE* walk = run;
      run = run->next;
      if (!change_state(w, walk, kPackageCompressed, kPackageFree)) {
        TAV_WORKER_FAIL(w, "WARNING: package(%ld) is duplicated, discard it!", long(walk->unit));
        ok = false;
        break;
      }
      ok = write_handle_func(w, walk);
      if (w.readers_finished.load() == 0) sent_to_read_list(w, walk);
    }
  }
}

void single_thread_loop(WorkerShared& w, BACKUP_PACKAGE* walk) {
  CompressContext& ctx = *w.contexts.front();
  while (!reader_should_stop(w)) {
    walk->state = kPackageFilled;
    read_handle_func(w, walk);
    if (w.failed()) break;
    if (!compress_handle_func(w, ctx, walk)) break;
    walk->state = kPackageCompressed;
    if (!write_handle_func(w, walk)) break;
    walk->state = kPackageFree;
  }
}

}  // namespace tav::engine
