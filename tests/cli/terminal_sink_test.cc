// The terminal face of the progress channel on a pseudo-terminal and on plain files: progress
// from a real worker, report lines above the bar, questions typed by the user, stop and SIGINT
// or SIGTERM ending a pending question, plain output throttled by an injected clock, and
// --yes / --no.
#include "cli/terminal_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/cancel_signals.h"

namespace tav::cli {
namespace {

// How long a wait may take before the test calls it a hang. Never reached when things work.
constexpr auto kHangLimit = std::chrono::seconds(20);

// Collects everything written to `fd` on a thread of its own, so a writer never blocks on a full
// terminal buffer and the test can wait for a text to appear.
class OutputCollector {
 public:
  explicit OutputCollector(int fd) : fd_(fd) {
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }
  ~OutputCollector() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &byte, 1);
    thread_.join();
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
  }

  // True once `needle` has appeared `count` times.
  bool wait_for(const std::string& needle, int count = 1) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kHangLimit, [&] { return occurrences(text_, needle) >= count; });
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }

  static int occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  void run() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if ((fds[0].revents & POLLIN) != 0) {
        char bytes[4096];
        const ssize_t n = ::read(fd_, bytes, sizeof bytes);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mu_);
          text_.append(bytes, static_cast<size_t>(n));
          cv_.notify_all();
          continue;
        }
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
        return;
      }
    }
  }

  int fd_;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::string text_;
  std::thread thread_;
};

// A pseudo-terminal: the sink gets the terminal side, the test types into and reads from the
// master side. Output post-processing is off so the bytes read are the bytes written.
class PseudoTerminal {
 public:
  explicit PseudoTerminal(int columns) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    terminal_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0) return;
    termios modes{};
    ::tcgetattr(terminal_, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(terminal_, TCSANOW, &modes);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = 24;
    ::ioctl(terminal_, TIOCSWINSZ, &size);
  }
  ~PseudoTerminal() {
    if (terminal_ >= 0) ::close(terminal_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return master_ >= 0 && terminal_ >= 0; }
  int master() const { return master_; }
  int terminal() const { return terminal_; }
  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

 private:
  int master_ = -1;
  int terminal_ = -1;
};

// A sink on a pseudo-terminal, with its output collected. Destroyed in reverse order: the sink
// first, then the collector, then the terminal.
struct TerminalFixture {
  explicit TerminalFixture(int columns = 60, AnswerMode mode = AnswerMode::kAsk) : pty(columns) {
    if (!pty.ok()) return;
    collector = std::make_unique<OutputCollector>(pty.master());
    TerminalSinkOptions options;
    options.output_fd = pty.terminal();
    options.error_fd = pty.terminal();
    options.input_fd = pty.terminal();
    options.answer_mode = mode;
    sink = std::make_unique<TerminalSink>(options);
  }
  PseudoTerminal pty;
  std::unique_ptr<OutputCollector> collector;
  std::unique_ptr<TerminalSink> sink;
};

#define REQUIRE_PTY(f) \
  if (!(f).pty.ok()) GTEST_SKIP() << "no pseudo-terminal available"

// ---- A real worker through the channel ----

std::atomic<int64_t> g_fake_seconds{1000};
int64_t fake_clock_seconds() { return g_fake_seconds.fetch_add(1); }

// Copies 100 x 2048 sectors in one step, reporting "Copying sectors... " and completing the
// report line with "Done" at the end, then ends the operation with result 7.
unsigned copy_worker(void* argument) {
  auto* record = static_cast<THREAD_GUI_DATA*>(argument);
  begin_operation(record);
  GUI_OPS* ops = record->ops;
  ops->set_prompt_message(record, "Copying sectors");
  ops->append_message_to_info_box(record, "Copying sectors... ");
  ops->set_progress_total(record, 2048 * 100);
  ops->set_sub_progress_total(record, 2048 * 100, 1.0);
  ops->update_percentage(record);
  for (int i = 0; i < 100; ++i) ops->sub_progress_update(record, 2048);
  ops->append_message_to_info_box(record, "Done\n");
  ops->update_percentage(record);
  end_operation(record, 7);
  return 0;
}

