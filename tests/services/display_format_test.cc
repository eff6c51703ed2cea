// Size, time and remaining-time texts, and image time words as file times.
#include "services/display_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/time_word.h"
#include "tests/services/services_home.h"

namespace tav::services {
namespace {

TEST(FormatSize, ThreeSignificantDigitsTruncatedInTheLargestFittingUnit) {
  struct Case {
    uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 bytes"},
      {1, "1 bytes"},
      {999, "999 bytes"},
      {1000, "0.97 KB"},  // four digits would be needed in bytes
      {1023, "0.99 KB"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {2047, "1.99 KB"},  // truncated, not rounded up to 2.00
      {10239, "9.99 KB"},
      {10240, "10.0 KB"},
      {102399, "99.9 KB"},
      {102400, "100 KB"},
      {1023999, "999 KB"},
      {1024000, "0.97 MB"},
      {1048575, "0.99 MB"},
      {1ull << 20, "1.00 MB"},
      {5ull << 30, "5.00 GB"},
      {(1ull << 40) + (1ull << 39), "1.50 TB"},
      {1ull << 50, "1.00 PB"},
      {1ull << 60, "1.00 EB"},
      {UINT64_MAX, "15.9 EB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(TavFormatSize(c.bytes), c.text);
  }
}

TEST(FormatTime, CalendarTimeUnchangedAndZeroPadded) {
  // The text must not depend on the zone the program runs in.
  services_test::ScopedTimeZone zone("XST-9:30");
  struct Case {
    uint64_t ticks;
    const char* text;
  };
  const Case cases[] = {
      {0, "1601-01-01 00:00:00"},
      {116444736000000000ull, "1970-01-01 00:00:00"},
      {125911584000000000ull, "2000-01-01 00:00:00"},
      {125911584000000000ull + 9999999, "2000-01-01 00:00:00"},  // fractions of a second dropped
      // 2024-02-29 07:05:09: every field one digit, zero-padded.
      {133536639090000000ull, "2024-02-29 07:05:09"},
      {UINT64_MAX, ""},  // past the four-digit years
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FILETIME t;
    t.dwLowDateTime = uint32_t(c.ticks);
    t.dwHighDateTime = uint32_t(c.ticks >> 32);
    EXPECT_EQ(TavFormatTime(t), c.text);
  }
}

TEST(ImgTimeToFileTime, WordsBecomeTheirCalendarTimeOrZero) {
  services_test::ScopedTimeZone zone("XST-9:30");
  struct Case {
    SYSTIME when;  // century, year, month, zero, day, hour, minute, second
    const char* text;  // null: no valid date, a zero file time
  };
  const Case cases[] = {
      {{20, 24, 2, 0, 29, 7, 5, 0}, "2024-02-29 07:05:00"},
      {{20, 26, 12, 0, 31, 23, 59, 0}, "2026-12-31 23:59:00"},
      {{19, 99, 1, 0, 1, 0, 0, 0}, "1999-01-01 00:00:00"},
      {{20, 26, 3, 0, 29, 2, 30, 0}, "2026-03-29 02:30:00"},  // a local time some zones skip
      {{20, 23, 2, 0, 29, 7, 5, 0}, nullptr},  // no 29 February in 2023
      {{20, 26, 4, 0, 31, 12, 0, 0}, nullptr},
      {{20, 26, 13, 0, 1, 12, 0, 0}, nullptr},
      {{20, 26, 0, 0, 1, 12, 0, 0}, nullptr},
      {{20, 26, 1, 0, 0, 12, 0, 0}, nullptr},
      {{20, 26, 1, 0, 1, 24, 0, 0}, nullptr},
      {{20, 26, 1, 0, 1, 12, 60, 0}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "invalid");
    const FILETIME t = TavImgTimeToFileTime(libtavpub_convert_systime_dword(&c.when));
    if (c.text == nullptr) {
      EXPECT_EQ(t.dwLowDateTime, 0u);
      EXPECT_EQ(t.dwHighDateTime, 0u);
    } else {
      EXPECT_EQ(TavFormatTime(t), c.text);
    }
  }
}

TEST(RemainTime, PartsInTheLanguagesOrder) {
  const RemainTimeWords english = {"minutes", "seconds", "remaining", false};
  const RemainTimeWords chinese = {"分钟", "秒", "剩余时间", true};
  struct Case {
    uint32_t seconds;
    const char* english;
    const char* chinese;
  };
  const Case cases[] = {
      {0, "", ""},
      {5, "5 seconds remaining", "剩余时间 5 秒"},
      {59, "59 seconds remaining", "剩余时间 59 秒"},
      {60, "1 minutes remaining", "剩余时间 1 分钟"},
      {125, "2 minutes 5 seconds remaining", "剩余时间 2 分钟 5 秒"},
      {3600, "60 minutes remaining", "剩余时间 60 分钟"},  // hours are not used
      {UINT32_MAX, "71582788 minutes 15 seconds remaining", "剩余时间 71582788 分钟 15 秒"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(remain_time_text(c.seconds, english), c.english);
    EXPECT_EQ(remain_time_text(c.seconds, chinese), c.chinese);
  }
  EXPECT_EQ(TavFormatRemainTime(0), "");
}

}  // namespace
}  // namespace tav::services
