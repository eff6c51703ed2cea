// Pieces shared by the CTavXml source files; not for other modules.
#pragma once

#include <cstddef>
#include <string>

#include "core/trace.h"

#define XML_TRACE(level, code, function, ...) \
  TavTrace((level), (code), (function), __FILE__, __LINE__, __VA_ARGS__)

namespace tav::xml_internal {

inline const char* nz(const char* text) { return text != nullptr ? text : ""; }

// UTF-16LE bytes (a leading byte-order mark skipped, an odd last byte ignored) as UTF-8.
std::string utf16le_text(const unsigned char* bytes, size_t size);

}  // namespace tav::xml_internal
