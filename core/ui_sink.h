// The faces' side of the progress channel: what a worker's progress record talks to instead of
// windows. A face (the `tav` terminal, a Qt program, a test) implements UiSink; the channel in
// core/progress_channel.h calls it. Nothing here knows about terminals or widgets.
#pragma once

#include <cstdint>
#include <string>

struct THREAD_GUI_DATA;

namespace tav {

// Messages a worker posts to its face. The numbers are the channel's fixed message numbers.
enum class UiMessage : uint32_t {
  kProgress = 2024,  // run ops slot 3 (libtavpub_idle_update_progress) on the face's thread
  kDialog = 2025,    // run ops slot 9 (libtavpub_idle_popup_dialog) on the face's thread
  kWorkDone = 2026,  // the operation ended; `param` is its result (see THREAD_GUI_DATA)
};

// Icon codes of a message box.
constexpr uint32_t kIconInformation = 1;
constexpr uint32_t kIconWarning = 2;
constexpr uint32_t kIconError = 3;  // 4 and 5 are errors too
constexpr uint32_t kIconQuestion = 6;

// Button-set codes (a set of answer bits); any other code shows a single OK button.
constexpr uint32_t kButtonsYesNo = 6;
constexpr uint32_t kButtonsOk = 8;
constexpr uint32_t kButtonsYesNoCancel = 70;
constexpr uint32_t kButtonsOkCancel = 72;
constexpr uint32_t kButtonsRetryCancel = 80;
constexpr uint32_t kButtonsAbortRetryIgnore = 112;

// Answer codes. Several share a value: which one was meant follows from the button set.
constexpr uint32_t kAnswerYes = 2;
constexpr uint32_t kAnswerOk = 8;
constexpr uint32_t kAnswerNo = 16;
constexpr uint32_t kAnswerRetry = 16;
constexpr uint32_t kAnswerIgnore = 32;
constexpr uint32_t kAnswerCancel = 64;
constexpr uint32_t kAnswerAbort = 64;

// Shows a message box and returns the answer code. Blocks the calling thread until the user has
// answered. `caption` is the title, `text` is shown as it stands (never used as a format).
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption,
                       const std::string& text) = 0;
};

// What the default drawing operation hands to the face: a copy of the record's counters and of
// the texts that wait to be drawn, taken while the worker waits. Texts already drawn are empty.
struct ProgressView {
  int32_t percent = 0;      // whole operation, 0-100
  int32_t sub_percent = 0;  // current step, 0-100
  uint64_t total = 0;       // work units of the whole operation
  uint64_t remaining = 0;   // work units still to do
  int32_t elapsed = 0;      // seconds since the operation started
  uint32_t remain_seconds = 0;
  std::string info_text;        // a line for the running report
  std::string prompt_text;      // title of the current phase
  std::string sub_prompt_text;  // prompt of the current step
};

// A face of the progress channel. post() is called on the worker thread while the channel holds
// its locks: it must only queue the message for the face's own thread and return at once (false
// when it cannot queue, which the worker treats as "nobody is there"). The face's thread then
// calls the record's ops slot for the message, which calls draw_progress() or ask() on that
// thread and completes the round trip. A sink must outlive every record it is set on, or be
// removed from it first (libtavpub_set_window_handle with null), which wakes a waiting worker.
class UiSink : public Prompter {
 public:
  virtual bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) = 0;
  virtual void draw_progress(const ProgressView& view) = 0;
};

}  // namespace tav
