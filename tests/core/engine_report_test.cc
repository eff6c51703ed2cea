// The engine error report: the line written into the shared buffer, the first-error-only rule of
// the shared flag, texts shown as they stand, and the cut on a UTF-8 boundary.
#include "core/engine_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/text_convert.h"
#include "tests/core/scripted_sink.h"

namespace tav {
namespace {

using test::ScriptedSink;

class EngineReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(libtavpub_init_thread_gui_data(&record_), 1);
    ASSERT_EQ(libtavpub_set_window_handle(&record_, &sink_), 1);
    buffer_.assign(kMessageBufferBytes, 'x');
    flag_ = 5;
    report_.set(&record_, buffer_.data(), &flag_);
  }
  void TearDown() override { libtavpub_destory_thread_gui_data(&record_); }

  ScriptedSink sink_;
  THREAD_GUI_DATA record_;
  std::vector<char> buffer_;
  int32_t flag_ = 0;
  EngineReport report_;
};

TEST_F(EngineReportTest, FirstReportShownAsItStands) {
  EXPECT_EQ(flag_, 0);  // set() clears it
  // A message holding conversions is never used as a format.
  EXPECT_EQ(report_.report_text("backup.cc", 42, "write_volume", true, kIconError, "50%s%n%d"),
            kAnswerOk);
  EXPECT_STREQ(buffer_.data(), "backup.cc(42)-write_volume.50%s%n%d");
  EXPECT_EQ(flag_, 1);
  EXPECT_EQ(record_.error_count, 1);

  // Later reports of the operation only fill the buffer and count.
  EXPECT_EQ(TAV_ENGINE_REPORT(report_, true, kIconWarning, "%d%% of %s", 50, "disk"), 0u);
  EXPECT_NE(std::strstr(buffer_.data(), "engine_report_test.cc("), nullptr);
  EXPECT_NE(std::strstr(buffer_.data(), ")-TestBody.50% of disk"), nullptr);
  EXPECT_EQ(std::strchr(buffer_.data(), '/'), nullptr);
  EXPECT_EQ(record_.error_count, 2);
  report_.report_text("a.cc", 1, "f", false, kIconError, "not counted");
  EXPECT_EQ(record_.error_count, 2);

  // -1 (the face probes files itself) suppresses boxes and is left alone.
  flag_ = -1;
  report_.report_text("a.cc", 1, "f", true, kIconError, "probe");
  EXPECT_EQ(flag_, -1);

  const std::vector<test::Question> questions = sink_.questions();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].text, "backup.cc(42)-write_volume.50%s%n%d");
  EXPECT_EQ(questions[0].icon, kIconError);
  EXPECT_EQ(questions[0].buttons, kButtonsOk);
}

TEST_F(EngineReportTest, ShownThroughWorkerRoundTrip) {
  sink_.push_answers({kAnswerOk});
  record_.worker_mode.store(1);
  // The calling thread is not the face's: the question goes through the face's thread.
  EXPECT_EQ(report_.report_text("r.cc", 7, "restore", true, kIconWarning, "100%s"), kAnswerOk);
  const std::vector<test::Question> questions = sink_.questions();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].text, "r.cc(7)-restore.100%s");
  EXPECT_EQ(questions[0].icon, kIconWarning);
}

TEST_F(EngineReportTest, BufferCutOnCharacterBoundary) {
  // "h.cc(1)-f." is 10 bytes; then 3-byte characters: 10 + 3k never lands on 10239.
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "\xE2\x82\xAC";  // EURO SIGN
  report_.report_text("h.cc", 1, "f", false, kIconError, text.c_str());
  EXPECT_EQ(buffer_[kMessageBufferBytes - 1], '\0');
  const size_t length = std::strlen(buffer_.data());
  EXPECT_EQ(length, 10u + 3u * ((kMessageBufferBytes - 1 - 10) / 3));
  EXPECT_EQ(std::string(buffer_.data(), length), ("h.cc(1)-f." + text).substr(0, length));
  // What the face was shown is the same cut text.
  ASSERT_EQ(sink_.questions().size(), 1u);
  EXPECT_EQ(sink_.questions()[0].text.size(), length);
}

// Worker threads of one run report at the same time: one report is shown, every one is
// counted, and the buffer ends up holding one whole report, never a mix of two.
TEST_F(EngineReportTest, ConcurrentReportsShowOneAndKeepTheBufferWhole) {
  constexpr int kThreads = 4;
  constexpr int kReports = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const std::string text(6000, char('a' + t));
      for (int i = 0; i < kReports; ++i) report_.report_text("w.cc", 1, "f", true, kIconError, text.c_str());
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(sink_.questions().size(), 1u);
  EXPECT_EQ(record_.error_count, kThreads * kReports);
  const std::string held(buffer_.data());
  ASSERT_EQ(held.size(), std::string("w.cc(1)-f.").size() + 6000);
  const std::string body = held.substr(held.size() - 6000);
  EXPECT_EQ(body, std::string(6000, body[0])) << "the buffer mixes two reports";
}

TEST(Utf8PrefixLength, NeverEndsInsideACharacter) {
  const struct {
    const char* name;
    std::string text;
    size_t max_bytes;
    size_t expected;
  } cases[] = {
      {"fits", "abc", 3, 3},
      {"ascii cut", "abcdef", 4, 4},
      {"two-byte char across the limit", "ab\xC3\xA9", 3, 2},
      {"four-byte char across the limit", "a\xF0\x9F\x98\x80z", 4, 1},
      {"four-byte char at the limit", "a\xF0\x9F\x98\x80z", 5, 5},
      {"stray continuation bytes count one by one", "a\x80\x80\x80", 3, 3},
      {"truncated sequence kept whole or dropped", "a\xE2\x82z", 2, 1},
      {"limit 0", "abc", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(utf8_prefix_length(c.text, c.max_bytes), c.expected);
  }
}

}  // namespace
}  // namespace tav
