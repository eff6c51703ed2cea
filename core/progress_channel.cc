// The progress channel's record, its worker thread, the default operations table and the
// progress and dialog operations. Round trips themselves live in channel_round_trip.cc.
#include "core/progress_channel.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "core/error_text.h"
#include "core/channel_round_trip_internal.h"
#include "core/last_error.h"

namespace tav {
namespace {

// Constant-initialised, so a static record elsewhere may point at it before any dynamic
// initialisation has run.
constexpr GUI_OPS kBuiltinOps = {
    libtavpub_set_sub_progress_total,
    libtavpub_set_progress_total,
    libtavpub_sub_progress_update,
    libtavpub_idle_update_progress,
    libtavpub_update_percentage,
    libtavpub_append_message_to_info_box,
    libtavpub_set_prompt_message,
    libtavpub_set_sub_prompt_message,
    libtavpub_popup_dialog_box,
    libtavpub_idle_popup_dialog,
    libtavpub_report_error,
    libtavpub_throw_dlg,
};
GUI_OPS g_default_ops = kBuiltinOps;

std::atomic<Prompter*> g_default_prompter{nullptr};

constexpr std::chrono::milliseconds kStopPoll{200};
constexpr uint32_t kThreadThrew = 0xFFFFFFFFu;
constexpr char kAbsentText[] = "????????????";

// Low 32 bits of a seconds count, as the record stores its times.
int32_t low32(int64_t seconds) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds)));
}

// units x weight truncated to an integer count; a negative, NaN or huge product counts nothing
// or everything rather than being undefined.
int64_t weighted_units(uint32_t units, double weight) {
  const double product = static_cast<double>(units) * weight;
  if (!(product > 0.0)) return 0;
  if (product >= 9223372036854775807.0) return INT64_MAX;
  return static_cast<int64_t>(product);
}

// The printf-style text of a message box; false when it cannot be formatted.
bool format_text(std::string* out, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof small) {
    out->assign(small, static_cast<size_t>(n));
    return true;
  }
  out->assign(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out->data(), out->size(), format, args);
  out->resize(static_cast<size_t>(n));
  return true;
}

// Takes the worker's std::thread out of the record and joins it, unless it is the calling
// thread (a worker destroying its own record), which cannot be joined.
void join_worker(THREAD_GUI_DATA* record) {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(record->thread_mutex);
    if (!record->thread.joinable()) return;
    if (record->thread.get_id() == std::this_thread::get_id()) return;
    worker = std::move(record->thread);
  }
  worker.join();
}

void remove_owner(THREAD_GUI_DATA* record, UiSink* owner) {
  // Stored and notified under the mutex: a waiting worker sees the new owner at its next check.
  std::lock_guard<std::mutex> lock(record->round_trip_mutex);
  record->owner_wnd.store(owner);
  record->done_event.notify_all();
}

// Every field back to the state of a new record. No worker may run.
void reset_record(THREAD_GUI_DATA* record) {
  record->owner_wnd.store(nullptr);
  {
    std::lock_guard<std::mutex> lock(record->data_mutex);
    record->progress_step = 0xFFFF;
    record->sub_total = 0;
    record->sub_done = 0;
    record->sub_weight = 0.0;
    record->total = 0;
    record->remaining = 0;
    record->start_time = 0;
    record->elapsed = 0;
    record->remain_seconds = 0;
    record->percent.store(0);
    record->sub_percent.store(0);
    record->dlg_type = 0;
    record->dlg_buttons = 0;
    record->dlg_result = 0;
    record->dlg_text = std::string();
    record->error_count = 0;
    std::lock_guard<std::mutex> trip_lock(record->round_trip_mutex);
    record->info_text = std::string();
    record->prompt_text = std::string();
    record->sub_prompt_text = std::string();
    for (std::string& text : record->strings) text = std::string();
    // Ticket ids keep counting so a face holding an old id never completes a new round trip.
    const uint64_t last_ticket = record->round_trip.ticket;
    record->round_trip = RoundTripState();
    record->round_trip.ticket = last_ticket;
  }
  record->silent.store(0);
  record->worker_mode.store(0);
  record->cancel.store(0);
  {
    std::lock_guard<std::mutex> lock(record->thread_mutex);
    record->thread_exit_code = 0;
  }
  record->ops = &default_channel_ops();
  record->clock_seconds = nullptr;
}

