// Streaming JSON emitter with complete string escaping.
#include "cli/json_writer.h"

#include <cassert>
#include <cstdio>

#include "core/text_convert.h"

namespace tav::cli {

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  char buf[16];
  size_t i = 0;
  while (i < text.size()) {
    size_t len = 0;
    const int32_t cp = decode_utf8_char(text.substr(i), &len);
    switch (cp) {
      case -1:
        out += "\\ufffd";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (cp < 0x20 || cp == 0x7F) {
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

void JsonWriter::newline_indent() {
  out_ += '\n';
  out_.append(levels_.size() * 2, ' ');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  assert(!levels_.back().is_object && "a value inside an object needs a key");
  if (!levels_.back().empty) out_ += ',';
  levels_.back().empty = false;
  newline_indent();
}

void JsonWriter::key(std::string_view name) {
  assert(!levels_.empty() && levels_.back().is_object && !after_key_);
  if (!levels_.back().empty) out_ += ',';
  levels_.back().empty = false;
  newline_indent();
  out_ += json_quote(name);
  out_ += ": ";
  after_key_ = true;
}

void JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  levels_.push_back({true, true});
}

void JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  levels_.push_back({false, true});
}

void JsonWriter::close(char bracket) {
  assert(!levels_.empty() && !after_key_);
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) newline_indent();
  out_ += bracket;
}

void JsonWriter::end_object() { close('}'); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::string_value(std::string_view text) {
  before_value();
  out_ += json_quote(text);
}

void JsonWriter::uint_value(uint64_t value) {
  before_value();
  out_ += std::to_string(value);
}

void JsonWriter::int_value(int64_t value) {
  before_value();
  out_ += std::to_string(value);
}

void JsonWriter::bool_value(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void JsonWriter::null_value() {
  before_value();
  out_ += "null";
}

}  // namespace tav::cli
