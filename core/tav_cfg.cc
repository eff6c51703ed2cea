// CTavCfg: the value encodings over the INI store, and the conversion of its results to the
// 1/0 and last-error convention.
#include "core/tav_cfg.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/format_va.h"
#include "core/ini_file.h"
#include "core/last_error.h"

namespace tav {

std::string guid_to_string(const Guid& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08" PRIX32 "-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1,
                unsigned{guid.data2}, unsigned{guid.data3}, unsigned{guid.data4[0]}, unsigned{guid.data4[1]},
                unsigned{guid.data4[2]}, unsigned{guid.data4[3]}, unsigned{guid.data4[4]},
                unsigned{guid.data4[5]}, unsigned{guid.data4[6]}, unsigned{guid.data4[7]});
  return text;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of `digits` hexadecimal digits at `text`, or nullopt when one is not a digit.
std::optional<uint64_t> parse_hex(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    int digit = hex_digit(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return value;
}

}  // namespace

bool guid_from_string(const std::string& text, Guid* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes at 9, 14, 19 and 24.
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
  std::string_view t(text);
  auto d1 = parse_hex(t.substr(1, 8));
  auto d2 = parse_hex(t.substr(10, 4));
  auto d3 = parse_hex(t.substr(15, 4));
  auto d4a = parse_hex(t.substr(20, 4));
  auto d4b = parse_hex(t.substr(25, 12));
  if (!d1 || !d2 || !d3 || !d4a || !d4b) return false;
  guid->data1 = static_cast<uint32_t>(*d1);
  guid->data2 = static_cast<uint16_t>(*d2);
  guid->data3 = static_cast<uint16_t>(*d3);
  guid->data4[0] = static_cast<uint8_t>(*d4a >> 8);
  guid->data4[1] = static_cast<uint8_t>(*d4a);
  for (int i = 0; i < 6; ++i) guid->data4[2 + i] = static_cast<uint8_t>(*d4b >> (8 * (5 - i)));
  return true;
}

}  // namespace tav

namespace {

using tav::IniDocument;

bool valid_section(const char* section) { return section != nullptr && tav::ini_valid_section_name(section); }
bool valid_key(const char* key) { return key != nullptr && tav::ini_valid_key_name(key); }

// Runs `body`, turning running out of memory into ENOMEM and `failed`.
template <typename T, typename Body>
T guarded(T failed, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return failed;
  }
}

int fail(int error) {
  tav::set_last_error(static_cast<uint32_t>(error));
  return 0;
}

int to_result(std::error_code ec) { return ec ? fail(ec.value()) : 1; }

// One locked read-modify-save of the file.
int update(const std::string& file, const std::function<std::error_code(IniDocument&)>& change) {
  return to_result(tav::update_ini_file(file, change));
}

// Reads the file into `doc`: 1, or 0 with the errno value as last error.
int read_document(const std::string& file, IniDocument* doc) {
  return to_result(tav::read_ini_file(file, doc));
}

// The key's raw (trimmed) value, or nullopt when it is missing or cannot be read.
std::optional<std::string> read_value(const std::string& file, const char* section, const char* key) {
  if (!valid_section(section) || !valid_key(key)) return std::nullopt;
  IniDocument doc;
  if (tav::read_ini_file(file, &doc)) return std::nullopt;
  return doc.value(section, key);
}

// Cuts `text` to at most `max_bytes` bytes, never inside a UTF-8 character.
void cut_utf8(std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes) return;
  size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

std::string trimmed(std::string_view text) { return std::string(tav::ini_trim(text)); }

// Scans `text` with one scanf conversion; the default unless exactly one field was scanned.
template <typename T>
T scan_one(const std::string& text, const char* format, T default_value) {
  if (text.empty()) return default_value;
  T value{};
  return std::sscanf(text.c_str(), format, &value) == 1 ? value : default_value;
}

locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

std::string format_double(double value) {
  // "%f" in the C locale: a file must read back the same under any process locale.
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return "0.000000";
  return std::string(text, result.ptr);
}

double parse_double(const std::string& text) {
  locale_t locale = c_locale();
  return locale != nullptr ? strtod_l(text.c_str(), nullptr, locale) : std::strtod(text.c_str(), nullptr);
}

uint8_t byte_sum(const uint8_t* data, uint32_t bytes) {
  unsigned sum = 0;
  for (uint32_t i = 0; i < bytes; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}

// The entries of a block "k=v\0k2=v2\0\0".
std::vector<std::string> split_block(const char* block) {
  std::vector<std::string> entries;
  for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) entries.emplace_back(p);
  return entries;
}