class ChannelRecord {
 public:
  explicit ChannelRecord(TerminalSink* sink) {
    libtavpub_init_thread_gui_data(&record_);
    record_.clock_seconds = fake_clock_seconds;
    libtavpub_set_window_handle(&record_, sink);
  }
  ~ChannelRecord() { libtavpub_destory_thread_gui_data(&record_); }
  THREAD_GUI_DATA* get() { return &record_; }

 private:
  THREAD_GUI_DATA record_;
};

// The pieces of terminal output between carriage returns that carry a progress line.
std::vector<std::string> drawn_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = text.find("\r[", at)) != std::string::npos) {
    const size_t end = text.find("\x1b[K", at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at + 1, end - at - 1));
    at = end;
  }
  return lines;
}

TEST(TerminalSinkTest, WorkerProgressEndsAtFullWithReportLineAboveTheBar) {
  TerminalFixture f(80);
  REQUIRE_PTY(f);
  ChannelRecord record(f.sink.get());
  ASSERT_EQ(libtavpub_start_thread(record.get(), copy_worker), 1);
  EXPECT_EQ(f.sink->wait_work_done(), std::optional<int64_t>(7));
  ASSERT_EQ(libtavpub_stop_thread(record.get(), 100), 1);
  libtavpub_set_window_handle(record.get(), nullptr);
  f.sink->stop();
  ASSERT_TRUE(f.collector->wait_for("\x1b[K\n"));
  const std::string out = f.collector->text();

  // The line is redrawn in place, always within 79 columns, and climbs to 100 %.
  const std::vector<std::string> lines = drawn_lines(out);
  ASSERT_GE(lines.size(), 50u) << out;
  for (const std::string& line : lines) {
    EXPECT_LE(display_columns(line), 79) << line;
    EXPECT_NE(line.find("Copying sectors"), std::string::npos) << line;
  }
  EXPECT_EQ(lines.back().rfind("[####################] 100%", 0), 0u) << lines.back();
  EXPECT_NE(lines[lines.size() / 2].find("B/s"), std::string::npos);
  EXPECT_NE(lines[lines.size() / 2].find(" left"), std::string::npos);
  // The line ends cleanly when the work is done: the final bar stays, followed by a newline.
  EXPECT_EQ(out.substr(out.size() - 4), "\x1b[K\n") << out;

  // The report line appears once, whole, printed over an erased bar and with the bar redrawn
  // below it.
  const std::string report = "\r\x1b[KCopying sectors... Done\n\r[";
  EXPECT_EQ(OutputCollector::occurrences(out, "Copying sectors... "), 1) << out;
  EXPECT_NE(out.find(report), std::string::npos) << out;
  EXPECT_LT(out.find("\r[--"), out.find(report));
}

TEST(TerminalSinkTest, ProgressLineFitsANarrowTerminal) {
  TerminalFixture f(50);
  REQUIRE_PTY(f);
  ProgressView view;
  view.percent = 50;
  view.total = 100;
  view.remaining = 50;
  view.elapsed = 1;
  view.remain_seconds = 1;
  for (int i = 0; i < 30; ++i) view.sub_prompt_text += "\xE5\xA4\x87";  // 60 columns of CJK
  f.sink->draw_progress(view);
  view.percent = 60;
  view.sub_prompt_text.clear();  // unchanged prompt: the sink keeps showing the last one
  f.sink->draw_progress(view);
  f.sink->stop();
  ASSERT_TRUE(f.collector->wait_for("\x1b[K\n"));
  const std::vector<std::string> lines = drawn_lines(f.collector->text());
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_LE(display_columns(line), 49) << line;
    EXPECT_GE(display_columns(line), 48) << line;
    EXPECT_EQ(sanitize_text(line, false), line);  // no cut inside a character
    EXPECT_NE(line.find("\xE5\xA4\x87"), std::string::npos) << line;
  }
}

