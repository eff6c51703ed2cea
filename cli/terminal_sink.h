// The `tav` command's face of the progress channel: a UiSink that draws the progress line on a
// terminal (or plain lines into a log or pipe) and asks the channel's questions on the terminal,
// with --yes / --no answering them unasked.
//
// Use: construct it, set it on the record (libtavpub_set_window_handle) and, while no worker
// runs, as the default prompter (tav::set_default_prompter); start the worker; wait_work_done();
// remove it from the record (and as default prompter) before it is destroyed.
#pragma once

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/cli_options.h"
#include "cli/progress_format.h"
#include "cli/terminal_prompter.h"
#include "core/progress_channel.h"

namespace tav::cli {

struct TerminalSinkOptions {
  // input_fd value: /dev/tty when it can be opened, else stdin when it is a terminal, else none.
  static constexpr int kInputAuto = -2;

  int output_fd = STDOUT_FILENO;  // progress, report lines, information boxes
  int error_fd = STDERR_FILENO;   // error and warning boxes, refused questions
  int input_fd = kInputAuto;      // where answers are read; -1: nobody can be asked
  AnswerMode answer_mode = AnswerMode::kAsk;
  uint32_t bytes_per_unit = kDefaultBytesPerUnit;  // bytes in one unit of the record's counters
  int columns = 0;  // width of the output terminal; 0: asked of the terminal, 80 when unknown
  // Monotonic clock in milliseconds for the throttling of plain progress lines; null: the
  // steady clock.
  std::function<int64_t()> clock_ms;
  int64_t plain_progress_interval_ms = 5000;  // least time between two plain progress lines
};

// Thread-safety: post(), stop(), interrupt(), clear_interrupt() and wait_work_done() may be called
// from any thread (interrupt() also from a signal handler). draw_progress() and ask() run on the
// face thread for posted messages, and ask() also on any thread that asks directly (as default
// prompter); output is serialised, and one question is open at a time.
//
// Members by owner: options and fds are set at construction; the queue, `stopping_` and the
// work-done results are guarded by `mu_`; the screen state by `io_mu_`; `ask_mu_` serialises
// questions. Lock order: ask_mu_ -> io_mu_; mu_ is never held with the others.
class TerminalSink : public UiSink {
 public:
  explicit TerminalSink(TerminalSinkOptions options = {});
  // stop(), then closes the terminal it opened.
  ~TerminalSink() override;
  TerminalSink(const TerminalSink&) = delete;
  TerminalSink& operator=(const TerminalSink&) = delete;

  // Queues the message for the face thread and returns at once; false once stopping (or when
  // the face thread could not be started, or memory runs out).
  bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) override;
  // Report text (info_text) is printed above the progress line a line at a time, once its '\n'
  // has come (an unfinished line at work done or stop). On a terminal the progress line is
  // redrawn in place; otherwise a plain "NN% ..." line is written when the percentage moved,
  // at most every plain_progress_interval_ms and always at 100 %, and each new prompt is a line.
  void draw_progress(const ProgressView& view) override;
  // A single OK box is printed (errors and warnings on the error fd) and answered OK at once.
  // A question with choices is answered by the answer mode, asked on the terminal, or refused;
  // see decide_question(). A stop, an interrupt, a cancel of the record being served, the end
  // of the input or a few unrecognised answers give the safe answer. The caption is not shown.
  uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption,
               const std::string& text) override;

  // Waits for the next kWorkDone not yet waited for and returns its param; nullopt once the
  // sink is stopping and no such result is left.
  std::optional<int64_t> wait_work_done();

  // Refuses further posts, ends a pending question with the safe answer, lets the face thread
  // handle what is queued (questions then get the safe answer at once), ends the progress line
  // and joins the thread. Idempotent.
  void stop();

  // For Ctrl-C: ends a pending question with the safe answer, and every later one until
  // clear_interrupt(). Async-signal-safe.
  void interrupt() noexcept;
  void clear_interrupt();

  bool output_is_terminal() const { return output_tty_; }
  // True when answers can be read (there is an input fd).
  bool can_ask() const { return input_fd_ >= 0; }

 private:
  struct Item {
    UiMessage message;
    THREAD_GUI_DATA* record;
    int64_t param;
  };

  void run();
  void handle(const Item& item);
  void finish_work(int64_t param);

  // Screen helpers; io_mu_ held.
  void write_fd(int fd, const std::string& text);
  void hide_bar_locked();
  void show_bar_locked();
  void print_locked(int fd, const std::string& text);
  void flush_info_locked();
  void end_line_locked();
  int columns_locked() const;
  int64_t now_ms() const;
  int question_fd() const;

  uint32_t ask_on_terminal(uint32_t buttons, const std::string& body);
  void write_question(const std::string& text);

  // Set at construction.
  TerminalSinkOptions options_;
  int input_fd_ = -1;
  bool owns_input_ = false;
  bool output_tty_ = false;
  bool input_tty_ = false;
  bool error_tty_ = false;
  InterruptibleLineReader reader_;

  // Guarded by mu_.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  std::deque<int64_t> work_done_;
  bool thread_done_ = false;
  std::atomic<bool> stopping_{false};  // written under mu_, read anywhere
  std::mutex join_mu_;                 // one stop() joins the thread

  // Guarded by io_mu_: the screen.
  std::mutex io_mu_;
  bool bar_shown_ = false;      // the cursor is on the progress line (terminal output only)
  bool question_open_ = false;  // a question owns the screen: progress is stored, not drawn
  std::string bar_line_;        // the latest progress line, to redraw
  std::string prompt_;          // the step's prompt, kept between views
  std::string info_partial_;    // report text after the last '\n', printed once completed
  int last_plain_percent_ = -1;
  int64_t last_plain_ms_ = 0;

  std::mutex ask_mu_;

  std::thread thread_;  // last: starts once every member above is ready
};

}  // namespace tav::cli
