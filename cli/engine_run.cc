// The engine's report buffers, the face that remembers what it showed, and the wait for the end
// of an engine run with Ctrl-C cancelling it.
#include "cli/engine_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "cli/cancel_signals.h"
#include "core/engine_report.h"
#include "disk/disk_channel.h"
#include "engine/engine_channel.h"

namespace tav::cli {

namespace {

// What the engine and the disk library keep pointers to: they must live as long as the process.
struct EngineChannel {
  char bak_message[kMessageBufferBytes] = {};
  int32_t bak_flag = 0;
  char disk_message[kMessageBufferBytes] = {};
  int32_t disk_flag = 0;
};

EngineChannel& engine_channel() {
  static EngineChannel* channel = new EngineChannel;  // never freed, see above
  return *channel;
}

// Empty buffers bound to `record`, so that the first report of this run is shown and the buffers
// hold only this run's reports.
void bind_reports(THREAD_GUI_DATA* record) {
  EngineChannel& c = engine_channel();
  store_message(c.bak_message, "");
  store_message(c.disk_message, "");
  libtavbak_set_thread_gui(record, c.bak_message, &c.bak_flag);
  libtavdisk_set_thread_gui(record, c.disk_message, &c.disk_flag);
}

// The session's terminal sink, remembering the texts of the boxes it showed.
class RememberingFace : public UiSink {
 public:
  explicit RememberingFace(TerminalSink* sink) : sink_(sink) {}
  bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) override {
    return sink_->post(message, record, param);
  }
  void draw_progress(const ProgressView& view) override { sink_->draw_progress(view); }
  uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption, const std::string& text) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      shown_.push_back(text);
    }
    const uint32_t answer = sink_->ask(icon, buttons, caption, text);
    if (buttons == kButtonsAbortRetryIgnore && answer != kAnswerRetry && answer != kAnswerAbort) ignored_.fetch_add(1);
    return answer;
  }
  uint32_t ignored() const { return ignored_.load(); }
  bool was_shown(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(shown_.begin(), shown_.end(), text) != shown_.end();
  }

 private:
  TerminalSink* sink_;
  std::mutex mu_;
  std::vector<std::string> shown_;
  std::atomic<uint32_t> ignored_{0};
};

}  // namespace

EngineRunOutcome run_engine_operation(ImageSession* session, const std::function<int()>& start) {
  EngineRunOutcome outcome;
  THREAD_GUI_DATA* record = session->record();
  RememberingFace face(session->sink());
  struct FaceGuard {
    THREAD_GUI_DATA* record;
    ~FaceGuard() { libtavpub_set_window_handle(record, nullptr); }
  } face_guard{record};
  libtavpub_set_window_handle(record, &face);
  bind_reports(record);
  session->reset_reports();
  const auto started = std::chrono::steady_clock::now();
  {
    CancelOnSignals guard(&record->cancel, session->sink());
    outcome.started = start() != 0;
    if (outcome.started) {
      // A signal before the start was cleared with the record's cancel: pass it on.
      if (guard.signalled()) record->cancel.store(1);
      outcome.result = session->sink()->wait_work_done();
    }
    outcome.cancelled = guard.signalled() || (outcome.started && record->cancel.load() != 0);
  }
  // The worker posts its result just before it returns: let it end before the process does.
  if (outcome.started) (void)libtavpub_stop_thread(record, 50);
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  const EngineChannel& c = engine_channel();
  const std::string report = c.bak_message[0] != '\0' ? c.bak_message : c.disk_message;
  outcome.ignored_answers = face.ignored();
  if (!report.empty() && !face.was_shown(report)) outcome.unshown_report = ": " + report;
  return outcome;
}

std::string elapsed_text(std::chrono::steady_clock::duration d) {
  const int64_t total = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  return buf;
}

}  // namespace tav::cli
