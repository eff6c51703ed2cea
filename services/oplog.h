// The operation log: the user-visible history of what the suite did, one record per event in
// "log/tavbloom.log" under the program directory, rotated by size into files named by the time
// of the record that filled it, and expired by age. Every process of the suite (the programs
// with windows, the service, `tav`) appends to the same file under the named mutex
// "Tavbloom_Log_Mutex". Application services (TavPub2).
//
// File: UTF-16LE; a new file starts with the byte-order mark FF FE. Record:
//   "%u|%s|%s|%s|\r\n"  type, local time "YYYY-MM-DD hh:mm:ss", source, message
// where the message has every '|', CR and LF removed, so a record always has four fields.
// Types: 0 error, 1 warning, 2 and above information.
//
// Rotated logs: "YYYY-MM-DD hh_mm_ss.log" from the local time of the record that filled the
// current log. A rotation never replaces an earlier rotated log: when that name is taken (two
// rotations in one second), the next free second is used, so every rotated name still matches
// the pattern and sorts by time.
//
// Results: exported functions return 1 (success) or 0 and leave the reason in the thread's last
// error (errno values). Failures are traced; nothing is shown. All functions are safe from any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The log options: three 32-bit fields, in this order. Kept in "Settings.ini" section "Log".
struct tagTAVLOGOPT {
  uint32_t LoadLog;    // 0 or 1; kept for the programs with windows, not used by the log itself
  uint32_t LogSize;    // size limit of the current log in KiB, 1..512 (0 or above: 128)
  uint32_t LogExpire;  // age in days after which rotated logs are deleted, 1..7 (0 or above: 3)
};

// Opens the log mutex. The first process of the machine to open it reads the options from
// "Settings.ini" into the shared copy (a file beside the mutex's lock file) that every later
// process uses. Then deletes expired logs. Calling it again while initialized does nothing.
int LogInitialize();
// Deletes expired logs and closes the mutex. 1 always.
int LogUninitialize();
// Whether LogInitialize has run in this process (and LogUninitialize not since).
bool LogIsInitialized();

// Appends one record (see above). `source` null: the running program's file name. Dropped, with
// a trace, when the log is not initialized in this process or the mutex cannot be had within
// 10 seconds. When the file reaches LogSize KiB it is rotated, then expired logs are deleted.
void TavWriteLog(unsigned type, const char* source, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// A copy of one log file, read line by line. Null or empty name: the current log ("tavbloom");
// otherwise a rotated log's name as TavGetLogNames gives it ("2011-02-18 12:38:37"). Names that
// are neither are refused (EINVAL), so no name reaches a file outside the log directory.
// Null on failure. The handle is freed by TavCloseLog.
void* TavOpenLog(const char* name);
// The next line of an open log (UTF-8), without its "\r\n"; text after the last CR is never
// returned. Null at the end (ENODATA) or for a handle that is not open (EBADF). A line stays
// valid until TavCloseLog.
const char* TavReadLog(void* log);
// Frees the handle; 0 (EBADF) for a handle that is not open.
int TavCloseLog(void* log);

// Replaces `names` with the rotated logs' names, "_" turned back into ":" and ".log" removed, in
// time order. The current log is not listed. 0 when there is none.
int TavGetLogNames(std::vector<std::string>& names);
// Deletes a rotated log by its name (as TavGetLogNames gives it) or the current log ("tavbloom").
// Other names are refused (EINVAL). Logs "Remove log '%s' is: %d".
int TavDeleteLog(const char* name);

// The options in use: the shared copy once the log is initialized on this machine, else those
// of "Settings.ini".
int TavGetLogOption(tagTAVLOGOPT& option);
// Clamps the options as reading does (LoadLog nonzero -> 1, out-of-range size and age -> their
// defaults; `option` gets the clamped values), writes them to "Settings.ini" and to the shared
// copy, and logs "Modify log settings, LoadLog=%d, LogSize=%d, LogExpire=%d".
int TavSetLogOption(tagTAVLOGOPT& option);

// Deletes every rotated log whose last write is LogExpire days old or older (times compared in
// seconds since 1970 UTC on both sides). Does not take the mutex. 1 always.
int DeleteExpireLog();

namespace tav::services {

inline constexpr char kLogMutexName[] = "Tavbloom_Log_Mutex";
inline constexpr char kCurrentLogBase[] = "tavbloom";
inline constexpr int kLogWaitMs = 10000;

// "<program dir>log/".
std::string log_dir();

// "YYYY-MM-DD hh:mm:ss" of `when` (seconds since 1970) in local time.
std::string log_time_text(int64_t when);

// The record line (with its "\r\n") of one event, message already formatted.
std::string log_record(unsigned type, int64_t when, std::string_view source, std::string_view message);

// One record read back.
struct LogRecord {
  unsigned type = 0;
  std::string time;  // "YYYY-MM-DD hh:mm:ss"
  std::string source;
  std::string message;
};
// Splits a line (without "\r\n") into its four fields; false when it is not a record.
bool parse_log_record(std::string_view line, LogRecord* record);

// Whether `name` is a rotated log's file name "YYYY-MM-DD hh_mm_ss.log" (digits where digits go).
bool is_rotated_log_file_name(std::string_view name);

}  // namespace tav::services
