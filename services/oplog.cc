// The operation log: records, rotation, expiry, reading and the shared options.
#include "services/oplog.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>

#include "core/file_utils.h"
#include "core/format_va.h"
#include "core/last_error.h"
#include "core/named_mutex.h"
#include "core/program_dir.h"
#include "core/settings.h"
#include "core/text_convert.h"
#include "core/trace.h"
#include "services/service_clock.h"

namespace tav::services {

namespace {

constexpr uint32_t kLogMagic = 0x54415642;
constexpr uint32_t kHandleHeaderBytes = 12;  // magic, size, position
constexpr char kSharedOptionsFile[] = "Tavbloom_Log_Options";
constexpr int kMaxRotationTries = 3600;

// The process's hold on the log. `mu` is taken shared by writers and exclusively by
// LogInitialize / LogUninitialize, so the mutex is never closed under a writer.
struct LogState {
  std::shared_mutex mu;
  std::unique_ptr<NamedMutex> mutex;  // guarded by mu
};
LogState& state() {
  static LogState s;
  return s;
}

// An open log: the file's bytes and the lines handed out. Handles are looked up in `live`
// before use, so a stale or foreign pointer is refused without being read.
struct LogBlock {
  uint32_t magic = kLogMagic;
  uint32_t size = 0;      // file size + 16
  uint32_t position = 0;  // offset of the next line, counted like the file's bytes + 12
  std::u16string text;    // the file as read (without its byte-order mark)
  uint32_t text_start = 0;  // offset within the block of text[0]
  std::deque<std::string> lines;
};
std::mutex g_blocks_mu;
std::set<LogBlock*>& live_blocks() {
  static std::set<LogBlock*> blocks;
  return blocks;
}

std::string shared_options_path() { return run_dir() + kSharedOptionsFile; }

tagTAVLOGOPT clamp(tagTAVLOGOPT o) {
  o.LoadLog = o.LoadLog != 0 ? 1 : 0;
  if (o.LogSize == 0 || o.LogSize > kMaxLogSize) o.LogSize = kDefaultLogSize;
  if (o.LogExpire == 0 || o.LogExpire > kMaxLogExpire) o.LogExpire = kDefaultLogExpire;
  return o;
}

tagTAVLOGOPT options_from_settings() {
  const LogSettings s = read_log_settings(settings_path());
  return clamp({s.load_log, s.log_size, s.log_expire});
}

bool read_shared_options(tagTAVLOGOPT* o) {
  std::string bytes;
  if (read_whole_file(shared_options_path(), &bytes) != 0 || bytes.size() != 12) return false;
  uint32_t v[3];
  std::memcpy(v, bytes.data(), sizeof v);
  *o = clamp({v[0], v[1], v[2]});
  return true;
}

bool write_shared_options(const tagTAVLOGOPT& o) {
  const uint32_t v[3] = {o.LoadLog, o.LogSize, o.LogExpire};
  return write_file_atomically(shared_options_path(), std::string_view(reinterpret_cast<const char*>(v), sizeof v)) == 0;
}

// The options in use: the shared copy when this process has the log open, else the file's.
tagTAVLOGOPT options_in_use(bool initialized) {
  tagTAVLOGOPT o;
  if (initialized && read_shared_options(&o)) return o;
  return options_from_settings();
}

// The file of a log name: the current log for null, "" or "tavbloom", else a rotated log's name
// with ':' as '_'. False for any other name.
bool log_file_of(const char* name, std::string* file) {
  std::string base = name == nullptr ? std::string() : std::string(name);
  if (base.empty()) base = kCurrentLogBase;
  std::replace(base.begin(), base.end(), ':', '_');
  base += ".log";
  if (base != std::string(kCurrentLogBase) + ".log" && !is_rotated_log_file_name(base)) return false;
  *file = log_dir() + base;
  return true;
}

std::string rotated_file_name(int64_t when) {
  std::string name = log_time_text(when);
  std::replace(name.begin(), name.end(), ':', '_');
  return name + ".log";
}

// Renames the full current log to the rotated name of `when`, or of the first later second whose
// name is free: an earlier rotated log is never replaced.
void rotate(const std::string& current, int64_t when) {
  for (int i = 0; i < kMaxRotationTries; ++i) {
    const std::string target = log_dir() + rotated_file_name(when + i);
    if (::renameat2(AT_FDCWD, current.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      TAV_TRACE(kTraceInfo, 0, "Log is full, rename to '%s'", target.c_str());
      return;
    }
    if (errno != EEXIST) {
      TAV_TRACE(kTraceError, kTraceLastError, "Rename log '%s' failed", current.c_str());
      return;
    }
  }
}

bool valid_block(LogBlock* block) {
  std::lock_guard lock(g_blocks_mu);
  if (block == nullptr || live_blocks().count(block) == 0) {
    TAV_TRACE(kTraceError, 0, "Log(%p) invalid", static_cast<void*>(block));
    return false;
  }
  if (block->magic != kLogMagic) {
    TAV_TRACE(kTraceError, 0, "Log(%p) magic error", static_cast<void*>(block));
    return false;
  }
  if (block->position < kHandleHeaderBytes || block->position >= block->size) {
    TAV_TRACE(kTraceError, 0, "Log(%p) invalid", static_cast<void*>(block));
    return false;
  }
  return true;
}

}  // namespace

std::string log_dir() { return program_file("log/"); }

std::string log_time_text(int64_t when) {
  const std::time_t t = static_cast<std::time_t>(when);
  struct tm local {};
  localtime_r(&t, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string log_record(unsigned type, int64_t when, std::string_view source, std::string_view message) {
  std::string clean;
  clean.reserve(message.size());
  for (char c : message) {
    if (c != '|' && c != '\r' && c != '\n') clean += c;
  }
  std::string src(source);
  // The source is the caller's name for itself; it must not add fields either.
  src.erase(std::remove_if(src.begin(), src.end(), [](char c) { return c == '|' || c == '\r' || c == '\n'; }),
            src.end());
  return std::to_string(type) + "|" + log_time_text(when) + "|" + src + "|" + clean + "|\r\n";
}

bool parse_log_record(std::string_view line, LogRecord* record) {
  std::string_view fields[4];
  size_t start = 0;
  for (std::string_view& field : fields) {
    const size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) return false;
    field = line.substr(start, bar - start);
    start = bar + 1;
  }
  if (start != line.size() || fields[0].empty() || fields[0].size() > 10) return false;
  unsigned type = 0;
  for (char c : fields[0]) {
    if (c < '0' || c > '9') return false;
    type = type * 10 + unsigned(c - '0');
  }
  record->type = type;
  record->time = std::string(fields[1]);
  record->source = std::string(fields[2]);
  record->message = std::string(fields[3]);
  return true;
}

bool is_rotated_log_file_name(std::string_view name) {
  static constexpr char kShape[] = "9999-99-99 99_99_99.log";
  if (name.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (kShape[i] == '9' ? !digit : name[i] != kShape[i]) return false;
  }
  return true;
}

}  // namespace tav::services

using namespace tav;
using namespace tav::services;

bool LogIsInitialized() {
  std::shared_lock lock(state().mu);
  return state().mutex != nullptr;
}

int LogInitialize() {
  {
    std::unique_lock lock(state().mu);
    if (state().mutex != nullptr) return 1;
    auto mutex = std::make_unique<NamedMutex>();
    if (!mutex->open(kLogMutexName)) {
      TAV_TRACE(kTraceError, kTraceLastError, "Create mutex failed");
      return 0;
    }
    tagTAVLOGOPT o;
    if (!mutex->already_existed() || !read_shared_options(&o)) {
      o = options_from_settings();
      if (!write_shared_options(o)) TAV_TRACE(kTraceError, kTraceLastError, "Share log settings failed");
      TAV_TRACE(kTraceInfo, 0, "Got log settings, LoadLog=%d, LogSize=%d, LogExpire=%d", int(o.LoadLog),
                int(o.LogSize), int(o.LogExpire));
    }
    state().mutex = std::move(mutex);
  }
  DeleteExpireLog();
  TAV_TRACE(kTraceInfo, 0, "Log init");
  return 1;
}

int LogUninitialize() {
  if (!LogIsInitialized()) return 1;
  DeleteExpireLog();
  std::unique_lock lock(state().mu);
  state().mutex.reset();
  TAV_TRACE(kTraceInfo, 0, "Log uninit");
  return 1;
}

void TavWriteLog(unsigned type, const char* source, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = format_va(format, args);
  va_end(args);

  bool full = false;
  {
    std::shared_lock lock(state().mu);
    NamedMutex* mutex = state().mutex.get();
    if (mutex == nullptr) {
      TAV_TRACE(kTraceWarn, 0, "Log not init");
      return;
    }
    const int64_t when = service_now();
    const std::string record =
        log_record(type, when, source != nullptr ? std::string_view(source) : std::string_view(executable_name()), message);
    const std::string dir = log_dir();
    if (!create_directories(dir)) {
      TAV_TRACE(kTraceError, kTraceLastError, "Create dir '%s' failed", dir.c_str());
      return;
    }
    if (!mutex->lock_for(kLogWaitMs)) {
      TAV_TRACE(kTraceError, kTraceLastError, "WaitForSingleObject failed");
      return;
    }
    const tagTAVLOGOPT options = options_in_use(true);
    const std::string path = dir + kCurrentLogBase + ".log";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd.valid()) {
      TAV_TRACE(kTraceError, kTraceLastError, "Create file '%s' failed", path.c_str());
      mutex->unlock();
      return;
    }
    struct stat st {};
    std::string bytes;
    if (::fstat(fd.get(), &st) != 0) {
      TAV_TRACE(kTraceError, kTraceLastError, "Seek file failed");
    } else {
      if (st.st_size == 0) bytes = "\xFF\xFE";
      append_utf16le(utf8_to_utf16(record), &bytes);
      if (::write(fd.get(), bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        TAV_TRACE(kTraceError, kTraceLastError, "Write file '%s' failed", path.c_str());
      }
      if (::fstat(fd.get(), &st) == 0 && uint64_t(st.st_size) >= uint64_t(options.LogSize) * 1024) {
        fd.reset();
        rotate(path, when);
        full = true;
      }
    }
    fd.reset();
    mutex->unlock();
  }
  if (full) DeleteExpireLog();
}

int DeleteExpireLog() {
  const tagTAVLOGOPT options = options_in_use(LogIsInitialized());
  const std::string dir = log_dir();
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return 1;
  const int64_t now = service_now();
  const int64_t max_age = int64_t(options.LogExpire) * 86400;
  while (const dirent* e = ::readdir(d.get())) {
    if (!is_rotated_log_file_name(e->d_name)) continue;
    const std::string path = dir + e->d_name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Both sides are seconds since 1970 UTC.
    if (now - int64_t(st.st_mtime) >= max_age) {
      TAV_TRACE(kTraceInfo, 0, "Remove expired log file %s", path.c_str());
      ::unlink(path.c_str());
    }
  }
  return 1;
}

void* TavOpenLog(const char* name) {
  std::string path;
  if (!log_file_of(name, &path)) {
    TAV_TRACE(kTraceError, 0, "Open log '%s' failed", name);
    set_last_error(EINVAL);
    return nullptr;
  }
  std::string bytes;
  if (const int err = read_whole_file(path, &bytes); err != 0) {
    TAV_TRACE(kTraceError, err, "Open log '%s' failed", path.c_str());
    set_last_error(uint32_t(err));
    return nullptr;
  }
  if (bytes.size() > UINT32_MAX - 64) {
    TAV_TRACE(kTraceError, 0, "malloc for log '%s' failed", path.c_str());
    set_last_error(ENOMEM);
    return nullptr;
  }
  auto block = std::make_unique<LogBlock>();
  block->size = uint32_t(bytes.size()) + 16;
  block->text_start = kHandleHeaderBytes;
  size_t skip = 0;
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    skip = 2;
    block->text_start += 2;
  }
  block->position = block->text_start;
  block->text.reserve((bytes.size() - skip) / 2);
  for (size_t i = skip; i + 1 < bytes.size(); i += 2) {
    block->text.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  }
  LogBlock* raw = block.release();
  {
    std::lock_guard lock(g_blocks_mu);
    live_blocks().insert(raw);
  }
  TAV_TRACE(kTraceInfo, 0, "Open log '%s' successful, hLog=%p", path.c_str(), static_cast<void*>(raw));
  return raw;
}

const char* TavReadLog(void* log) {
  LogBlock* block = static_cast<LogBlock*>(log);
  if (!valid_block(block)) {
    set_last_error(EBADF);
    return nullptr;
  }
  const size_t from = (block->position - block->text_start) / 2;
  const size_t cr = block->text.find(u'\r', from);
  if (cr == std::u16string::npos) {
    set_last_error(ENODATA);
    return nullptr;
  }
  size_t next = cr + 1;
  if (next < block->text.size() && block->text[next] == u'\n') ++next;
  block->lines.push_back(utf16_to_utf8(std::u16string_view(block->text).substr(from, cr - from)));
  block->position = block->text_start + uint32_t(next * 2);
  if (block->position >= block->size) block->position = block->size - 1;
  return block->lines.back().c_str();
}

int TavCloseLog(void* log) {
  LogBlock* block = static_cast<LogBlock*>(log);
  {
    std::lock_guard lock(g_blocks_mu);
    if (block == nullptr || live_blocks().erase(block) == 0) {
      set_last_error(EBADF);
      return 0;
    }
  }
  delete block;
  return 1;
}

int TavGetLogNames(std::vector<std::string>& names) {
  names.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(log_dir().c_str()), ::closedir);
  if (!d) return 0;
  while (const dirent* e = ::readdir(d.get())) {
    if (!is_rotated_log_file_name(e->d_name)) continue;
    std::string name(e->d_name, std::strlen(e->d_name) - 4);
    std::replace(name.begin(), name.end(), '_', ':');
    names.push_back(std::move(name));
  }
  // The names are times with fixed-width fields: their order is the time order.
  std::sort(names.begin(), names.end());
  return names.empty() ? 0 : 1;
}

