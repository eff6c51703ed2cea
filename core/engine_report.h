// How an engine library reports an error or warning to the user: the three pointers it keeps
// from its set-thread-GUI call (record, shared message buffer, shared error flag) and the report
// that formats into the buffer and shows the first report of an operation through the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/progress_channel.h"

namespace tav {

// Size of the message buffer a face allocates and hands to every engine library. A report
// holds at most kMessageBufferBytes - 1 bytes of UTF-8 and the last byte is always 0.
constexpr size_t kMessageBufferBytes = 10240;

// The longest prefix of `text` of at most `max_bytes` bytes that does not end inside a UTF-8
// character (a malformed sequence counts as one unit and is kept or dropped whole).
size_t utf8_prefix_length(std::string_view text, size_t max_bytes);

// Copies `text` into `buffer` (kMessageBufferBytes bytes), cut by utf8_prefix_length to at most
// kMessageBufferBytes - 1 bytes, zero-terminated, with a zero in the last byte as well.
void store_message(char* buffer, std::string_view text);

// `path` without its directories ("core/x.cc" -> "x.cc").
const char* source_file_name(const char* path);

// One per engine library. The pointers belong to the face and live as long as the process; they
// are stored once at start-up, before any worker runs. The error flag is shared between threads
// and is read and written atomically: 0 lets a report show a message box, any other value
// suppresses it (the face sets -1 while it probes image files itself).
struct EngineReport {
  THREAD_GUI_DATA* record = nullptr;
  char* message_buffer = nullptr;  // kMessageBufferBytes bytes, or null: reports use a local text
  int32_t* error_flag = nullptr;   // null: every report is shown

  // Stores the three pointers and sets the error flag to 0.
  void set(THREAD_GUI_DATA* new_record, char* new_message_buffer, int32_t* new_error_flag);

  // Writes "<file>(<line>)-<function>." followed by `text` into the message buffer, adds one to
  // the record's error_count when `count_error` is set, and when the error flag is 0 sets it to
  // 1 and shows the report through slot 11 (icon `icon`, kIconError or kIconWarning, button set
  // OK). Safe to call from several threads of one run: the buffer always holds one whole report
  // and only one of them is shown. Returns the answer of the box, or 0 when none was shown.
  uint32_t report_text(const char* file, int line, const char* function, bool count_error,
                       uint32_t icon, const char* text);
  // The same with a printf-style message from a literal format.
  uint32_t report(const char* file, int line, const char* function, bool count_error,
                  uint32_t icon, const char* format, ...) __attribute__((format(printf, 7, 8)));
};

}  // namespace tav

// Reports through `reporter` (an EngineReport) with this source file's name, line and function:
//   TAV_ENGINE_REPORT(g_report, true, tav::kIconError, "cannot open %s", name);
#define TAV_ENGINE_REPORT(reporter, count_error, icon, ...)                                   \
  (reporter).report(::tav::source_file_name(__FILE__), __LINE__, __func__, (count_error), \
                    (icon), __VA_ARGS__)
