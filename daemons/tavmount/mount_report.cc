// The daemon's error flag and message buffer, and the binding of the image code's reports to them.
#include "daemons/tavmount/mount_report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "core/engine_report.h"
#include "core/format_va.h"
#include "core/progress_channel.h"
#include "image/image_channel.h"

namespace tav::mount {
namespace {

struct ReportState {
  std::mutex buffer_mutex;
  char buffer[kMessageBufferBytes] = {};
  int32_t error_flag = 0;  // accessed through std::atomic_ref
  THREAD_GUI_DATA record;  // the image code's report target; only its ops are used
  GUI_OPS ops{};
};

ReportState& state() {
  static ReportState s;
  return s;
}

void store(const std::string& text) {
  ReportState& s = state();
  std::lock_guard<std::mutex> lock(s.buffer_mutex);
  store_message(s.buffer, text);
}

// Slot 11 of the image code's record. The image report calls it only for the report that moved
// the flag from 0 to 1, so the buffer keeps the first message of an operation.
uint32_t store_first_report(THREAD_GUI_DATA*, uint32_t, uint32_t, const char* format, ...) {
  if (format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  const std::string text = format_va(format, args);
  va_end(args);
  store(text);
  return 0;
}

}  // namespace

void bind_image_reports() {
  static std::once_flag once;
  std::call_once(once, [] {
    ReportState& s = state();
    s.ops = builtin_channel_ops();
    s.ops.throw_dlg = store_first_report;
    s.record.ops = &s.ops;
    // No message buffer of its own: the image report would overwrite it with every report.
    libtavimg_set_thread_gui(&s.record, nullptr, &s.error_flag);
  });
}

void reset_mount_report(const char* file, int line, const char* function) {
  char head[512];
  std::snprintf(head, sizeof head, "%s(%d)-%s: allocating debug info ok!", file, line, function);
  store(head);
  set_mount_error_flag(0);
}

void clear_mount_error() { set_mount_error_flag(0); }

void mount_report(const char* file, int line, const char* function, const char* format, ...) {
  int32_t expected = 0;
  if (!std::atomic_ref<int32_t>(state().error_flag).compare_exchange_strong(expected, 1)) return;
  std::string text;
  try {
    char head[512];
    std::snprintf(head, sizeof head, "%s(%d)-%s.", file != nullptr ? file : "", line,
                  function != nullptr ? function : "");
    text = head;
    va_list args;
    va_start(args, format);
    text += format_va(format, args);
    va_end(args);
  } catch (...) {
    return;
  }
  store(text);
}

int32_t mount_error_flag() { return std::atomic_ref<int32_t>(state().error_flag).load(); }

void set_mount_error_flag(int32_t value) { std::atomic_ref<int32_t>(state().error_flag).store(value); }

std::string mount_message() {
  ReportState& s = state();
  std::lock_guard<std::mutex> lock(s.buffer_mutex);
  return std::string(s.buffer);
}

}  // namespace tav::mount
