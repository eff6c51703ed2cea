// The terminal face of the progress channel: its thread, the progress line, report lines and
// questions.
#include "cli/terminal_sink.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace tav::cli {

namespace {

constexpr char kEraseLine[] = "\r\x1b[K";  // to column 0, clear to the end of the line
constexpr int kDefaultColumns = 80;
constexpr int kMaxAnswerAttempts = 3;
// Report text without a '\n' is held back until its line is complete; past this it is printed.
constexpr size_t kMaxPartialInfoBytes = 64 * 1024;

// The record whose message the face thread is handling, so that a question it asks ends when
// that record's `cancel` is set. Set only around dispatch on a sink's own thread.
struct Serving {
  const TerminalSink* sink = nullptr;
  THREAD_GUI_DATA* record = nullptr;
};
thread_local Serving t_serving;

std::string without_trailing_newlines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

TerminalSink::TerminalSink(TerminalSinkOptions options) : options_(std::move(options)) {
  input_fd_ = options_.input_fd;
  if (input_fd_ == TerminalSinkOptions::kInputAuto) {
    input_fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (input_fd_ >= 0) {
      owns_input_ = true;
    } else {
      input_fd_ = ::isatty(STDIN_FILENO) == 1 ? STDIN_FILENO : -1;
    }
  }
  if (input_fd_ < 0) input_fd_ = -1;
  output_tty_ = options_.output_fd >= 0 && ::isatty(options_.output_fd) == 1;
  error_tty_ = options_.error_fd >= 0 && ::isatty(options_.error_fd) == 1;
  input_tty_ = input_fd_ >= 0 && ::isatty(input_fd_) == 1;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    // No face thread: posts are refused, which the channel treats as nobody being there.
    std::lock_guard<std::mutex> lock(mu_);
    stopping_.store(true);
    thread_done_ = true;
  }
}

TerminalSink::~TerminalSink() {
  stop();
  if (owns_input_) ::close(input_fd_);
}

bool TerminalSink::post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) {
  try {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_.load()) return false;
    queue_.push_back(Item{message, record, param});
  } catch (...) {
    return false;
  }
  cv_.notify_all();
  return true;
}

void TerminalSink::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_.store(true);
  }
  reader_.interrupt();
  cv_.notify_all();
  std::lock_guard<std::mutex> join_lock(join_mu_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TerminalSink::interrupt() noexcept { reader_.interrupt(); }

void TerminalSink::clear_interrupt() {
  reader_.clear_interrupt();
  // A stop() that raced with the clear keeps its interrupt.
  if (stopping_.load()) reader_.interrupt();
}

std::optional<int64_t> TerminalSink::wait_work_done() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return !work_done_.empty() || thread_done_; });
  if (work_done_.empty()) return std::nullopt;
  const int64_t result = work_done_.front();
  work_done_.pop_front();
  return result;
}

void TerminalSink::run() {
  for (;;) {
    Item item{};
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopping_.load() || !queue_.empty(); });
      // When stopping, what is queued is still handled: a worker may wait for it.
      if (queue_.empty()) break;
      item = queue_.front();
      queue_.pop_front();
    }
    handle(item);
  }
  {
    std::lock_guard<std::mutex> io_lock(io_mu_);
    flush_info_locked();
    end_line_locked();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    thread_done_ = true;
  }
  cv_.notify_all();
}

void TerminalSink::handle(const Item& item) {
  if (item.message == UiMessage::kWorkDone) {
    finish_work(item.param);
    return;
  }
  t_serving = Serving{this, item.record};
  try {
    dispatch_ui_message(item.record, item.message);
  } catch (...) {
    // The channel's handlers complete their round trip themselves; nothing may end this thread.
  }
  t_serving = Serving{};
}

void TerminalSink::finish_work(int64_t param) {
  try {
    std::lock_guard<std::mutex> io_lock(io_mu_);
    flush_info_locked();
    end_line_locked();
    bar_line_.clear();
    prompt_.clear();
    last_plain_percent_ = -1;
  } catch (...) {
  }
  try {
    std::lock_guard<std::mutex> lock(mu_);
    work_done_.push_back(param);
  } catch (...) {
  }
  cv_.notify_all();
}