int TavDeleteLog(const char* name) {
  std::string path;
  if (name == nullptr || !log_file_of(name, &path)) {
    set_last_error(EINVAL);
    TavWriteLog(2, nullptr, "Remove log '%s' is: %d", name != nullptr ? name : "", 0);
    return 0;
  }
  const int result = TavRemoveFile(path.c_str());
  const uint32_t err = get_last_error();
  TavWriteLog(2, nullptr, "Remove log '%s' is: %d", name, result);
  if (result == 0) set_last_error(err);
  return result;
}

int TavGetLogOption(tagTAVLOGOPT& option) {
  option = options_in_use(LogIsInitialized());
  return 1;
}

int TavSetLogOption(tagTAVLOGOPT& option) {
  option = clamp(option);
  LogSettings s;
  s.load_log = option.LoadLog;
  s.log_size = option.LogSize;
  s.log_expire = option.LogExpire;
  if (!write_log_settings(settings_path(), s)) {
    TAV_TRACE(kTraceError, kTraceLastError, "Write log settings failed");
    return 0;
  }
  if (LogIsInitialized() && !write_shared_options(option)) {
    TAV_TRACE(kTraceError, kTraceLastError, "Share log settings failed");
    return 0;
  }
  TavWriteLog(2, nullptr, "Modify log settings, LoadLog=%d, LogSize=%d, LogExpire=%d", int(option.LoadLog),
              int(option.LogSize), int(option.LogExpire));
  return 1;
}
