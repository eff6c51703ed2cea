// The progress channel: the record a worker thread shares with its face (THREAD_GUI_DATA), the
// table of operations the engines call through it (GUI_OPS), the worker thread it owns, and the
// round trips that let a face draw progress or answer a question while the worker waits.
//
// Engines never talk to a face directly. They update the record's counters through `ops`; when
// something must be shown, the channel posts a message to the owner (a tav::UiSink) and waits
// until the face's own thread has run the matching ops slot (see dispatch_ui_message), until
// `cancel` is set, or until the owner is removed or replaced. A worker that stops waiting
// abandons its round trip and goes on with the safe answer; a face that handles the message late
// finds the round trip dead and leaves the record alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/ui_sink.h"

struct THREAD_GUI_DATA;
struct GUI_OPS;

namespace tav {
// The process's default table (writable: a face may replace entries); see GUI_OPS.
GUI_OPS& default_channel_ops();
}  // namespace tav

// Twelve operations, in slot order. One static writable default table is shared by every record
// of the process (tav::default_channel_ops()); a face may overwrite entries, usually slot 3 with its
// own drawing handler, which must follow the round-trip protocol below (take_progress_view,
// draw, complete_round_trip).
struct GUI_OPS {
  void (*set_sub_progress_total)(THREAD_GUI_DATA* record, int64_t sub_total, double sub_weight);
  void (*set_progress_total)(THREAD_GUI_DATA* record, uint64_t total);
  void (*sub_progress_update)(THREAD_GUI_DATA* record, uint32_t units);
  void (*idle_update_progress)(THREAD_GUI_DATA* record);
  void (*update_percentage)(THREAD_GUI_DATA* record);
  void (*append_message_to_info_box)(THREAD_GUI_DATA* record, const char* text);
  void (*set_prompt_message)(THREAD_GUI_DATA* record, const char* text);
  void (*set_sub_prompt_message)(THREAD_GUI_DATA* record, const char* text);
  uint32_t (*popup_dialog_box)(THREAD_GUI_DATA* record, tav::UiSink* owner, uint32_t icon,
                               uint32_t buttons, const char* text);
  void (*idle_popup_dialog)(THREAD_GUI_DATA* record);
  void (*report_error)(THREAD_GUI_DATA* record);
  uint32_t (*throw_dlg)(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                        const char* format, ...) __attribute__((format(printf, 4, 5)));
};

namespace tav {

// Seconds of the calendar clock; the record's `clock_seconds` replaces it in tests.
using ClockSecondsFn = int64_t (*)();

// What a running round trip carries. Guarded by THREAD_GUI_DATA::round_trip_mutex; only the
// channel's own functions and the face helpers below touch it.
struct RoundTripState {
  enum class Kind : uint8_t { kNone, kProgress, kDialog };
  uint64_t ticket = 0;  // id of the latest round trip; ids are never reused
  Kind kind = Kind::kNone;
  bool live = false;  // the worker still waits for this ticket
  bool done = false;  // the face completed it
  uint32_t answer = 0;
  UiSink* sink = nullptr;  // the sink the ticket was posted to

  // Dialog request of a dialog ticket, copied by the worker when it posts.
  uint32_t icon = 0;
  uint32_t buttons = 0;
  std::string caption;
  std::string text;

  // Progress to draw, built by the worker when it posts a progress ticket. It stays here until a
  // face takes it, even when the worker has stopped waiting, so texts of an abandoned round
  // trip are still drawn (merged into the next view when a newer one is built first).
  bool view_pending = false;
  uint64_t view_ticket = 0;
  UiSink* view_sink = nullptr;
  ProgressView view;
};

}  // namespace tav

