// A small streaming JSON emitter for the command line's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tav::cli {

// `text` as a JSON string literal: quotes, backslash and every control character escaped
// (\n, \t, ... or \u00XX), malformed UTF-8 replaced by \ufffd one byte at a time, so the result
// is valid JSON and valid UTF-8 whatever the input bytes.
std::string json_quote(std::string_view text);

// Builds one JSON document into a string, indented by two spaces per level. Calls must nest
// properly (a key before each value inside an object, none inside an array); the writer asserts
// that in debug builds and otherwise emits what it is told.
class JsonWriter {
 public:
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);

  void string_value(std::string_view text);
  void uint_value(uint64_t value);
  void int_value(int64_t value);
  void bool_value(bool value);
  void null_value();

  // The document so far; complete once every object and array is closed.
  const std::string& text() const { return out_; }

 private:
  struct Level {
    bool is_object;
    bool empty;
  };
  void before_value();
  void close(char bracket);
  void newline_indent();

  std::string out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

}  // namespace tav::cli
