// Tests of UTF-8 <-> UTF-16 conversion: well-formed text of every length class, malformed input,
// cutting to a buffer without splitting a character, and the UTF-16LE byte forms.
#include "core/text_convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char16_t kFffd = 0xFFFD;

TEST(TextConvertTest, Utf8ToUtf16) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  } const cases[] = {
      {"empty", "", u""},
      {"ASCII", "disk 0.ego", u"disk 0.ego"},
      {"2-byte", "\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
      {"3-byte", "\xE2\x82\xAC 5", u"\u20AC 5"},
      {"4-byte", "a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
      {"edges of each length", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       u"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"},
      {"embedded zero", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"lone continuation byte", "a\x80z", {u'a', kFffd, u'z'}},
      {"overlong 2-byte slash", "\xC0\xAF", {kFffd, kFffd}},
      {"overlong 3-byte", "\xE0\x80\xAF", {kFffd, kFffd, kFffd}},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", {kFffd, kFffd, kFffd, kFffd}},
      {"surrogate encoded in UTF-8", "\xED\xA0\x80", {kFffd, kFffd, kFffd}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {kFffd, kFffd, kFffd, kFffd}},
      {"F5 and FF bytes", "\xF5\xFF", {kFffd, kFffd}},
      {"truncated at the end", "ab\xE2\x82", {u'a', u'b', kFffd}},
      {"truncated 4-byte at the end", "\xF0\x9F\x98", {kFffd}},
      {"truncated before ASCII", "\xE2\x82z", {kFffd, u'z'}},
      {"truncated before a lead byte", "\xC3\xC3\xA9", {kFffd, u'\u00E9'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::utf8_to_utf16(c.utf8), c.utf16);
  }
}

TEST(TextConvertTest, Utf16ToUtf8) {
  struct Case {
    const char* name;
    std::u16string utf16;
    std::string utf8;
  } const cases[] = {
      {"ASCII", u"abc", "abc"},
      {"2-, 3- and 4-byte", u"\u00E9\u20AC\U0001F600", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone high surrogate", {0xD800, u'a'}, "\xEF\xBF\xBD" "a"},
      {"lone low surrogate", {u'a', 0xDC00}, "a\xEF\xBF\xBD"},
      {"high surrogate at the end", {u'a', 0xD83D}, "a\xEF\xBF\xBD"},
      {"pair in the wrong order", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"two high surrogates then a low", {0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::utf16_to_utf8(c.utf16), c.utf8);
  }
}

TEST(TextConvertTest, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      all.push_back(static_cast<char16_t>(cp));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  const std::string utf8 = tav::utf16_to_utf8(all);
  // 127 one-byte, 1920 two-byte, 61440 three-byte, 1048576 four-byte characters.
  EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
  EXPECT_EQ(tav::utf8_to_utf16(utf8), all);
}

TEST(TextConvertTest, TCharToCharCutsWholeCharacters) {
  // A 33-byte buffer keeps at most 32 bytes of text and never part of a character.
  const std::string a32(32, 'a');
  struct Case {
    const char* name;
    std::u16string text;
    std::string kept;
  } const cases[] = {
      {"short text", u"hello", "hello"},
      {"exactly 32", std::u16string(32, u'a'), a32},
      {"40 ASCII", std::u16string(40, u'a'), a32},
      {"2-byte fits", std::u16string(30, u'a') + u"\u00E9", std::string(30, 'a') + "\xC3\xA9"},
      {"2-byte would split", std::u16string(31, u'a') + u"\u00E9", std::string(31, 'a')},
      {"3-byte fits", std::u16string(29, u'a') + u"\u20AC", std::string(29, 'a') + "\xE2\x82\xAC"},
      {"3-byte would split", std::u16string(30, u'a') + u"\u20ACb", std::string(30, 'a')},
      {"4-byte fits", std::u16string(28, u'a') + u"\U0001F600", std::string(28, 'a') + "\xF0\x9F\x98\x80"},
      {"4-byte would split", std::u16string(29, u'a') + u"\U0001F600", std::string(29, 'a')},
      {"all 3-byte", std::u16string(20, u'\u20AC'), [] {
         std::string s;
         for (int i = 0; i < 10; ++i) s += "\xE2\x82\xAC";
         return s;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[40];
    std::memset(buffer, 0x7F, sizeof buffer);
    const int n = TavTCharToChar(c.text.c_str(), buffer, 33);
    EXPECT_EQ(n, static_cast<int>(c.kept.size()));
    EXPECT_EQ(std::string(buffer), c.kept);
    for (size_t i = 33; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0x7F) << "byte " << i;
  }
}

TEST(TextConvertTest, CharToTCharCutsBeforeASurrogatePair) {
  struct Case {
    const char* name;
    const char* text;
    int buffer_chars;
    std::u16string kept;
  } const cases[] = {
      {"fits", "abc", 5, u"abc"},
      {"cut ASCII", "abcdefgh", 5, u"abcd"},
      {"pair fits in the last two units", "ab\xF0\x9F\x98\x80", 5, u"ab\U0001F600"},
      {"pair would be split", "abc\xF0\x9F\x98\x80", 5, u"abc"},
      {"pair alone does not fit", "\xF0\x9F\x98\x80", 2, u""},
      {"size 1 gives an empty string", "abc", 1, u""},
      {"2- and 3-byte characters are one unit", "\xC3\xA9\xE2\x82\xAC\xC3\xA9z", 4, u"\u00E9\u20AC\u00E9"},
      {"malformed input", "a\xC0z", 8, {u'a', kFffd, u'z'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char16_t buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), char16_t{0x7777});
    const int n = TavCharToTChar(c.text, buffer, c.buffer_chars);
    EXPECT_EQ(n, static_cast<int>(c.kept.size()));
    EXPECT_EQ(std::u16string(buffer), c.kept);
    for (int i = c.buffer_chars; i < 12; ++i) EXPECT_EQ(buffer[i], 0x7777) << "unit " << i;
  }
}

TEST(TextConvertTest, NullAndZeroSizedArguments) {
  char16_t wide[4] = {0x7777, 0x7777, 0x7777, 0x7777};
  char narrow[4] = {'x', 'x', 'x', 'x'};

  EXPECT_EQ(TavCharToTChar("abc", wide, 0), 0);
  EXPECT_EQ(wide[0], 0x7777);  // a buffer of size 0 is not touched
  EXPECT_EQ(TavCharToTChar("abc", nullptr, 4), 0);
  EXPECT_EQ(TavCharToTChar(nullptr, wide, 4), 0);
  EXPECT_EQ(wide[0], 0);  // a null text gives an empty string

  EXPECT_EQ(TavTCharToChar(u"abc", narrow, 0), 0);
  EXPECT_EQ(narrow[0], 'x');
  EXPECT_EQ(TavTCharToChar(u"abc", narrow, -1), 0);
  EXPECT_EQ(narrow[0], 'x');
  EXPECT_EQ(TavTCharToChar(u"abc", nullptr, 4), 0);
  EXPECT_EQ(TavTCharToChar(nullptr, narrow, 4), 0);
  EXPECT_EQ(narrow[0], 0);
}

TEST(TextConvertTest, Utf16leBytesToUtf8) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    std::string utf8;
  } const cases[] = {
      {"empty", {}, ""},
      {"stops at the first zero unit", {'h', 0, 'i', 0, 0, 0, 'x', 0}, "hi"},
      {"zero byte inside a unit is not the end", {0x00, 0x01, 0, 0}, "\xC4\x80"},
      {"odd trailing byte ignored", {'h', 0, 'i'}, "h"},
      {"surrogate pair", {0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},
      {"lone surrogate", {0x3D, 0xD8, 'a', 0}, "\xEF\xBF\xBD" "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::utf16le_bytes_to_utf8(c.bytes), c.utf8);
  }
}

TEST(TextConvertTest, Utf8ToUtf16leBytesWithZero) {
  struct Case {
    const char* name;
    std::string utf8;
    std::vector<unsigned char> bytes;
  } const cases[] = {
      {"empty", "", {0, 0}},
      {"ASCII and 2-byte", "h\xC3\xA9", {'h', 0, 0xE9, 0, 0, 0}},
      {"3-byte", "\xE2\x82\xAC", {0xAC, 0x20, 0, 0}},
      {"4-byte", "\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
      {"malformed", "\xFF", {0xFD, 0xFF, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<unsigned char> bytes = tav::utf8_to_utf16le_bytes_z(c.utf8);
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(tav::utf16le_bytes_to_utf8(bytes), c.utf8 == "\xFF" ? "\xEF\xBF\xBD" : c.utf8);
  }
}

}  // namespace
