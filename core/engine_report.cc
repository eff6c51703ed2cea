// The engine error report: one formatted line in the shared message buffer, shown once per
// operation through the progress channel.
#include "core/engine_report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/format_va.h"
#include "core/text_convert.h"

namespace tav {

size_t utf8_prefix_length(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  size_t kept = 0;
  while (kept < text.size()) {
    size_t length = 1;
    decode_utf8_char(text.substr(kept), &length);
    if (length == 0) length = 1;
    if (length > max_bytes - kept) break;
    kept += length;
  }
  return kept;
}

void store_message(char* buffer, std::string_view text) {
  if (buffer == nullptr) return;
  const size_t length = utf8_prefix_length(text, kMessageBufferBytes - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  buffer[kMessageBufferBytes - 1] = '\0';
}

const char* source_file_name(const char* path) {
  if (path == nullptr) return "";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void EngineReport::set(THREAD_GUI_DATA* new_record, char* new_message_buffer,
                       int32_t* new_error_flag) {
  record = new_record;
  message_buffer = new_message_buffer;
  error_flag = new_error_flag;
  if (error_flag != nullptr) std::atomic_ref<int32_t>(*error_flag).store(0);
}

uint32_t EngineReport::report_text(const char* file, int line, const char* function,
                                   bool count_error, uint32_t icon, const char* text) {
  try {
    char head[512];
    std::snprintf(head, sizeof head, "%s(%d)-%s.", file != nullptr ? file : "", line,
                  function != nullptr ? function : "");
    std::string message(head);
    if (text != nullptr) message += text;

    // The report is shown from a local copy cut the way the buffer cuts it: worker threads of
    // one run may report at the same time, and the shared buffer then holds the latest whole
    // report (written under a lock), never a mix of two.
    const std::string shown = message.substr(0, utf8_prefix_length(message, kMessageBufferBytes - 1));
    if (message_buffer != nullptr) {
      static std::mutex buffer_mutex;
      std::lock_guard<std::mutex> lock(buffer_mutex);
      store_message(message_buffer, shown);
    }

    if (count_error && record != nullptr) ++record->error_count;

    // The first report claims the flag (0 -> 1) before it is shown, so of two reports at the
    // same time only one is shown; a flag the face set to anything else shows none.
    if (error_flag != nullptr) {
      int32_t expected = 0;
      if (!std::atomic_ref<int32_t>(*error_flag).compare_exchange_strong(expected, 1)) return 0;
    }
    uint32_t answer = 0;
    // The text goes in as an argument: a '%' in a file name or message is shown as it stands.
    if (record != nullptr && record->ops != nullptr) {
      answer = record->ops->throw_dlg(record, icon, kButtonsOk, "%s", shown.c_str());
    } else {
      answer = libtavpub_throw_dlg_text(record, icon, kButtonsOk, shown.c_str());
    }
    return answer;
  } catch (...) {
    return 0;
  }
}

uint32_t EngineReport::report(const char* file, int line, const char* function, bool count_error,
                              uint32_t icon, const char* format, ...) {
  std::string text;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    text = format_va(format, args);  // empty when it cannot be formatted; never throws
    va_end(args);
  }
  return report_text(file, line, function, count_error, icon, text.c_str());
}

}  // namespace tav
