// The trace: configuration read once per process, line formatting and the three outputs.
#include "core/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/error_text.h"
#include "core/file_utils.h"
#include "core/format_va.h"
#include "core/last_error.h"
#include "core/program_dir.h"
#include "core/settings.h"
#include "core/text_convert.h"

namespace tav {
namespace {

constexpr int kMaxLevel = kTraceInfo;
constexpr unsigned char kUtf16Bom[2] = {0xFF, 0xFE};
constexpr size_t kSignalNoteMaxBytes = 1024;

struct TraceConfig {
  uint32_t out = kTraceOutFile;
  uint32_t mode = kTraceModeTime | kTraceModeThreadId | kTraceModeFunction;
  int32_t level = kTraceError;
  std::string dir;           // holds "Trace/" and "Dump/"; ends in '/'
  std::string file_path;     // <dir>Trace/<program>.txt
  std::string rotated_path;  // <dir>Trace/<program>.1.txt
};

// Process-wide trace state. The configuration is written once (under call_once, or by
// trace_reload in tests while nothing else traces) and read without locks afterwards. The open
// file and its size are guarded by mu. The descriptor also lives in g_trace_fd, written under mu
// and read lock-free by the crash handler's note; rotation keeps its number (dup2), so that
// reader never sees a number that belongs to another file.
struct TraceState {
  std::once_flag once;
  TraceConfig config;

  std::mutex mu;
  uint64_t file_bytes = 0;  // guarded by mu: bytes in the open file, BOM included
};

// Set while this thread reads the configuration: a trace call from inside (the settings reader)
// must not wait for the configuration it is part of.
thread_local bool t_configuring = false;

class ConfiguringScope {
 public:
  ConfiguringScope() : previous_(t_configuring) { t_configuring = true; }
  ~ConfiguringScope() { t_configuring = previous_; }
  ConfiguringScope(const ConfiguringScope&) = delete;
  ConfiguringScope& operator=(const ConfiguringScope&) = delete;

