// Reading a language file's sections, and the check that keeps a translation's printf
// conversions equal to its built-in text's. Core library (TavPub), language module.
#include <cstring>
#include <string>
#include <vector>

#include "core/file_utils.h"
#include "core/language_internal.h"
#include "core/last_error.h"
#include "core/program_dir.h"
#include "core/tav_xml.h"
#include "core/tav_xml_internal.h"
#include "core/text_convert.h"
#include "core/trace.h"

namespace tav {
namespace {

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The file as UTF-8 text (UTF-16LE, a leading byte-order mark skipped). False (traced) when it
// cannot be read or is empty.
bool read_language_file(const std::string& path, std::string* text) {
  static const char kFn[] = "GetXmlSection";
  std::string bytes;
  if (const int error = read_whole_file(path, &bytes); error != 0) {
    set_last_error(static_cast<uint32_t>(error));
    TavTrace(kTraceError, kTraceLastError, kFn, __FILE__, __LINE__, "Open file '%s' failed.", path.c_str());
    return false;
  }
  if (bytes.size() < 2) {
    TavTrace(kTraceError, 0, kFn, __FILE__, __LINE__, "Size of file '%s' is 0.", path.c_str());
    return false;
  }
  *text = xml_internal::utf16le_text(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return true;
}

// The argument-taking parts of a printf format, one token each (see same_conversions).
std::vector<std::string> conversions_of(std::string_view f) {
  std::vector<std::string> tokens;
  const size_t n = f.size();
  auto is_digit = [&](size_t i) { return i < n && f[i] >= '0' && f[i] <= '9'; };
  auto in = [&](size_t i, const char* set) { return i < n && f[i] != '\0' && std::strchr(set, f[i]) != nullptr; };
  // "*" or "*m$": an argument of its own.
  auto star = [&](size_t* i, std::string* token) {
    ++*i;
    *token += '*';
    size_t j = *i;
    while (is_digit(j)) ++j;
    if (j > *i && j < n && f[j] == '$') {
      token->append(f.substr(*i, j - *i + 1));
      *i = j + 1;
    }
  };
  for (size_t i = 0; i < n;) {
    if (f[i++] != '%') continue;
    if (i < n && f[i] == '%') {
      ++i;
      continue;
    }
    std::string token;
    size_t j = i;
    while (is_digit(j)) ++j;
    if (j > i && j < n && f[j] == '$') {  // positional "n$"
      token.append(f.substr(i, j - i + 1));
      i = j + 1;
    }
    while (in(i, "-+ #0'I")) ++i;
    if (i < n && f[i] == '*') {
      star(&i, &token);
    } else {
      while (is_digit(i)) ++i;
    }
    if (i < n && f[i] == '.') {
      ++i;
      if (i < n && f[i] == '*') {
        token += '.';
        star(&i, &token);
      } else {
        while (is_digit(i)) ++i;
      }
    }
    static const char* const kLengths[] = {"hh", "ll", "h", "l", "L", "q", "j", "z", "Z", "t"};
    for (const char* length : kLengths) {
      if (f.substr(i, std::strlen(length)) == length) {
        token += length;
        i += std::strlen(length);
        break;
      }
    }
    if (in(i, "diouxXeEfFgGaAcsSCpnm")) {
      token += f[i++];
    } else {
      token += '?';  // incomplete or unknown: never equal to a valid conversion
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

}  // namespace

std::string language_dir() { return program_dir() + "lang/"; }

std::string language_file_path(const std::string& lang_id) { return language_dir() + "lang." + lang_id + ".xml"; }

bool read_language_section(const std::string& path, const char* section, CTavXml* doc) {
  static const char kFn[] = "LoadSection";
  std::string text;
  if (!read_language_file(path, &text)) return false;
  // Texts never hold a raw '<' (the writer escapes it), so the tags found are real tags.
  const std::string lower = ascii_lower(text);
  const std::string name = ascii_lower(section);
  const size_t open = lower.find("<" + name + ">");
  const size_t close = open == std::string::npos ? open : lower.find("</" + name + ">", open);
  if (close == std::string::npos) {
    TavTrace(kTraceError, 0, kFn, __FILE__, __LINE__, "Element %s not found.", section);
    return false;
  }
  const std::string fragment = text.substr(open, close + name.size() + 3 - open);
  std::string bytes;
  append_utf16le(utf8_to_utf16(fragment), &bytes);
  const int result = doc->Load(bytes.data(), bytes.size());
  if (result != kXmlOk || doc->EnterElement(0) == 0) {
    TavTrace(kTraceError, 0, kFn, __FILE__, __LINE__, "Element %s in '%s' does not parse (%d).", section,
             path.c_str(), result);
    return false;
  }
  return true;
}

bool same_conversions(const char* builtin, const char* translation) {
  return conversions_of(builtin != nullptr ? builtin : "") == conversions_of(translation != nullptr ? translation : "");
}

}  // namespace tav