// The record shared by a face and its worker. One per face process, usually a static object; it
// must outlive its worker (destruction and libtavpub_destory_thread_gui_data join it).
//
// Ownership of the members:
// - set up by the face's thread, read by others: `strings` (under round_trip_mutex), `ops`,
//   `clock_seconds`.
// - atomic, any thread: `owner_wnd`, `silent`, `worker_mode`, `cancel`, `percent`, `sub_percent`.
// - worker-only while an operation runs (the face sees them only through a ProgressView):
//   `progress_step`, `sub_total`, `sub_done`, `sub_weight`, `total`, `remaining`, `start_time`,
//   `elapsed`, `remain_seconds`, `dlg_*` (under data_mutex).
// - atomic, counted by every thread of an operation: `error_count`.
// - `info_text`, `prompt_text`, `sub_prompt_text`: written under data_mutex and round_trip_mutex,
//   moved into a ProgressView under round_trip_mutex.
// - `thread`, `thread_running`, `thread_exit_code`: under thread_mutex.
//
// Lock order: data_mutex -> dialog_mutex -> round_trip_mutex. thread_mutex is never held
// together with any of them. No lock is held while a sink draws or asks; post() is called with
// data_mutex and/or dialog_mutex held, never round_trip_mutex.
struct THREAD_GUI_DATA {
  THREAD_GUI_DATA() = default;
  THREAD_GUI_DATA(const THREAD_GUI_DATA&) = delete;
  THREAD_GUI_DATA& operator=(const THREAD_GUI_DATA&) = delete;
  // Sets `cancel`, removes the owner and joins a worker that is still there.
  ~THREAD_GUI_DATA();

  // The face that receives the channel's messages and owns every message box; null = none.
  std::atomic<tav::UiSink*> owner_wnd{nullptr};

  uint32_t progress_step = 0xFFFF;  // set by each operation to 1/200 of its work; not read here
  int64_t sub_total = 0;            // work units of the current step
  int64_t sub_done = 0;             // units of the current step done, never above sub_total
  double sub_weight = 0.0;          // converts step units into units of `total`
  uint64_t total = 0;               // work units of the whole operation
  uint64_t remaining = 0;           // units of the whole operation still to do
  int32_t start_time = 0;           // low 32 bits of the calendar time at the start, seconds
  int32_t elapsed = 0;              // seconds since start_time, refreshed when `percent` changes
  uint32_t remain_seconds = 0;      // estimated seconds left
  std::atomic<int32_t> percent{0};      // whole operation, 0-100
  std::atomic<int32_t> sub_percent{0};  // current step, 0-100

  std::string info_text;        // a line waiting to be added to the running report
  std::string prompt_text;      // title of the current phase (no operation sets it)
  std::string sub_prompt_text;  // prompt of the current step (slots 6 and 7 set it)

  uint32_t dlg_type = 0;     // icon code of the pending message box
  uint32_t dlg_buttons = 0;  // button-set code of the pending message box
  uint32_t dlg_result = 0;   // answer code of the last message box
  std::string dlg_text;      // text of the pending message box

  // Five texts kept for the faces, then `caption`, the title of every message box.
  std::string strings[6];
  std::string& caption() { return strings[5]; }

  std::atomic<uint32_t> silent{0};       // nonzero: percentages, error boxes and questions do nothing
  std::atomic<int32_t> error_count{0};   // errors of the running operation (counted by several threads)
  std::atomic<uint32_t> worker_mode{0};  // nonzero while an operation runs on the worker
  std::atomic<uint32_t> cancel{0};       // nonzero asks the worker to stop

  // The worker started by libtavpub_start_thread; owned and joined by the record, never detached.
  std::thread thread;
  bool thread_running = false;    // cleared by the thread's wrapper when the routine returned
  uint32_t thread_exit_code = 0;  // what the routine returned (0xFFFFFFFF when it threw)
  std::mutex thread_mutex;
  std::condition_variable thread_exit;  // signalled when thread_running is cleared

  std::mutex data_mutex;    // guards the texts and the step counters
  std::mutex dialog_mutex;  // one round trip (drawing or message box) at a time
  std::mutex round_trip_mutex;
  std::condition_variable done_event;  // with round_trip_mutex: a round trip completed
  tav::RoundTripState round_trip;

