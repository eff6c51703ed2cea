// The mount daemon's error idiom: one error flag and one message buffer for the whole daemon.
// The first failure of an operation sets the flag to 1 and writes "<file>(<line>)-<function>."
// followed by its text into the buffer; later failures leave that first message in place. The
// image code's reports are bound to the same flag and buffer, with the same rule. Flag and
// message travel to the client in the open and close replies.
//
// Thread-safety: every function may be called from any thread; the buffer is guarded by a mutex
// and the flag is atomic.
#pragma once

#include <cstdint>
#include <string>

namespace tav::mount {

// Makes the image code report into the daemon's flag and buffer (its first report of an
// operation wins, as for the daemon's own). Idempotent.
void bind_image_reports();

// Clears the flag and writes the daemon's start text "<file>(<line>)-<function>: allocating
// debug info ok!" into the buffer.
void reset_mount_report(const char* file, int line, const char* function);
// Clears the flag only; the buffer keeps its text.
void clear_mount_error();

// The failure report: sets the flag to 1 and stores the message when the flag was 0; otherwise
// does nothing.
void mount_report(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

int32_t mount_error_flag();
void set_mount_error_flag(int32_t value);
// A copy of the message buffer's text (UTF-8).
std::string mount_message();

}  // namespace tav::mount

#define TAV_MOUNT_REPORT(...) \
  ::tav::mount::mount_report(::tav::source_file_name(__FILE__), __LINE__, __func__, __VA_ARGS__)
