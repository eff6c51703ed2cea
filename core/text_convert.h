// Conversions between UTF-8 (the program's text) and UTF-16LE (file formats that store it).
// Invalid input never fails a conversion: malformed sequences become U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// UTF-8 `text` into `buffer` of `buffer_chars` UTF-16 units, cut to buffer_chars - 1 units
// (never inside a surrogate pair) and zero-terminated. Returns the units written before the zero;
// 0 for a null argument or a size of 0 or less. A null `text` with a usable buffer leaves an empty
// string there; a null buffer or a size of 0 or less writes nothing.
int TavCharToTChar(const char* text, char16_t* buffer, int buffer_chars);

// UTF-16 `text` into `buffer` of `buffer_bytes` bytes of UTF-8, cut to buffer_bytes - 1 bytes
// (never inside a character) and zero-terminated. Returns the bytes written before the zero.
// Null and size rules as for TavCharToTChar.
int TavTCharToChar(const char16_t* text, char* buffer, int buffer_bytes);

namespace tav {

// One step of UTF-8 decoding at the start of `text` (not empty). Returns the code point and sets
// *length to the bytes it takes; for malformed input returns -1 and sets *length to the bytes of
// the maximal ill-formed prefix (at least 1), which a caller replaces or escapes as one unit.
int32_t decode_utf8_char(std::string_view text, size_t* length);

std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// UTF-16LE bytes (no byte-order mark handling) to UTF-8, stopping at the first zero unit or at
// the end; an odd trailing byte is ignored.
std::string utf16le_bytes_to_utf8(std::span<const unsigned char> bytes);
// UTF-8 to UTF-16LE bytes followed by a zero unit (two zero bytes).
std::vector<unsigned char> utf8_to_utf16le_bytes_z(std::string_view text);
// Appends `units` to *bytes as UTF-16LE, two bytes a unit, for the files kept in UTF-16LE.
void append_utf16le(std::u16string_view units, std::string* bytes);

}  // namespace tav
