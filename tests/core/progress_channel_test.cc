// The progress channel: counters and percentages, drawing and question round trips through a
// scripted face, abandoned round trips, and the worker thread's start and stop.
#include "core/progress_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "tests/core/scripted_sink.h"

namespace tav {
namespace {

using test::ScriptedSink;

// The channel's clock for these tests.
std::atomic<int64_t> g_now{1000};
int64_t test_clock() { return g_now.load(); }

// Runs a body on the record's worker thread through libtavpub_start_thread.
std::function<uint32_t(THREAD_GUI_DATA*)> g_body;
unsigned run_body(void* record) { return g_body(static_cast<THREAD_GUI_DATA*>(record)); }

class ProgressChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(libtavpub_init_thread_gui_data(&record_), 1);
    record_.clock_seconds = test_clock;
    g_now.store(1000);
    ASSERT_EQ(libtavpub_set_strings(&record_, "a", nullptr, "c", "d", "e", "Title"), 1);
  }
  void TearDown() override {
    libtavpub_destory_thread_gui_data(&record_);
    set_default_prompter(nullptr);
  }

  // Starts `body` on the worker; the future holds its result.
  std::future<uint32_t> start(std::function<uint32_t(THREAD_GUI_DATA*)> body) {
    auto promise = std::make_shared<std::promise<uint32_t>>();
    std::future<uint32_t> result = promise->get_future();
    g_body = [body, promise](THREAD_GUI_DATA* record) {
      const uint32_t value = body(record);
      promise->set_value(value);
      return value;
    };
    EXPECT_EQ(libtavpub_start_thread(&record_, run_body), 1) << "last error " << get_last_error();
    return result;
  }

  // Waits for the worker's wrapper to finish, without joining it.
  bool wait_thread_ended() {
    std::unique_lock<std::mutex> lock(record_.thread_mutex);
    return record_.thread_exit.wait_for(lock, std::chrono::seconds(20),
                                        [this] { return !record_.thread_running; });
  }

  // The worker's result; a failure (not a hang) when it never comes.
  static uint32_t result_of(std::future<uint32_t>* result) {
    EXPECT_EQ(result->wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return result->get();
  }

  ScriptedSink sink_;  // outlives the record's use of it
  THREAD_GUI_DATA record_;
};

// ---- Counters: the step and percentage rules, without a face. ----

std::atomic<int> g_percentage_calls{0};
void counting_update_percentage(THREAD_GUI_DATA* record) {
  ++g_percentage_calls;
  libtavpub_update_percentage(record);
}

TEST_F(ProgressChannelTest, StepUpdateRules) {
  struct Case {
    const char* name;
    uint64_t total;
    int64_t sub_total;
    double weight;
    std::vector<uint32_t> units;
    uint64_t remaining;
    int64_t sub_done;
    int32_t sub_percent;
    int32_t percent;
    int percentage_calls;
  };
  const Case cases[] = {
      {"step total 0 changes nothing", 1000, 0, 1.0, {10}, 1000, 0, 0, 0, 0},
      {"operation total 0 changes nothing", 0, 100, 1.0, {10}, 0, 0, 0, 0, 0},
      {"weighted units", 1000, 100, 2.0, {10}, 980, 20, 20, 2, 1},
      {"product truncated", 1000, 100, 0.5, {3}, 999, 1, 1, 0, 1},
      {"delta over remaining stops at 0", 100, 1000, 1.0, {150}, 0, 150, 15, 100, 1},
      {"overshoot of the step stops at 100 %", 1000, 50, 1.0, {30, 80}, 890, 50, 100, 11, 2},
      {"same step percentage draws nothing", 100000, 1000, 1.0, {1, 1, 1}, 99997, 3, 0, 0, 0},
      {"whole-disk counts", UINT64_MAX, 8000000000000000000, 1e9, {4000000000u}, UINT64_MAX - 4000000000000000000u,
       4000000000000000000, 50, 21, 1},
      {"negative weight counts nothing", 1000, 100, -3.0, {10}, 1000, 0, 0, 0, 0},
  };
  GUI_OPS ops = builtin_channel_ops();
  ops.update_percentage = counting_update_percentage;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(libtavpub_init_thread_gui_data(&record_), 1);
    record_.clock_seconds = test_clock;
    record_.ops = &ops;
    g_percentage_calls = 0;
    record_.ops->set_progress_total(&record_, c.total);
    record_.ops->set_sub_progress_total(&record_, c.sub_total, c.weight);
    for (uint32_t units : c.units) record_.ops->sub_progress_update(&record_, units);
    EXPECT_EQ(record_.remaining, c.remaining);
    EXPECT_EQ(record_.sub_done, c.sub_done);
    EXPECT_EQ(record_.sub_percent.load(), c.sub_percent);
    EXPECT_EQ(record_.percent.load(), c.percent);
    EXPECT_EQ(g_percentage_calls.load(), c.percentage_calls);
  }
}

