// `tav validate`: loads the storage, picks the snapshot and runs the engine's validation on the
// progress channel's worker while the terminal face draws its progress and prints the reports.
#include "cli/validate_command.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>

#include "cli/backup_command.h"
#include "cli/cancel_signals.h"
#include "cli/command_line.h"
#include "cli/image_session.h"
#include "core/engine_report.h"
#include "engine/bak_gui.h"
#include "engine/validate.h"

namespace tav::cli {

namespace {

const char kValidateUsage[] =
    "usage: tav validate DIR [--name BASE] [--snapshot N]\n"
    "\n"
    "Reads back every stored sector of snapshot N of the storage in DIR (volume files BASE0.ego,\n"
    "...; BASE is \"imbackup\" unless --name says otherwise): each compress unit is read, its\n"
    "framing and checksums are checked and it is inflated, in the snapshot's volumes and in\n"
    "those of the snapshots it depends on. Nothing is written. N is the number `tav list`\n"
    "shows; the newest snapshot when not given. Damaged data asks Abort/Retry/Ignore on the\n"
    "terminal (--no answers Abort; without a terminal the validation stops).\n"
    "\n"
    "  --name BASE      base name of the volume files\n"
    "  --snapshot N     snapshot number, from 1\n"
    "\n"
    "Ctrl-C cancels. Exit status: 0 when every unit read and checked; 1 when the storage or the\n"
    "snapshot is not there or a unit does not read or check (also when damaged data was let go\n"
    "on with Ignore); 2 on wrong use; 130 when cancelled.\n";

struct ValidateArgs {
  std::string directory;
  std::string base_name = kDefaultBaseName;
  std::string snapshot;  // empty: the newest
};

bool parse_validate_args(const std::vector<std::string>& args, ValidateArgs* out, std::string* error, bool* help) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      *help = true;
      return true;
    } else if (a == "--name") {
      if (!value(&out->base_name)) return false;
    } else if (a == "--snapshot") {
      if (!value(&out->snapshot)) return false;
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option '" + a + "'";
      return false;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) {
    *error = positional.empty() ? "no storage directory given" : "one storage directory only";
    return false;
  }
  out->directory = positional[0];
  return true;
}

// What the engine keeps pointers to: it must live as long as the process.
struct ValidateChannel {
  char message[kMessageBufferBytes] = {};
  int32_t flag = 0;
};

ValidateChannel& validate_channel() {
  static ValidateChannel* channel = new ValidateChannel;  // never freed, see above
  return *channel;
}

// The session's terminal face, remembering the texts it showed (so that the closing line does
// not repeat them) and counting the damaged units let go on with an answer other than Retry or
// Abort.
class ValidateFace : public UiSink {
 public:
  explicit ValidateFace(TerminalSink* sink) : sink_(sink) {}
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
  bool was_shown(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(shown_.begin(), shown_.end(), text) != shown_.end();
  }
  uint32_t ignored() const { return ignored_.load(); }

 private:
  TerminalSink* sink_;
  std::mutex mu_;
  std::vector<std::string> shown_;
  std::atomic<uint32_t> ignored_{0};
};

}  // namespace

int run_validate_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                         std::ostream& err) {
  ValidateArgs a;
  std::string error;
  bool help = false;
  if (!parse_validate_args(args, &a, &error, &help)) {
    err << "tav validate: " << error << '\n' << kValidateUsage;
    return kExitUsage;
  }
  if (help) {
    out << kValidateUsage;
    return kExitOk;
  }
  uint32_t snap_number = 0;
  if (!a.snapshot.empty() && !parse_index(a.snapshot, 0xFFFFFFFFu, &snap_number)) {
    err << "tav validate: --snapshot takes a number from 1\n" << kValidateUsage;
    return kExitUsage;
  }

  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  // Progress only on a terminal; a log or pipe gets the result line and the errors.
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);
  if (Status st = session.load(a.directory, a.base_name); !st.is_ok()) {
    err << "tav validate: " << st.message() << '\n';
    return kExitFailure;
  }
  STORAGE_DATA* storage = session.storage();
  if (snap_number == 0) snap_number = uint32_t(storage->snaps.size());
  if (snap_number > storage->snaps.size()) {
    err << "tav validate: no snapshot " << snap_number << " (the storage has " << storage->snaps.size() << ")\n";
    return kExitFailure;
  }

  // Every partition of the snapshot is checked; the extended container (number 0) holds no data.
  for (const NumberedPartition& np : numbered_partitions(*storage->snaps[snap_number - 1])) {
    if (np.number != 0) np.part->selected = 1;
  }

  VALIDATE_REQUEST request;
  request.image_dir = a.directory;
  request.image_name = a.base_name;
  request.psnap = storage->snaps[snap_number - 1].get();

  THREAD_GUI_DATA* record = session.record();
  ValidateFace face(session.sink());
  struct FaceGuard {
    THREAD_GUI_DATA* record;
    ~FaceGuard() { libtavpub_set_window_handle(record, nullptr); }
  } face_guard{record};
  libtavpub_set_window_handle(record, &face);
  ValidateChannel& channel = validate_channel();
  store_message(channel.message, "");
  libtavbak_set_thread_gui(record, channel.message, &channel.flag);
  session.reset_reports();

  const auto started = std::chrono::steady_clock::now();
  std::optional<int64_t> result;
  bool cancelled = false;
  {
    CancelOnSignals guard(&record->cancel, session.sink());
    if (TavStartValidation(&request) == 0) {
      err << "tav validate: the validation could not be started\n";
      return kExitFailure;
    }
    // A signal before the start was cleared with the record's cancel: pass it on.
    if (guard.signalled()) record->cancel.store(1);
    result = session.sink()->wait_work_done();
    cancelled = guard.signalled() || record->cancel.load() != 0;
  }
  // The worker posts its result just before it returns: let it end before the process does.
  (void)libtavpub_stop_thread(record, 50);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const std::string what = "snapshot " + std::to_string(snap_number);
  if (!result.has_value() || *result < 0) {
    std::string report = channel.message;
    err << "tav validate: " << what << " does not validate";
    if (!report.empty() && !face.was_shown(report)) err << ": " << report;
    err << '\n';
    return kExitFailure;
  }
  if (cancelled) {
    err << "tav validate: cancelled; " << what << " was not completely checked\n";
    return kExitCancelled;
  }
  if (face.ignored() > 0) {
    err << "tav validate: " << what << " does not validate: " << face.ignored()
        << " damaged piece(s) of data were let go on\n";
    return kExitFailure;
  }
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
  out << what << " of " << a.directory << ": every stored unit reads and checks (" << elapsed << " s)\n";
  return kExitOk;
}

}  // namespace tav::cli
