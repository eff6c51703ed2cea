// UTF-8 <-> UTF-16 conversion for the file formats that store UTF-16, with U+FFFD in place of
// malformed input. Core library (TavPub).
#include "core/text_convert.h"

#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes one code point of UTF-8 at s[i], advancing i. Only well-formed sequences are accepted
// (no overlong forms, no encoded surrogates, nothing above U+10FFFF); anything else gives -1 after
// consuming the maximal ill-formed prefix, so a bad byte never swallows the valid text after it.
int32_t decode_utf8_at(const unsigned char* s, size_t n, size_t& i) {
  const unsigned char b0 = s[i++];
  if (b0 < 0x80) return b0;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  int32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong 3-byte forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // no overlong 4-byte forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;  // continuation byte, C0/C1 (always overlong) or F5-FF
  }
  for (int k = 0; k < need; ++k) {
    if (i >= n || s[i] < lo || s[i] > hi) return -1;  // the byte is not consumed
    cp = (cp << 6) | (s[i] & 0x3F);
    ++i;
    lo = 0x80;
    hi = 0xBF;
  }
  return cp;
}

// The same, with U+FFFD in place of malformed input.
char32_t next_utf8(const unsigned char* s, size_t n, size_t& i) {
  const int32_t cp = decode_utf8_at(s, n, i);
  return cp < 0 ? kReplacement : char32_t(cp);
}

// Decodes one code point of UTF-16 at s[i], advancing i; a lone surrogate yields U+FFFD.
char32_t next_utf16(const char16_t* s, size_t n, size_t& i) {
  const char32_t u = s[i++];
  if (is_high_surrogate(u) && i < n && is_low_surrogate(s[i])) {
    const char32_t low = s[i++];
    return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
  }
  if (is_high_surrogate(u) || is_low_surrogate(u)) return kReplacement;
  return u;
}

// Encodes a code point (a scalar value: the decoders never produce a surrogate) as UTF-8 into
// out[0..3]; returns the byte count.
int encode_utf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Encodes a code point as UTF-16 into out[0..1]; returns the unit count.
int encode_utf16(char32_t cp, char16_t* out) {
  if (cp < 0x10000) {
    out[0] = static_cast<char16_t>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
  out[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  return 2;
}

size_t u16_length(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

int TavCharToTChar(const char* text, char16_t* buffer, int buffer_chars) {
  if (buffer == nullptr || buffer_chars <= 0) return 0;
  buffer[0] = 0;
  if (text == nullptr) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const size_t n = std::strlen(text);
  const size_t room = static_cast<size_t>(buffer_chars) - 1;
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    char16_t units[2];
    const int count = encode_utf16(next_utf8(s, n, i), units);
    if (written + static_cast<size_t>(count) > room) break;  // never half a surrogate pair
    for (int k = 0; k < count; ++k) buffer[written++] = units[k];
  }
  buffer[written] = 0;
  return static_cast<int>(written);
}

int TavTCharToChar(const char16_t* text, char* buffer, int buffer_bytes) {
  if (buffer == nullptr || buffer_bytes <= 0) return 0;
  buffer[0] = 0;
  if (text == nullptr) return 0;
  const size_t n = u16_length(text);
  const size_t room = static_cast<size_t>(buffer_bytes) - 1;
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    char bytes[4];
    const int count = encode_utf8(next_utf16(text, n, i), bytes);
    if (written + static_cast<size_t>(count) > room) break;  // never part of a character
    std::memcpy(buffer + written, bytes, static_cast<size_t>(count));
    written += static_cast<size_t>(count);
  }
  buffer[written] = 0;
  return static_cast<int>(written);
}

namespace tav {

std::u16string utf8_to_utf16(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char16_t units[2];
    out.append(units, static_cast<size_t>(encode_utf16(next_utf8(s, text.size(), i), units)));
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char bytes[4];
    out.append(bytes, static_cast<size_t>(encode_utf8(next_utf16(text.data(), text.size(), i), bytes)));
  }
  return out;
}

std::string utf16le_bytes_to_utf8(std::span<const unsigned char> bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  return utf16_to_utf8(units);
}

void append_utf16le(std::u16string_view units, std::string* bytes) {
  bytes->reserve(bytes->size() + units.size() * 2);
  for (char16_t u : units) {
    bytes->push_back(static_cast<char>(u & 0xFF));
    bytes->push_back(static_cast<char>(u >> 8));
  }
}

std::vector<unsigned char> utf8_to_utf16le_bytes_z(std::string_view text) {
  const std::u16string units = utf8_to_utf16(text);
  std::vector<unsigned char> out;
  out.reserve(units.size() * 2 + 2);
  for (char16_t u : units) {
    out.push_back(static_cast<unsigned char>(u & 0xFF));
    out.push_back(static_cast<unsigned char>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

int32_t decode_utf8_char(std::string_view text, size_t* length) {
  size_t i = 0;
  const int32_t cp = decode_utf8_at(reinterpret_cast<const unsigned char*>(text.data()), text.size(), i);
  *length = i;
  return cp;
}

}  // namespace tav
