// Safe rendering of file text for terminals; the UTF-8 decoder shared with the JSON writer.
#include "cli/text_escape.h"

#include <cstdio>

namespace tav::cli {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

int32_t decode_utf8_char(std::string_view text, size_t* length) {
  *length = 1;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead;
  size_t need = 0;
  int32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  if (text.size() < need + 1) return -1;
  if (byte(1) < lo || byte(1) > hi) return -1;
  for (size_t i = 1; i <= need; ++i) {
    if (!is_continuation(byte(i))) return -1;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  *length = need + 1;
  return cp;
}

std::string quote_for_terminal(std::string_view text) {
  std::string out = "\"";
  char buf[16];
  size_t i = 0;
  while (i < text.size()) {
    size_t len = 0;
    const int32_t cp = decode_utf8_char(text.substr(i), &len);
    if (cp < 0) {
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(text[i]));
      out += buf;
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
