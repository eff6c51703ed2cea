// Pieces of the language module shared by its source files and its tests; not for other modules.
#pragma once

#include <string>
#include <string_view>

#include "core/language.h"

class CTavXml;

namespace tav {

// The language directory: program_dir() + "lang/".
std::string language_dir();

// "<language dir>lang.<id>.xml".
std::string language_file_path(const std::string& lang_id);

// Reads the section `section` of a language file into `doc` (created with backslash escapes)
// and enters it: the first "<section>" and the first "</section>" after it, both found ignoring
// ASCII case, are parsed as a document of their own. False (traced) when the file cannot be read,
// is empty, lacks the section or the section does not parse.
bool read_language_section(const std::string& path, const char* section, CTavXml* doc);

// True when `translation` holds the same printf conversions as `builtin`: the same sequence of
// argument-taking parts ('*' widths and precisions, positions, length and conversion letter);
// flags, widths and precisions may differ, and "%%" is plain text.
bool same_conversions(const char* builtin, const char* translation);

// The language id for one locale value ("ll_CC[.codeset][@modifier]", or a bare "ll"), through
// the operating-system language map; "en-us" for "C" and "POSIX" (the locale of untranslated,
// English messages); empty for unmapped locales.
std::string language_id_for_locale(std::string_view locale);

// The process's current language id (guarded; any thread).
void set_current_language_id(const std::string& lang_id);

// For tests: forgets the current language id and releases TavPub's table (unregistering its
// error texts), as at process start. No other thread may use the language module meanwhile.
void reset_language_state_for_test();

}  // namespace tav
