// Error code texts: the C library for errno values, a registered lookup for the suite's codes.
#include "core/error_text.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tav {
namespace {

std::atomic<SuiteErrorTextLookup> g_suite_lookup{nullptr};

}  // namespace

void set_suite_error_text_lookup(SuiteErrorTextLookup lookup) { g_suite_lookup.store(lookup); }

std::string error_text(uint32_t code) {
  std::string text;
  if (code >= kFirstSuiteCode) {
    if (SuiteErrorTextLookup lookup = g_suite_lookup.load()) text = lookup(code);
  } else if (code <= static_cast<uint32_t>(INT_MAX)) {
    // The untranslated description: thread-safe, and English whatever the locale.
    if (const char* description = strerrordesc_np(static_cast<int>(code))) text = description;
  }
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

std::string error_text_or_code(uint32_t code) {
  std::string text = error_text(code);
  if (!text.empty()) return text;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "Error 0x%08X", code);
  return fallback;
}

}  // namespace tav
