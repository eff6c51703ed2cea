// The progress line's pieces: bar, rate, remaining time, and UTF-8 text cut to a width.
#include "cli/progress_format.h"

#include <gtest/gtest.h>

#include <string>

namespace tav::cli {
namespace {

TEST(ProgressFormatTest, BarFillsInProportionAndClamps) {
  struct Case {
    int percent;
    int cells;
    const char* bar;
  };
  const Case cases[] = {
      {0, 10, "[----------]"},  {9, 10, "[----------]"},  {10, 10, "[#---------]"},
      {55, 10, "[#####-----]"}, {99, 10, "[#########-]"}, {100, 10, "[##########]"},
      {-5, 4, "[----]"},        {250, 4, "[####]"},       {50, 0, "[]"},
      {50, 20, "[##########----------]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.percent) + "% in " + std::to_string(c.cells));
    EXPECT_EQ(format_percent_bar(c.percent, c.cells), c.bar);
  }
}

TEST(ProgressFormatTest, RateChangesUnitAtEachBoundary) {
  struct Case {
    double bytes_per_second;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0 B/s"},
      {-3.0, "0 B/s"},
      {512.0, "512 B/s"},
      {1023.0, "1023 B/s"},
      {1023.6, "1.0 KiB/s"},  // would round to "1024 B/s"
      {1024.0, "1.0 KiB/s"},
      {1536.0, "1.5 KiB/s"},
      {1023.9 * 1024, "1023.9 KiB/s"},
      {1023.97 * 1024, "1.0 MiB/s"},  // would print "1024.0 KiB/s"
      {12.34 * 1024 * 1024, "12.3 MiB/s"},
      {1024.0 * 1024 * 1024, "1.0 GiB/s"},
      {3000.0 * 1024 * 1024 * 1024, "3000.0 GiB/s"},  // no unit above GiB/s
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_rate(c.bytes_per_second), c.text);
  }
}

TEST(ProgressFormatTest, SizeTexts) {
  struct Case {
    uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1.0 MiB"},  // would print as "1024.0 KiB"
      {512ull << 30, "512.0 GiB"},
      {3ull << 40, "3.0 TiB"},
      {UINT64_MAX, "16777216.0 TiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_size(c.bytes), c.text);
  }
}

TEST(ProgressFormatTest, RemainingTimeTexts) {
  struct Case {
    uint32_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 s left"},          {12, "12 s left"},           {59, "59 s left"},
      {60, "1 min 00 s left"},  {200, "3 min 20 s left"},    {3599, "59 min 59 s left"},
      {3600, "1 h 00 min left"}, {3720, "1 h 02 min left"},  {3779, "1 h 02 min left"},
      {100 * 3600, "100 h 00 min left"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(format_remaining(c.seconds), c.text);
  }
}

TEST(ProgressFormatTest, CutNeverSplitsACharacterAndCountsWideOnesTwice) {
  const std::string cafe = "caf\xC3\xA9s";                   // "cafés": é is 2 bytes, 1 column
  const std::string han = "\xE5\xA4\x87\xE4\xBB\xBD\xE7\xA3\x81";  // three CJK characters, 2 columns each
  const std::string emoji = "ok\xF0\x9F\x98\x80!";           // a 4-byte emoji, 2 columns
  const std::string accent = "e\xCC\x81x";                   // e + combining acute: 2 columns
  struct Case {
    const char* name;
    std::string text;
    int columns;
    std::string cut;
  };
  const Case cases[] = {
      {"fits", cafe, 10, cafe},
      {"before the two-byte character", cafe, 3, "caf"},
      {"after the two-byte character", cafe, 4, "caf\xC3\xA9"},
      {"wide: room for one and a half", han, 3, "\xE5\xA4\x87"},
      {"wide: exactly two", han, 4, "\xE5\xA4\x87\xE4\xBB\xBD"},
      {"emoji does not fit", emoji, 3, "ok"},
      {"emoji fits", emoji, 4, "ok\xF0\x9F\x98\x80"},
      {"combining mark stays with its letter", accent, 1, "e\xCC\x81"},
      {"zero columns", cafe, 0, ""},
      {"negative columns", cafe, -4, ""},
      {"malformed byte counts as one", std::string("a\xFF" "b"), 2, std::string("a\xFF")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cut_to_columns(c.text, c.columns), c.cut);
    EXPECT_LE(display_columns(c.cut), std::max(c.columns, 0));
  }
  EXPECT_EQ(display_columns(han), 6);
  EXPECT_EQ(display_columns(cafe), 5);
}

TEST(ProgressFormatTest, SanitizeRemovesControlsAndMalformedBytes) {
  struct Case {
    const char* name;
    std::string text;
    bool keep_newlines;
    std::string clean;
  };
  const Case cases[] = {
      {"escape sequence", "a\x1b[2Jb", true, "a?[2Jb"},
      {"crlf line ends", "one\r\ntwo\r\n", true, "one\ntwo\n"},
      {"lone carriage return", "50%\rdone", false, "50%done"},
      {"newline in a single line", "a\nb", false, "a b"},
      {"tab", "a\tb", true, "a b"},
      {"bell and delete", "a\x07\x7f", true, "a??"},
      {"C1 control", "a\xC2\x9B" "b", true, "a?b"},
      {"malformed and truncated UTF-8", "a\xC3(\xE2\x82", true, "a?(?"},
      {"valid UTF-8 kept", "\xE5\xA4\x87 \xC3\xA9", true, "\xE5\xA4\x87 \xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sanitize_text(c.text, c.keep_newlines), c.clean);
  }
}

ProgressView view_of(int percent, uint64_t total, uint64_t remaining, int32_t elapsed,
                     uint32_t remain_seconds, std::string prompt) {
  ProgressView view;
  view.percent = percent;
  view.total = total;
  view.remaining = remaining;
  view.elapsed = elapsed;
  view.remain_seconds = remain_seconds;
  view.sub_prompt_text = std::move(prompt);
  return view;
}

TEST(ProgressFormatTest, LineShowsRateInBytesAndTimeWhileRunning) {
  // 2048 sectors of 512 bytes in 1 s: 1 MiB/s.
  const ProgressView running = view_of(25, 8192, 6144, 1, 3, "Backing up disk 1");
  EXPECT_EQ(format_progress_line(running, ProgressLineStyle{512, true, 0}),
            "[#####---------------]  25%  1.0 MiB/s  3 s left  Backing up disk 1");
  EXPECT_EQ(format_progress_line(running, ProgressLineStyle{512, false, 0}),
            "25%  1.0 MiB/s  3 s left  Backing up disk 1");
  // Units of 4096 bytes: the same counters are eight times the rate.
  EXPECT_EQ(format_progress_line(running, ProgressLineStyle{4096, false, 0}),
            "25%  8.0 MiB/s  3 s left  Backing up disk 1");

  // No time has passed yet: neither a rate nor an estimate.
  EXPECT_EQ(format_progress_line(view_of(0, 100, 100, 0, 0, ""), ProgressLineStyle{512, false, 0}),
            "0%");
  // At 100 % the rate stays, the remaining time goes.
  EXPECT_EQ(format_progress_line(view_of(100, 2048, 0, 2, 0, "Done"),
                                 ProgressLineStyle{512, false, 0}),
            "100%  512.0 KiB/s  Done");
  // A prompt with a line break and an escape stays one clean line.
  EXPECT_EQ(format_progress_line(view_of(1, 0, 0, 0, 0, "a\nb\x1b"),
                                 ProgressLineStyle{512, false, 0}),
            "1%  a b?");
}

TEST(ProgressFormatTest, LineIsCutToTheTerminalWidth) {
  std::string prompt;
  for (int i = 0; i < 40; ++i) prompt += "\xE5\xA4\x87";  // 80 columns of CJK
  const ProgressView view = view_of(50, 100, 50, 1, 1, prompt);
  for (int columns : {20, 41, 42, 80, 120}) {
    SCOPED_TRACE(columns);
    const std::string line = format_progress_line(view, ProgressLineStyle{512, true, columns});
    EXPECT_LE(display_columns(line), columns - 1);
    EXPECT_GE(display_columns(line), columns - 2);  // only half a wide character may be lost
    EXPECT_EQ(sanitize_text(line, false), line);  // whole characters only
    // Without a bar (whose size follows the width) the cut line is a prefix of the uncut one.
    const std::string cut = format_progress_line(view, ProgressLineStyle{512, false, columns});
    const std::string whole = format_progress_line(view, ProgressLineStyle{512, false, 0});
    EXPECT_EQ(whole.compare(0, cut.size(), cut), 0) << cut;
    EXPECT_LE(display_columns(cut), columns - 1);
  }
}

}  // namespace
}  // namespace tav::cli