// Asks three questions through the channel and ends with their answers packed into the result.
std::atomic<uint32_t> g_answers[3];
unsigned asking_worker(void* argument) {
  auto* record = static_cast<THREAD_GUI_DATA*>(argument);
  begin_operation(record);
  g_answers[0] = record->ops->throw_dlg(record, kIconQuestion, kButtonsYesNo,
                                        "Overwrite the image file %s?", "disk.ego");
  g_answers[1] = libtavpub_throw_dlg_text(record, kIconError, kButtonsRetryCancel,
                                          "Cannot read sector 5");
  g_answers[2] = libtavpub_throw_dlg_text(record, kIconError, kButtonsRetryCancel,
                                          "Cannot read sector 5");
  end_operation(record, 1);
  return 0;
}

TEST(TerminalSinkTest, WorkerQuestionsAnsweredOnTheTerminal) {
  TerminalFixture f;
  REQUIRE_PTY(f);
  ChannelRecord record(f.sink.get());
  ASSERT_EQ(libtavpub_start_thread(record.get(), asking_worker), 1);
  ASSERT_TRUE(f.collector->wait_for("Overwrite the image file disk.ego? [y/N] "));
  f.pty.type("y\n");
  ASSERT_TRUE(f.collector->wait_for("Cannot read sector 5 [r]etry/[C]ancel "));
  f.pty.type("r\n");
  ASSERT_TRUE(f.collector->wait_for("Cannot read sector 5 [r]etry/[C]ancel ", 2));
  f.pty.type("c\n");
  EXPECT_EQ(f.sink->wait_work_done(), std::optional<int64_t>(1));
  EXPECT_EQ(g_answers[0].load(), kAnswerYes);
  EXPECT_EQ(g_answers[1].load(), kAnswerRetry);
  EXPECT_EQ(g_answers[2].load(), kAnswerCancel);
  libtavpub_set_window_handle(record.get(), nullptr);
}

