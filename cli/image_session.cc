// The image library's progress record and report buffer for the command line, the face that
// shows its reports, and the loading of a storage for `tav list` and `tav export`.
#include "cli/image_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "core/engine_report.h"
#include "disk/part_record.h"

namespace tav::cli {

namespace {

// What the image library keeps pointers to: it must live as long as the process.
struct ImageChannel {
  THREAD_GUI_DATA record;
  char message_buffer[kMessageBufferBytes] = {};
  int32_t error_flag = 0;
};

ImageChannel& image_channel() {
  static ImageChannel* channel = [] {
    auto* c = new ImageChannel;  // never freed: the library may report until the process ends
    libtavpub_init_thread_gui_data(&c->record);
    libtavimg_set_thread_gui(&c->record, c->message_buffer, &c->error_flag);
    return c;
  }();
  return *channel;
}

std::string two_digits(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v % 100);
  return buf;
}

}  // namespace

// Forwards everything to the terminal sink and counts the Abort/Retry/Ignore questions that were
// let go on: the reader then zero-fills the unit, so the data written is not what was stored.
class ImageSession::Face : public UiSink {
 public:
  explicit Face(TerminalSink* sink) : sink_(sink) {}
  bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) override {
    return sink_->post(message, record, param);
  }
  void draw_progress(const ProgressView& view) override { sink_->draw_progress(view); }
  uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption,
               const std::string& text) override {
    const uint32_t answer = sink_->ask(icon, buttons, caption, text);
    if (buttons == kButtonsAbortRetryIgnore && answer != kAnswerRetry && answer != kAnswerAbort) {
      ignored_.fetch_add(1);
    }
    return answer;
  }
  uint32_t ignored() const { return ignored_.load(); }

 private:
  TerminalSink* sink_;
  std::atomic<uint32_t> ignored_{0};
};

ImageSession::ImageSession(const ImageSessionOptions& options) {
  TerminalSinkOptions sink_options;
  sink_options.output_fd = options.output_fd;
  sink_options.error_fd = STDERR_FILENO;
  sink_options.input_fd = options.can_ask ? TerminalSinkOptions::kInputAuto : -1;
  sink_options.answer_mode = options.answer_mode;
  sink_ = std::make_unique<TerminalSink>(sink_options);
  face_ = std::make_unique<Face>(sink_.get());
  ImageChannel& channel = image_channel();
  libtavpub_set_window_handle(&channel.record, face_.get());
  std::atomic_ref<int32_t>(channel.error_flag).store(0);
  storage_ = libtavimg_get_storage_data();
}

ImageSession::~ImageSession() {
  if (loaded_) libtavimg_unload_image(storage_);
  libtavpub_set_window_handle(&image_channel().record, nullptr);
  sink_->stop();
}

THREAD_GUI_DATA* ImageSession::record() const { return &image_channel().record; }

void ImageSession::reset_reports() { std::atomic_ref<int32_t>(image_channel().error_flag).store(0); }

uint32_t ImageSession::ignored_answers() const { return face_->ignored(); }

Status ImageSession::load(const std::string& directory, const std::string& base_name) {
  struct stat st {};
  if (directory.empty() || ::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::not_found(directory + ": no such directory");
  }
  std::string dir = directory;
  if (dir.back() != '/') dir += '/';
  loaded_ = true;  // a failed load may still hold files and partial records: unload either way
  if (libtavimg_load_image2(storage_, dir.c_str(), base_name.c_str(), 0) != 0 ||
      storage_->snaps.empty()) {
    return Status::not_found("no snapshot of base name \"" + base_name + "\" in " + directory);
  }
  return Status::ok();
}

std::vector<NumberedPartition> numbered_partitions(const SNAP_DATA& snap) {
  std::vector<NumberedPartition> out;
  uint32_t number = 0;
  uint32_t disk_index = 0;
  for (_DISK_INFOMATION* d = snap.disks; d != nullptr; d = d->next, ++disk_index) {
    for (const auto& up : d->parts) {
      NumberedPartition np;
      np.disk_index = disk_index;
      np.disk = d;
      np.part = up.get();
      np.number = disk::part_is_extended(*up) ? 0 : ++number;
      out.push_back(np);
    }
  }
  return out;
}

const char* backup_kind_name(uint32_t backup_type) {
  switch (backup_type) {
    case img::kBackupFull: return "full";
    case img::kBackupIncremental: return "incremental";
    case img::kBackupDifferential: return "differential";
    default: return "unknown";
  }
}

std::string systime_text(const SYSTIME& t) {
  return std::to_string(t.century * 100u + t.year) + "-" + two_digits(t.month) + "-" + two_digits(t.day) + " " +
         two_digits(t.hour) + ":" + two_digits(t.minute) + ":" + two_digits(t.second);
}

bool parse_index(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v < 1 || v > max) return false;
  *value = uint32_t(v);
  return true;
}

}  // namespace tav::cli