TEST_F(ProgressChannelTest, PercentageUpdateEstimatesRemainingTime) {
  struct Step {
    const char* name;
    int64_t now;
    uint64_t remaining;
    bool cancel;
    int32_t percent;
    int32_t elapsed;
    uint32_t remain_seconds;
  };
  // total 1000, started at 1000 with remain_seconds preset to 777.
  const Step steps[] = {
      {"same second: elapsed 0 keeps the estimate", 1000, 900, false, 10, 0, 777},
      {"percentage unchanged: nothing refreshed", 1005, 899, false, 10, 0, 777},
      {"10 s for 200 units: 20 per second", 1010, 800, false, 20, 10, 40},
      {"cancel set: nothing computed", 1020, 100, true, 20, 10, 40},
      {"rate 0 keeps the estimate", 1500, 700, false, 30, 500, 40},
      {"rate truncated: 601 / 300", 1002, 399, false, 60, 2, 1},
  };
  record_.total = 1000;
  record_.remaining = 1000;
  g_now = 1000;
  begin_operation(&record_);
  record_.remain_seconds = 777;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    g_now = s.now;
    record_.remaining = s.remaining;
    record_.cancel = s.cancel ? 1 : 0;
    libtavpub_update_percentage(&record_);
    EXPECT_EQ(record_.percent.load(), s.percent);
    EXPECT_EQ(record_.elapsed, s.elapsed);
    EXPECT_EQ(record_.remain_seconds, s.remain_seconds);
  }
}

// ---- Drawing round trips through a face. ----

TEST_F(ProgressChannelTest, WorkerProgressReaches100Percent) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    r->ops->set_prompt_message(r, "Copying");
    r->ops->append_message_to_info_box(r, "Copying partition 1");
    r->ops->set_progress_total(r, 3000);
    for (int step = 0; step < 2; ++step) {
      r->ops->set_sub_progress_total(r, 1500, 1.5);  // units x weight count in the step too
      for (int i = 0; i < 100; ++i) r->ops->sub_progress_update(r, 10);
    }
    r->ops->append_message_to_info_box(r, "Done\n");
    r->remaining = 0;
    r->ops->update_percentage(r);
    end_operation(r, 7);
    return 0;
  });
  EXPECT_EQ(result_of(&result), 0u);
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return !s.work_done_.empty(); }));
  EXPECT_EQ(sink_.work_done(), std::vector<int64_t>{7});
  EXPECT_EQ(record_.worker_mode.load(), 0u);

  const std::vector<ProgressView> views = sink_.views();
  ASSERT_FALSE(views.empty());
  // Every change of a percentage is drawn and nothing else: 100 step changes per step.
  EXPECT_EQ(views.size(), 201u);
  int infos = 0;
  for (size_t i = 1; i < views.size(); ++i) EXPECT_GE(views[i].percent, views[i - 1].percent);
  for (const ProgressView& v : views) infos += v.info_text.empty() ? 0 : 1;
  EXPECT_EQ(infos, 2);
  EXPECT_EQ(views.front().info_text, "Copying partition 1");
  EXPECT_EQ(views.front().sub_prompt_text, "Copying");
  EXPECT_EQ(views[99].percent, 50);  // 1500 of 3000 after the first step
  EXPECT_EQ(views.back().percent, 100);
  EXPECT_EQ(views.back().sub_percent, 100);
  EXPECT_EQ(views.back().remaining, 0u);
  EXPECT_EQ(views.back().info_text, "Done\n");
}