TEST(TerminalSinkTest, TypedAnswersDefaultsAndRetries) {
  struct Case {
    const char* name;
    uint32_t buttons;
    const char* typed;
    uint32_t answer;
    const char* shown;
  };
  const Case cases[] = {
      {"yes", kButtonsYesNo, "y\n", kAnswerYes, "[y/N] "},
      {"whole word, any case", kButtonsYesNo, " YES \n", kAnswerYes, "[y/N] "},
      {"empty line is the default", kButtonsYesNo, "\n", kAnswerNo, "[y/N] "},
      {"unrecognised, asked again", kButtonsYesNo, "maybe\ny\n", kAnswerYes, "Please answer [y/N] "},
      {"never recognised: safe answer", kButtonsYesNo, "1\n2\n3\n", kAnswerNo, "No valid answer; taking no"},
      {"retry", kButtonsRetryCancel, "r\n", kAnswerRetry, "[r]etry/[C]ancel "},
      {"retry default is cancel", kButtonsRetryCancel, "\n", kAnswerCancel, "[r]etry/[C]ancel "},
      {"abort/retry/ignore default is retry", kButtonsAbortRetryIgnore, "\n", kAnswerRetry,
       "[a]bort/[R]etry/[i]gnore "},
      {"ignore", kButtonsAbortRetryIgnore, "i\n", kAnswerIgnore, "[a]bort/[R]etry/[i]gnore "},
      {"abort", kButtonsAbortRetryIgnore, "abort\n", kAnswerAbort, "[a]bort/[R]etry/[i]gnore "},
      {"yes/no/cancel: no", kButtonsYesNoCancel, "n\n", kAnswerNo, "[y]es/[n]o/[C]ancel "},
      {"ok/cancel: ok", kButtonsOkCancel, "ok\n", kAnswerOk, "[o]k/[C]ancel "},
      {"a retry letter is not an answer to yes/no", kButtonsYesNo, "r\nr\nr\n", kAnswerNo,
       "No valid answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalFixture f;
    REQUIRE_PTY(f);
    f.pty.type(c.typed);  // typed ahead: the terminal holds it until the question reads it
    EXPECT_EQ(f.sink->ask(kIconQuestion, c.buttons, "caption", "Go on?"), c.answer);
    EXPECT_TRUE(f.collector->wait_for(c.shown)) << f.collector->text();
    EXPECT_EQ(f.collector->text().find("caption"), std::string::npos);
  }
}

TEST(TerminalSinkTest, StopEndsAPendingQuestionAtOnce) {
  TerminalFixture f;
  REQUIRE_PTY(f);
  auto answer = std::async(std::launch::async, [&] {
    return f.sink->ask(kIconQuestion, kButtonsAbortRetryIgnore, "", "Sector 9 unreadable");
  });
  ASSERT_TRUE(f.collector->wait_for("[a]bort/[R]etry/[i]gnore "));
  f.sink->stop();
  EXPECT_EQ(answer.get(), kAnswerAbort);
  EXPECT_FALSE(f.sink->post(UiMessage::kProgress, nullptr, 0));
  EXPECT_EQ(f.sink->wait_work_done(), std::nullopt);
  // Nothing is asked after the stop.
  f.pty.type("y\n");
  EXPECT_EQ(f.sink->ask(kIconQuestion, kButtonsYesNo, "", "Again?"), kAnswerNo);
}

TEST(TerminalSinkTest, SignalCancelsTheWorkerAndEndsItsQuestion) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    TerminalFixture f;
    REQUIRE_PTY(f);
    ChannelRecord record(f.sink.get());
    CancelOnSignals guard(&record.get()->cancel, f.sink.get());
    ASSERT_TRUE(guard.installed());
    EXPECT_FALSE(guard.signalled());
    ASSERT_EQ(libtavpub_start_thread(record.get(), asking_worker), 1);
    ASSERT_TRUE(f.collector->wait_for("[y/N] "));
    ASSERT_EQ(::raise(signal_number), 0);
    // All three questions get the safe answer; the worker runs to its end.
    EXPECT_EQ(f.sink->wait_work_done(), std::optional<int64_t>(1));
    EXPECT_TRUE(guard.signalled());
    EXPECT_EQ(record.get()->cancel.load(), 1u);
    EXPECT_EQ(g_answers[0].load(), kAnswerNo);
    EXPECT_EQ(g_answers[1].load(), kAnswerCancel);
    EXPECT_EQ(g_answers[2].load(), kAnswerCancel);
    EXPECT_EQ(f.collector->occurrences(f.collector->text(), "[r]etry/[C]ancel"), 0);

    // Questions stay unasked until the interrupt is cleared.
    f.pty.type("y\n");
    EXPECT_EQ(f.sink->ask(kIconQuestion, kButtonsYesNo, "", "Now?"), kAnswerNo);
    f.sink->clear_interrupt();
    EXPECT_EQ(f.sink->ask(kIconQuestion, kButtonsYesNo, "", "Now?"), kAnswerYes);
    libtavpub_set_window_handle(record.get(), nullptr);
  }
}

