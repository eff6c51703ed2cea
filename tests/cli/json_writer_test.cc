// JSON output: string escaping of file text (control characters, malformed UTF-8) and nesting.
#include "cli/json_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "cli/text_escape.h"

namespace tav::cli {
namespace {

TEST(JsonQuoteTest, EscapesEverythingJsonForbids) {
  struct Case {
    const char* name;
    std::string in;
    std::string json;
    std::string terminal;
  };
  const Case cases[] = {
      {"plain", "abc", "\"abc\"", "\"abc\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\""},
      {"short escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\"", "\"\\x08\\x0C\\x0A\\x0D\\x09\""},
      {"other control characters", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\"", "\"\\x01\\x1F\\x7F\""},
      {"embedded zero", std::string("a\0b", 3), "\"a\\u0000b\"", "\"a\\x00b\""},
      {"valid UTF-8 kept", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
       "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"C1 control", "\xC2\x85", "\"\xC2\x85\"", "\"\\u{0085}\""},
      {"lone continuation byte", "a\x80z", "\"a\\ufffdz\"", "\"a\\x80z\""},
      {"truncated sequence", "\xE2\x82", "\"\\ufffd\"", "\"\\xE2\\x82\""},
      {"overlong slash", "\xC0\xAF", "\"\\ufffd\\ufffd\"", "\"\\xC0\\xAF\""},
      {"overlong three bytes", "\xE0\x80\xAF", "\"\\ufffd\\ufffd\\ufffd\"", "\"\\xE0\\x80\\xAF\""},
      {"surrogate", "\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\"", "\"\\xED\\xA0\\x80\""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\"", "\"\\xF4\\x90\\x80\\x80\""},
      {"latin-1 byte", "caf\xE9", "\"caf\\ufffd\"", "\"caf\\xE9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_quote(c.in), c.json);
    EXPECT_EQ(quote_for_terminal(c.in), c.terminal);
  }
}

TEST(JsonWriterTest, NestsWithCommasAndIndentation) {
  JsonWriter w;
  w.begin_object();
  w.key("n");
  w.uint_value(18446744073709551615u);
  w.key("list");
  w.begin_array();
  w.int_value(-1);
  w.bool_value(true);
  w.null_value();
  w.begin_object();
  w.end_object();
  w.end_array();
  w.key("empty");
  w.begin_array();
  w.end_array();
  w.key("s");
  w.string_value("x\n");
  w.end_object();
  EXPECT_EQ(w.text(),
            "{\n"
            "  \"n\": 18446744073709551615,\n"
            "  \"list\": [\n"
            "    -1,\n"
            "    true,\n"
            "    null,\n"
            "    {}\n"
            "  ],\n"
            "  \"empty\": [],\n"
            "  \"s\": \"x\\n\"\n"
            "}");
}

}  // namespace
}  // namespace tav::cli
