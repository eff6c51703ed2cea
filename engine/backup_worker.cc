// The backup worker: sizing, the allocation of packages and per-thread state, and a partition's
// run through the multi-thread pipeline or the single-thread loop.
#include "engine/backup_worker.h"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/progress_channel.h"
#include "core/trace.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"

namespace tav::engine {

namespace {

// Free memory an automatic compress thread stands for: its codec and framing buffer (under
// 2 MiB) and the packages it keeps in flight, with room to spare for the rest of the system.
constexpr uint64_t kFreeMibPerCompressThread = 16;
// The read-ahead depth P grows to this many packages per compress thread (3P packages in all),
// so that the reader keeps every thread fed while the writer waits for a late unit.
constexpr uint32_t kDepthPerCompressThread = 4;

uint8_t* new_buffer(size_t bytes) { return new (std::nothrow) uint8_t[bytes]; }

// Names the calling thread, so that profiles and thread lists tell the worker's threads apart.
void name_thread(const char* name) { pthread_setname_np(pthread_self(), name); }

// Runs a thread's body; an exception (memory running out inside a report) counts an error
// instead of ending the process. The bodies set their exit events on every way out.
template <typename Body>
void guarded(WorkerShared& w, Body body) {
  try {
    body();
  } catch (...) {
    w.count_error();
  }
}

}  // namespace

WorkerSizing size_worker(uint32_t logical_processors, uint64_t free_mib, const AdjustmentSettings& settings) {
  WorkerSizing s;
  if (settings.compress_threads >= 1 && settings.compress_threads <= kMaxCompressThreads) {
    s.compress_threads = settings.compress_threads;
  } else {
    // The read thread mostly waits for the disk and the writer for its turn, so every logical
    // processor gets a compress thread.
    const uint64_t by_memory = std::max<uint64_t>(1, free_mib / kFreeMibPerCompressThread);
    s.compress_threads = uint32_t(std::min<uint64_t>({std::max<uint32_t>(logical_processors, 1), by_memory,
                                                      kMaxCompressThreads}));
  }
  s.depth = free_mib >= 512 ? 300 : free_mib >= 256 ? 200 : free_mib >= 128 ? 100 : free_mib >= 64 ? 60 : 30;
  s.depth = std::max(s.depth, kDepthPerCompressThread * s.compress_threads);
  s.debug = settings.backup_in_debug;
  s.single_thread = settings.backup_by_single_thread;
  return s;
}

size_t write_buffer_bytes_for(uint32_t depth) { return size_t{depth / 2} * kPackageBytes; }

// Who touches what: `shared` as described in backup_worker_internal.h; `single` and
// `single_buffer` belong to the thread that calls run() in single-thread mode.
struct BackupWorker::State {
  WorkerShared shared;
  BACKUP_PACKAGE single;
  std::unique_ptr<uint8_t[]> single_buffer;
  bool ready = false;
};

BackupWorker::BackupWorker() : state_(std::make_unique<State>()) {}
BackupWorker::~BackupWorker() = default;

Status BackupWorker::init(const WorkerSizing& sizing, THREAD_GUI_DATA* channel, img::CompressMode mode,
                          img::FormatVersion version) {
  release();
  WorkerShared& w = state_->shared;
  w.sizing = sizing;
  w.sizing.compress_threads = std::clamp<uint32_t>(sizing.compress_threads, 1, kMaxCompressThreads);
  w.sizing.depth = std::max<uint32_t>(sizing.depth, 1);
  w.channel = channel;
  w.mode = mode;
  w.version = version;
  w.error_count = channel != nullptr ? &channel->error_count : &w.local_errors;
  w.cancel = channel != nullptr ? &channel->cancel : &w.local_cancel;
  const bool debug = w.sizing.debug;
  auto fail = [this](const char* what) {
    release();
    return Status::out_of_memory(std::string("backup worker: cannot allocate ") + what);
  };

  try {
    auto set_buffer = [](BACKUP_PACKAGE& p, uint8_t* buffer) {
      p.buff = p.chk_buff_p = buffer;
      p.walk = &p;
    };
    if (w.sizing.single_thread) {
      state_->single_buffer.reset(new_buffer(kPackageBytes));
      if (!state_->single_buffer) return fail("the package");
      set_buffer(state_->single, state_->single_buffer.get());
    } else {
      const size_t count = size_t{3} * w.sizing.depth;
      w.packages.resize(count);
      if (debug) {
        // One by one, so that a write past a package's end lands outside every other package.
        for (BACKUP_PACKAGE& p : w.packages) {
          w.separate.emplace_back(new_buffer(kPackageBytes));
          if (!w.separate.back()) return fail("the packages");
          set_buffer(p, w.separate.back().get());
        }
      } else {
        w.block.reset(new_buffer(count * kPackageBytes));
        if (!w.block) return fail("the packages");
        for (size_t i = 0; i < count; ++i) set_buffer(w.packages[i], w.block.get() + i * kPackageBytes);
      }
    }
    w.compare_part.reset(new_buffer(img::kUnitBytes));
    w.compare_parent.reset(new_buffer(img::kUnitBytes));
    if (!w.compare_part || !w.compare_parent) return fail("the comparison buffers");
    const uint32_t contexts = w.sizing.single_thread ? 1 : w.sizing.compress_threads;
    for (uint32_t i = 0; i < contexts; ++i) {
      auto ctx = std::make_unique<CompressContext>();
      ctx->framed.reserve(kPackageBytes);
      if (debug) {
        ctx->work.reset(new_buffer(img::kUnitBytes));
        ctx->check.reset(new_buffer(img::kUnitBytes));
        if (!ctx->work || !ctx->check) return fail("the compress buffers");
      }
      w.contexts.push_back(std::move(ctx));
    }
    if (debug) {
      w.write_check.reset(new_buffer(img::kUnitBytes));
      if (!w.write_check) return fail("the check buffer");
    }
  } catch (const std::bad_alloc&) {
    return fail("the worker's state");
  }
  state_->ready = true;
  reset();
  return Status::ok();
}

void BackupWorker::reset() {
  WorkerShared& w = state_->shared;
  link_all_free(w);
  w.compress_list.head = w.compress_list.tail = nullptr;
  w.write_list.head = w.write_list.tail = nullptr;
  state_->single.state = kPackageFree;
  w.next_write_unit = 0;
  w.reader_unit = 0;
  w.plan_index = 0;
  w.progress_sectors = 0;
  w.cached_count = 0;
  w.end_of_data = false;
  w.readers_finished = 0;
  w.compressors_finished = 0;
  w.writers_finished = 0;
  w.reader_wakeup.reset();
  w.compress_wakeup.reset();
  w.writer_wakeup.reset();
  for (auto& ctx : w.contexts) ctx->stored_units = 0;
}

bool BackupWorker::run(const PartitionWork& work, ImageWriter* writer) {
  WorkerShared& w = state_->shared;
  if (!state_->ready) {
    TAV_WORKER_FAIL(w, "the worker is not initialised!");
    return false;
  }
  if (work.part == nullptr || work.part->ops == nullptr || work.part->ops->read_sectors == nullptr ||
      work.plan == nullptr || work.stored == nullptr || writer == nullptr) {
    TAV_WORKER_FAIL(w, "incomplete partition work!");
    return false;
  }
  reset();
  w.work = &work;
  w.writer = writer;

  if (w.sizing.single_thread) {
    guarded(w, [&] { single_thread_loop(w, &state_->single); });
  } else {
    std::thread reader;
    std::vector<std::thread> compressors;
    try {
      // The compress threads start first, so that they work on the pre-filled packages while
      // the rest are read. Reserved first: a vector that had to grow after a thread started
      // could throw with that thread still joinable.
      compressors.reserve(w.contexts.size());
      for (auto& ctx : w.contexts) {
        CompressContext* c = ctx.get();
        compressors.emplace_back([&w, c] {
          name_thread("tav-compress");
          guarded(w, [&w, c] { compress_thread(w, *c); });
        });
      }
      guarded(w, [&] { prefill(w); });
      if (!w.failed()) {
        reader = std::thread([&w] {
          name_thread("tav-read");
          guarded(w, [&w] { read_thread(w); });
        });
      }
    } catch (const std::exception&) {
      TAV_WORKER_FAIL(w, "creating the worker threads failed!");
    }
    // The write loop leaves at once after a failure; leaving, it wakes the reader, whose
    // leaving wakes the compress threads.
    guarded(w, [&w] { write_thread(w); });
    if (reader.joinable()) reader.join();
    w.readers_finished = 1;
    w.compress_wakeup.set();
    for (std::thread& t : compressors) t.join();
  }

  if (w.failed()) return false;
  if (!w.end_of_data || w.next_write_unit != w.reader_unit) {
    TAV_WORKER_FAIL(w, "the partition's data ended at unit %ld of %ld!", long(w.next_write_unit), long(w.reader_unit));
    return false;
  }
  flush_progress(w);
  uint64_t stored = 0;
  for (const auto& ctx : w.contexts) stored += ctx->stored_units;
  TAV_TRACE(kTraceInfo, 0, "backup worker: %lld units, %llu stored uncompressed, %u compress threads",
            static_cast<long long>(w.next_write_unit), static_cast<unsigned long long>(stored),
            w.sizing.single_thread ? 0u : uint32_t(w.contexts.size()));
  return true;
}

void BackupWorker::release() {
  WorkerShared& w = state_->shared;
  state_->ready = false;
  w.packages.clear();
  w.packages.shrink_to_fit();
  w.block.reset();
  w.separate.clear();
  w.contexts.clear();
  w.compare_part.reset();
  w.compare_parent.reset();
  w.write_check.reset();
  state_->single_buffer.reset();
  state_->single = BACKUP_PACKAGE{};
  w.read_list.head = w.read_list.tail = nullptr;
  w.compress_list.head = w.compress_list.tail = nullptr;
  w.write_list.head = w.write_list.tail = nullptr;
  w.work = nullptr;
  w.writer = nullptr;
}

const WorkerSizing& BackupWorker::sizing() const { return state_->shared.sizing; }

}  // namespace tav::engine
