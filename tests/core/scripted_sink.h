// A face of the progress channel for tests: queues posted messages to its own thread, which runs
// the record's ops slot for each, records every drawn view and question, and answers questions
// from a script. Switches let a test pause the queue, hold a question open or refuse posts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/progress_channel.h"

namespace tav::test {

struct Question {
  uint32_t icon = 0;
  uint32_t buttons = 0;
  std::string caption;
  std::string text;
};

class ScriptedSink : public UiSink {
 public:
  ScriptedSink() : thread_([this] { run(); }) {}
  ~ScriptedSink() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++posts_;
    cv_.notify_all();
    if (fail_posts_) return false;
    queue_.push_back(Item{message, record, param});
    return true;
  }

  void draw_progress(const ProgressView& view) override {
    std::lock_guard<std::mutex> lock(mu_);
    views_.push_back(view);
    cv_.notify_all();
  }

  uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption,
               const std::string& text) override {
    std::unique_lock<std::mutex> lock(mu_);
    questions_.push_back(Question{icon, buttons, caption, text});
    cv_.notify_all();
    cv_.wait(lock, [this] { return !hold_asks_ || stopping_; });
    if (answers_.empty()) return kAnswerOk;
    const uint32_t answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  // Calls `done(*this)` under the sink's lock until it is true; false after 20 s, which only a
  // hang reaches.
  template <class Predicate>
  bool wait_until(Predicate done) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return done(*this); });
  }

  void set_paused(bool paused) { set(&paused_, paused); }
  void set_hold_asks(bool hold) { set(&hold_asks_, hold); }
  void set_fail_posts(bool fail) { set(&fail_posts_, fail); }
  void push_answers(std::initializer_list<uint32_t> answers) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.insert(answers_.end(), answers);
  }

  std::vector<ProgressView> views() const { return locked_copy(views_); }
  std::vector<Question> questions() const { return locked_copy(questions_); }
  std::vector<int64_t> work_done() const { return locked_copy(work_done_); }
  int posts() const { return locked_copy(posts_); }
  int handled() const { return locked_copy(handled_); }

  // Read inside wait_until predicates only (the lock is held there).
  int posts_ = 0;
  int handled_ = 0;
  std::vector<ProgressView> views_;
  std::vector<Question> questions_;
  std::vector<int64_t> work_done_;

 private:
  struct Item {
    UiMessage message;
    THREAD_GUI_DATA* record;
    int64_t param;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stopping_ || (!paused_ && !queue_.empty()); });
      if (stopping_) return;
      const Item item = queue_.front();
      queue_.pop_front();
      lock.unlock();
      if (item.message == UiMessage::kWorkDone) {
        std::lock_guard<std::mutex> done_lock(mu_);
        work_done_.push_back(item.param);
      } else {
        dispatch_ui_message(item.record, item.message);
      }
      lock.lock();
      ++handled_;
      cv_.notify_all();
    }
  }

  void set(bool* flag, bool value) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      *flag = value;
    }
    cv_.notify_all();
  }

  template <class T>
  T locked_copy(const T& value) const {
    std::lock_guard<std::mutex> lock(mu_);
    return value;
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  std::deque<uint32_t> answers_;
  bool paused_ = false;
  bool hold_asks_ = false;
  bool fail_posts_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: starts after every member above is ready
};

}  // namespace tav::test