void thread_entry(THREAD_GUI_DATA* record, TavThreadRoutine routine) {
  uint32_t code = kThreadThrew;
  try {
    code = routine(record);
  } catch (...) {
    code = kThreadThrew;  // nothing may leave the thread's entry point
  }
  std::lock_guard<std::mutex> lock(record->thread_mutex);
  record->thread_exit_code = code;
  record->thread_running = false;
  // Notified under the lock: once it is released this thread touches the record no more.
  record->thread_exit.notify_all();
}

// Stores a text written by the worker for the next round trip; a copy that fails leaves the
// field empty.
void store_round_trip_text(THREAD_GUI_DATA* record, std::string THREAD_GUI_DATA::*field,
                           const char* text) {
  std::lock_guard<std::mutex> data_lock(record->data_mutex);
  std::lock_guard<std::mutex> trip_lock(record->round_trip_mutex);
  try {
    record->*field = text != nullptr ? text : "";
  } catch (...) {
    record->*field = std::string();
  }
}

}  // namespace

GUI_OPS& default_channel_ops() { return g_default_ops; }
const GUI_OPS& builtin_channel_ops() { return kBuiltinOps; }

void set_default_prompter(Prompter* prompter) { g_default_prompter.store(prompter); }
Prompter* default_prompter() { return g_default_prompter.load(); }

void dispatch_ui_message(THREAD_GUI_DATA* record, UiMessage message) {
  if (record == nullptr || record->ops == nullptr) return;
  switch (message) {
    case UiMessage::kProgress:
      record->ops->idle_update_progress(record);
      break;
    case UiMessage::kDialog:
      record->ops->idle_popup_dialog(record);
      break;
    case UiMessage::kWorkDone:
      break;
  }
}

int64_t record_now_seconds(const THREAD_GUI_DATA* record) {
  if (record != nullptr && record->clock_seconds != nullptr) return record->clock_seconds();
  return static_cast<int64_t>(std::time(nullptr));
}

void begin_operation(THREAD_GUI_DATA* record) {
  if (record == nullptr) return;
  record->worker_mode.store(1);
  record->error_count = 0;
  record->cancel.store(0);
  record->start_time = low32(record_now_seconds(record));
}

void end_operation(THREAD_GUI_DATA* record, int64_t result) {
  if (record == nullptr) return;
  record->worker_mode.store(0);
  if (UiSink* owner = record->owner_wnd.load()) {
    try {
      owner->post(UiMessage::kWorkDone, record, result);
    } catch (...) {
      // Nobody to tell; the face finds the thread ended when it stops or starts the next one.
    }
  }
}

PhaseOutcome phase_outcome(const THREAD_GUI_DATA* record) {
  if (record == nullptr) return PhaseOutcome::kDone;
  if (record->cancel.load() != 0) return PhaseOutcome::kCanceled;
  if (record->error_count > 0) return PhaseOutcome::kFailed;
  return PhaseOutcome::kDone;
}

}  // namespace tav

THREAD_GUI_DATA::~THREAD_GUI_DATA() {
  cancel.store(1);
  tav::remove_owner(this, nullptr);
  tav::join_worker(this);
  // A record destroyed by its own worker cannot join it; leaving it joinable would end the
  // process in std::thread's destructor, so hand it over to the runtime instead.
  if (thread.joinable()) thread.detach();
}

int libtavpub_init_thread_gui_data(THREAD_GUI_DATA* record) {
  if (record == nullptr) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(record->thread_mutex);
    if (record->thread_running) {
      tav::set_last_error(EBUSY);
      return 0;
    }
  }
  tav::join_worker(record);
  tav::reset_record(record);
  return 1;
}

int libtavpub_set_strings(THREAD_GUI_DATA* record, const char* string0, const char* string1,
                          const char* string2, const char* string3, const char* string4,
                          const char* caption) {
  if (record == nullptr) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  const char* texts[6] = {string0, string1, string2, string3, string4, caption};
  bool all_copied = true;
  std::lock_guard<std::mutex> lock(record->round_trip_mutex);
  for (int i = 0; i < 6; ++i) {
    try {
      record->strings[i] = texts[i] != nullptr ? texts[i] : "";
    } catch (...) {
      record->strings[i] = std::string();
      all_copied = false;
    }
  }
  if (!all_copied) tav::set_last_error(ENOMEM);
  return all_copied ? 1 : 0;
}

int libtavpub_set_window_handle(THREAD_GUI_DATA* record, tav::UiSink* owner) {
  if (record == nullptr) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  record->percent.store(0);
  record->sub_percent.store(0);
  tav::remove_owner(record, owner);
  return 1;
}

void libtavpub_destory_thread_gui_data(THREAD_GUI_DATA* record) {
  if (record == nullptr) return;
  record->cancel.store(1);
  tav::remove_owner(record, nullptr);
  tav::join_worker(record);
  tav::reset_record(record);
}

