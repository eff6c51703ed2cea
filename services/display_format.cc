// Size, time and remaining-time texts.
#include "services/display_format.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "core/language.h"
#include "core/time_word.h"
#include "services/services_texts.h"

namespace tav::services {

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

}  // namespace

FILETIME file_time_from_seconds(int64_t seconds) {
  const uint64_t ticks = uint64_t(seconds + kSecondsFrom1601To1970) * uint64_t(kTicksPerSecond);
  FILETIME out;
  out.dwLowDateTime = uint32_t(ticks);
  out.dwHighDateTime = uint32_t(ticks >> 32);
  return out;
}

int64_t seconds_from_file_time(const FILETIME& time) {
  const uint64_t ticks = uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  return int64_t(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
}

std::string remain_time_text(uint32_t seconds, const RemainTimeWords& words) {
  const uint32_t m = seconds / 60, s = seconds % 60;
  std::string out;
  auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ' ';
    out += part;
  };
  if (seconds == 0) return out;
  if (words.remaining_first) add(words.remaining);
  if (m > 0) add(std::to_string(m) + " " + words.minutes);
  if (s > 0) add(std::to_string(s) + " " + words.seconds);
  if (!words.remaining_first) add(words.remaining);
  return out;
}

}  // namespace tav::services

std::string TavFormatSize(uint64_t bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  char text[128];
  if (bytes < 1000) {
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    return text;
  }
  // The unit whose whole number is below 1000; hundredths kept exact in 128 bits and truncated.
  int unit = 0;
  unsigned __int128 divisor = 1024;
  while (unit < 5 && bytes / divisor >= 1000) {
    ++unit;
    divisor *= 1024;
  }
  const uint64_t hundredths = uint64_t((unsigned __int128)bytes * 100 / divisor);
  const uint64_t whole = hundredths / 100;
  if (whole >= 100) {
    std::snprintf(text, sizeof text, "%" PRIu64 " %s", whole, kUnits[unit]);
  } else if (whole >= 10) {
    std::snprintf(text, sizeof text, "%" PRIu64 ".%" PRIu64 " %s", whole, hundredths / 10 % 10, kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ".%02" PRIu64 " %s", whole, hundredths % 100, kUnits[unit]);
  }
  return text;
}

std::string TavFormatTime(const FILETIME& time) {
  const std::time_t seconds = std::time_t(tav::services::seconds_from_file_time(time));
  struct tm t {};
  if (gmtime_r(&seconds, &t) == nullptr || t.tm_year + 1900 > 9999) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string TavFormatRemainTime(uint32_t seconds) {
  using tav::services::SvcText;
  using tav::services::svc_text;
  const tav::services::RemainTimeWords words = {svc_text(SvcText::kMinutes), svc_text(SvcText::kSeconds),
                                                svc_text(SvcText::kTimeRemaining), TavLangIsChinese() != 0};
  return tav::services::remain_time_text(seconds, words);
}

FILETIME TavImgTimeToFileTime(uint32_t word) {
  SYSTIME st{};
  libtavimg_dword_convert_systime(word, &st);
  struct tm t {};
  t.tm_year = st.century * 100 + st.year - 1900;
  t.tm_mon = st.month - 1;
  t.tm_mday = st.day;
  t.tm_hour = st.hour;
  t.tm_min = st.minute;
  const struct tm asked = t;
  const std::time_t seconds = timegm(&t);
  // timegm moves fields that are out of range into the next ones (31 April is 1 May); such a
  // word names no date.
  if (t.tm_year != asked.tm_year || t.tm_mon != asked.tm_mon || t.tm_mday != asked.tm_mday ||
      t.tm_hour != asked.tm_hour || t.tm_min != asked.tm_min) {
    return FILETIME{};
  }
  return tav::services::file_time_from_seconds(seconds);
}