// The leading items that fit in `budget` chars, each with its terminator, plus a final one.
size_t items_within(const std::vector<std::string>& items, size_t budget) {
  size_t used = 1;
  size_t count = 0;
  for (const std::string& item : items) {
    if (used + item.size() + 1 > budget) break;
    used += item.size() + 1;
    ++count;
  }
  return count;
}

}  // namespace

CTavCfg::CTavCfg() = default;

CTavCfg::CTavCfg(const std::string& file_name) : file_name_(file_name) {}

void CTavCfg::SetFileName(const char* format, ...) {
  va_list args;
  va_start(args, format);
  file_name_ = tav::format_va(format, args);
  va_end(args);
}

const std::string& CTavCfg::GetFileName() const { return file_name_; }

int CTavCfg::SetStringValue(const char* section, const char* key, const char* text) {
  if (!valid_section(section) || !valid_key(key)) return fail(EINVAL);
  return guarded(0, [&] {
    std::string_view value = text != nullptr ? text : "";
    return update(file_name_, [&](IniDocument& doc) { return doc.set_value(section, key, value); });
  });
}

void CTavCfg::GetStringValue(const char* section, const char* key, std::string& out,
                             const char* default_value) const {
  guarded(0, [&] {
    std::optional<std::string> value = read_value(file_name_, section, key);
    std::string text = value ? std::move(*value) : std::string(default_value != nullptr ? default_value : "");
    cut_utf8(text, kMaxStringChars - 1);
    out = trimmed(text);
    return 1;
  });
}

int CTavCfg::SetInt32Value(const char* section, const char* key, int32_t value, bool hex, bool is_signed) {
  char text[32];
  if (hex) {
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(value));
  } else if (is_signed) {
    std::snprintf(text, sizeof text, "%d", value);
  } else {
    std::snprintf(text, sizeof text, "%u", static_cast<uint32_t>(value));
  }
  return SetStringValue(section, key, text);
}

int32_t CTavCfg::GetInt32Value(const char* section, const char* key, int32_t default_value, bool hex,
                               bool is_signed) const {
  std::string text;
  GetStringValue(section, key, text, "");
  if (hex) return static_cast<int32_t>(scan_one<unsigned>(text, "%x", static_cast<unsigned>(default_value)));
  if (is_signed) return scan_one<int>(text, "%d", default_value);
  return static_cast<int32_t>(scan_one<unsigned>(text, "%u", static_cast<unsigned>(default_value)));
}

int CTavCfg::SetInt64Value(const char* section, const char* key, int64_t value, bool hex, bool is_signed) {
  char text[32];
  if (hex) {
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
  } else if (is_signed) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  } else {
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  }
  return SetStringValue(section, key, text);
}

int64_t CTavCfg::GetInt64Value(const char* section, const char* key, int64_t default_value, bool hex,
                               bool is_signed) const {
  std::string text;
  GetStringValue(section, key, text, "");
  using ull = unsigned long long;
  if (hex) return static_cast<int64_t>(scan_one<ull>(text, "%llx", static_cast<ull>(default_value)));
  if (is_signed) return scan_one<long long>(text, "%lld", default_value);
  return static_cast<int64_t>(scan_one<ull>(text, "%llu", static_cast<ull>(default_value)));
}

int CTavCfg::SetDoubleValue(const char* section, const char* key, double value) {
  return guarded(0, [&] { return SetStringValue(section, key, format_double(value).c_str()); });
}

double CTavCfg::GetDoubleValue(const char* section, const char* key, double default_value) const {
  // The default is returned as given, not through its text, which would round it to 6 decimals.
  std::string text;
  GetStringValue(section, key, text, "");
  return text.empty() ? default_value : parse_double(text);
}

int CTavCfg::SetGuidValue(const char* section, const char* key, const tav::Guid& guid) {
  return guarded(0, [&] { return SetStringValue(section, key, tav::guid_to_string(guid).c_str()); });
}

int CTavCfg::GetGuidValue(const char* section, const char* key, tav::Guid& guid) const {
  guid = tav::Guid{};
  if (!valid_section(section) || !valid_key(key)) return fail(EINVAL);
  return guarded(0, [&] {
    std::string text;
    GetStringValue(section, key, text, "{00000000-0000-0000-0000-000000000000}");
    return tav::guid_from_string(text, &guid) ? 1 : fail(EINVAL);
  });
}

int CTavCfg::SetBinaryValue(const char* section, const char* key, const void* data, uint32_t bytes) {
  if (data == nullptr || bytes == 0) return fail(EINVAL);
  return guarded(0, [&] {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string text;
    text.reserve((size_t{bytes} + 1) * 2);
    auto put = [&](uint8_t b) {
      text.push_back(kDigits[b >> 4]);
      text.push_back(kDigits[b & 0x0F]);
    };
    for (uint32_t i = 0; i < bytes; ++i) put(p[i]);
    put(byte_sum(p, bytes));
    return SetStringValue(section, key, text.c_str());
  });
}

