// The texts every program shows for sizes, clock times and remaining times, and the conversion of
// an image's packed time word to a file time, so all callers format alike. Application services
// (TavPub2).
#pragma once

#include <cstdint>
#include <string>

// A calendar time as 100-nanosecond intervals since 1601-01-01 00:00, in whatever zone the time
// was taken (these helpers never convert between zones).
struct FILETIME {
  uint32_t dwLowDateTime = 0;
  uint32_t dwHighDateTime = 0;
};

// The short byte-size text: "N bytes" below 1000 bytes; otherwise three significant digits,
// truncated, in the largest of KB, MB, GB, TB, PB, EB (steps of 1024) that keeps the number below
// 1000 ("1.50 KB", "10.0 KB", "999 KB", "0.97 MB"). At most 127 characters.
std::string TavFormatSize(uint64_t bytes);

// The file time as a calendar time, unchanged: "YYYY-MM-DD hh:mm:ss", every field zero-padded.
// Empty for a time past the year 9999.
std::string TavFormatTime(const FILETIME& time);

// Minutes and seconds left, in the process's language: "2 minutes 5 seconds remaining", in
// Chinese the remaining-time word first. Empty for 0 seconds.
std::string TavFormatRemainTime(uint32_t seconds);

// The image time word (core/time_word.h) as a file time, seconds 0, no zone conversion. A word
// that holds no valid date (month 0 or 13, day 31 of a 30-day month, hour 24, ...) gives a zero
// file time.
FILETIME TavImgTimeToFileTime(uint32_t word);

namespace tav::services {

// The words of a remaining-time text and the order they go in.
struct RemainTimeWords {
  const char* minutes;
  const char* seconds;
  const char* remaining;
  bool remaining_first;  // Chinese: the remaining-time word leads
};

// TavFormatRemainTime with the words given: the parts that are not zero, separated by one space.
std::string remain_time_text(uint32_t seconds, const RemainTimeWords& words);

// File time <-> seconds since 1970-01-01 00:00 of the same (unnamed) zone; fractions of a second
// are dropped.
FILETIME file_time_from_seconds(int64_t seconds);
int64_t seconds_from_file_time(const FILETIME& time);

}  // namespace tav::services
