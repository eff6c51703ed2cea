// Language resources and error texts. Core library (TavPub).
//
// Every module carries its user-visible texts as a table of named strings (TAVSTR) with built-in
// Chinese defaults and asks this module, once at start-up, to fill the table from the language
// file of the process's language: "<program dir>/lang/lang.<id>.xml", written by CTavXml
// (core/tav_xml.h) with backslash escapes, one top-level element per module ("TavPub.dll",
// "TavPub2.dll", "TavBak.dll", "TavUI.dll", "TavWin.exe", "TavRescue.exe") whose children are
// named by the entries' identifiers, plus a "language" element (langid, name, en_name,
// translators). Missing entries keep their built-in texts.
//
// The language of the process is chosen once, by the first table filled: the id already chosen;
// else "Settings.ini" [Settings] Language; else the single installed language; else the system's
// locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG, in that order, each mapped to a language id and
// tried in turn; the C locale counts as English); else "zh-cn", the built-in texts.
//
// A translated text must hold the same printf conversions (argument kind and order) as the
// built-in one; otherwise it is refused, traced, and the built-in text is used, so no
// translation can break a format call.
//
// Texts are UTF-8. Exported functions return 1 for success and 0 for failure unless said.
// Thread-safety: tables are filled at start-up before other threads read them, and released at
// the end after they stopped; the process's current language id may be read from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One entry of a module's text table. A table is an array ended by an entry whose name is null:
//   TAVSTR g_texts[] = {{"STR_DONE", "完成"}, {"STR_FAILED", "失败"}, {nullptr, nullptr}};
// Entries are addressed by index (TavGetStr). Only the language functions change an entry.
struct TAVSTR {
  const char* name;              // identifier, e.g. "STR_NEW_TASK"; null ends the table
  const char* text;              // what the program shows: the built-in text or a translation
  bool owned = false;            // `text` was allocated by the loader; TavUninitializeLang frees it
  const char* builtin = nullptr; // the built-in text, kept here while a translation replaces it
};

// One installed language.
struct LANGINFO {
  std::string langid;       // e.g. "en-us"
  std::string name;         // its own name, e.g. "English"
  std::string en_name;      // its English name
  std::string translators;  // credit text
};

// Fills `table` with the texts of the process's language for the module `module_name` (its
// section name in the language files), choosing the language first when none is chosen yet.
// Entries the file lacks (or whose translation is refused) keep their built-in texts. 0 for a
// null argument, or when the chosen language's file cannot be read (the table is unchanged);
// 1 otherwise, including when the built-in texts are the choice.
int TavInitializeLang(TAVSTR* table, const char* module_name);

// Frees every loaded text of `table` and puts the built-in texts back. 0 for a null table.
int TavUninitializeLang(TAVSTR* table);

// The text of entry `index`, or "Invalid Index" when the table is null or has no such entry.
const char* TavGetStr(const TAVSTR* table, int index);

// 1 when the current language id is "zh-cn", "zh-tw", "zh-hk", "zh-sg" or "zh-mo" (any case).
int TavLangIsChinese();

// The process's current language id; empty until the first table was filled.
std::string TavGetCurLangId();

// The user's choice stored in "Settings.ini" [Settings] Language; empty when unset.
std::string TavGetLangId();
// Stores the choice (null stores an empty one). The current language stays until the next start.
int TavSetLangId(const char* lang_id);

// Replaces `infos` with the installed languages: every regular file "lang.<id>.xml" in the
// language directory whose "language" section has a non-empty name and en_name and a langid
// equal to <id> (ignoring case), in file-name order; then the built-in "zh-cn" when no file
// provides it. Returns 1.
int TavGetLangInfos(std::vector<LANGINFO>& infos);

// Loads "<program dir>/lang/<program>.<id>.so" for the running program (its file name without
// extension) and the current language, with dlopen(RTLD_NOW | RTLD_LOCAL). Null when there is no
// current language or no such library (traced). The caller closes it with dlclose.
void* TavLoadResourceDll();

// The text shown for an error code: "<error-code word>=0x%08x", then for the suite's codes
// 0xE0000000..0xE0000020 ", <text>" from TavPub's table, for errno values ", <system text>" when
// the system has one; trimmed of white space at both ends. -1 means the thread's last error.
// Codes 0xE0000012..0xE0000016 are reserved and get no text.
std::string TavFormatMessage(long code);

