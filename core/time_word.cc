// Packing and unpacking of the 32-bit time word kept in image headers, and the SYSTIME of a
// clock time. Core library (TavPub).
#include "core/time_word.h"

uint32_t libtavpub_convert_systime_dword(const SYSTIME* t) {
  // Unsigned 32-bit arithmetic throughout: with int promotion a large century would overflow.
  uint32_t word = t->century;
  word = word * 128u + t->year;
  word = word * 16u + t->month;
  word = word * 32u + t->day;
  word = word * 32u + t->hour;
  word = word * 64u + t->minute;
  return word;
}

void libtavimg_dword_convert_systime(uint32_t word, SYSTIME* t) {
  t->minute = static_cast<uint8_t>(word & 0x3F);
  t->hour = static_cast<uint8_t>((word >> 6) & 0x1F);
  t->day = static_cast<uint8_t>((word >> 11) & 0x1F);
  t->month = static_cast<uint8_t>((word >> 16) & 0x0F);
  t->year = static_cast<uint8_t>((word >> 20) & 0x7F);
  t->century = static_cast<uint8_t>((word >> 27) & 0x1F);
  t->second = 0;
}

namespace tav {

SYSTIME systime_from_time(std::time_t when) {
  SYSTIME st{};
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return st;
  const int year = local.tm_year + 1900;
  st.century = static_cast<uint8_t>(year / 100);
  st.year = static_cast<uint8_t>(year % 100);
  st.month = static_cast<uint8_t>(local.tm_mon + 1);
  st.zero = 0;
  st.day = static_cast<uint8_t>(local.tm_mday);
  st.hour = static_cast<uint8_t>(local.tm_hour);
  st.minute = static_cast<uint8_t>(local.tm_min);
  // A leap second (tm_sec 60) is kept inside the 0-59 range of the record.
  st.second = static_cast<uint8_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  return st;
}

}  // namespace tav