int libtavpub_start_thread(THREAD_GUI_DATA* record, TavThreadRoutine routine) {
  if (record == nullptr || routine == nullptr) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  std::lock_guard<std::mutex> lock(record->thread_mutex);
  if (record->thread_running) {
    tav::set_last_error(EBUSY);
    return 0;
  }
  // The previous worker has returned and no longer touches thread_mutex: joining it here with
  // the lock held is safe and quick.
  if (record->thread.joinable()) {
    if (record->thread.get_id() == std::this_thread::get_id()) {
      tav::set_last_error(EBUSY);
      return 0;
    }
    record->thread.join();
  }
  record->cancel.store(0);
  record->thread_running = true;
  record->thread_exit_code = 0;
  try {
    record->thread = std::thread(tav::thread_entry, record, routine);
  } catch (...) {
    record->thread_running = false;
    tav::set_last_error(EAGAIN);
    return 0;
  }
  return 1;
}

int libtavpub_stop_thread(THREAD_GUI_DATA* record, int tries) {
  if (record == nullptr) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  record->cancel.store(1);
  if (tries <= 0) return 1;
  std::unique_lock<std::mutex> lock(record->thread_mutex);
  if (!record->thread.joinable()) return 1;  // no worker: nothing still runs
  if (record->thread.get_id() == std::this_thread::get_id()) {
    tav::set_last_error(EDEADLK);
    return 0;
  }
  for (int i = 0; i < tries && record->thread_running; ++i) {
    // Wakes as soon as the worker ends; a try lasts at most 200 ms.
    record->thread_exit.wait_for(lock, tav::kStopPoll, [record] { return !record->thread_running; });
  }
  if (record->thread_running) {
    tav::set_last_error(ETIMEDOUT);
    return 0;
  }
  record->thread.join();
  return 1;
}

void libtavpub_set_progress_total(THREAD_GUI_DATA* record, uint64_t total) {
  if (record == nullptr) return;
  record->total = total;
  record->remaining = total;
}

void libtavpub_set_sub_progress_total(THREAD_GUI_DATA* record, int64_t sub_total,
                                      double sub_weight) {
  if (record == nullptr) return;
  record->sub_total = sub_total;
  record->sub_weight = sub_weight;
  record->sub_done = 0;
}

void libtavpub_sub_progress_update(THREAD_GUI_DATA* record, uint32_t units) {
  if (record == nullptr) return;
  std::lock_guard<std::mutex> lock(record->data_mutex);
  // A negative step total is as empty as 0.
  if (record->total == 0 || record->sub_total <= 0) return;
  const int64_t delta = tav::weighted_units(units, record->sub_weight);
  const uint64_t delta_units = static_cast<uint64_t>(delta);
  record->remaining = delta_units < record->remaining ? record->remaining - delta_units : 0;
  if (record->sub_done < 0) record->sub_done = 0;
  if (delta >= record->sub_total - record->sub_done) {
    record->sub_done = record->sub_total;
  } else {
    record->sub_done += delta;
  }
  // 128-bit product: sub_done x 100 does not overflow for whole-disk byte counts either.
  const int32_t p = static_cast<int32_t>(static_cast<__int128>(record->sub_done) * 100 /
                                         record->sub_total);
  if (p != record->sub_percent.load()) {
    record->sub_percent.store(p);
    record->ops->update_percentage(record);  // still holding data_mutex
  }
}

void libtavpub_update_percentage(THREAD_GUI_DATA* record) {
  if (record == nullptr || record->silent.load() != 0) return;
  try {
    if (record->total != 0 && record->cancel.load() == 0) {
      const uint64_t done =
          record->remaining < record->total ? record->total - record->remaining : 0;
      const int32_t p = static_cast<int32_t>(static_cast<double>(done) /
                                             static_cast<double>(record->total) * 100.0);
      if (p != record->percent.load()) {
        const uint32_t now = static_cast<uint32_t>(tav::low32(tav::record_now_seconds(record)));
        record->elapsed = static_cast<int32_t>(now - static_cast<uint32_t>(record->start_time));
        // A clock that went back gives a negative elapsed time: no estimate then either.
        if (record->elapsed > 0) {
          const uint64_t rate = done / static_cast<uint64_t>(record->elapsed);
          if (rate != 0) record->remain_seconds = static_cast<uint32_t>(record->remaining / rate);
        }
        record->percent.store(p);
      }
    }
    std::lock_guard<std::mutex> lock(record->dialog_mutex);
    tav::internal::progress_round_trip(record);
  } catch (...) {
    // Out of memory while building the view: this drawing is skipped.
  }
}

