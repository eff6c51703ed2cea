// printf-style formatting into a std::string.
#include "core/format_va.h"

#include <cstdio>

namespace tav {

std::string format_va(const char* format, va_list args) noexcept {
  if (format == nullptr) return std::string();
  try {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
  } catch (...) {
    return std::string();
  }
}

}  // namespace tav