  GUI_OPS* ops = &tav::default_channel_ops();  // the default table unless a face sets another
  tav::ClockSecondsFn clock_seconds = nullptr;  // null: the calendar clock
};

// ---- Set-up, called by the face on its own thread. ----

// Resets every field (texts empty, counters 0, no owner, flags clear, `ops` = the default table).
// Returns 1, or 0 (last error EBUSY) while a worker of this record still runs or EINVAL for null.
int libtavpub_init_thread_gui_data(THREAD_GUI_DATA* record);
// Copies five texts and the caption; a null text becomes empty. Returns 1, or 0 for a null
// record or when memory runs out (the texts that could not be copied are left empty).
int libtavpub_set_strings(THREAD_GUI_DATA* record, const char* string0, const char* string1,
                          const char* string2, const char* string3, const char* string4,
                          const char* caption);
// Stores the owner (null removes it) and resets `percent` and `sub_percent` to 0. Removing or
// replacing the owner wakes a worker that waits in a round trip: it stops waiting and goes on
// with the safe answer. Returns 1, or 0 for a null record.
int libtavpub_set_window_handle(THREAD_GUI_DATA* record, tav::UiSink* owner);
// Sets `cancel`, removes the owner, joins the worker, then resets the record like init.
void libtavpub_destory_thread_gui_data(THREAD_GUI_DATA* record);

// A worker routine: gets the record (as void*) and returns an exit code.
using TavThreadRoutine = unsigned (*)(void* record);

// Clears `cancel` and runs `routine(record)` on a new thread owned by the record. A previous
// worker that has finished is joined first. Returns 1, or 0 while a previous worker still runs
// (last error EBUSY), for null arguments (EINVAL) or when no thread can be created (EAGAIN).
// An exception thrown by the routine ends the thread with exit code 0xFFFFFFFF.
int libtavpub_start_thread(THREAD_GUI_DATA* record, TavThreadRoutine routine);
// Sets `cancel`. With 0 tries returns 1 at once. Otherwise waits up to `tries` x 200 ms for the
// worker to end, joins it and returns 1; returns 0 when it still runs after the last try. A
// record with no worker (never started, or already joined) returns 1. Null record: 0.
int libtavpub_stop_thread(THREAD_GUI_DATA* record, int tries);

// ---- Progress (slots 0-7), called by the worker through `ops`. ----

void libtavpub_set_sub_progress_total(THREAD_GUI_DATA* record, int64_t sub_total,
                                      double sub_weight);
void libtavpub_set_progress_total(THREAD_GUI_DATA* record, uint64_t total);
void libtavpub_sub_progress_update(THREAD_GUI_DATA* record, uint32_t units);
void libtavpub_update_percentage(THREAD_GUI_DATA* record);
void libtavpub_append_message_to_info_box(THREAD_GUI_DATA* record, const char* text);
// Both store `text` as sub_prompt_text, drawn at the next round trip.
void libtavpub_set_prompt_message(THREAD_GUI_DATA* record, const char* text);
void libtavpub_set_sub_prompt_message(THREAD_GUI_DATA* record, const char* text);
// Default drawing handler, run by the face's thread for UiMessage::kProgress: takes the pending
// view, calls draw_progress on the sink it was posted to (no lock held), completes the round trip.
void libtavpub_idle_update_progress(THREAD_GUI_DATA* record);

// ---- Dialogs (slots 8-11). Answer codes are those of core/ui_sink.h. ----

// Asks `owner` (or, without one, the process default prompter) on the calling thread, with the
// record's caption as title and "????????????" for a null text. Icon codes other than 1-6 become
// 1, unknown button sets become 8. With nobody to ask, returns the safe answer
// (tav::unanswered_dialog_result).
uint32_t libtavpub_popup_dialog_box(THREAD_GUI_DATA* record, tav::UiSink* owner, uint32_t icon,
                                    uint32_t buttons, const char* text);
