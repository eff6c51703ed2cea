// Safe rendering of file text for terminals.
#include "cli/text_escape.h"

#include <cstdio>

#include "core/text_convert.h"

namespace tav::cli {

std::string quote_for_terminal(std::string_view text) {
  std::string out = "\"";
  char buf[16];
  size_t i = 0;
  while (i < text.size()) {
    size_t len = 0;
    const int32_t cp = decode_utf8_char(text.substr(i), &len);
    if (cp < 0) {
      for (size_t k = 0; k < len; ++k) {
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(text[i + k]));
        out += buf;
      }
    } else if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp < 0x20 || cp == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(cp));
      out += buf;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      std::snprintf(buf, sizeof buf, "\\u{%04X}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  out += '"';
  return out;
}

}  // namespace tav::cli