// The guard's own rules, without a terminal: one guard at a time, the handlers it replaced are
// back when it ends, and a signal's default action is back after the first one.
TEST(CancelOnSignalsTest, OneAtATimeAndHandlersRestored) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction saved_int {}, saved_term {};
  ASSERT_EQ(::sigaction(SIGINT, &ignore, &saved_int), 0);
  ASSERT_EQ(::sigaction(SIGTERM, &ignore, &saved_term), 0);
  auto handler_of = [](int signal_number) {
    struct sigaction now {};
    ::sigaction(signal_number, nullptr, &now);
    return now.sa_handler;
  };
  {
    std::atomic<uint32_t> cancel{0};
    CancelOnSignals guard(&cancel, nullptr);
    ASSERT_TRUE(guard.installed());
    {
      std::atomic<uint32_t> other{0};
      CancelOnSignals second(&other, nullptr);
      EXPECT_FALSE(second.installed());
      EXPECT_FALSE(second.signalled());
    }
    // The refused second guard changed nothing.
    EXPECT_NE(handler_of(SIGTERM), SIG_IGN);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(cancel.load(), 1u);
    EXPECT_TRUE(guard.signalled());
    EXPECT_EQ(handler_of(SIGTERM), SIG_DFL) << "a second SIGTERM ends the program";
    EXPECT_NE(handler_of(SIGINT), SIG_IGN);
  }
  EXPECT_EQ(handler_of(SIGINT), SIG_IGN);
  EXPECT_EQ(handler_of(SIGTERM), SIG_IGN);
  {
    // A new guard starts unsignalled.
    std::atomic<uint32_t> cancel{0};
    CancelOnSignals guard(&cancel, nullptr);
    ASSERT_TRUE(guard.installed());
    EXPECT_FALSE(guard.signalled());
  }
  ::sigaction(SIGINT, &saved_int, nullptr);
  ::sigaction(SIGTERM, &saved_term, nullptr);
}

TEST(TerminalSinkTest, CancelOfTheServedRecordEndsItsQuestion) {
  TerminalFixture f;
  REQUIRE_PTY(f);
  ChannelRecord record(f.sink.get());
  ASSERT_EQ(libtavpub_start_thread(record.get(), asking_worker), 1);
  ASSERT_TRUE(f.collector->wait_for("[y/N] "));
  libtavpub_stop_thread(record.get(), 0);  // sets cancel only, like a cancel button
  EXPECT_EQ(f.sink->wait_work_done(), std::optional<int64_t>(1));
  EXPECT_EQ(g_answers[0].load(), kAnswerNo);
  libtavpub_set_window_handle(record.get(), nullptr);
}

TEST(TerminalSinkTest, InformationWarningAndErrorBoxesAreOnlyPrinted) {
  TerminalFixture f;
  REQUIRE_PTY(f);
  // Nothing is typed: none of these may wait for input.
  EXPECT_EQ(f.sink->ask(kIconError, kButtonsOk, "", "Disk full"), kAnswerOk);
  EXPECT_EQ(f.sink->ask(kIconWarning, kButtonsOk, "", "Slow disk\n"), kAnswerOk);
  EXPECT_EQ(f.sink->ask(kIconInformation, 12345, "", "All done"), kAnswerOk);
  ASSERT_TRUE(f.collector->wait_for("All done\n"));
  EXPECT_EQ(f.collector->text(), "Error: Disk full\nWarning: Slow disk\nAll done\n");
}

// ---- Output that is not a terminal ----

// A temporary file to stand in for a redirected output.
class TempFile {
 public:
  TempFile() : file_(std::tmpfile()) {}
  ~TempFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  int fd() const { return file_ != nullptr ? ::fileno(file_) : -1; }
  std::string text() const {
    std::string all;
    char bytes[4096];
    off_t at = 0;
    for (ssize_t n; (n = ::pread(fd(), bytes, sizeof bytes, at)) > 0; at += n) {
      all.append(bytes, static_cast<size_t>(n));
    }
    return all;
  }

 private:
  std::FILE* file_;
};

