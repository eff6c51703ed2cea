// Test help for language tables: checking a module's built-in table against its section of a
// loaded language file.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/language.h"
#include "core/language_internal.h"
#include "core/tav_xml.h"

namespace tav::test_support {

// Every key of `table` has a non-empty text in its module's section of `doc` with the same
// conversions, and the section holds no key the table does not know. `doc` is at its top level
// and is left there; a missing section or key is a fatal failure (wrap the call in
// ASSERT_NO_FATAL_FAILURE).
inline void expect_section_matches_table(CTavXml& doc, const LanguageTable& table) {
  SCOPED_TRACE(table.module);
  ASSERT_TRUE(doc.EnterElement(table.module));
  std::set<std::string> keys;
  for (const TAVSTR* e = table.table; e->name != nullptr; ++e) {
    keys.insert(e->name);
    const char* text = doc.GetElementData(e->name);
    ASSERT_NE(text, nullptr) << "no text for " << e->name;
    EXPECT_STRNE(text, "") << e->name;
    EXPECT_TRUE(same_conversions(e->owned ? e->builtin : e->text, text)) << e->name;
  }
  for (int i = 0; i < doc.GeElementCount(); ++i) {
    ASSERT_TRUE(doc.EnterElement(i));
    EXPECT_TRUE(keys.count(doc.GetElementName())) << "unknown key " << doc.GetElementName();
    ASSERT_TRUE(doc.LeaveElement());
  }
  ASSERT_TRUE(doc.LeaveElement());
}

}  // namespace tav::test_support
