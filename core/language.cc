// Choosing the process's language, filling text tables from language files, listing the
// installed languages, the user's stored choice and the per-program resource libraries.
// Core library (TavPub).
#include "core/language.h"

#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <string_view>

#include "core/file_utils.h"
#include "core/language_internal.h"
#include "core/memory.h"
#include "core/program_dir.h"
#include "core/settings.h"
#include "core/tav_xml.h"
#include "core/trace.h"

namespace tav {
namespace {

constexpr char kDefaultLangId[] = "zh-cn";
constexpr char kInvalidIndex[] = "Invalid Index";

std::mutex g_id_mu;
std::string g_current_id;  // guarded by g_id_mu

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return fold(x) == fold(y);
         });
}

std::string_view trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

// The operating-system language map, searched in this order.
struct LanguageMapEntry {
  const char* id;
  uint16_t langids[18];  // 0 ends a shorter list
};
constexpr LanguageMapEntry kLanguageMap[] = {
    {"en-us", {0x0409, 0x0809, 0x0C09, 0x2809, 0x1009, 0x2409, 0x3C09, 0x4009, 0x3809, 0x1809, 0x2009, 0x4409,
               0x1409, 0x3409, 0x4809, 0x1C09, 0x2C09, 0x3009}},
    {"fr-fr", {0x040C, 0x080C, 0x0C0C, 0x140C, 0x100C}},
    {"zh-cn", {0x0804, 0x1004}},
    {"zh-tw", {0x0404, 0x0C04, 0x1404}},
};

// Locale names of those LANGIDs; a bare language stands for its primary country.
struct LocaleLangId {
  const char* locale;
  uint16_t langid;
};
constexpr LocaleLangId kLocaleLangIds[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_BZ", 0x2809}, {"en_CA", 0x1009},
    {"en_HK", 0x3C09}, {"en_IN", 0x4009}, {"en_ID", 0x3809}, {"en_IE", 0x1809}, {"en_JM", 0x2009},
    {"en_MY", 0x4409}, {"en_NZ", 0x1409}, {"en_PH", 0x3409}, {"en_SG", 0x4809}, {"en_ZA", 0x1C09},
    {"en_TT", 0x2C09}, {"en_ZW", 0x3009}, {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C},
    {"fr_LU", 0x140C}, {"fr_CH", 0x100C}, {"zh_CN", 0x0804}, {"zh_SG", 0x1004}, {"zh_TW", 0x0404},
    {"zh_HK", 0x0C04}, {"zh_MO", 0x1404}, {"en", 0x0409},    {"fr", 0x040C},    {"zh", 0x0804},
};

// Ids name a file inside the language directory and nothing else.
bool valid_lang_id(const std::string& id) {
  return !id.empty() && id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

// Puts the built-in text back into an entry that holds a loaded one.
void restore_builtin(TAVSTR& entry) {
  if (!entry.owned) return;
  libtavpub_xfree(const_cast<char*>(entry.text));
  entry.text = entry.builtin;
  entry.owned = false;
  entry.builtin = nullptr;
}

void restore_table(TAVSTR* table) {
  for (TAVSTR* e = table; e->name != nullptr; ++e) restore_builtin(*e);
}

// Loads language `id` into `table` from the module's section. On failure the table and the
// current id are unchanged.
bool load_language(const std::string& id, TAVSTR* table, const char* module) {
  static const char kFn[] = "LoadLanguage";
  if (!valid_lang_id(id)) {
    TavTrace(kTraceError, 0, kFn, __FILE__, __LINE__, "Invalid language id '%s'", id.c_str());
    return false;
  }
  const std::string path = language_file_path(id);
  if (iequals(id, kDefaultLangId) && TavIsFile(path.c_str()) == 0) {
    restore_table(table);  // the built-in texts are this language
    set_current_language_id(kDefaultLangId);
    return true;
  }
  CTavXml doc(1);
  if (!read_language_section(path, module, &doc)) return false;

  // Copy every accepted translation first, so a failure leaves the table as it was.
  struct Loaded {
    TAVSTR* entry;
    char* text;  // null: the entry goes back to its built-in text
  };
  std::vector<Loaded> loaded;
  auto free_loaded = [&] {
    for (const Loaded& l : loaded) libtavpub_xfree(l.text);
  };
  for (TAVSTR* e = table; e->name != nullptr; ++e) {
    const char* builtin = e->owned ? e->builtin : e->text;
    const char* text = doc.GetElementData(e->name);
    char* copy = nullptr;
    if (text != nullptr && *text != '\0') {
      if (!same_conversions(builtin, text)) {
        TavTrace(kTraceError, 0, kFn, __FILE__, __LINE__,
                 "Text of %s in %s of '%s' does not match the conversions of the built-in text; refused",
                 e->name, module, path.c_str());
      } else if ((copy = libtavpub_strdupA(text)) == nullptr) {
        TavTrace(kTraceError, kTraceLastError, kFn, __FILE__, __LINE__, "Duplicate string '%s' failed.", text);
        free_loaded();
        return false;
      }
    }
    try {
      loaded.push_back({e, copy});
    } catch (const std::bad_alloc&) {
      libtavpub_xfree(copy);
      free_loaded();
      return false;
    }
  }
  for (const Loaded& l : loaded) {
    TAVSTR& e = *l.entry;
    restore_builtin(e);
    if (l.text == nullptr) continue;
    e.builtin = e.text;
    e.text = l.text;
    e.owned = true;
  }
  set_current_language_id(id);
  return true;
}

int initialize_lang(TAVSTR* table, const char* module_name) {
  const std::string current = TavGetCurLangId();
  if (!current.empty()) return load_language(current, table, module_name) ? 1 : 0;

  const std::string chosen = TavGetLangId();
  if (!chosen.empty() && load_language(chosen, table, module_name)) return 1;

  std::vector<LANGINFO> infos;
  TavGetLangInfos(infos);
  if (infos.size() == 1 && load_language(infos[0].langid, table, module_name)) return 1;

  // The locale's sources in the order the C library ranks them for messages; the first entry of
  // LANGUAGE's list stands for it.
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    std::string_view locale(value);
    if (std::string_view(variable) == "LANGUAGE") locale = locale.substr(0, locale.find(':'));
    const std::string id = language_id_for_locale(locale);
    if (!id.empty() && load_language(id, table, module_name)) return 1;
  }

  restore_table(table);
  set_current_language_id(kDefaultLangId);
  return 1;
}

}  // namespace

