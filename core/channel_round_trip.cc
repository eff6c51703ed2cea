// Round trips of the progress channel: a worker posts a ticket to its face and waits; the face's
// thread takes the request, draws or asks with no lock held, and completes the ticket. Every
// access to shared round-trip state happens under THREAD_GUI_DATA::round_trip_mutex, so a worker
// may abandon a ticket at any time and a face that comes late only finds it dead.
#include <chrono>
#include <utility>

#include "core/channel_round_trip_internal.h"
#include "core/progress_channel.h"

namespace tav {
namespace {

// How often a waiting worker re-checks `cancel` and the owner: a face may set `cancel` with a
// plain store and no notification.
constexpr std::chrono::milliseconds kRoundTripPoll{50};

// Posts `message` for the live ticket and waits until the face completes it, `cancel` is set or
// the owner is no longer `owner`. The ticket is dead when this returns. True with *answer set
// when the face completed it.
bool post_and_wait(THREAD_GUI_DATA* record, UiSink* owner, UiMessage message, uint64_t ticket,
                   uint32_t* answer) {
  bool posted = false;
  try {
    posted = owner->post(message, record, 0);
  } catch (...) {
    posted = false;  // a sink that cannot queue is nobody
  }
  std::unique_lock<std::mutex> lock(record->round_trip_mutex);
  RoundTripState& state = record->round_trip;
  if (posted) {
    while (state.ticket == ticket && !state.done && record->cancel.load() == 0 &&
           record->owner_wnd.load() == owner) {
      record->done_event.wait_for(lock, kRoundTripPoll);
    }
  }
  const bool completed = state.ticket == ticket && state.done;
  if (state.ticket == ticket) {
    state.live = false;
    if (state.kind == RoundTripState::Kind::kDialog) {
      state.caption.clear();
      state.text.clear();
    }
  }
  if (completed) *answer = state.answer;
  return completed;
}

bool is_known_icon(uint32_t icon) { return icon >= kIconInformation && icon <= kIconQuestion; }

bool is_known_button_set(uint32_t buttons) {
  switch (buttons) {
    case kButtonsYesNo:
    case kButtonsOk:
    case kButtonsYesNoCancel:
    case kButtonsOkCancel:
    case kButtonsRetryCancel:
    case kButtonsAbortRetryIgnore:
      return true;
    default:
      return false;
  }
}

}  // namespace

uint32_t unanswered_dialog_result(uint32_t buttons) {
  switch (buttons) {
    case kButtonsYesNo:
      return kAnswerNo;
    case kButtonsYesNoCancel:
    case kButtonsOkCancel:
    case kButtonsRetryCancel:
      return kAnswerCancel;
    case kButtonsAbortRetryIgnore:
      return kAnswerAbort;
    default:
      return kAnswerOk;
  }
}

bool take_progress_view(THREAD_GUI_DATA* record, ProgressTicket* out) {
  if (record == nullptr || out == nullptr) return false;
  std::lock_guard<std::mutex> lock(record->round_trip_mutex);
  RoundTripState& state = record->round_trip;
  if (!state.view_pending) return false;
  out->ticket = state.view_ticket;
  out->sink = state.view_sink;
  out->view = std::move(state.view);
  state.view = ProgressView();
  state.view_pending = false;
  return true;
}

bool take_dialog_request(THREAD_GUI_DATA* record, DialogTicket* out) {
  if (record == nullptr || out == nullptr) return false;
  std::lock_guard<std::mutex> lock(record->round_trip_mutex);
  const RoundTripState& state = record->round_trip;
  if (state.kind != RoundTripState::Kind::kDialog || !state.live || state.done) return false;
  out->ticket = state.ticket;
  out->sink = state.sink;
  out->icon = state.icon;
  out->buttons = state.buttons;
  out->caption = state.caption;
  out->text = state.text;
  return true;
}

void complete_round_trip(THREAD_GUI_DATA* record, uint64_t ticket, uint32_t answer) {
  if (record == nullptr) return;
  std::lock_guard<std::mutex> lock(record->round_trip_mutex);
  RoundTripState& state = record->round_trip;
  if (state.ticket != ticket || !state.live || state.done) return;
  state.done = true;
  state.answer = answer;
  // Notified under the lock: the woken worker may go on and end the record's life, so nothing
  // here may touch the record once the lock is released.
  record->done_event.notify_all();
}

namespace internal {
namespace {

// Starts a new round trip of `kind` posted to `sink`; `answer` stands until the face completes
// it. Returns the new ticket. The caller holds round_trip_mutex.
uint64_t open_ticket(RoundTripState& state, RoundTripState::Kind kind, UiSink* sink,
                     uint32_t answer) {
  state.kind = kind;
  state.live = true;
  state.done = false;
  state.answer = answer;
  state.sink = sink;
  return ++state.ticket;
}

}  // namespace

void progress_round_trip(THREAD_GUI_DATA* record) {
  UiSink* owner = record->owner_wnd.load();
  if (owner == nullptr) return;
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(record->round_trip_mutex);
    RoundTripState& state = record->round_trip;
    ticket = open_ticket(state, RoundTripState::Kind::kProgress, owner, 0);

    // A view nobody has taken yet keeps its texts: the new ones are added after them.
    ProgressView& view = state.view;
    if (!state.view_pending) view = ProgressView();
    view.percent = record->percent.load();
    view.sub_percent = record->sub_percent.load();
    view.total = record->total;
    view.remaining = record->remaining;
    view.elapsed = record->elapsed;
    view.remain_seconds = record->remain_seconds;
    if (!record->info_text.empty()) {
      view.info_text += record->info_text;
      record->info_text.clear();
    }
    if (!record->prompt_text.empty()) view.prompt_text = std::move(record->prompt_text);
    record->prompt_text.clear();
    if (!record->sub_prompt_text.empty()) view.sub_prompt_text = std::move(record->sub_prompt_text);
    record->sub_prompt_text.clear();
    state.view_pending = true;
    state.view_ticket = ticket;
    state.view_sink = owner;
  }
  uint32_t unused = 0;
  post_and_wait(record, owner, UiMessage::kProgress, ticket, &unused);
}

uint32_t dialog_round_trip(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                           const std::string& text) {
  const uint32_t fallback = unanswered_dialog_result(buttons);
  UiSink* owner = record->owner_wnd.load();
  if (owner == nullptr) return fallback;
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(record->round_trip_mutex);
    RoundTripState& state = record->round_trip;
    ticket = open_ticket(state, RoundTripState::Kind::kDialog, owner, fallback);
    state.icon = icon;
    state.buttons = buttons;
    state.caption = record->caption();
    state.text = text;
  }
  uint32_t answer = fallback;
  if (!post_and_wait(record, owner, UiMessage::kDialog, ticket, &answer)) return fallback;
  return answer;
}

uint32_t ask_prompter(Prompter* prompter, uint32_t icon, uint32_t buttons,
                      const std::string& caption, const std::string& text) {
  if (!is_known_button_set(buttons)) buttons = kButtonsOk;
  if (prompter == nullptr) return unanswered_dialog_result(buttons);
  if (!is_known_icon(icon)) icon = kIconInformation;
  try {
    return prompter->ask(icon, buttons, caption, text);
  } catch (...) {
    return unanswered_dialog_result(buttons);
  }
}

}  // namespace internal
}  // namespace tav
