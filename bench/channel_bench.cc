// Cost of the progress channel on a worker's hot path: the step update that engines call for
// every unit of work, without a face and with a face thread that completes each round trip.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "core/progress_channel.h"
#include "core/ui_sink.h"

namespace {

// A face that draws nothing: its thread runs the channel's slot for every posted message.
class NullFace : public tav::UiSink {
 public:
  NullFace() : thread_([this] { run(); }) {}
  ~NullFace() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

  bool post(tav::UiMessage message, THREAD_GUI_DATA* record, int64_t) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back({message, record});
    }
    cv_.notify_one();
    return true;
  }
  void draw_progress(const tav::ProgressView& view) override { benchmark::DoNotOptimize(view.percent); }
  uint32_t ask(uint32_t, uint32_t, const std::string&, const std::string&) override {
    return tav::kAnswerOk;
  }

 private:
  struct Item {
    tav::UiMessage message;
    THREAD_GUI_DATA* record;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Item item = queue_.front();
      queue_.pop_front();
      lock.unlock();
      tav::dispatch_ui_message(item.record, item.message);
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;  // guarded by mu_
  bool stopping_ = false;   // guarded by mu_
  std::thread thread_;
};

// One unit per call over a step of `units` units: 100 percentage changes, each a round trip when
// a face is set.
void run_step(benchmark::State& state, bool with_face) {
  const int64_t units = state.range(0);
  THREAD_GUI_DATA record;
  libtavpub_init_thread_gui_data(&record);
  NullFace face;
  if (with_face) libtavpub_set_window_handle(&record, &face);
  record.worker_mode.store(1);
  for (auto _ : state) {
    libtavpub_set_progress_total(&record, static_cast<uint64_t>(units));
    libtavpub_set_sub_progress_total(&record, units, 1.0);
    record.percent.store(0);
    record.sub_percent.store(0);
    for (int64_t i = 0; i < units; ++i) libtavpub_sub_progress_update(&record, 1);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * units);
  libtavpub_set_window_handle(&record, nullptr);
  libtavpub_destory_thread_gui_data(&record);
}

void BM_StepUpdateNoFace(benchmark::State& state) { run_step(state, false); }
void BM_StepUpdateWithFace(benchmark::State& state) { run_step(state, true); }

// Engines count sectors; a 64 MiB step is 131072 sectors.
BENCHMARK(BM_StepUpdateNoFace)->Arg(131072);
BENCHMARK(BM_StepUpdateWithFace)->Arg(131072)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