 private:
  bool previous_;
};

std::atomic<int> g_trace_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the crash handler reads the fd lock-free");
std::atomic<uint64_t> g_file_cap{kTraceFileCapBytes};

// Never destroyed: static destructors of other modules may still trace at exit.
TraceState& state() {
  static TraceState* s = new TraceState;
  return *s;
}

std::string with_slash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

bool non_empty(const char* text) { return text != nullptr && *text != '\0'; }

std::string choose_trace_dir(const std::string& program_dir) {
  if (!program_dir.empty() && access(program_dir.c_str(), W_OK | X_OK) == 0) return program_dir;
  return fallback_trace_dir(static_cast<unsigned>(getuid()), std::getenv("XDG_STATE_HOME"),
                            std::getenv("HOME"));
}

const char* level_name(int level) {
  switch (level) {
    case kTraceWarn: return "Warn";
    case kTraceCritical: return "Critical";
    default: return level >= kTraceInfo ? "Info" : "Error";
  }
}

// Appends a short printf-formatted piece (numbers, the time stamp; cut at 255 bytes).
void append_format(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append_format(std::string* out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out->append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

// The whole line, "\r\n" included, in the order: source, time, level, thread, error, function,
// message.
std::string format_line(const TraceConfig& cfg, int level, uint32_t code, const char* function,
                        const char* source, int line, const std::string& message) {
  std::string text;
  text.reserve(message.size() + 128);
  if ((cfg.mode & (kTraceModeSource | kTraceModeSourceName)) != 0 && non_empty(source)) {
    const char* shown = source;
    if ((cfg.mode & kTraceModeSourceName) != 0) {
      if (const char* slash = std::strrchr(source, '/')) shown = slash + 1;
    }
    text += shown;
    append_format(&text, "(%d): ", line);
  }
  if ((cfg.mode & kTraceModeTime) != 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    append_format(&text, "%04d-%02d-%02d %02d:%02d:%02d:%03d ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
  }
  if ((cfg.mode & kTraceModeLevel) != 0) {
    text += level_name(level);
    text += ' ';
  }
  if ((cfg.mode & kTraceModeThreadId) != 0) append_format(&text, "Tid=%d ", static_cast<int>(gettid()));
  if (code != 0) {
    append_format(&text, "Err=0x%08x", code);
    std::string reason = trace_error_text(code);
    if (!reason.empty()) {
      text += '(';
      text += reason;
      text += ')';
    }
    text += ' ';
  }
  if ((cfg.mode & kTraceModeFunction) != 0 && non_empty(function)) {
    text += function;
    text += "() ";
  }
  text += message;
  text += "\r\n";
  return text;
}

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Opens (creating) the trace file for appending; a new or empty file gets the byte-order mark.
// Returns the descriptor or -1. The caller holds mu.
int open_trace_file(const TraceConfig& cfg, uint64_t* file_bytes) {
  if (!create_directories(cfg.dir + "Trace")) return -1;
  UniqueFd fd(::open(cfg.file_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  *file_bytes = static_cast<uint64_t>(st.st_size);
  if (*file_bytes == 0) {
    if (!write_all(fd.get(), kUtf16Bom, sizeof kUtf16Bom)) return -1;
    *file_bytes = sizeof kUtf16Bom;
  }
  return fd.release();
}

// Closes the open trace file, if any. The caller holds mu.
void close_trace_file() {
  int fd = g_trace_fd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

// Keeps the current file as "<program>.1.txt" (replacing an older one) and continues in a fresh
// file under the same descriptor number. A file that cannot be renamed is emptied instead: the
// cap bounds the disk space the trace takes. On failure the file is closed; the next line
// retries. The caller holds mu.
void rotate_trace_file(const TraceConfig& cfg, TraceState& s) {
  int fd = g_trace_fd.load();
  if (std::rename(cfg.file_path.c_str(), cfg.rotated_path.c_str()) != 0 && errno != ENOENT) {
    if (ftruncate(fd, 0) == 0 && write_all(fd, kUtf16Bom, sizeof kUtf16Bom)) {
      s.file_bytes = sizeof kUtf16Bom;
    } else {
      close_trace_file();
    }
    return;
  }
  // Renamed, or removed by someone else: either way the next lines go to a new file.
  int fresh = open_trace_file(cfg, &s.file_bytes);
  if (fresh < 0) {
    close_trace_file();
    return;
  }
  if (dup2(fresh, fd) >= 0) {
    ::close(fresh);
  } else {
    close_trace_file();
    g_trace_fd.store(fresh);
  }
}

void write_to_file(const TraceConfig& cfg, const std::string& text) {
  std::vector<unsigned char> bytes = utf8_to_utf16le_bytes_z(text);
  bytes.resize(bytes.size() - 2);  // the terminating zero unit
  TraceState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (g_trace_fd.load() < 0) {
    int fd = open_trace_file(cfg, &s.file_bytes);
    if (fd < 0) return;  // dropped; the next line tries again
    g_trace_fd.store(fd);
  }
  // A file holding only its byte-order mark is not rotated: one line longer than the cap goes
  // into a file of its own.
  if (s.file_bytes + bytes.size() > g_file_cap.load() && s.file_bytes > sizeof kUtf16Bom) {
    rotate_trace_file(cfg, s);
    if (g_trace_fd.load() < 0) return;
  }
  if (write_all(g_trace_fd.load(), bytes.data(), bytes.size())) s.file_bytes += bytes.size();
}

// Sends one formatted line to the configured outputs.
void emit(const TraceConfig& cfg, int level, uint32_t code, const char* function, const char* source,
          int line, const std::string& message) {
  if (cfg.out == 0 || level > cfg.level) return;
  std::string text = format_line(cfg, level, code, function, source, line, message);
  if ((cfg.out & kTraceOutFile) != 0) write_to_file(cfg, text);
  if ((cfg.out & (kTraceOutDebug | kTraceOutConsole)) != 0) {
    // Syslog and terminals take the line without its CR LF.
    std::string_view bare(text.data(), text.size() - 2);
    if ((cfg.out & kTraceOutDebug) != 0) {
      syslog(LOG_DEBUG, "%.*s", static_cast<int>(bare.size()), bare.data());
    }
    if ((cfg.out & kTraceOutConsole) != 0) {
      std::string console(bare);
      console += '\n';
      write_all(STDERR_FILENO, console.data(), console.size());
    }
  }
}

// Reads the configuration into s.config, keeps the previous run's trace file and notes where
// this run traces. Called once, or from trace_reload while nothing else traces.
void configure(TraceState& s) {
  TraceConfig cfg;
  std::string program_dir = tav::program_dir();
  {
    // The settings reader may itself trace; those lines are dropped (see TavTrace).
    ConfiguringScope configuring;
    TraceSettings settings = read_trace_settings(program_dir + kSettingsFileName);
    cfg.out = settings.out;
    cfg.mode = settings.mode;
    cfg.level = std::min(settings.level, kMaxLevel);
  }
  cfg.dir = choose_trace_dir(program_dir);
  std::string program = executable_name();
  if (program.empty()) program = "TavTrace";
  cfg.file_path = cfg.dir + "Trace/" + program + ".txt";
  cfg.rotated_path = cfg.dir + "Trace/" + program + ".1.txt";
  {
    std::lock_guard<std::mutex> lock(s.mu);
    close_trace_file();
    s.file_bytes = 0;
    // The previous run's trace is kept as ".1"; a run that does not write a trace file keeps
    // both older files as they are.
    if ((cfg.out & kTraceOutFile) != 0) {
      struct stat st;
      if (stat(cfg.file_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        std::rename(cfg.file_path.c_str(), cfg.rotated_path.c_str());
      }
    }
    s.config = cfg;
  }
  std::string note = "Out dir is '" + cfg.dir + "', out file name is '" + cfg.file_path + "'";
  emit(s.config, kTraceInfo, 0, __func__, __FILE__, __LINE__, note);
}

const TraceConfig& config() {
  TraceState& s = state();
  std::call_once(s.once, [&s] { configure(s); });
  return s.config;
}

}  // namespace

std::string trace_dir() {
  try {
    return config().dir;
  } catch (...) {
    return std::string();
  }
}

std::string trace_file_path() {
  try {
    return config().file_path;
  } catch (...) {
    return std::string();
  }
}

std::string trace_dump_dir() {
  std::string dir = trace_dir();
  std::string dump = dir + "Dump/";
  return create_directories(dump.substr(0, dump.size() - 1)) ? dump : dir;
}

std::string fallback_trace_dir(unsigned uid, const char* xdg_state_home, const char* home) {
  if (uid == 0) return "/var/log/tav/";
  if (non_empty(xdg_state_home)) return with_slash(xdg_state_home) + "tav/";
  if (non_empty(home)) return with_slash(home) + ".local/state/tav/";
  return "/tmp/tav-" + std::to_string(uid) + "/";
}

std::string trace_error_text(uint32_t code) { return error_text(code); }

void trace_write_signal_note(const char* ascii, size_t length) {
  if (ascii == nullptr || length > kSignalNoteMaxBytes) return;
  int fd = g_trace_fd.load();
  if (fd < 0) return;
  unsigned char wide[kSignalNoteMaxBytes * 2];
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(ascii[i]);
    wide[2 * i] = c < 0x80 ? c : '?';
    wide[2 * i + 1] = 0;
  }
  ssize_t ignored = ::write(fd, wide, length * 2);
  (void)ignored;
}

void trace_reload() {
  try {
    config();
    configure(state());
  } catch (...) {
  }
}

void set_trace_file_cap(uint64_t cap_bytes) {
  g_file_cap.store(cap_bytes == 0 ? kTraceFileCapBytes : cap_bytes);
}

}  // namespace tav

void TavTrace(int level, int32_t code, const char* function, const char* source, int line,
              const char* format, ...) {
  if (tav::t_configuring) return;
  int saved_errno = errno;
  uint32_t saved_last_error = tav::get_last_error();
  uint32_t resolved = code == tav::kTraceLastError ? saved_last_error : static_cast<uint32_t>(code);
  try {
    const tav::TraceConfig& cfg = tav::config();
    if (cfg.out != 0 && level <= cfg.level) {
      va_list args;
      va_start(args, format);
      std::string message = tav::format_va(format, args);
      va_end(args);
      tav::emit(cfg, level, resolved, function, source, line, message);
    }
  } catch (...) {
    // Tracing never fails visibly.
  }
  tav::set_last_error(saved_last_error);
  errno = saved_errno;
}