// ---- Questions. ----

TEST_F(ProgressChannelTest, QuestionAnsweredRetryThenAbort) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.push_answers({kAnswerRetry, kAnswerAbort});
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    uint32_t answer = 0;
    int asked = 0;
    do {
      answer = r->ops->throw_dlg(r, kIconError, kButtonsAbortRetryIgnore, "Disk %d failed", 2);
      ++asked;
    } while (answer == kAnswerRetry && asked < 10);
    return answer * 100 + static_cast<uint32_t>(asked);
  });
  EXPECT_EQ(result_of(&result), kAnswerAbort * 100 + 2);
  const std::vector<test::Question> questions = sink_.questions();
  ASSERT_EQ(questions.size(), 2u);
  for (const test::Question& q : questions) {
    EXPECT_EQ(q.icon, kIconError);
    EXPECT_EQ(q.buttons, kButtonsAbortRetryIgnore);
    EXPECT_EQ(q.caption, "Title");
    EXPECT_EQ(q.text, "Disk 2 failed");
  }
  EXPECT_EQ(record_.dlg_result, kAnswerAbort);
  EXPECT_TRUE(record_.dlg_text.empty());
}

TEST_F(ProgressChannelTest, CancelDuringQuestionGivesSafeAnswer) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.set_hold_asks(true);
  sink_.push_answers({kAnswerRetry});
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    return r->ops->throw_dlg(r, kIconWarning, kButtonsRetryCancel, "Insert the next disk");
  });
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return !s.questions_.empty(); }));
  record_.cancel.store(1);  // a plain store, as a face does it: no notification
  EXPECT_EQ(result_of(&result), kAnswerCancel);
  // The late Retry of the face reaches nobody.
  sink_.set_hold_asks(false);
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.handled_ == 1; }));
  EXPECT_EQ(record_.dlg_result, kAnswerCancel);
}

TEST_F(ProgressChannelTest, SinkRemovedWhileWorkerWaits) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.set_paused(true);
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    r->ops->append_message_to_info_box(r, "Phase 1");
    r->ops->update_percentage(r);
    return r->ops->throw_dlg(r, kIconQuestion, kButtonsYesNo, "Overwrite?");
  });
  // First the drawing waits, then the question.
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.posts_ == 1; }));
  libtavpub_set_window_handle(&record_, nullptr);
  EXPECT_EQ(result_of(&result), kAnswerNo);
  EXPECT_EQ(sink_.posts(), 1);  // the question found no owner

  // The face catches up: the abandoned drawing is still drawn, with its text.
  sink_.set_paused(false);
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.handled_ == 1; }));
  const std::vector<ProgressView> views = sink_.views();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].info_text, "Phase 1");
  EXPECT_TRUE(sink_.questions().empty());
}

TEST_F(ProgressChannelTest, LateFaceDoesNotAnswerAbandonedQuestion) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.set_paused(true);
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    return r->ops->throw_dlg(r, kIconQuestion, kButtonsYesNoCancel, "Save changes?");
  });
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.posts_ == 1; }));
  ScriptedSink other;
  libtavpub_set_window_handle(&record_, &other);  // replaced: the worker stops waiting too
  EXPECT_EQ(result_of(&result), kAnswerCancel);
  sink_.set_paused(false);
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.handled_ == 1; }));
  EXPECT_TRUE(sink_.questions().empty());
  EXPECT_TRUE(other.questions().empty());
  libtavpub_set_window_handle(&record_, nullptr);
}