// Dialog handler, run by the face's thread for UiMessage::kDialog.
void libtavpub_idle_popup_dialog(THREAD_GUI_DATA* record);
// Shows the text of the calling thread's last error (icon 3, OK); nothing when silent.
void libtavpub_report_error(THREAD_GUI_DATA* record);
// Formats a message box text and shows it: on the calling thread when `record` is null or not in
// worker mode, else through the owner's thread while the caller waits. Returns the answer; 0 when
// the record is silent or the text is empty; the safe answer when there is no owner, when the
// round trip was abandoned, or when the text cannot be formatted or allocated. Use it only with
// a literal format; texts from elsewhere go through libtavpub_throw_dlg_text.
uint32_t libtavpub_throw_dlg(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                             const char* format, ...) __attribute__((format(printf, 4, 5)));
// The same with a finished text, shown as it stands (null counts as empty).
uint32_t libtavpub_throw_dlg_text(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                                  const char* text);

namespace tav {

// A pristine copy of the built-in operations, to restore default_channel_ops() from.
const GUI_OPS& builtin_channel_ops();

// Runs, on a face's own thread, the ops slot for a message the face got through post():
// kProgress runs idle_update_progress, kDialog runs idle_popup_dialog, kWorkDone does nothing.
void dispatch_ui_message(THREAD_GUI_DATA* record, UiMessage message);

// The prompter used by slot 8 when there is no owner (the command line sets one while no worker
// runs). Null clears it. The prompter must outlive its use; set and read atomically.
void set_default_prompter(Prompter* prompter);
Prompter* default_prompter();

// The answer given when a question cannot be asked or its round trip was abandoned: the choice
// that does not go on. 6 -> No (16); 70, 72, 80 -> Cancel (64); 112 -> Abort (64); 8 and any
// other set -> OK (8).
uint32_t unanswered_dialog_result(uint32_t buttons);

// ---- Face side of a round trip, for faces that replace slot 3 or slot 9. ----
// A handler takes the request under the record's round-trip mutex, draws or asks with no lock
// held, then completes the ticket; the record is never touched in between.

struct ProgressTicket {
  uint64_t ticket = 0;
  UiSink* sink = nullptr;  // the sink the view was posted to
  ProgressView view;
};
// Moves the pending view out (texts are drawn once). False when nothing waits to be drawn.
bool take_progress_view(THREAD_GUI_DATA* record, ProgressTicket* out);

struct DialogTicket {
  uint64_t ticket = 0;
  UiSink* sink = nullptr;
  uint32_t icon = 0;
  uint32_t buttons = 0;
  std::string caption;
  std::string text;
};
// Copies the question of a live dialog round trip. False when none waits for an answer.
bool take_dialog_request(THREAD_GUI_DATA* record, DialogTicket* out);

// Completes a round trip with `answer` (ignored for progress) and wakes the worker, if that
// ticket is still the live one; otherwise does nothing.
void complete_round_trip(THREAD_GUI_DATA* record, uint64_t ticket, uint32_t answer);

// ---- Operation frame, shared by the engines. ----

// Start of an operation on the worker: worker_mode = 1, error_count = 0, cancel = 0,
// start_time = now (low 32 bits).
void begin_operation(THREAD_GUI_DATA* record);
// End of an operation: worker_mode = 0 and UiMessage::kWorkDone posted to the owner with
// `result`. The thread stays owned by the record and is joined later.
void end_operation(THREAD_GUI_DATA* record, int64_t result);

// How a phase ended, for its line in the running report: cancelled when `cancel` is set, else
// failed when error_count is above 0, else done.
enum class PhaseOutcome { kCanceled, kFailed, kDone };
PhaseOutcome phase_outcome(const THREAD_GUI_DATA* record);

// The record's clock in seconds (its clock_seconds, else the calendar clock).
int64_t record_now_seconds(const THREAD_GUI_DATA* record);

}  // namespace tav
