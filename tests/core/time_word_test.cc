// Tests of the packed time word and of the SYSTIME made from a clock time.
#include "core/time_word.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <string>

namespace {

bool same_fields(const SYSTIME& a, const SYSTIME& b) {
  return a.century == b.century && a.year == b.year && a.month == b.month && a.day == b.day &&
         a.hour == b.hour && a.minute == b.minute;
}

std::string show(const SYSTIME& t) {
  return std::to_string(t.century) + "/" + std::to_string(t.year) + "-" + std::to_string(t.month) +
         "-" + std::to_string(t.day) + " " + std::to_string(t.hour) + ":" +
         std::to_string(t.minute) + ":" + std::to_string(t.second) + " z" + std::to_string(t.zero);
}

TEST(TimeWordTest, PacksAndUnpacksKnownValues) {
  struct Case {
    const char* name;
    SYSTIME time;  // century, year, month, zero, day, hour, minute, second
    uint32_t word;
    bool round_trips;  // false where a field is wider than its bits
  } const cases[] = {
      {"2011-07-15 13:45", {20, 11, 7, 0, 15, 13, 45, 0}, 0xA0B77B6Du, true},
      {"seconds are dropped", {20, 11, 7, 0, 15, 13, 45, 59}, 0xA0B77B6Du, true},
      {"all fields at their minimum", {0, 0, 1, 0, 1, 0, 0, 0}, (1u << 16) | (1u << 11), true},
      {"all fields zero", {0, 0, 0, 0, 0, 0, 0, 0}, 0, true},
      {"largest valid date", {31, 99, 12, 0, 31, 23, 59, 59},
       (31u << 27) | (99u << 20) | (12u << 16) | (31u << 11) | (23u << 6) | 59u, true},
      {"every bit set", {31, 127, 15, 0, 31, 31, 63, 0}, 0xFFFFFFFFu, true},
      {"2000-01-01 00:00", {20, 0, 1, 0, 1, 0, 0, 0}, 0xA0010800u, true},
      {"1999-12-31 23:59", {19, 99, 12, 0, 31, 23, 59, 0}, 0x9E3CFDFBu, true},
      // A century past 31 wraps in 32-bit arithmetic instead of overflowing.
      {"century 255 wraps", {255, 0, 1, 0, 1, 0, 0, 0}, (255u << 27) | (1u << 16) | (1u << 11),
       false},
      // An out-of-range minute carries into the hour, as the packing arithmetic defines.
      {"minute 64 carries", {20, 11, 7, 0, 15, 13, 64, 0}, 0xA0B77B80u, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(libtavpub_convert_systime_dword(&c.time), c.word);
    if (!c.round_trips) continue;
    SYSTIME back{};
    libtavimg_dword_convert_systime(c.word, &back);
    EXPECT_TRUE(same_fields(back, c.time)) << show(back);
  }
}

TEST(TimeWordTest, UnpackClearsSecondAndKeepsFourthByte) {
  SYSTIME t;
  std::memset(&t, 0xAA, sizeof t);
  libtavimg_dword_convert_systime(0xA0B77B6Du, &t);
  EXPECT_EQ(t.century, 20);
  EXPECT_EQ(t.year, 11);
  EXPECT_EQ(t.month, 7);
  EXPECT_EQ(t.zero, 0xAA);
  EXPECT_EQ(t.day, 15);
  EXPECT_EQ(t.hour, 13);
  EXPECT_EQ(t.minute, 45);
  EXPECT_EQ(t.second, 0);
}

TEST(TimeWordTest, RoundTripsOverManyValues) {
  // Valid dates pack and unpack to the same fields.
  for (int century : {0, 19, 20, 21, 31}) {
    for (int year = 0; year < 100; ++year) {
      for (int month = 1; month <= 12; ++month) {
        for (int day : {1, 15, 28, 31}) {
          for (int hour : {0, 12, 23}) {
            for (int minute : {0, 1, 30, 59}) {
              const SYSTIME t{static_cast<uint8_t>(century), static_cast<uint8_t>(year),
                              static_cast<uint8_t>(month), 0, static_cast<uint8_t>(day),
                              static_cast<uint8_t>(hour), static_cast<uint8_t>(minute), 0};
              SYSTIME back{};
              libtavimg_dword_convert_systime(libtavpub_convert_systime_dword(&t), &back);
              ASSERT_TRUE(same_fields(back, t)) << show(t) << " came back as " << show(back);
            }
          }
        }
      }
    }
  }
  // The fields cover all 32 bits, so every word unpacks and packs to itself.
  std::mt19937 gen(2011);
  for (int i = 0; i < 200000; ++i) {
    const uint32_t word = static_cast<uint32_t>(gen());
    SYSTIME t{};
    libtavimg_dword_convert_systime(word, &t);
    ASSERT_EQ(libtavpub_convert_systime_dword(&t), word) << std::hex << word;
  }
}

// Sets TZ for the test and restores it afterwards.
class LocalTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  void use_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(LocalTimeTest, SystimeFromTimeUsesLocalTime) {
  struct Case {
    const char* zone;  // POSIX zone strings, so no time zone database is needed
    std::time_t when;
    SYSTIME expected;
  } const cases[] = {
      {"UTC0", 1310737500, {20, 11, 7, 0, 15, 13, 45, 0}},       // 2011-07-15 13:45:00
      {"UTC0", 1310737559, {20, 11, 7, 0, 15, 13, 45, 59}},
      {"XST-9", 1310737500, {20, 11, 7, 0, 15, 22, 45, 0}},      // 9 hours east
      {"XST-11", 1310737500, {20, 11, 7, 0, 16, 0, 45, 0}},      // past midnight
      {"UTC0", 946684799, {19, 99, 12, 0, 31, 23, 59, 59}},      // 1999-12-31 23:59:59
      {"UTC0", 946684800, {20, 0, 1, 0, 1, 0, 0, 0}},            // 2000-01-01 00:00:00
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.when));
    use_zone(c.zone);
    const SYSTIME t = tav::systime_from_time(c.when);
    EXPECT_TRUE(same_fields(t, c.expected) && t.second == c.expected.second && t.zero == 0)
        << show(t);
  }
  use_zone("UTC0");
  const SYSTIME t = tav::systime_from_time(1310737500);
  EXPECT_EQ(libtavpub_convert_systime_dword(&t), 0xA0B77B6Du);
}

}  // namespace