TEST_F(ProgressChannelTest, FailedPostIsNobody) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.set_fail_posts(true);
  auto result = start([&](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    r->ops->append_message_to_info_box(r, "Line 1\n");
    r->ops->update_percentage(r);
    const uint32_t answer = r->ops->throw_dlg(r, kIconQuestion, kButtonsYesNoCancel, "Go on?");
    sink_.set_fail_posts(false);
    r->ops->append_message_to_info_box(r, "Line 2\n");
    r->ops->update_percentage(r);
    return answer;
  });
  EXPECT_EQ(result_of(&result), kAnswerCancel);
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.views_.size() == 1; }));
  // The text of the drawing that could not be posted is drawn with the next one.
  EXPECT_EQ(sink_.views()[0].info_text, "Line 1\nLine 2\n");
  EXPECT_TRUE(sink_.questions().empty());
}

TEST_F(ProgressChannelTest, SilentRecordShowsNothing) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  record_.silent.store(1);
  for (uint32_t worker_mode : {0u, 1u}) {
    SCOPED_TRACE(worker_mode);
    record_.worker_mode.store(worker_mode);
    record_.total = 100;
    record_.remaining = 50;
    EXPECT_EQ(libtavpub_throw_dlg(&record_, kIconError, kButtonsRetryCancel, "x"), 0u);
    libtavpub_update_percentage(&record_);
    set_last_error(ENOENT);
    libtavpub_report_error(&record_);
  }
  EXPECT_EQ(record_.percent.load(), 0);
  EXPECT_EQ(sink_.posts(), 0);
  EXPECT_TRUE(sink_.questions().empty());
}

TEST_F(ProgressChannelTest, UnansweredQuestionsGetTheSafeAnswer) {
  const struct {
    uint32_t buttons;
    uint32_t answer;
  } cases[] = {
      {kButtonsYesNo, kAnswerNo},          {kButtonsOk, kAnswerOk},
      {kButtonsYesNoCancel, kAnswerCancel}, {kButtonsOkCancel, kAnswerCancel},
      {kButtonsRetryCancel, kAnswerCancel}, {kButtonsAbortRetryIgnore, kAnswerAbort},
      {0, kAnswerOk},                       {99, kAnswerOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buttons);
    EXPECT_EQ(unanswered_dialog_result(c.buttons), c.answer);
    record_.worker_mode.store(1);  // no owner: nothing is posted
    EXPECT_EQ(libtavpub_throw_dlg(&record_, kIconQuestion, c.buttons, "q"), c.answer);
    record_.worker_mode.store(0);  // shown at once, but nobody to ask
    EXPECT_EQ(libtavpub_throw_dlg(&record_, kIconQuestion, c.buttons, "q"), c.answer);
    EXPECT_EQ(libtavpub_throw_dlg_text(nullptr, kIconQuestion, c.buttons, "q"), c.answer);
  }
}

TEST_F(ProgressChannelTest, DefaultPrompterAnswersWithoutOwner) {
  sink_.push_answers({kAnswerYes, kAnswerOk});
  set_default_prompter(&sink_);
  EXPECT_EQ(libtavpub_throw_dlg(nullptr, kIconQuestion, kButtonsYesNo, "%s", "50%s%n"),
            kAnswerYes);
  EXPECT_EQ(libtavpub_popup_dialog_box(&record_, nullptr, 7, 99, nullptr), kAnswerOk);
  const std::vector<test::Question> questions = sink_.questions();
  ASSERT_EQ(questions.size(), 2u);
  EXPECT_EQ(questions[0].text, "50%s%n");
  EXPECT_EQ(questions[0].caption, "");
  // Unknown icon and button codes reach the face as information and OK.
  EXPECT_EQ(questions[1].icon, kIconInformation);
  EXPECT_EQ(questions[1].buttons, kButtonsOk);
  EXPECT_EQ(questions[1].caption, "Title");
  EXPECT_EQ(questions[1].text, "????????????");
  EXPECT_EQ(libtavpub_throw_dlg(&record_, kIconError, kButtonsOk, "%s", ""), 0u);
}

