// Formatting of the `tav` progress line and the UTF-8 width helpers it needs.
#include "cli/progress_format.h"

#include <algorithm>
#include <cstdio>

#include "core/text_convert.h"

namespace tav::cli {

namespace {

constexpr int32_t kMalformed = -1;

bool in_range(int32_t cp, int32_t first, int32_t last) { return cp >= first && cp <= last; }

// Columns of one code point on a terminal. A small table of the ranges that matter in practice
// (CJK, Hangul, full-width forms, emoji; combining marks), so the result does not depend on the
// process locale the way wcwidth() does.
int code_point_columns(int32_t cp) {
  if (cp == kMalformed) return 1;
  if (in_range(cp, 0x0300, 0x036F) || in_range(cp, 0x1AB0, 0x1AFF) ||
      in_range(cp, 0x1DC0, 0x1DFF) || in_range(cp, 0x200B, 0x200F) ||
      in_range(cp, 0x20D0, 0x20FF) || in_range(cp, 0xFE00, 0xFE0F) ||
      in_range(cp, 0xFE20, 0xFE2F)) {
    return 0;
  }
  if (in_range(cp, 0x1100, 0x115F) || in_range(cp, 0x2E80, 0x303E) ||
      in_range(cp, 0x3041, 0x33FF) || in_range(cp, 0x3400, 0x4DBF) ||
      in_range(cp, 0x4E00, 0x9FFF) || in_range(cp, 0xA000, 0xA4CF) ||
      in_range(cp, 0xAC00, 0xD7A3) || in_range(cp, 0xF900, 0xFAFF) ||
      in_range(cp, 0xFE30, 0xFE4F) || in_range(cp, 0xFF00, 0xFF60) ||
      in_range(cp, 0xFFE0, 0xFFE6) || in_range(cp, 0x1F300, 0x1F64F) ||
      in_range(cp, 0x1F900, 0x1F9FF) || in_range(cp, 0x20000, 0x2FFFD) ||
      in_range(cp, 0x30000, 0x3FFFD)) {
    return 2;
  }
  return 1;
}

bool is_control(int32_t cp) {
  return cp < 0x20 || cp == 0x7F || in_range(cp, 0x80, 0x9F);
}

std::string printf_text(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// `bytes` in the largest binary unit, up to kUnitNames[largest_unit], in which it reads as at
// least 1 after rounding to one decimal (so never "1024.0 KiB"), then `suffix`.
std::string in_binary_units(double bytes, size_t largest_unit, const char* suffix) {
  static const char* const kUnitNames[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1023.5) return printf_text("%.0f B", bytes) + suffix;
  double value = bytes / 1024.0;
  size_t unit = 1;
  while (unit < largest_unit && value >= 1023.95) {
    value /= 1024.0;
    ++unit;
  }
  return printf_text("%.1f ", value) + kUnitNames[unit] + suffix;
}

void append_field(std::string* line, const std::string& field) {
  if (field.empty()) return;
  if (!line->empty()) *line += "  ";
  *line += field;
}

}  // namespace

std::string format_percent_bar(int percent, int cells) {
  percent = std::clamp(percent, 0, 100);
  cells = std::max(cells, 0);
  const int filled = percent * cells / 100;
  std::string bar = "[";
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(cells - filled), '-');
  bar += ']';
  return bar;
}

std::string format_rate(double bytes_per_second) {
  if (!(bytes_per_second > 0.0)) return "0 B/s";
  return in_binary_units(bytes_per_second, 3, "/s");
}

std::string format_size(uint64_t bytes) { return in_binary_units(static_cast<double>(bytes), 4, ""); }

std::string format_remaining(uint32_t seconds) {
  const unsigned hours = seconds / 3600;
  const unsigned minutes = seconds % 3600 / 60;
  const unsigned secs = seconds % 60;
  char text[64];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%u h %02u min left", hours, minutes);
  } else if (minutes > 0) {
    std::snprintf(text, sizeof text, "%u min %02u s left", minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%u s left", secs);
  }
  return text;
}

int display_columns(std::string_view text) {
  int columns = 0;
  while (!text.empty()) {
    size_t length = 0;
    const int32_t cp = decode_utf8_char(text, &length);
    columns += code_point_columns(cp);
    text.remove_prefix(length);
  }
  return columns;
}

std::string cut_to_columns(std::string_view text, int columns) {
  size_t end = 0;
  int used = 0;
  while (end < text.size()) {
    size_t length = 0;
    const int32_t cp = decode_utf8_char(text.substr(end), &length);
    const int width = code_point_columns(cp);
    if (used + width > columns) break;
    used += width;
    end += length;
  }
  return std::string(text.substr(0, end));
}

std::string sanitize_text(std::string_view text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t length = 0;
    const int32_t cp = decode_utf8_char(text, &length);
    if (cp == kMalformed) {
      out += '?';
    } else if (cp == '\r') {
      // Dropped: "\r\n" line ends become "\n", and a lone '\r' would overwrite the line.
    } else if (cp == '\n') {
      out += keep_newlines ? '\n' : ' ';
    } else if (cp == '\t') {
      out += ' ';
    } else if (is_control(cp)) {
      out += '?';
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

std::string format_progress_line(const ProgressView& view, const ProgressLineStyle& style) {
  const int percent = std::clamp(static_cast<int>(view.percent), 0, 100);
  std::string line;
  if (style.with_bar) {
    const int cells = style.columns == 0 || style.columns >= 60 ? 20 : 10;
    line = format_percent_bar(percent, cells);
  }
  char percent_text[16];
  std::snprintf(percent_text, sizeof percent_text, style.with_bar ? "%3d%%" : "%d%%", percent);
  if (!line.empty()) line += ' ';
  line += percent_text;

  const uint64_t done = view.remaining < view.total ? view.total - view.remaining : 0;
  if (view.elapsed > 0 && done > 0) {
    const double bytes = static_cast<double>(done) * static_cast<double>(style.bytes_per_unit);
    append_field(&line, format_rate(bytes / static_cast<double>(view.elapsed)));
    if (percent < 100) append_field(&line, format_remaining(view.remain_seconds));
  }
  append_field(&line, sanitize_text(view.sub_prompt_text, false));
  if (style.columns > 0) line = cut_to_columns(line, style.columns - 1);
  return line;
}

}  // namespace tav::cli
