// The engine error report: one formatted line in the shared message buffer, shown once per
// operation through the progress channel.
#include "core/engine_report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

    // Without a shared buffer the report is shown from a local copy cut the same way.
    std::string local;
    const char* shown = nullptr;
    if (message_buffer != nullptr) {
      store_message(message_buffer, message);
      shown = message_buffer;
    } else {
      local = message.substr(0, utf8_prefix_length(message, kMessageBufferBytes - 1));
      shown = local.c_str();
    }

    if (count_error && record != nullptr) ++record->error_count;

    if (error_flag != nullptr && std::atomic_ref<int32_t>(*error_flag).load() != 0) return 0;
    uint32_t answer = 0;
    // The text goes in as an argument: a '%' in a file name or message is shown as it stands.
    if (record != nullptr && record->ops != nullptr) {
      answer = record->ops->throw_dlg(record, icon, kButtonsOk, "%s", shown);
    } else {
      answer = libtavpub_throw_dlg_text(record, icon, kButtonsOk, shown);
    }
    if (error_flag != nullptr) std::atomic_ref<int32_t>(*error_flag).store(1);
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