TEST_F(ProgressChannelTest, ReportErrorShowsLastErrorText) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    set_last_error(ENOENT);
    r->ops->report_error(r);
    set_last_error(0xE0000012u);
    r->ops->report_error(r);
    return 0;
  });
  EXPECT_EQ(result_of(&result), 0u);
  const std::vector<test::Question> questions = sink_.questions();
  ASSERT_EQ(questions.size(), 2u);
  EXPECT_EQ(questions[0].text, std::strerror(ENOENT));
  EXPECT_EQ(questions[0].icon, kIconError);
  EXPECT_EQ(questions[0].buttons, kButtonsOk);
  EXPECT_EQ(questions[1].text, "Error 0xE0000012");
}

// ---- The worker thread. ----

TEST_F(ProgressChannelTest, StopThread) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<bool> saw_cancel{false};
  // A worker that ignores cancel until the gate opens.
  auto result = start([&](THREAD_GUI_DATA* r) -> uint32_t {
    opened.wait();
    saw_cancel = r->cancel.load() != 0;
    return 5;
  });
  EXPECT_EQ(libtavpub_stop_thread(&record_, 0), 1);  // 0 tries: only sets cancel
  EXPECT_EQ(record_.cancel.load(), 1u);
  EXPECT_EQ(libtavpub_start_thread(&record_, run_body), 0);  // one worker at a time
  EXPECT_EQ(get_last_error(), static_cast<uint32_t>(EBUSY));
  EXPECT_EQ(libtavpub_stop_thread(&record_, 1), 0);  // still runs after the last try
  gate.set_value();
  EXPECT_EQ(result_of(&result), 5u);
  EXPECT_TRUE(saw_cancel);
  EXPECT_EQ(libtavpub_stop_thread(&record_, 100), 1);  // seen ended, joined
  EXPECT_FALSE(record_.thread.joinable());
  EXPECT_EQ(record_.thread_exit_code, 5u);
  EXPECT_EQ(libtavpub_stop_thread(&record_, 3), 1);  // no worker left
  EXPECT_EQ(libtavpub_stop_thread(nullptr, 3), 0);
}

TEST_F(ProgressChannelTest, StartThreadJoinsFinishedWorkerAndCatchesExceptions) {
  auto first = start([](THREAD_GUI_DATA*) -> uint32_t { throw std::runtime_error("boom"); });
  // The promise is never set: wait for the thread's end itself.
  ASSERT_TRUE(wait_thread_ended());
  EXPECT_EQ(record_.thread_exit_code, 0xFFFFFFFFu);
  record_.cancel.store(1);
  auto second = start([](THREAD_GUI_DATA* r) -> uint32_t { return r->cancel.load(); });
  EXPECT_EQ(result_of(&second), 0u);  // start clears cancel
  ASSERT_TRUE(wait_thread_ended());
  EXPECT_TRUE(record_.thread.joinable());
  auto third = start([](THREAD_GUI_DATA*) -> uint32_t { return 3; });  // joins the second
  EXPECT_EQ(result_of(&third), 3u);
  EXPECT_EQ(libtavpub_start_thread(nullptr, run_body), 0);
  EXPECT_EQ(libtavpub_start_thread(&record_, nullptr), 0);
}

TEST_F(ProgressChannelTest, DestroyWakesAndJoinsWaitingWorker) {
  ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
  sink_.set_paused(true);
  auto result = start([](THREAD_GUI_DATA* r) -> uint32_t {
    begin_operation(r);
    return r->ops->throw_dlg(r, kIconQuestion, kButtonsOkCancel, "Continue?");
  });
  ASSERT_TRUE(sink_.wait_until([](const ScriptedSink& s) { return s.posts_ == 1; }));
  libtavpub_destory_thread_gui_data(&record_);
  EXPECT_EQ(result_of(&result), kAnswerCancel);
  EXPECT_FALSE(record_.thread.joinable());
  EXPECT_EQ(record_.owner_wnd.load(), nullptr);
  EXPECT_EQ(record_.caption(), "");
  EXPECT_EQ(record_.ops, &default_channel_ops());
}

}  // namespace
}  // namespace tav