void set_current_language_id(const std::string& lang_id) {
  std::lock_guard<std::mutex> lock(g_id_mu);
  g_current_id = lang_id;
}

std::string language_id_for_locale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty()) return {};
  // The C locale is the one of untranslated messages, which on this platform are English.
  if (locale == "C" || locale == "POSIX") return "en-us";
  const size_t separator = locale.find_first_of("_-");
  std::string key;
  for (char c : locale.substr(0, separator)) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (separator != std::string_view::npos) {
    key += '_';
    for (char c : locale.substr(separator + 1)) key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  for (const LocaleLangId& l : kLocaleLangIds) {
    if (key != l.locale) continue;
    for (const LanguageMapEntry& m : kLanguageMap) {
      for (uint16_t langid : m.langids) {
        if (langid == l.langid) return m.id;
      }
    }
  }
  return {};
}

void reset_language_state_for_test() {
  uninit_core_language();
  set_current_language_id("");
}

}  // namespace tav

int TavInitializeLang(TAVSTR* table, const char* module_name) {
  if (table == nullptr || module_name == nullptr) return 0;
  TavTrace(tav::kTraceInfo, 0, "TavInitializeLang", __FILE__, __LINE__, "Init module %s language", module_name);
  try {
    return tav::initialize_lang(table, module_name);
  } catch (const std::bad_alloc&) {
    TavTrace(tav::kTraceError, 0, "TavInitializeLang", __FILE__, __LINE__, "Out of memory");
    return 0;
  }
}

int TavUninitializeLang(TAVSTR* table) {
  if (table == nullptr) return 0;
  tav::restore_table(table);
  return 1;
}

const char* TavGetStr(const TAVSTR* table, int index) {
  if (table == nullptr || index < 0) return tav::kInvalidIndex;
  for (int i = 0; table[i].name != nullptr; ++i) {
    if (i == index) return table[i].text;
  }
  return tav::kInvalidIndex;
}

int TavLangIsChinese() {
  const std::string id = TavGetCurLangId();
  for (const char* chinese : {"zh-cn", "zh-tw", "zh-hk", "zh-sg", "zh-mo"}) {
    if (tav::iequals(id, chinese)) return 1;
  }
  return 0;
}

std::string TavGetCurLangId() {
  std::lock_guard<std::mutex> lock(tav::g_id_mu);
  return tav::g_current_id;
}

std::string TavGetLangId() { return tav::read_language(tav::settings_path()); }

int TavSetLangId(const char* lang_id) {
  return tav::write_language(tav::settings_path(), lang_id != nullptr ? lang_id : "") ? 1 : 0;
}

int TavGetLangInfos(std::vector<LANGINFO>& infos) {
  infos.clear();
  std::vector<std::string> files;
  if (DIR* dir = opendir(tav::language_dir().c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name(entry->d_name);
      if (name.size() > 9 && name.substr(0, 5) == "lang." && name.substr(name.size() - 4) == ".xml") {
        files.emplace_back(name);
      }
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  bool has_default = false;
  for (const std::string& file : files) {
    const std::string id(tav::trim(std::string_view(file).substr(5, file.size() - 9)));
    const std::string path = tav::language_dir() + file;
    if (id.empty() || TavIsFile(path.c_str()) == 0) continue;
    CTavXml doc(1);
    if (!tav::read_language_section(path, "language", &doc)) continue;
    auto text = [&](const char* key) {
      const char* value = doc.GetElementData(key);
      return std::string(value != nullptr ? value : "");
    };
    LANGINFO info{text("langid"), text("name"), text("en_name"), text("translators")};
    if (info.name.empty() || info.en_name.empty() || !tav::iequals(info.langid, id)) continue;
    has_default = has_default || tav::iequals(info.langid, tav::kDefaultLangId);
    infos.push_back(std::move(info));
  }
  if (!has_default) {
    infos.push_back({tav::kDefaultLangId, "简体中文", "Chinese (Simplified)", "内置文本 (built-in texts)"});
  }
  return 1;
}

void* TavLoadResourceDll() {
  static const char kFn[] = "TavLoadResourceDll";
  const std::string id = TavGetCurLangId();
  if (!tav::valid_lang_id(id)) return nullptr;
  std::string program = tav::executable_name();
  if (const size_t dot = program.rfind('.'); dot != std::string::npos && dot > 0) program.resize(dot);
  const std::string path = tav::language_dir() + program + "." + id + ".so";
  if (TavIsFile(path.c_str()) == 0) {
    TavTrace(tav::kTraceInfo, 0, kFn, __FILE__, __LINE__, "No resource library '%s'", path.c_str());
    return nullptr;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    TavTrace(tav::kTraceError, 0, kFn, __FILE__, __LINE__, "Load '%s' failed: %s", path.c_str(),
             reason != nullptr ? reason : "");
  }
  return handle;
}