void TerminalSink::draw_progress(const ProgressView& view) {
  std::lock_guard<std::mutex> io_lock(io_mu_);
  if (!view.info_text.empty()) {
    info_partial_ += sanitize_text(view.info_text, true);
    const size_t last_newline = info_partial_.rfind('\n');
    if (last_newline != std::string::npos) {
      const std::string lines = info_partial_.substr(0, last_newline + 1);
      info_partial_.erase(0, last_newline + 1);
      print_locked(options_.output_fd, lines);
    }
    if (info_partial_.size() > kMaxPartialInfoBytes) flush_info_locked();
  }
  if (!view.prompt_text.empty()) {
    print_locked(options_.output_fd, sanitize_text(view.prompt_text, false) + "\n");
  }
  // Views carry a text only when it changed; the step's prompt stays on the line until then.
  // Plain output shows each new prompt as a line of its own instead.
  if (!view.sub_prompt_text.empty() && view.sub_prompt_text != prompt_) {
    prompt_ = view.sub_prompt_text;
    if (!output_tty_) print_locked(options_.output_fd, sanitize_text(prompt_, false) + "\n");
  }

  ProgressView shown;
  shown.percent = view.percent;
  shown.sub_percent = view.sub_percent;
  shown.total = view.total;
  shown.remaining = view.remaining;
  shown.elapsed = view.elapsed;
  shown.remain_seconds = view.remain_seconds;

  if (output_tty_) {
    shown.sub_prompt_text = prompt_;
    bar_line_ = format_progress_line(
        shown, ProgressLineStyle{options_.bytes_per_unit, true, columns_locked()});
    show_bar_locked();
    return;
  }
  if (question_open_) return;  // drawn with the next change
  const int percent = std::clamp(static_cast<int>(view.percent), 0, 100);
  const int64_t now = now_ms();
  const bool moved = percent != last_plain_percent_;
  const bool due = last_plain_percent_ < 0 || percent == 100 ||
                   now - last_plain_ms_ >= options_.plain_progress_interval_ms;
  if (!moved || !due) return;
  write_fd(options_.output_fd,
           format_progress_line(shown, ProgressLineStyle{options_.bytes_per_unit, false, 0}) +
               "\n");
  last_plain_percent_ = percent;
  last_plain_ms_ = now;
}

uint32_t TerminalSink::ask(uint32_t icon, uint32_t buttons, const std::string& /*caption*/,
                           const std::string& text) {
  const uint32_t safe = unanswered_dialog_result(buttons);
  try {
    const std::string body = without_trailing_newlines(sanitize_text(text, true));
    const QuestionDecision decision = decide_question(options_.answer_mode, buttons, can_ask());
    if (decision.action == QuestionAction::kShow) {
      std::lock_guard<std::mutex> io_lock(io_mu_);
      if (icon == kIconWarning) {
        print_locked(options_.error_fd, "Warning: " + body + "\n");
      } else if (icon >= kIconError && icon <= 5) {
        print_locked(options_.error_fd, "Error: " + body + "\n");
      } else {
        print_locked(options_.output_fd, body + "\n");
      }
      return kAnswerOk;
    }
    // After a stop or a Ctrl-C nothing more is asked or answered on the user's behalf.
    if (stopping_.load() || reader_.interrupted()) return safe;
    switch (decision.action) {
      case QuestionAction::kAnswer: {
        const char* flag = options_.answer_mode == AnswerMode::kYes ? "--yes" : "--no";
        std::lock_guard<std::mutex> io_lock(io_mu_);
        print_locked(options_.output_fd, body + " " + choices_prompt(buttons) + " " +
                                             answer_word(buttons, decision.answer) + " (" +
                                             flag + ")\n");
        return decision.answer;
      }
      case QuestionAction::kRefuse: {
        const std::string reason =
            options_.answer_mode == AnswerMode::kYes
                ? " (--yes does not answer this question; taking " +
                      answer_word(buttons, decision.answer) + ")"
                : " (use --yes or --no)";
        std::lock_guard<std::mutex> io_lock(io_mu_);
        print_locked(options_.error_fd, "cannot ask: " + body + "; no terminal" + reason + "\n");
        return decision.answer;
      }
      case QuestionAction::kAsk:
        return ask_on_terminal(buttons, body);
      case QuestionAction::kShow:
        break;
    }
  } catch (...) {
  }
  return safe;
}

