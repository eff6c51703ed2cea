// printf-style formatting into a std::string, for the core's variadic entry points (trace,
// event log).
#pragma once

#include <cstdarg>
#include <string>

namespace tav {

// The text `format` and `args` give (the caller still owns `args` and calls va_end). Empty for a
// null format, a formatting error or when memory runs out; never throws.
std::string format_va(const char* format, va_list args) noexcept;

}  // namespace tav
