// Tests of CTavCfg: the value encodings as written and as scanned, sections and names, refused
// names, read-only files, and two processes saving at once.
#include "core/tav_cfg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/last_error.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/ini_test_support.h"

namespace {

using tav::ini_test::read_bytes;
using tav::ini_test::utf16le_with_bom;
using tav::sysutil_test::Child;
using tav::sysutil_test::make_file;
using tav::sysutil_test::TempDir;

class TavCfgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    cfg_.SetFileName("%s/%s", dir_.path().c_str(), "Settings.ini");
  }
  const std::string& path() const { return cfg_.GetFileName(); }
  void write(const std::string& text) { ASSERT_TRUE(make_file(path(), text)); }
  // Stores `text` as the value of S/k (null: no such key).
  void store(const char* text) { write(text == nullptr ? "[S]\n" : std::string("[S]\nk=") + text + "\n"); }

  TempDir dir_;
  CTavCfg cfg_;
};

TEST_F(TavCfgTest, FileNameFromFormat) {
  EXPECT_EQ(path(), dir_.path() + "/Settings.ini");
  CTavCfg copy(cfg_);
  EXPECT_EQ(copy.GetFileName(), path());
  CTavCfg none;
  EXPECT_EQ(none.GetFileName(), "");
  EXPECT_EQ(none.SetStringValue("S", "k", "v"), 0);
}

TEST_F(TavCfgTest, IntegersAreScannedWithTheirFormat) {
  constexpr int64_t kDef = 777;
  struct Case {
    const char* name;
    const char* stored;  // null: the key is missing
    bool wide, hex, is_signed;
    int64_t want;
  } cases[] = {
      {"hex with prefix", "0x1F", false, true, false, 31},
      {"hex without prefix", "1F", false, true, false, 31},
      {"hex lower case, capital X", "0X1f", false, true, true, 31},
      {"hex wraps to negative", "0xFFFFFFFF", false, true, false, -1},
      {"hex then junk", "1Fzz", false, true, false, 31},
      {"hex junk only", "zz", false, true, false, kDef},
      {"spaces around", "  42  ", false, false, true, 42},
      {"digits then letters", "12abc", false, false, true, 12},
      {"letters only", "abc", false, false, true, kDef},
      {"empty value", "", false, false, true, kDef},
      {"blank value", "   ", false, false, true, kDef},
      {"missing key", nullptr, false, false, true, kDef},
      {"negative signed", "-7", false, false, true, -7},
      {"plus sign", "+5", false, false, true, 5},
      {"unsigned of -1", "-1", false, false, false, -1},
      {"unsigned max", "4294967295", false, false, false, -1},
      {"int64 hex", "0x00000001FFFFFFFF", true, true, false, 0x1FFFFFFFFll},
      {"int64 hex without prefix", "1F", true, true, true, 31},
      {"int64 signed min", "-9223372036854775808", true, false, true, std::numeric_limits<int64_t>::min()},
      {"int64 unsigned max", "18446744073709551615", true, false, false, -1},
      {"int64 digits then letters", "12abc", true, false, true, 12},
      {"int64 letters only", "abc", true, false, false, kDef},
      {"int64 missing", nullptr, true, true, false, kDef},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.stored);
    if (c.wide) {
      EXPECT_EQ(cfg_.GetInt64Value("S", "k", kDef, c.hex, c.is_signed), c.want);
    } else {
      EXPECT_EQ(cfg_.GetInt32Value("S", "k", static_cast<int32_t>(kDef), c.hex, c.is_signed),
                static_cast<int32_t>(c.want));
    }
  }
}