namespace tav {

// The suite's own error codes (core/last_error.h), with their entries in TavPub's table.
inline constexpr uint32_t kErrUnknown = 0xE0000000u;           // STR_ERR_UNKNOW
inline constexpr uint32_t kErrInitDeflate = 0xE0000001u;       // STR_ERR_INIT_DEF
inline constexpr uint32_t kErrInitInflate = 0xE0000002u;       // STR_ERR_INIT_INF
inline constexpr uint32_t kErrDeflate = 0xE0000003u;           // STR_ERR_DEFLATE
inline constexpr uint32_t kErrInflate = 0xE0000004u;           // STR_ERR_INFLATE
inline constexpr uint32_t kErrBackupName = 0xE0000005u;        // STR_ERR_BAKNAME
inline constexpr uint32_t kErrDirEntry = 0xE0000006u;          // STR_ERR_DIR_ENTRY
inline constexpr uint32_t kErrFileEntry = 0xE0000007u;         // STR_ERR_FILE_ENTRY
inline constexpr uint32_t kErrBadVolume = 0xE0000008u;         // STR_ERR_BAD_VOL
inline constexpr uint32_t kErrNotVolume = 0xE0000009u;         // STR_ERR_NOT_VOL
inline constexpr uint32_t kErrNotMainVolume = 0xE000000Au;     // STR_ERR_NOT_MAIN_VOL
inline constexpr uint32_t kErrRunning = 0xE000000Bu;           // STR_ERR_RUNNING
inline constexpr uint32_t kErrDirNotMapped = 0xE000000Cu;      // STR_ERR_DIR_NOT_MAP
inline constexpr uint32_t kErrDirFileNotOpen = 0xE000000Du;    // STR_ERR_DIRFILE_NOT_OPEN
inline constexpr uint32_t kErrRelyVolume = 0xE000000Eu;        // STR_ERR_RELY_VOL
inline constexpr uint32_t kErrRelyNotFound = 0xE000000Fu;      // STR_ERR_RELY_NOT_FOUND
inline constexpr uint32_t kErrDirTooMany = 0xE0000010u;        // STR_ERR_DIR_TOO_MANY
inline constexpr uint32_t kErrFormatVersion = 0xE0000011u;     // STR_ERR_FMT_VER
// 0xE0000012..0xE0000016 are reserved.
inline constexpr uint32_t kErrMountDriverNotFound = 0xE0000017u;  // STR_ERR_MNT_DRV_NOTFOUND
inline constexpr uint32_t kErrMountDriverLoad = 0xE0000018u;      // STR_ERR_MNT_DRV_LOAD
inline constexpr uint32_t kErrMountDriverVersion = 0xE0000019u;   // STR_ERR_MNT_DRV_VER
inline constexpr uint32_t kErrMountDriverNotLoaded = 0xE000001Au; // STR_ERR_MNT_DRV_NOTLOAD
inline constexpr uint32_t kErrMountParam = 0xE000001Bu;           // STR_ERR_MNT_PARAM
inline constexpr uint32_t kErrMountBufferSmall = 0xE000001Cu;     // STR_ERR_MNT_BUF_SMALL
inline constexpr uint32_t kErrTaskUnknown = 0xE000001Du;          // STR_ERR_TASK_UNKNOW
inline constexpr uint32_t kErrTaskRunning = 0xE000001Eu;          // STR_ERR_TASK_RUNNING
inline constexpr uint32_t kErrTaskNotFound = 0xE000001Fu;         // STR_ERR_TASK_NOT_FOUND
inline constexpr uint32_t kErrTaskCopy = 0xE0000020u;             // STR_ERR_TASK_COPY
inline constexpr uint32_t kLastSuiteCode = kErrTaskCopy;

// Section name of TavPub's table in the language files.
inline constexpr char kCoreLanguageModule[] = "TavPub.dll";

// Fills TavPub's own table (the error texts) and registers its texts with core/error_text.h, so
// traces and the channel's error box show them. Programs call it at start-up, before starting
// threads; TavFormatMessage calls it on first use. Later calls do nothing. Returns 1.
int init_core_language();
// Releases what init_core_language loaded; the built-in texts stay usable.
void uninit_core_language();

// A module's built-in table and its section name in the language files.
struct LanguageTable {
  const char* module;
  TAVSTR* table;
};
// The built-in tables of this library, so the shipped language files can be checked against
// them. A core module with a table adds it here; layers above keep such a list of their own
// (they cannot be named from here) and check it the same way.
std::span<const LanguageTable> builtin_language_tables();

}  // namespace tav
