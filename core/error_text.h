// Texts of the error codes of the last-error convention (core/last_error.h): errno values and the
// suite's own codes from 0xE0000000 up. Shared by the trace, the progress channel's error box and
// the language module, which registers the texts of the suite's codes.
#pragma once

#include <cstdint>
#include <string>

namespace tav {

// First of the suite's own error codes; lower codes are errno values.
constexpr uint32_t kFirstSuiteCode = 0xE0000000u;

// Supplies texts for the suite's own codes. Must be safe to call from any thread and return an
// empty string for codes it does not know.
using SuiteErrorTextLookup = std::string (*)(uint32_t code);
// Registers the lookup (null removes it). Read atomically by every caller.
void set_suite_error_text_lookup(SuiteErrorTextLookup lookup);

// The text of a code, on one line (carriage returns and line feeds become blanks, none at the
// end): errno values get the C library's untranslated description, suite codes the registered
// lookup's text (in the process's language). Empty when there is none.
std::string error_text(uint32_t code);

// error_text, or "Error 0x%08X" when there is no text: what a message box shows.
std::string error_text_or_code(uint32_t code);

}  // namespace tav
