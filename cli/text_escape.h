// Safe rendering of text taken from volume files (names, comments) for JSON and for terminals.
// Text from a file may hold control characters or bytes that are not UTF-8; both renderings
// keep valid UTF-8 as it is and never pass raw control bytes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tav::cli {

// `text` as a double-quoted string for a terminal: '"' and '\' escaped with a backslash, control
// characters (C0, DEL, C1) as \xNN or \u{NNNN}, and each byte of malformed UTF-8 as \xNN.
std::string quote_for_terminal(std::string_view text);

}  // namespace tav::cli
