// The suite's trace: one line per call to the per-program trace file (UTF-16LE), syslog and/or
// stderr, filtered by level and shaped by the "Trace" section of "Settings.ini". Core layer;
// every module above may trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tav {

// Trace levels. A line is written when its level is at most the configured "Level".
inline constexpr int kTraceError = 0;
inline constexpr int kTraceWarn = 1;
inline constexpr int kTraceCritical = 2;
inline constexpr int kTraceInfo = 3;  // any higher level prints as "Info" too

// "Out" bits: where a line goes.
inline constexpr uint32_t kTraceOutFile = 1u << 0;     // <trace dir>Trace/<program>.txt
inline constexpr uint32_t kTraceOutDebug = 1u << 1;    // syslog, LOG_DEBUG
inline constexpr uint32_t kTraceOutConsole = 1u << 2;  // stderr (stdout stays the command's)

// "Mode" bits: what a line holds besides the message, in the order written.
inline constexpr uint32_t kTraceModeTime = 1u << 0;        // "2026-01-31 23:59:59:123 "
inline constexpr uint32_t kTraceModeThreadId = 1u << 1;    // "Tid=1234 "
inline constexpr uint32_t kTraceModeFunction = 1u << 2;    // "name() "
inline constexpr uint32_t kTraceModeSource = 1u << 3;      // "/path/file.cc(12): " first
inline constexpr uint32_t kTraceModeSourceName = 1u << 4;  // as above without the directory
inline constexpr uint32_t kTraceModeLevel = 1u << 5;       // "Error " ... "Info "

// A trace file that would grow past this many bytes is rotated: kept as "<program>.1.txt"
// (replacing an older one) and started again.
inline constexpr uint64_t kTraceFileCapBytes = 4ull * 1024 * 1024;

// Error code for TavTrace: the calling thread's last error (tav::get_last_error()).
inline constexpr int32_t kTraceLastError = -1;

// The directory that holds "Trace/" and "Dump/", ending in '/': the program directory when it is
// writable, otherwise fallback_trace_dir(). Read once with the rest of the configuration.
std::string trace_dir();

// The trace file's full path (whether or not it exists yet).
std::string trace_file_path();

// "<trace dir>Dump/", created with its parents; the trace directory itself when that fails.
std::string trace_dump_dir();

// Where a program whose directory is not writable (a read-only medium) traces, ending in '/':
// "/var/log/tav/" for root (uid 0), else "$XDG_STATE_HOME/tav/", else "$HOME/.local/state/tav/",
// else "/tmp/tav-<uid>/". Null or empty strings count as unset.
std::string fallback_trace_dir(unsigned uid, const char* xdg_state_home, const char* home);

// The English text trace lines show for an error code (core/error_text.h): empty when there is
// none, never containing CR or LF.
std::string trace_error_text(uint32_t code);

// Appends `length` bytes of ASCII text (converted to UTF-16LE here) to the open trace file with a
// single write(), without taking the trace lock. Async-signal-safe: for the crash handler. Does
// nothing when no trace file is open or the text is longer than 1024 bytes.
void trace_write_signal_note(const char* ascii, size_t length);

// Reads the configuration again: TAV_HOME, "Settings.ini", the trace directory; the current
// trace file is closed and rotated as at start. For tests; no other thread may trace meanwhile.
void trace_reload();

// Replaces kTraceFileCapBytes (0 restores it). For tests of rotation.
void set_trace_file_cap(uint64_t cap_bytes);

}  // namespace tav

// Writes one trace line (see the Mode bits above) when tracing is on and `level` is at most the
// configured Level. `code` 0 means no error, kTraceLastError the thread's last error, anything
// else that code. `function` and `source` may be null. Never fails visibly, never throws; keeps
// errno and the thread's last error. Safe from any thread.
void TavTrace(int level, int32_t code, const char* function, const char* source, int line,
              const char* format, ...) __attribute__((format(printf, 6, 7)));

// TavTrace with the calling function, file and line filled in.
#define TAV_TRACE(level, code, ...) \
  TavTrace((level), (code), __func__, __FILE__, __LINE__, __VA_ARGS__)
