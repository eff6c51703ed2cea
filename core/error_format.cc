// TavPub's own text table (the error-code word and the texts of the suite's error codes),
// TavFormatMessage, and the list of the core library's built-in tables. Core library (TavPub).
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "core/error_text.h"
#include "core/language.h"
#include "core/language_internal.h"
#include "core/last_error.h"

namespace tav {
namespace {

// Entry 0 is the word that starts every formatted error; the others are the texts of the codes
// in kEntryCodes, in the same order. Reserved codes have no entry.
TAVSTR g_core_texts[] = {
    {"STR_ERRORCODE", "错误码"},
    {"STR_ERR_UNKNOW", "未知错误"},
    {"STR_ERR_INIT_DEF", "初始化压缩失败."},
    {"STR_ERR_INIT_INF", "初始化解压缩失败"},
    {"STR_ERR_DEFLATE", "压缩数据失败."},
    {"STR_ERR_INFLATE", "解压缩数据失败"},
    {"STR_ERR_BAKNAME", "无效备份名."},
    {"STR_ERR_DIR_ENTRY", "无效的目录项."},
    {"STR_ERR_FILE_ENTRY", "无效的文件项."},
    {"STR_ERR_BAD_VOL", "无效的卷文件"},
    {"STR_ERR_NOT_VOL", "不是卷文件"},
    {"STR_ERR_NOT_MAIN_VOL", "不是主卷文件"},
    {"STR_ERR_RUNNING", "工作仍在进行中"},
    {"STR_ERR_DIR_NOT_MAP", "目录没有映射"},
    {"STR_ERR_DIRFILE_NOT_OPEN", "目录文件没有打开"},
    {"STR_ERR_RELY_VOL", "无效的依赖卷文件"},
    {"STR_ERR_RELY_NOT_FOUND", "找不到依赖卷"},
    {"STR_ERR_DIR_TOO_MANY", "太多的目录数据"},
    {"STR_ERR_FMT_VER", "备份文件格式版本不正确"},
    {"STR_ERR_MNT_DRV_NOTFOUND", "找不到驱动程序，请确认文件 'Tavmount.sys' 在Windows 的System32\\drivers 目录中."},
    {"STR_ERR_MNT_DRV_LOAD", "加载驱动失败，请重启计算机已加载驱动。"},
    {"STR_ERR_MNT_DRV_VER", "驱动程序版本不正确"},
    {"STR_ERR_MNT_DRV_NOTLOAD", "驱动程序没有加载"},
    {"STR_ERR_MNT_PARAM", "无效的打开参数"},
    {"STR_ERR_MNT_BUF_SMALL", "打开缓冲区太小"},
    {"STR_ERR_TASK_UNKNOW", "启动指定的任务失败"},
    {"STR_ERR_TASK_RUNNING", "定时备份任务正在执行中, 请等待..."},
    {"STR_ERR_TASK_NOT_FOUND", "找不到指定的定时备份任务"},
    {"STR_ERR_TASK_COPY", "拷贝定时备份任务数据失败"},
    {nullptr, nullptr},
};

constexpr uint32_t kEntryCodes[] = {
    0,  // STR_ERRORCODE
    kErrUnknown,
    kErrInitDeflate,
    kErrInitInflate,
    kErrDeflate,
    kErrInflate,
    kErrBackupName,
    kErrDirEntry,
    kErrFileEntry,
    kErrBadVolume,
    kErrNotVolume,
    kErrNotMainVolume,
    kErrRunning,
    kErrDirNotMapped,
    kErrDirFileNotOpen,
    kErrRelyVolume,
    kErrRelyNotFound,
    kErrDirTooMany,
    kErrFormatVersion,
    kErrMountDriverNotFound,
    kErrMountDriverLoad,
    kErrMountDriverVersion,
    kErrMountDriverNotLoaded,
    kErrMountParam,
    kErrMountBufferSmall,
    kErrTaskUnknown,
    kErrTaskRunning,
    kErrTaskNotFound,
    kErrTaskCopy,
};
static_assert(std::size(kEntryCodes) + 1 == std::size(g_core_texts), "one code per entry, plus the end");

constexpr LanguageTable kCoreTables[] = {{kCoreLanguageModule, g_core_texts}};

// Serializes filling and releasing the table. g_core_ready is set once the table is filled and
// the lookup registered; readers of the table come after that.
std::mutex g_core_mu;
std::atomic<bool> g_core_ready{false};

// Entry of a suite code, or -1 (not a suite code, or reserved).
int entry_of(uint32_t code) {
  if (code < kFirstSuiteCode || code > kLastSuiteCode) return -1;
  for (size_t i = 1; i < std::size(kEntryCodes); ++i) {
    if (kEntryCodes[i] == code) return static_cast<int>(i);
  }
  return -1;
}

// The lookup of core/error_text.h: the current text of a suite code.
std::string suite_error_text(uint32_t code) {
  const int entry = entry_of(code);
  return entry < 0 ? std::string() : std::string(TavGetStr(g_core_texts, entry));
}

}  // namespace

int init_core_language() {
  if (g_core_ready.load(std::memory_order_acquire)) return 1;
  std::lock_guard<std::mutex> lock(g_core_mu);
  if (!g_core_ready.load(std::memory_order_relaxed)) {
    TavInitializeLang(g_core_texts, kCoreLanguageModule);  // the built-in texts stay on failure
    set_suite_error_text_lookup(&suite_error_text);
    g_core_ready.store(true, std::memory_order_release);
  }
  return 1;
}

void uninit_core_language() {
  std::lock_guard<std::mutex> lock(g_core_mu);
  if (!g_core_ready.load(std::memory_order_relaxed)) return;
  set_suite_error_text_lookup(nullptr);
  g_core_ready.store(false, std::memory_order_release);
  TavUninitializeLang(g_core_texts);
}

std::span<const LanguageTable> builtin_language_tables() { return kCoreTables; }

}  // namespace tav

std::string TavFormatMessage(long code) {
  const uint32_t value = code == -1 ? tav::get_last_error() : static_cast<uint32_t>(code);
  try {
    tav::init_core_language();
    char hex[16];
    std::snprintf(hex, sizeof hex, "=0x%08x", value);
    std::string text = std::string(TavGetStr(tav::g_core_texts, 0)) + hex;
    if (const int entry = tav::entry_of(value); entry >= 0) {
      text += ", ";
      text += TavGetStr(tav::g_core_texts, entry);
    } else if (value < tav::kFirstSuiteCode && value <= static_cast<uint32_t>(INT_MAX) &&
               strerrordesc_np(static_cast<int>(value)) != nullptr) {
      // Only known errno values have a text; strerror_r gives it in the locale's language.
      char buffer[256];
      text += ", ";
      text += strerror_r(static_cast<int>(value), buffer, sizeof buffer);
    }
    const size_t first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
  } catch (const std::bad_alloc&) {
    return {};
  }
}