TEST_F(TavCfgTest, ValuesAreWrittenInTheirEncoding) {
  tav::Guid guid{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  const uint8_t blob[] = {0x00, 0x7F, 0x80, 0xFF, 0x10};
  struct Case {
    const char* name;
    std::function<int(CTavCfg&)> set;
    const char* want;
  } cases[] = {
      {"int32 hex", [](CTavCfg& c) { return c.SetInt32Value("S", "k", 31, true, false); }, "0x0000001F"},
      {"int32 hex wins over signed", [](CTavCfg& c) { return c.SetInt32Value("S", "k", -1, true, true); },
       "0xFFFFFFFF"},
      {"int32 signed", [](CTavCfg& c) { return c.SetInt32Value("S", "k", -5, false, true); }, "-5"},
      {"int32 unsigned", [](CTavCfg& c) { return c.SetInt32Value("S", "k", -1, false, false); },
       "4294967295"},
      {"int64 hex", [](CTavCfg& c) { return c.SetInt64Value("S", "k", 31, true, true); },
       "0x000000000000001F"},
      {"int64 signed", [](CTavCfg& c) { return c.SetInt64Value("S", "k", -1, false, true); }, "-1"},
      {"int64 unsigned", [](CTavCfg& c) { return c.SetInt64Value("S", "k", -1, false, false); },
       "18446744073709551615"},
      {"double", [](CTavCfg& c) { return c.SetDoubleValue("S", "k", -0.25); }, "-0.250000"},
      {"double rounds to 6 places", [](CTavCfg& c) { return c.SetDoubleValue("S", "k", 1234.5678915); },
       "1234.567892"},
      {"guid", [&](CTavCfg& c) { return c.SetGuidValue("S", "k", guid); },
       "{01234567-89AB-CDEF-0123-456789ABCDEF}"},
      {"binary: bytes then their sum mod 256",
       [&](CTavCfg& c) { return c.SetBinaryValue("S", "k", blob, sizeof blob); }, "007F80FF100E"},
      {"null string", [](CTavCfg& c) { return c.SetStringValue("S", "k", nullptr); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("");
    ASSERT_EQ(c.set(cfg_), 1);
    EXPECT_EQ(read_bytes(path()), std::string("[S]\nk=") + c.want + "\n");
  }
}

TEST_F(TavCfgTest, DoublesReadTheLeadingNumber) {
  struct Case {
    const char* name;
    const char* stored;
    double want;
  } cases[] = {
      {"plain", "1.5", 1.5},     {"trailing text", "  2.25xyz ", 2.25}, {"exponent", "1e3", 1000.0},
      {"no number", "abc", 0.0}, {"empty: default", "", 1e-9},          {"missing: default", nullptr, 1e-9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.stored);
    // The default comes back exactly, not rounded through "%f" (which would give 0).
    EXPECT_EQ(cfg_.GetDoubleValue("S", "k", 1e-9), c.want);
  }
}

TEST_F(TavCfgTest, GuidRoundTripAndBadTexts) {
  tav::Guid guid{0xDEADBEEF, 0x0102, 0xA0B0, {0xFF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
  ASSERT_EQ(cfg_.SetGuidValue("S", "k", guid), 1);
  tav::Guid back{};
  ASSERT_EQ(cfg_.GetGuidValue("S", "k", back), 1);
  EXPECT_TRUE(back == guid);

  store("{deadbeef-0102-a0b0-ff00-112233445566}");
  back = tav::Guid{};
  EXPECT_EQ(cfg_.GetGuidValue("S", "k", back), 1) << "lower case reads";
  EXPECT_TRUE(back == guid);

  const tav::Guid garbage{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  struct Case {
    const char* name;
    const char* stored;
    int want;
  } cases[] = {
      {"missing key: the zero GUID", nullptr, 1},
      {"no braces", "DEADBEEF-0102-A0B0-FF00-112233445566", 0},
      {"one digit short", "{DEADBEEF-0102-A0B0-FF00-11223344556}", 0},
      {"not a digit", "{DEADBEEG-0102-A0B0-FF00-112233445566}", 0},
      {"wrong separator", "{DEADBEEF_0102-A0B0-FF00-112233445566}", 0},
      {"trailing text", "{DEADBEEF-0102-A0B0-FF00-112233445566}x", 0},
      {"sign inside a field", "{+EADBEEF-0102-A0B0-FF00-112233445566}", 0},
      {"empty", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.stored);
    back = garbage;
    EXPECT_EQ(cfg_.GetGuidValue("S", "k", back), c.want);
    EXPECT_TRUE(back == tav::Guid{}) << "cleared whatever the result";
  }
}

TEST_F(TavCfgTest, BinaryRoundTripAndBadTexts) {
  const uint8_t blob[] = {0x00, 0x7F, 0x80, 0xFF, 0x10};
  ASSERT_EQ(cfg_.SetBinaryValue("S", "k", blob, sizeof blob), 1);
  uint8_t back[5] = {};
  ASSERT_EQ(cfg_.GetBinaryValue("S", "k", back, sizeof back), 1);
  EXPECT_EQ(std::memcmp(back, blob, sizeof blob), 0);

  struct Case {
    const char* name;
    const char* stored;
    uint32_t bytes;
    uint32_t error;
  } cases[] = {
      {"wrong checksum", "007F80FF100F", 5, EINVAL},
      {"too short for the count", "007F80FF100E", 6, EINVAL},
      {"too long for the count", "007F80FF100E", 4, EINVAL},
      {"odd length", "007F80FF100E0", 5, EINVAL},
      {"not a digit", "007G80FF100E", 5, EINVAL},
      {"missing key", nullptr, 5, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.stored);
    uint8_t data[8];
    std::memset(data, 0xAA, sizeof data);
    EXPECT_EQ(cfg_.GetBinaryValue("S", "k", data, c.bytes), 0);
    EXPECT_EQ(tav::get_last_error(), c.error);
    for (uint8_t b : data) EXPECT_EQ(b, 0xAA) << "untouched on failure";
  }
  store("007f80ff100e");
  EXPECT_EQ(cfg_.GetBinaryValue("S", "k", back, sizeof back), 1) << "lower-case digits read";
  EXPECT_EQ(cfg_.SetBinaryValue("S", "k", nullptr, 4), 0);
  EXPECT_EQ(cfg_.SetBinaryValue("S", "k", blob, 0), 0);
  EXPECT_EQ(cfg_.GetBinaryValue("S", "k", nullptr, 4), 0);
  EXPECT_EQ(tav::get_last_error(), uint32_t{EINVAL});

  // Blocks longer than the string limit still round-trip.
  std::vector<uint8_t> big(5000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(cfg_.SetBinaryValue("S", "big", big.data(), static_cast<uint32_t>(big.size())), 1);
  std::vector<uint8_t> big_back(big.size());
  ASSERT_EQ(cfg_.GetBinaryValue("S", "big", big_back.data(), static_cast<uint32_t>(big_back.size())), 1);
  EXPECT_EQ(big_back, big);
}

TEST_F(TavCfgTest, StringsAreTrimmedAndCutAtTheLimit) {
  std::string out;
  cfg_.GetStringValue("S", "k", out, "  dflt \t");
  EXPECT_EQ(out, "dflt") << "missing file: the trimmed default";
  cfg_.GetStringValue("S]", "k", out, " bad name ");
  EXPECT_EQ(out, "bad name");
  cfg_.GetStringValue("S", nullptr, out, nullptr);
  EXPECT_EQ(out, "");

  const size_t max = CTavCfg::kMaxStringChars - 1;
  struct Case {
    const char* name;
    std::string stored;
    std::string want;
  } cases[] = {
      {"longer than the limit", std::string(5000, 'a'), std::string(max, 'a')},
      {"cut never splits a character", std::string(max - 1, 'a') + "\xC3\xA9", std::string(max - 1, 'a')},
      {"cut then trimmed", std::string(max - 5, 'a') + std::string(10, ' ') + "b", std::string(max - 5, 'a')},
      {"exactly the limit", std::string(max, 'z'), std::string(max, 'z')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.stored.c_str());
    cfg_.GetStringValue("S", "k", out, "");
    EXPECT_EQ(out, c.want);
  }
}

TEST_F(TavCfgTest, SectionAsBlockAndAsMap) {
  write("[S]\na=1\n; note\nb\n=c\n  d = 4 \nA=dup\n[T]\nx=1\n");
  char buffer[64];
  std::memset(buffer, 'X', sizeof buffer);
  const char want[] = "a=1\0b\0=c\0d = 4\0A=dup\0";  // and the block's final '\0'
  const int want_count = static_cast<int>(sizeof want - 1);
  ASSERT_EQ(cfg_.GetSection("s", buffer, sizeof buffer), want_count);
  EXPECT_EQ(std::string(buffer, want_count + 1), std::string(want, sizeof want));
  EXPECT_EQ(tav::get_last_error(), 0u);

  // A buffer too small for the block takes whole entries only.
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(cfg_.GetSection("S", buffer, 6), 4);
  EXPECT_EQ(std::string(buffer, 5), std::string("a=1\0\0", 5));
  EXPECT_EQ(tav::get_last_error(), uint32_t{ERANGE});
  EXPECT_EQ(cfg_.GetSection("S", buffer, 1), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(cfg_.GetSection("S", nullptr, 10), 0);
  EXPECT_EQ(tav::get_last_error(), uint32_t{EINVAL});
  EXPECT_EQ(cfg_.GetSection("S", buffer, 0), 0);
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(cfg_.GetSection("none", buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));

  std::unordered_map<std::string, std::string> map{{"keep", "me"}};
  ASSERT_EQ(cfg_.GetSection("S", map), 1);
  EXPECT_EQ(map, (std::unordered_map<std::string, std::string>{
                     {"keep", "me"}, {"a", "1"}, {"b", ""}, {"d", "4"}, {"A", "dup"}}));
}

TEST_F(TavCfgTest, SetSectionRemoveAllKeysAndRemoveSection) {
  write("[S]\n; about S\na=1\nb=2\n\n[T]\nx=1\n");
  ASSERT_EQ(cfg_.SetSection("S", "k=v\0flag\0"), 1);
  EXPECT_EQ(read_bytes(path()), "[S]\n; about S\nk=v\nflag\n\n[T]\nx=1\n");
  ASSERT_EQ(cfg_.RemoveAllKeys("s"), 1);
  EXPECT_EQ(read_bytes(path()), "[S]\n; about S\n\n[T]\nx=1\n");
  ASSERT_EQ(cfg_.RemoveSection("t"), 1);
  EXPECT_EQ(read_bytes(path()), "[S]\n; about S\n\n");
  ASSERT_EQ(cfg_.SetSection("New", "a=1\0"), 1);
  ASSERT_EQ(cfg_.RemoveKey("NEW", "A"), 1);
  EXPECT_EQ(read_bytes(path()), "[S]\n; about S\n\n[New]\n");
  EXPECT_EQ(cfg_.SetSection("S", nullptr), 0);
  EXPECT_EQ(cfg_.SetSection("S", "a=1\0[Evil]\0"), 0);
  EXPECT_EQ(tav::get_last_error(), uint32_t{EINVAL});
  EXPECT_EQ(read_bytes(path()), "[S]\n; about S\n\n[New]\n");
}

TEST_F(TavCfgTest, NamesAreListedOnceWithinTheLimit) {
  write("[One]\nk=1\nK=2\nj\n=x\n[two]\n[ONE]\nz=1\n");
  std::vector<std::string> names{"before"};
  ASSERT_EQ(cfg_.GetSectionNames(names), 1);
  EXPECT_EQ(names, (std::vector<std::string>{"before", "One", "two"}));
  names.clear();
  ASSERT_EQ(cfg_.GetKeyNames("one", names), 1);
  EXPECT_EQ(names, (std::vector<std::string>{"k", "j"}));

  // 2000 names of 20 characters exceed the budget: as many whole names as fit, none cut.
  std::string text;
  for (int i = 0; i < 2000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Section_%012d", i);
    text += std::string("[") + name + "]\n";
  }
  write(text);
  names.clear();
  ASSERT_EQ(cfg_.GetSectionNames(names), 1);
  ASSERT_EQ(names.size(), (CTavCfg::kMaxSectionChars - 1) / 21);
  EXPECT_EQ(names.back(), "Section_000000001559");
}

TEST_F(TavCfgTest, NullOrEmptyNamesFailEveryOperation) {
  uint8_t data[4] = {};
  tav::Guid guid;
  char buffer[16];
  std::string out;
  std::unordered_map<std::string, std::string> map;
  std::vector<std::string> names;
  const std::function<int(CTavCfg&, const char*, const char*)> ops[] = {
      [](CTavCfg& c, const char* s, const char* k) { return c.SetStringValue(s, k, "v"); },
      [](CTavCfg& c, const char* s, const char* k) { return c.SetInt32Value(s, k, 1, false, true); },
      [](CTavCfg& c, const char* s, const char* k) { return c.SetInt64Value(s, k, 1, false, true); },
      [](CTavCfg& c, const char* s, const char* k) { return c.SetDoubleValue(s, k, 1.0); },
      [&](CTavCfg& c, const char* s, const char* k) { return c.SetGuidValue(s, k, guid); },
      [&](CTavCfg& c, const char* s, const char* k) { return c.SetBinaryValue(s, k, data, 4); },
      [&](CTavCfg& c, const char* s, const char* k) { return c.GetBinaryValue(s, k, data, 4); },
      [&](CTavCfg& c, const char* s, const char* k) { return c.GetGuidValue(s, k, guid); },
      [](CTavCfg& c, const char* s, const char* k) { return c.RemoveKey(s, k); },
      [](CTavCfg& c, const char* s, const char*) { return c.RemoveAllKeys(s); },
      [](CTavCfg& c, const char* s, const char*) { return c.RemoveSection(s); },
      [](CTavCfg& c, const char* s, const char*) { return c.SetSection(s, "a=1\0"); },
      [&](CTavCfg& c, const char* s, const char*) { return c.GetSection(s, buffer, sizeof buffer); },
      [&](CTavCfg& c, const char* s, const char*) { return c.GetSection(s, map); },
      [&](CTavCfg& c, const char* s, const char*) { return c.GetKeyNames(s, names); },
  };
  write("[S]\nk={00000000-0000-0000-0000-000000000000}\n");
  const std::string before = read_bytes(path());
  const std::pair<const char*, const char*> bad_names[] = {
      {nullptr, "k"}, {"", "k"}, {"S", nullptr}, {"S", ""}};
  for (size_t op = 0; op < std::size(ops); ++op) {
    for (const auto& [section, key] : bad_names) {
      // Operations without a key only see the bad section rows.
      if (op >= 9 && section != nullptr && *section != '\0') continue;
      SCOPED_TRACE(testing::Message() << "operation " << op << " section " << (section ? section : "(null)")
                                      << " key " << (key ? key : "(null)"));
      tav::set_last_error(0);
      EXPECT_EQ(ops[op](cfg_, section, key), 0);
      EXPECT_EQ(tav::get_last_error(), uint32_t{EINVAL});
    }
  }
  EXPECT_EQ(cfg_.GetInt32Value(nullptr, "k", 5, false, true), 5);
  EXPECT_EQ(cfg_.GetDoubleValue("S", "", 2.5), 2.5);
  EXPECT_EQ(read_bytes(path()), before);
}

TEST_F(TavCfgTest, InjectedLinesAreRefused) {
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"new section through a value", "S", "k", "x\n[Evil]\nk=1"},
      {"CR in a value", "S", "k", "x\r"},
      {"'=' in a key", "S", "a=b", "v"},
      {"key that is a header", "S", "[Evil]", "v"},
      {"key that is a comment", "S", ";k", "v"},
      {"line break in a key", "S", "k\nx=1", "v"},
      {"']' in a section", "S]\n[T", "k", "v"},
      {"line break in a section", "S\nk=1", "k", "v"},
  };
  write("[S]\nk=old\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav::set_last_error(0);
    EXPECT_EQ(cfg_.SetStringValue(c.section, c.key, c.value), 0);
    EXPECT_EQ(tav::get_last_error(), uint32_t{EINVAL});
    EXPECT_EQ(read_bytes(path()), "[S]\nk=old\n");
  }
}

TEST_F(TavCfgTest, UntouchedLinesOfForeignFilesSurvive) {
  struct Case {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"UTF-16LE with CRLF", utf16le_with_bom(u"; \u00fcber\r\n[S]\r\nk=1\r\n\r\n[T]\r\nz=\u6f22\r\n"),
       utf16le_with_bom(u"; \u00fcber\r\n[S]\r\nk=2\r\n\r\n[T]\r\nz=\u6f22\r\n")},
      {"UTF-8 with BOM and CRLF", "\xEF\xBB\xBF;c\r\n[S]\r\nk = 1 \r\nother stuff\r\n",
       "\xEF\xBB\xBF;c\r\n[S]\r\nk=2\r\nother stuff\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.before);
    EXPECT_EQ(cfg_.GetInt32Value("S", "K", 0, false, true), 1);
    ASSERT_EQ(cfg_.SetInt32Value("s", "k", 2, false, true), 1);
    EXPECT_EQ(read_bytes(path()), c.after);
  }
}

TEST_F(TavCfgTest, ReadOnlyFileOrDirectoryMakesSettersFail) {
  const std::string text = "[S]\nk=1\n";
  for (const bool whole_dir : {false, true}) {
    SCOPED_TRACE(whole_dir ? "read-only directory" : "read-only file");
    write(text);
    const std::string& target = whole_dir ? dir_.path() : path();
    ASSERT_EQ(chmod(target.c_str(), whole_dir ? 0555 : 0444), 0);
    EXPECT_EQ(cfg_.SetInt32Value("S", "k", 2, false, true), 0);
    EXPECT_EQ(tav::get_last_error(), uint32_t{EACCES});
    EXPECT_EQ(cfg_.RemoveSection("S"), 0);
    EXPECT_EQ(cfg_.GetInt32Value("S", "k", 0, false, true), 1);
    EXPECT_EQ(read_bytes(path()), text);
    ASSERT_EQ(chmod(target.c_str(), whole_dir ? 0755 : 0644), 0);
  }
}

TEST_F(TavCfgTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  constexpr int kKeysEach = 150;
  auto writer = [&](char tag) {
    return [&, tag](int to_parent, int from_parent) {
      tav::sysutil_test::send_byte(to_parent, 'r');
      if (tav::sysutil_test::receive_byte(from_parent) != 'g') return 2;
      CTavCfg cfg(path());
      for (int i = 0; i < kKeysEach; ++i) {
        std::string key = std::string(1, tag) + std::to_string(i);
        if (cfg.SetInt32Value("Keys", key.c_str(), i, false, true) != 1) return 1;
      }
      return 0;
    };
  };
  write("; shared\n[Keys]\n");
  Child a(writer('a'));
  Child b(writer('b'));
  ASSERT_TRUE(a.started() && b.started());
  ASSERT_EQ(a.receive(), 'r');
  ASSERT_EQ(b.receive(), 'r');
  ASSERT_TRUE(a.send('g') && b.send('g'));
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);

  std::vector<std::string> keys;
  ASSERT_EQ(cfg_.GetKeyNames("Keys", keys), 1);
  EXPECT_EQ(keys.size(), 2u * kKeysEach);
  for (char tag : {'a', 'b'}) {
    for (int i = 0; i < kKeysEach; ++i) {
      std::string key = std::string(1, tag) + std::to_string(i);
      ASSERT_EQ(cfg_.GetInt32Value("Keys", key.c_str(), -1, false, true), i) << key;
    }
  }
  EXPECT_TRUE(read_bytes(path()).starts_with("; shared\n[Keys]\n"));
}

}  // namespace
