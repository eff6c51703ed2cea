// Answer sets, the answer mode's decisions and the interruptible line reader of the terminal.
#include "cli/terminal_prompter.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "core/progress_channel.h"

namespace tav::cli {

namespace {

struct Choice {
  char key;
  const char* word;
  uint32_t answer;
};

struct ChoiceSet {
  uint32_t buttons;
  Choice choices[3];
  int count;
  int default_index;  // the set's default button
};

constexpr ChoiceSet kChoiceSets[] = {
    {kButtonsYesNo, {{'y', "yes", kAnswerYes}, {'n', "no", kAnswerNo}}, 2, 1},
    {kButtonsYesNoCancel,
     {{'y', "yes", kAnswerYes}, {'n', "no", kAnswerNo}, {'c', "cancel", kAnswerCancel}},
     3,
     2},
    {kButtonsOkCancel, {{'o', "ok", kAnswerOk}, {'c', "cancel", kAnswerCancel}}, 2, 1},
    {kButtonsRetryCancel, {{'r', "retry", kAnswerRetry}, {'c', "cancel", kAnswerCancel}}, 2, 1},
    {kButtonsAbortRetryIgnore,
     {{'a', "abort", kAnswerAbort}, {'r', "retry", kAnswerRetry}, {'i', "ignore", kAnswerIgnore}},
     3,
     1},
};

const ChoiceSet* find_set(uint32_t buttons) {
  for (const ChoiceSet& set : kChoiceSets) {
    if (set.buttons == buttons) return &set;
  }
  return nullptr;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

constexpr size_t kMaxLineBytes = 4096;
constexpr int kCancelPollMs = 100;

}  // namespace

bool has_choices(uint32_t buttons) { return find_set(buttons) != nullptr; }

uint32_t default_answer(uint32_t buttons) {
  const ChoiceSet* set = find_set(buttons);
  return set != nullptr ? set->choices[set->default_index].answer : kAnswerOk;
}

std::string choices_prompt(uint32_t buttons) {
  const ChoiceSet* set = find_set(buttons);
  if (set == nullptr) return std::string();
  if (buttons == kButtonsYesNo) return "[y/N]";
  std::string text;
  for (int i = 0; i < set->count; ++i) {
    const Choice& choice = set->choices[i];
    if (i > 0) text += '/';
    text += '[';
    text += i == set->default_index
                ? static_cast<char>(std::toupper(static_cast<unsigned char>(choice.key)))
                : choice.key;
    text += ']';
    text += choice.word + 1;
  }
  return text;
}

bool parse_answer(uint32_t buttons, std::string_view line, uint32_t* answer) {
  const ChoiceSet* set = find_set(buttons);
  line = trim(line);
  if (set == nullptr) {
    *answer = kAnswerOk;
    return true;
  }
  if (line.empty()) {
    *answer = set->choices[set->default_index].answer;
    return true;
  }
  for (int i = 0; i < set->count; ++i) {
    const Choice& choice = set->choices[i];
    if ((line.size() == 1 && lower(line[0]) == choice.key) ||
        equals_ignoring_case(line, choice.word)) {
      *answer = choice.answer;
      return true;
    }
  }
  return false;
}

std::string answer_word(uint32_t buttons, uint32_t answer) {
  if (const ChoiceSet* set = find_set(buttons)) {
    for (int i = 0; i < set->count; ++i) {
      if (set->choices[i].answer == answer) return set->choices[i].word;
    }
  }
  return answer == kAnswerOk ? "ok" : "answer " + std::to_string(answer);
}

QuestionDecision decide_question(AnswerMode mode, uint32_t buttons, bool can_ask) {
  if (!has_choices(buttons)) return {QuestionAction::kShow, kAnswerOk};
  const uint32_t safe = unanswered_dialog_result(buttons);
  if (mode == AnswerMode::kNo) return {QuestionAction::kAnswer, safe};
  if (mode == AnswerMode::kYes) {
    if (buttons == kButtonsYesNo || buttons == kButtonsYesNoCancel) {
      return {QuestionAction::kAnswer, kAnswerYes};
    }
    if (buttons == kButtonsOkCancel) return {QuestionAction::kAnswer, kAnswerOk};
  }
  if (can_ask) return {QuestionAction::kAsk, safe};
  return {QuestionAction::kRefuse, safe};
}

InterruptibleLineReader::InterruptibleLineReader() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read_ = fds[0];
    wake_write_ = fds[1];
  }
}

InterruptibleLineReader::~InterruptibleLineReader() {
  if (wake_read_ >= 0) ::close(wake_read_);
  if (wake_write_ >= 0) ::close(wake_write_);
}

void InterruptibleLineReader::interrupt() noexcept {
  interrupted_.store(true);
  if (wake_write_ >= 0) {
    const char byte = 1;
    // A full pipe already wakes the reader; nothing to do about a failed write.
    [[maybe_unused]] const ssize_t n = ::write(wake_write_, &byte, 1);
  }
}

void InterruptibleLineReader::clear_interrupt() {
  // Flag first, then drain: an interrupt() racing with this leaves its flag set.
  interrupted_.store(false);
  drain_wake_pipe();
}

void InterruptibleLineReader::drain_wake_pipe() {
  if (wake_read_ < 0) return;
  char bytes[64];
  while (::read(wake_read_, bytes, sizeof bytes) > 0) {
  }
}

InterruptibleLineReader::Result InterruptibleLineReader::read_line(
    int fd, std::string* line, const std::atomic<uint32_t>* cancel) {
  for (;;) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos || buffered_.size() >= kMaxLineBytes) {
      const size_t length = newline != std::string::npos ? newline : kMaxLineBytes;
      line->assign(buffered_, 0, length);
      buffered_.erase(0, newline != std::string::npos ? length + 1 : length);
      return Result::kLine;
    }
    if (interrupted_.load()) return Result::kInterrupted;
    if (cancel != nullptr && cancel->load() != 0) return Result::kInterrupted;

    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    const nfds_t count = wake_read_ >= 0 ? 2 : 1;
    // Without a wake pipe the flag is polled; `cancel` is a plain flag nobody signals.
    const int timeout_ms = cancel != nullptr || wake_read_ < 0 ? kCancelPollMs : -1;
    const int ready = ::poll(fds, count, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Result::kError;
    }
    if (ready == 0) continue;
    if (count == 2 && fds[1].revents != 0) {
      if (interrupted_.load()) return Result::kInterrupted;
      drain_wake_pipe();  // a byte left by an interrupt that was cleared since
    }
    if (fds[0].revents == 0) continue;
    if ((fds[0].revents & POLLNVAL) != 0) return Result::kError;
    char bytes[256];
    const ssize_t n = ::read(fd, bytes, sizeof bytes);
    if (n > 0) {
      buffered_.append(bytes, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // End of input (or a terminal that went away: EIO): a last unterminated line still counts.
    if (!buffered_.empty()) {
      line->swap(buffered_);
      buffered_.clear();
      return Result::kLine;
    }
    return n == 0 ? Result::kEndOfInput : Result::kError;
  }
}

}  // namespace tav::cli
