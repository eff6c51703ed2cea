// Text of the `tav` progress line: bar, percentage, transfer rate, remaining time and the step's
// prompt, plus the UTF-8 helpers that keep engine texts safe and inside the terminal's width.
// Pure functions: no terminal, no clock, no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/sector.h"
#include "core/ui_sink.h"

namespace tav::cli {

// The engines count sectors; a rate in units per second is shown in bytes.
constexpr uint32_t kDefaultBytesPerUnit = uint32_t{kSectorSize};

// "[#####-----]" with `cells` cells between the brackets, filled in proportion to `percent`
// (clamped to 0-100; a cell is filled only when its whole share is reached).
std::string format_percent_bar(int percent, int cells);

// A rate such as "512 B/s", "1.5 KiB/s", "12.3 MiB/s" or "2.0 GiB/s": the largest binary unit
// whose value is at least 1 after rounding to one decimal; GiB/s above that.
std::string format_rate(double bytes_per_second);

// A size such as "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB" or "1.8 TiB" (binary units, one
// decimal; TiB above that).
std::string format_size(uint64_t bytes);

// "12 s left", "3 min 05 s left", "1 h 02 min left".
std::string format_remaining(uint32_t seconds);

// Columns a UTF-8 text takes on a terminal: East Asian wide characters take 2, combining marks
// 0, everything else (a malformed byte included) 1.
int display_columns(std::string_view text);

// The longest prefix of `text` that fits in `columns` columns, never cut inside a UTF-8
// character (a malformed sequence counts as one unit). Negative columns count as 0.
std::string cut_to_columns(std::string_view text, int columns);

// Engine text made safe to print: malformed UTF-8 becomes '?', '\r' is dropped, '\t' becomes a
// space, other control characters (C0, DEL, C1) become '?'. '\n' is kept when `keep_newlines`,
// else it becomes a space.
std::string sanitize_text(std::string_view text, bool keep_newlines);

// How the progress line is drawn.
struct ProgressLineStyle {
  uint32_t bytes_per_unit = kDefaultBytesPerUnit;
  bool with_bar = true;  // a bar before the percentage (terminals); plain logs have none
  int columns = 0;       // the line is cut to columns - 1 (the last column would wrap); 0: no cut
};

// The progress line for a view: "[####------]  42%  12.3 MiB/s  3 min 20 s left  <sub prompt>".
// The rate (done units x bytes_per_unit / elapsed) appears once some time has passed and work
// was done, the remaining time while the operation is below 100 %. The sub prompt is sanitised
// to one line. No control characters in the result.
std::string format_progress_line(const ProgressView& view, const ProgressLineStyle& style);

}  // namespace tav::cli
