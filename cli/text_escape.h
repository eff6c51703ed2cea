// Safe rendering of text taken from volume files (names, comments) for JSON and for terminals.
// Text from a file may hold control characters or bytes that are not UTF-8; both renderings
// keep valid UTF-8 as it is and never pass raw control bytes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tav::cli {

// One step of UTF-8 decoding at the start of `text` (not empty). Sets *length to the bytes the
// character takes and returns its code point, or returns -1 with *length 1 for a byte that does
// not start a well-formed sequence (overlong forms, surrogates and values above U+10FFFF are
// not well-formed).
int32_t decode_utf8_char(std::string_view text, size_t* length);

// `text` as a double-quoted string for a terminal: '"' and '\' escaped with a backslash, control
// characters (C0, DEL, C1) as \xNN or \u{NNNN}, and each byte of malformed UTF-8 as \xNN.
std::string quote_for_terminal(std::string_view text);

}  // namespace tav::cli