int CTavCfg::GetBinaryValue(const char* section, const char* key, void* data, uint32_t bytes) const {
  if (data == nullptr || bytes == 0 || !valid_section(section) || !valid_key(key)) return fail(EINVAL);
  return guarded(0, [&] {
    // Read without the string length limit: a block may be longer than any single string.
    std::optional<std::string> text = read_value(file_name_, section, key);
    if (!text) return fail(ENOENT);
    if (text->size() != (size_t{bytes} + 1) * 2) return fail(EINVAL);
    std::vector<uint8_t> decoded(size_t{bytes} + 1);
    for (size_t i = 0; i < decoded.size(); ++i) {
      int hi = tav::hex_digit((*text)[2 * i]);
      int lo = tav::hex_digit((*text)[2 * i + 1]);
      if (hi < 0 || lo < 0) return fail(EINVAL);
      decoded[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    if (byte_sum(decoded.data(), bytes) != decoded[bytes]) return fail(EINVAL);
    std::memcpy(data, decoded.data(), bytes);
    return 1;
  });
}

int CTavCfg::SetSection(const char* section, const char* block) {
  if (!valid_section(section) || block == nullptr) return fail(EINVAL);
  return guarded(0, [&] {
    std::vector<std::string> entries = split_block(block);
    return update(file_name_, [&](IniDocument& doc) { return doc.replace_entries(section, entries); });
  });
}

int CTavCfg::GetSection(const char* section, char* buffer, uint32_t size) const {
  if (buffer == nullptr || size == 0 || !valid_section(section)) return fail(EINVAL);
  return guarded(0, [&] {
    IniDocument doc;
    if (!read_document(file_name_, &doc)) return 0;
    std::vector<std::string> entries = doc.section_entries(section);
    size_t count = items_within(entries, size);
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(buffer + used, entries[i].c_str(), entries[i].size() + 1);
      used += entries[i].size() + 1;
    }
    buffer[used] = '\0';
    // An empty block still ends in two terminators where there is room for them.
    if (used == 0 && size > 1) buffer[1] = '\0';
    tav::set_last_error(count < entries.size() ? ERANGE : 0);
    return static_cast<int>(used);
  });
}

int CTavCfg::GetSection(const char* section, std::unordered_map<std::string, std::string>& map) const {
  if (!valid_section(section)) return fail(EINVAL);
  return guarded(0, [&] {
    IniDocument doc;
    if (!read_document(file_name_, &doc)) return 0;
    std::vector<std::string> entries = doc.section_entries(section);
    entries.resize(items_within(entries, kMaxSectionChars));
    for (const std::string& entry : entries) {
      if (entry.front() == '=') continue;
      size_t eq = entry.find('=');
      if (eq == std::string::npos) {
        map[entry] = std::string();
      } else {
        map[trimmed(std::string_view(entry).substr(0, eq))] = trimmed(std::string_view(entry).substr(eq + 1));
      }
    }
    return 1;
  });
}

int CTavCfg::GetSectionNames(std::vector<std::string>& names) const {
  return guarded(0, [&] {
    IniDocument doc;
    if (!read_document(file_name_, &doc)) return 0;
    std::vector<std::string> found = doc.section_names();
    found.resize(items_within(found, kMaxSectionChars));
    names.insert(names.end(), found.begin(), found.end());
    return 1;
  });
}

int CTavCfg::GetKeyNames(const char* section, std::vector<std::string>& names) const {
  if (!valid_section(section)) return fail(EINVAL);
  return guarded(0, [&] {
    IniDocument doc;
    if (!read_document(file_name_, &doc)) return 0;
    std::vector<std::string> found = doc.key_names(section);
    found.resize(items_within(found, kMaxSectionChars));
    names.insert(names.end(), found.begin(), found.end());
    return 1;
  });
}

int CTavCfg::RemoveKey(const char* section, const char* key) {
  if (!valid_section(section) || !valid_key(key)) return fail(EINVAL);
  return guarded(
      0, [&] { return update(file_name_, [&](IniDocument& doc) { return doc.remove_key(section, key); }); });
}

int CTavCfg::RemoveAllKeys(const char* section) {
  if (!valid_section(section)) return fail(EINVAL);
  return guarded(0, [&] {
    return update(file_name_, [&](IniDocument& doc) { return doc.replace_entries(section, {}); });
  });
}

int CTavCfg::RemoveSection(const char* section) {
  if (!valid_section(section)) return fail(EINVAL);
  return guarded(
      0, [&] { return update(file_name_, [&](IniDocument& doc) { return doc.remove_section(section); }); });
}