// A pipe holding `content` and then the end of input.
class InputPipe {
 public:
  explicit InputPipe(const std::string& content) {
    if (::pipe2(fds_, O_CLOEXEC) != 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fds_[1], content.data(), content.size());
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  ~InputPipe() {
    if (fds_[0] >= 0) ::close(fds_[0]);
  }
  int fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

TEST(TerminalSinkTest, PlainOutputHasNoControlsAndThrottlesProgressLines) {
  TempFile out;
  TempFile err;
  int64_t now_ms = 0;
  TerminalSinkOptions options;
  options.output_fd = out.fd();
  options.error_fd = err.fd();
  options.input_fd = -1;
  options.clock_ms = [&now_ms] { return now_ms; };
  TerminalSink sink(options);
  ASSERT_FALSE(sink.output_is_terminal());

  struct Step {
    int64_t at_ms;
    int percent;
    const char* info;
    const char* prompt;
  };
  const Step steps[] = {
      {0, 0, "Copying ", "Copying"},       // first progress line; the report line waits
      {1000, 1, nullptr, nullptr},         // too soon
      {4999, 2, "\x1b[31mDone\r\n", nullptr},  // the report line is complete
      {5000, 3, nullptr, nullptr},         // 5 s after the last line
      {5000, 3, nullptr, "Copying"},       // not moved; the prompt did not change either
      {6000, 40, "Verifying", "Verifying"},  // too soon, but the new prompt is a line
      {6001, 100, nullptr, nullptr},       // 100 % always
      {20000, 100, nullptr, nullptr},      // not moved
  };
  for (const Step& step : steps) {
    now_ms = step.at_ms;
    ProgressView view;
    view.percent = step.percent;
    view.total = 100;
    view.remaining = static_cast<uint64_t>(100 - step.percent);
    view.elapsed = static_cast<int32_t>(step.at_ms / 1000);
    view.remain_seconds = 97;
    if (step.info != nullptr) view.info_text = step.info;
    if (step.prompt != nullptr) view.sub_prompt_text = step.prompt;
    sink.draw_progress(view);
  }
  sink.stop();  // ends the report line that has no '\n' yet
  EXPECT_EQ(out.text(),
            "Copying\n"
            "0%\n"
            "Copying ?[31mDone\n"
            "3%  307 B/s  1 min 37 s left\n"
            "Verifying\n"
            "100%  8.3 KiB/s\n"
            "Verifying\n");
  EXPECT_EQ(err.text(), "");
}

TEST(TerminalSinkTest, AnswerModesAndNoTerminal) {
  constexpr int kNoTerminal = -1;
  constexpr int kTerminal = 1;
  struct Case {
    const char* name;
    AnswerMode mode;
    int input;  // kNoTerminal, or kTerminal with `typed` waiting
    const char* typed;
    uint32_t icon;
    uint32_t buttons;
    uint32_t answer;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"--no: yes/no", AnswerMode::kNo, kNoTerminal, "", 6, kButtonsYesNo, kAnswerNo,
       "Replace? [y/N] no (--no)\n", ""},
      {"--no never reads the terminal", AnswerMode::kNo, kTerminal, "y\n", 6, kButtonsYesNo,
       kAnswerNo, "Replace? [y/N] no (--no)\n", ""},
      {"--no: yes/no/cancel", AnswerMode::kNo, kNoTerminal, "", 6, kButtonsYesNoCancel,
       kAnswerCancel, "Replace? [y]es/[n]o/[C]ancel cancel (--no)\n", ""},
      {"--no: ok/cancel", AnswerMode::kNo, kNoTerminal, "", 6, kButtonsOkCancel, kAnswerCancel,
       "Replace? [o]k/[C]ancel cancel (--no)\n", ""},
      {"--no: retry/cancel", AnswerMode::kNo, kTerminal, "r\n", 3, kButtonsRetryCancel,
       kAnswerCancel, "Replace? [r]etry/[C]ancel cancel (--no)\n", ""},
      {"--no: abort/retry/ignore", AnswerMode::kNo, kNoTerminal, "", 3, kButtonsAbortRetryIgnore,
       kAnswerAbort, "Replace? [a]bort/[R]etry/[i]gnore abort (--no)\n", ""},
      {"--yes: yes/no", AnswerMode::kYes, kNoTerminal, "", 6, kButtonsYesNo, kAnswerYes,
       "Replace? [y/N] yes (--yes)\n", ""},
      {"--yes answers without reading", AnswerMode::kYes, kTerminal, "n\n", 6, kButtonsYesNo,
       kAnswerYes, "Replace? [y/N] yes (--yes)\n", ""},
      {"--yes: yes/no/cancel", AnswerMode::kYes, kNoTerminal, "", 6, kButtonsYesNoCancel,
       kAnswerYes, "Replace? [y]es/[n]o/[C]ancel yes (--yes)\n", ""},
      {"--yes: ok/cancel", AnswerMode::kYes, kNoTerminal, "", 6, kButtonsOkCancel, kAnswerOk,
       "Replace? [o]k/[C]ancel ok (--yes)\n", ""},
      {"--yes, no terminal: retry/cancel is not a confirmation", AnswerMode::kYes, kNoTerminal,
       "", 3, kButtonsRetryCancel, kAnswerCancel, "",
       "cannot ask: Replace?; no terminal (--yes does not answer this question; taking "
       "cancel)\n"},
      {"--yes, no terminal: abort/retry/ignore", AnswerMode::kYes, kNoTerminal, "", 3,
       kButtonsAbortRetryIgnore, kAnswerAbort, "",
       "cannot ask: Replace?; no terminal (--yes does not answer this question; taking "
       "abort)\n"},
      {"--yes with a terminal asks retry/cancel", AnswerMode::kYes, kTerminal, "r\n", 3,
       kButtonsRetryCancel, kAnswerRetry, "Replace? [r]etry/[C]ancel r\n", ""},
      {"no flag, no terminal: refused", AnswerMode::kAsk, kNoTerminal, "", 6, kButtonsYesNo,
       kAnswerNo, "", "cannot ask: Replace?; no terminal (use --yes or --no)\n"},
      {"no flag, no terminal: ok/cancel refused", AnswerMode::kAsk, kNoTerminal, "", 6,
       kButtonsOkCancel, kAnswerCancel, "", "cannot ask: Replace?; no terminal (use --yes or --no)\n"},
      {"no flag, no terminal: abort/retry/ignore refused", AnswerMode::kAsk, kNoTerminal, "", 3,
       kButtonsAbortRetryIgnore, kAnswerAbort, "",
       "cannot ask: Replace?; no terminal (use --yes or --no)\n"},
      {"no flag, input ends before an answer", AnswerMode::kAsk, kTerminal, "", 6, kButtonsYesNo,
       kAnswerNo, "Replace? [y/N] \n", ""},
      {"no flag, last line without a newline", AnswerMode::kAsk, kTerminal, "y", 6,
       kButtonsYesNo, kAnswerYes, "Replace? [y/N] y\n", ""},
      {"single OK is never refused", AnswerMode::kAsk, kNoTerminal, "", 1, kButtonsOk, kAnswerOk,
       "Replace?\n", ""},
      {"error box under --no is still shown", AnswerMode::kNo, kNoTerminal, "", 4, kButtonsOk,
       kAnswerOk, "", "Error: Replace?\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile out;
    TempFile err;
    InputPipe input(c.typed);
    TerminalSinkOptions options;
    options.output_fd = out.fd();
    options.error_fd = err.fd();
    options.input_fd = c.input == kTerminal ? input.fd() : -1;
    options.answer_mode = c.mode;
    TerminalSink sink(options);
    EXPECT_EQ(sink.ask(c.icon, c.buttons, "", "Replace?"), c.answer);
    sink.stop();
    EXPECT_EQ(out.text(), c.out);
    EXPECT_EQ(err.text(), c.err);
  }
}

TEST(TerminalSinkTest, DefaultPrompterAsksWhenNoWorkerRuns) {
  TempFile out;
  TerminalSinkOptions options;
  options.output_fd = out.fd();
  options.error_fd = out.fd();
  options.input_fd = -1;
  options.answer_mode = AnswerMode::kYes;
  TerminalSink sink(options);
  set_default_prompter(&sink);
  EXPECT_EQ(libtavpub_throw_dlg(nullptr, kIconQuestion, kButtonsYesNo, "Delete %d files?", 3),
            kAnswerYes);
  set_default_prompter(nullptr);
  EXPECT_EQ(out.text(), "Delete 3 files? [y/N] yes (--yes)\n");
}

}  // namespace
}  // namespace tav::cli
