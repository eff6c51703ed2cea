// Time forms stored in image headers: the 8-byte SYSTIME and the packed 32-bit time word.
#pragma once

#include <cstdint>
#include <ctime>

// 8 bytes, one byte each, in this order (the form stored at offset 130 of an image header).
struct SYSTIME {
  uint8_t century;  // year / 100
  uint8_t year;     // year within the century, 0-99
  uint8_t month;    // 1-12
  uint8_t zero;     // always 0 when made by us; left unchanged by libtavimg_dword_convert_systime
  uint8_t day;      // 1-31
  uint8_t hour;     // 0-23
  uint8_t minute;   // 0-59
  uint8_t second;   // 0-59
};
static_assert(sizeof(SYSTIME) == 8);

// Packs a SYSTIME into a time word: bits 0-5 minute, 6-10 hour, 11-15 day, 16-19 month,
// 20-26 year within the century, 27-31 century. Seconds are dropped. 32-bit arithmetic.
uint32_t libtavpub_convert_systime_dword(const SYSTIME* t);

// Unpacks a time word into *t: century, year, month, day, hour and minute; second becomes 0 and
// the fourth byte (`zero`) is left as it was.
void libtavimg_dword_convert_systime(uint32_t word, SYSTIME* t);

namespace tav {

// SYSTIME of a clock time in the local time zone (what the image writer stamps); byte 3 is 0 and
// a leap second is kept as 59. All zero if the time cannot be converted.
SYSTIME systime_from_time(std::time_t when);

}  // namespace tav
