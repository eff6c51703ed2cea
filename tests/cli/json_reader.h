// A small JSON reader for the command tests: parses a document into a tree so that tests check
// values by path instead of searching the text. Strict enough to reject malformed output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tav::cli_test {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a number's digits as written, or a string's UTF-8 value
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  bool is_null() const { return kind == Kind::kNull; }
  uint64_t u64() const { return kind == Kind::kNumber ? std::stoull(text) : ~uint64_t{0}; }
  const std::string& str() const { return text; }
  // Member or item; a null value when it is missing.
  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue kMissing;
    auto it = members.find(key);
    return it == members.end() ? kMissing : it->second;
  }
  const JsonValue& operator[](size_t index) const {
    static const JsonValue kMissing;
    return index < items.size() ? items[index] : kMissing;
  }
  bool has(const std::string& key) const { return members.count(key) != 0; }
};

class JsonReader {
 public:
  // Parses the whole of `text` (blanks around allowed); false on any syntax error.
  static bool parse(std::string_view text, JsonValue* out) {
    JsonReader r(text);
    r.skip();
    if (!r.value(out, 0)) return false;
    r.skip();
    return r.at_ == r.s_.size();
  }

 private:
  explicit JsonReader(std::string_view s) : s_(s) {}

  void skip() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) ++at_;
  }
  bool eat(char c) {
    skip();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool literal(std::string_view word) {
    if (s_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  static void put_utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += char(cp);
    } else if (cp < 0x800) {
      *out += char(0xC0 | (cp >> 6));
      *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += char(0xE0 | (cp >> 12));
      *out += char(0x80 | ((cp >> 6) & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    } else {
      *out += char(0xF0 | (cp >> 18));
      *out += char(0x80 | ((cp >> 12) & 0x3F));
      *out += char(0x80 | ((cp >> 6) & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    }
  }
  bool hex4(uint32_t* v) {
    if (at_ + 4 > s_.size()) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      *v <<= 4;
      if (c >= '0' && c <= '9') *v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') *v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') *v |= uint32_t(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool string(std::string* out) {
    if (at_ >= s_.size() || s_[at_] != '"') return false;
    ++at_;
    while (at_ < s_.size()) {
      const char c = s_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= s_.size()) return false;
      const char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low = 0;
            if (!literal("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          put_utf8(cp, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool value(JsonValue* v, int depth) {
    if (depth > 64) return false;
    skip();
    if (at_ >= s_.size()) return false;
    const char c = s_[at_];
    if (c == '{') {
      ++at_;
      v->kind = JsonValue::Kind::kObject;
      if (eat('}')) return true;
      do {
        skip();
        std::string key;
        if (!string(&key) || !eat(':')) return false;
        if (!value(&v->members[key], depth + 1)) return false;
      } while (eat(','));
      return eat('}');
    }
    if (c == '[') {
      ++at_;
      v->kind = JsonValue::Kind::kArray;
      if (eat(']')) return true;
      do {
        v->items.emplace_back();
        if (!value(&v->items.back(), depth + 1)) return false;
      } while (eat(','));
      return eat(']');
    }
    if (c == '"') {
      v->kind = JsonValue::Kind::kString;
      return string(&v->text);
    }
    if (literal("true")) {
      v->kind = JsonValue::Kind::kBool;
      v->boolean = true;
      return true;
    }
    if (literal("false")) {
      v->kind = JsonValue::Kind::kBool;
      return true;
    }
    if (literal("null")) return true;
    const size_t start = at_;
    if (s_[at_] == '-') ++at_;
    while (at_ < s_.size() && ((s_[at_] >= '0' && s_[at_] <= '9') || s_[at_] == '.' || s_[at_] == 'e' ||
                               s_[at_] == 'E' || s_[at_] == '+' || s_[at_] == '-'))
      ++at_;
    if (at_ == start) return false;
    v->kind = JsonValue::Kind::kNumber;
    v->text = std::string(s_.substr(start, at_ - start));
    return true;
  }

  std::string_view s_;
  size_t at_ = 0;
};

}  // namespace tav::cli_test