void libtavpub_append_message_to_info_box(THREAD_GUI_DATA* record, const char* text) {
  if (record == nullptr) return;
  tav::store_round_trip_text(record, &THREAD_GUI_DATA::info_text, text);
}

void libtavpub_set_prompt_message(THREAD_GUI_DATA* record, const char* text) {
  if (record == nullptr) return;
  tav::store_round_trip_text(record, &THREAD_GUI_DATA::sub_prompt_text, text);
}

void libtavpub_set_sub_prompt_message(THREAD_GUI_DATA* record, const char* text) {
  libtavpub_set_prompt_message(record, text);
}

void libtavpub_idle_update_progress(THREAD_GUI_DATA* record) {
  tav::ProgressTicket ticket;
  try {
    if (!tav::take_progress_view(record, &ticket)) return;
    if (ticket.sink != nullptr) ticket.sink->draw_progress(ticket.view);
  } catch (...) {
    // A sink that fails to draw still releases the worker.
  }
  tav::complete_round_trip(record, ticket.ticket, 0);
}

uint32_t libtavpub_popup_dialog_box(THREAD_GUI_DATA* record, tav::UiSink* owner, uint32_t icon,
                                    uint32_t buttons, const char* text) {
  try {
    std::string caption;
    if (record != nullptr) {
      std::lock_guard<std::mutex> lock(record->round_trip_mutex);
      caption = record->caption();
    }
    tav::Prompter* prompter = owner;
    if (prompter == nullptr) prompter = tav::default_prompter();
    return tav::internal::ask_prompter(prompter, icon, buttons, caption,
                                       text != nullptr ? text : tav::kAbsentText);
  } catch (...) {
    return tav::unanswered_dialog_result(buttons);
  }
}

void libtavpub_idle_popup_dialog(THREAD_GUI_DATA* record) {
  tav::DialogTicket ticket;
  try {
    if (!tav::take_dialog_request(record, &ticket)) return;
  } catch (...) {
    return;  // the worker gives up on its own when cancelled or when the owner goes
  }
  const uint32_t answer = tav::internal::ask_prompter(ticket.sink, ticket.icon, ticket.buttons,
                                                      ticket.caption, ticket.text);
  tav::complete_round_trip(record, ticket.ticket, answer);
}

void libtavpub_report_error(THREAD_GUI_DATA* record) {
  const uint32_t code = tav::get_last_error();
  if (record != nullptr && record->silent.load() != 0) return;
  try {
    const std::string text = tav::error_text_or_code(code);
    libtavpub_throw_dlg_text(record, tav::kIconError, tav::kButtonsOk, text.c_str());
  } catch (...) {
  }
}

uint32_t libtavpub_throw_dlg(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                             const char* format, ...) {
  if (record != nullptr && record->silent.load() != 0) return 0;
  if (format == nullptr) return 0;
  std::string text;
  try {
    va_list args;
    va_start(args, format);
    const bool formatted = tav::format_text(&text, format, args);
    va_end(args);
    if (!formatted) return tav::unanswered_dialog_result(buttons);
  } catch (...) {
    return tav::unanswered_dialog_result(buttons);
  }
  return libtavpub_throw_dlg_text(record, icon, buttons, text.c_str());
}

uint32_t libtavpub_throw_dlg_text(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                                  const char* text) {
  if (record != nullptr && record->silent.load() != 0) return 0;
  if (text == nullptr || text[0] == '\0') return 0;
  try {
    if (record == nullptr || record->worker_mode.load() == 0) {
      GUI_OPS* ops = record != nullptr ? record->ops : &tav::default_channel_ops();
      tav::UiSink* owner = record != nullptr ? record->owner_wnd.load() : nullptr;
      return ops->popup_dialog_box(record, owner, icon, buttons, text);
    }
    std::string copy(text);
    std::lock_guard<std::mutex> data_lock(record->data_mutex);
    record->dlg_text = std::move(copy);
    record->dlg_type = icon;
    record->dlg_buttons = buttons;
    record->dlg_result = tav::unanswered_dialog_result(buttons);
    {
      std::lock_guard<std::mutex> dialog_lock(record->dialog_mutex);
      record->dlg_result = tav::internal::dialog_round_trip(record, icon, buttons, record->dlg_text);
    }
    record->dlg_text = std::string();
    return record->dlg_result;
  } catch (...) {
    return tav::unanswered_dialog_result(buttons);
  }
}