uint32_t TerminalSink::ask_on_terminal(uint32_t buttons, const std::string& body) {
  std::lock_guard<std::mutex> ask_lock(ask_mu_);
  const uint32_t safe = unanswered_dialog_result(buttons);
  const std::atomic<uint32_t>* cancel =
      t_serving.sink == this && t_serving.record != nullptr ? &t_serving.record->cancel : nullptr;
  const std::string choices = choices_prompt(buttons);
  {
    std::lock_guard<std::mutex> io_lock(io_mu_);
    hide_bar_locked();
    question_open_ = true;
  }
  write_question(body + " " + choices + " ");
  uint32_t answer = safe;
  bool answered = false;
  bool gave_up = false;
  for (int attempt = 0; attempt < kMaxAnswerAttempts && !answered && !gave_up; ++attempt) {
    std::string line;
    const InterruptibleLineReader::Result result = reader_.read_line(input_fd_, &line, cancel);
    if (result != InterruptibleLineReader::Result::kLine) {
      write_question("\n");  // ends the line the question left open
      gave_up = true;
      break;
    }
    // A terminal echoes what was typed; other input is echoed here so the output reads whole.
    if (!input_tty_) write_question(sanitize_text(line, false) + "\n");
    answered = parse_answer(buttons, line, &answer);
    if (!answered && attempt + 1 < kMaxAnswerAttempts) {
      write_question("Please answer " + choices + " ");
    }
  }
  if (!answered) {
    answer = safe;
    if (!gave_up) write_question("No valid answer; taking " + answer_word(buttons, safe) + "\n");
  }
  {
    std::lock_guard<std::mutex> io_lock(io_mu_);
    question_open_ = false;
    show_bar_locked();
  }
  return answer;
}

void TerminalSink::write_question(const std::string& text) {
  std::lock_guard<std::mutex> io_lock(io_mu_);
  write_fd(question_fd(), text);
}

int TerminalSink::question_fd() const {
  if (output_tty_) return options_.output_fd;
  if (error_tty_) return options_.error_fd;
  if (input_tty_) return input_fd_;  // /dev/tty is opened for reading and writing
  return options_.output_fd;
}

void TerminalSink::write_fd(int fd, const std::string& text) {
  if (fd < 0) return;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed terminal or a full disk: the output is lost, work goes on
    done += static_cast<size_t>(n);
  }
}

void TerminalSink::hide_bar_locked() {
  if (!bar_shown_) return;
  write_fd(options_.output_fd, kEraseLine);
  bar_shown_ = false;
}

void TerminalSink::show_bar_locked() {
  if (!output_tty_ || question_open_ || bar_line_.empty()) return;
  write_fd(options_.output_fd, "\r" + bar_line_ + "\x1b[K");
  bar_shown_ = true;
}

void TerminalSink::print_locked(int fd, const std::string& text) {
  const bool had_bar = bar_shown_;
  hide_bar_locked();
  write_fd(fd, text);
  if (had_bar) show_bar_locked();
}

void TerminalSink::flush_info_locked() {
  if (info_partial_.empty()) return;
  std::string line = std::move(info_partial_);
  info_partial_.clear();
  print_locked(options_.output_fd, line + "\n");
}

void TerminalSink::end_line_locked() {
  if (!bar_shown_) return;
  write_fd(options_.output_fd, "\n");  // the final state of the line stays on the screen
  bar_shown_ = false;
}

int TerminalSink::columns_locked() const {
  if (options_.columns > 0) return options_.columns;
  winsize size{};
  if (::ioctl(options_.output_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

int64_t TerminalSink::now_ms() const {
  if (options_.clock_ms) return options_.clock_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tav::cli
