// Questions of the progress channel on a terminal: which answers a button set offers and how
// they are typed, what the answer mode (--yes / --no) decides without asking, and a line reader
// that a stop or a Ctrl-C can interrupt while it waits for the user. Used by TerminalSink.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/cli_options.h"

namespace tav::cli {

// True for the button sets that offer a choice (6, 70, 72, 80, 112); any other set is a single
// OK button.
bool has_choices(uint32_t buttons);

// The answer of the set's default button: No for 6, Cancel for 70, 72 and 80, Retry for 112,
// OK otherwise.
uint32_t default_answer(uint32_t buttons);

// How the choices are offered, the default in capitals: "[y/N]", "[y]es/[n]o/[C]ancel",
// "[o]k/[C]ancel", "[r]etry/[C]ancel", "[a]bort/[R]etry/[i]gnore"; empty for a single OK.
std::string choices_prompt(uint32_t buttons);

// Reads a typed answer: its first letter or the whole word, in any case, surrounding blanks
// ignored; an empty line is the default. False when the line names none of the set's answers.
bool parse_answer(uint32_t buttons, std::string_view line, uint32_t* answer);

// The word for an answer of a set ("yes", "cancel", "retry", ...). Answers share codes, so the
// set decides: 16 is "no" for 6 and 70 but "retry" for 80 and 112.
std::string answer_word(uint32_t buttons, uint32_t answer);

// What to do with a question before anyone is asked.
enum class QuestionAction {
  kShow,    // a single OK: print the text and answer OK
  kAnswer,  // answered by the answer mode without asking
  kAsk,     // ask on the terminal
  kRefuse,  // nobody can answer: report it and take the safe answer
};
struct QuestionDecision {
  QuestionAction action = QuestionAction::kShow;
  uint32_t answer = 0;  // the answer for kShow, kAnswer and kRefuse; the safe one for kAsk
};
// --no answers every question safely; --yes answers the confirmations (6, 70: Yes; 72: OK) and
// leaves Retry/Cancel and Abort/Retry/Ignore to the terminal, or to the safe answer without one.
// Without either flag a terminal is asked and no terminal refuses.
QuestionDecision decide_question(AnswerMode mode, uint32_t buttons, bool can_ask);

// Reads lines from a terminal (or any fd) while a wake pipe can cut the wait short.
// interrupt() may be called from any thread and from a signal handler; everything else is for
// one reading thread at a time (TerminalSink serialises its questions).
class InterruptibleLineReader {
 public:
  InterruptibleLineReader();
  ~InterruptibleLineReader();
  InterruptibleLineReader(const InterruptibleLineReader&) = delete;
  InterruptibleLineReader& operator=(const InterruptibleLineReader&) = delete;

  enum class Result { kLine, kInterrupted, kEndOfInput, kError };

  // Waits for a whole line on `fd` and returns it without its '\n' (or the rest of the input at
  // its end). kInterrupted as soon as interrupt() has been called, or, when `cancel` is given,
  // within about 100 ms of it becoming nonzero. A line longer than 4096 bytes is returned in
  // pieces. Bytes after the line stay buffered for the next call.
  Result read_line(int fd, std::string* line, const std::atomic<uint32_t>* cancel);

  // Makes the pending and every later read_line return kInterrupted until clear_interrupt().
  // Async-signal-safe.
  void interrupt() noexcept;
  void clear_interrupt();
  bool interrupted() const { return interrupted_.load(); }

 private:
  void drain_wake_pipe();

  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<bool> interrupted_{false};
  std::string buffered_;
};

}  // namespace tav::cli
