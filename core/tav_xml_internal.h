// Pieces shared by the CTavXml source files; not for other modules.
#pragma once

#include <cstddef>
#include <string>

#include "core/trace.h"

#define XML_TRACE(level, code, function, ...) \
  TavTrace((level), (code), (function), __FILE__, __LINE__, __VA_ARGS__)

namespace tav::xml_internal {

inline const char* nz(const char* text) { return text != nullptr ? text : ""; }

// Reads the whole regular file at `path` into *bytes. 0, or the errno value of the failure
// (EISDIR for a directory, EINVAL for anything else that is not a regular file).
int read_file_bytes(const char* path, std::string* bytes);

// UTF-16LE bytes (a leading byte-order mark skipped, an odd last byte ignored) as UTF-8.
std::string utf16le_text(const unsigned char* bytes, size_t size);

}  // namespace tav::xml_internal
