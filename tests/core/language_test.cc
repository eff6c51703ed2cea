// The language module: the choice of the process's language, filling tables from language
// files (missing and refused entries), the installed languages, TavFormatMessage, and the
// shipped English file against the built-in tables.
#include "core/language.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error_text.h"
#include "core/language_internal.h"
#include "core/last_error.h"
#include "core/tav_xml.h"
#include "core/text_convert.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/language_test_support.h"
#include "tests/core/scoped_env.h"
#include "tests/core/trace_test_support.h"

namespace {

using tav::sysutil_test::TempDir;
using tav::test::ScopedEnv;

constexpr char kModule[] = "TavTest.dll";
constexpr char kShippedEnglish[] = TAV_SOURCE_DIR "/lang/lang.en-us.xml";

// A module's table as a module defines it; its loaded texts are released when it goes.
struct TestTable {
  TAVSTR entries[4] = {{"STR_A", "甲"}, {"STR_FMT", "第 %d 项, 共 %s"}, {"STR_B", "乙"}, {nullptr, nullptr}};
  ~TestTable() { TavUninitializeLang(entries); }
  const char* a() const { return TavGetStr(entries, 0); }
  const char* fmt() const { return TavGetStr(entries, 1); }
  const char* b() const { return TavGetStr(entries, 2); }
};

// A fresh program directory (TAV_HOME), no locale variables, and no language chosen yet.
class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    env_.push_back(std::make_unique<ScopedEnv>("TAV_HOME", dir_.path().c_str()));
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      env_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
    }
    tav::reset_language_state_for_test();
  }
  void TearDown() override { tav::reset_language_state_for_test(); }

  std::string lang_dir() const { return dir_.file("lang"); }

  // Writes "lang/lang.<id>.xml" with a "language" section and the test module's texts. A null
  // langid or name gets the usual one.
  void install(const std::string& id, const std::vector<std::pair<std::string, std::string>>& texts,
               const char* langid = nullptr, const char* name = nullptr) {
    std::filesystem::create_directories(lang_dir());
    CTavXml doc(1);
    ASSERT_TRUE(doc.AddElement("language", "", 1));
    ASSERT_TRUE(doc.AddElement("langid", langid != nullptr ? langid : id.c_str()));
    ASSERT_TRUE(doc.AddElement("name", name != nullptr ? name : ("Name " + id).c_str()));
    ASSERT_TRUE(doc.AddElement("en_name", ("English name " + id).c_str()));
    ASSERT_TRUE(doc.AddElement("translators", "T"));
    ASSERT_TRUE(doc.LeaveElement());
    ASSERT_TRUE(doc.AddElement(kModule, "", 1));
    for (const auto& [key, text] : texts) ASSERT_TRUE(doc.AddElement(key.c_str(), text.c_str()));
    ASSERT_EQ(doc.Save((lang_dir() + "/lang." + id + ".xml").c_str()), kXmlOk);
  }
  void install_standard(const std::string& id) { install(id, {{"STR_A", "A:" + id}}); }

  TempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(LanguageTest, ChoiceOrder) {
  struct Case {
    const char* name;
    const char* settings;  // "Settings.ini" Language, or null
    std::vector<std::string> files;
    const char* language;
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* expected_id;
    const char* expected_a;
  };
  const std::vector<Case> cases = {
      {"settings beat the system", "fr-fr", {"en-us", "fr-fr"}, nullptr, nullptr, nullptr, "en_US.UTF-8", "fr-fr",
       "A:fr-fr"},
      {"English system with the files shows English", nullptr, {"en-us", "fr-fr"}, nullptr, nullptr, nullptr,
       "en_US.UTF-8", "en-us", "A:en-us"},
      {"English system without files: built-in", nullptr, {}, nullptr, nullptr, nullptr, "en_US.UTF-8", "zh-cn", "甲"},
      {"unmapped locale: built-in", nullptr, {"en-us"}, nullptr, nullptr, nullptr, "de_DE.UTF-8", "zh-cn", "甲"},
      {"C locale shows English", nullptr, {"en-us", "fr-fr"}, nullptr, nullptr, nullptr, "C.UTF-8", "en-us",
       "A:en-us"},
      {"C locale without English: built-in", nullptr, {"fr-fr"}, nullptr, nullptr, nullptr, "POSIX", "zh-cn", "甲"},
      {"settings language not installed: system decides", "de-de", {"en-us", "fr-fr"}, "fr_CA:en_US", nullptr,
       nullptr, "en_US.UTF-8", "fr-fr", "A:fr-fr"},
      {"unmapped LANGUAGE, LC_MESSAGES decides", nullptr, {"en-us", "zh-tw"}, "de_DE", "", "zh_TW.UTF-8",
       "en_US.UTF-8", "zh-tw", "A:zh-tw"},
      {"mapped source without its file: next source", nullptr, {"en-us"}, nullptr, "fr_FR.UTF-8", nullptr,
       "en_GB.UTF-8", "en-us", "A:en-us"},
      {"LC_ALL before LANG", nullptr, {"en-us", "fr-fr"}, nullptr, "fr_BE.UTF-8", nullptr, "en_US.UTF-8", "fr-fr",
       "A:fr-fr"},
      {"bare language code", nullptr, {"en-us", "fr-fr"}, nullptr, nullptr, nullptr, "fr", "fr-fr", "A:fr-fr"},
      {"the single installed language", nullptr, {"zh-cn"}, nullptr, nullptr, nullptr, "en_US.UTF-8", "zh-cn",
       "A:zh-cn"},
      {"settings zh-cn without its file: built-in", "zh-cn", {"en-us"}, nullptr, nullptr, nullptr, "en_US.UTF-8",
       "zh-cn", "甲"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(lang_dir());
    std::filesystem::remove(dir_.file("Settings.ini"));
    tav::reset_language_state_for_test();
    if (c.settings != nullptr) {
      ASSERT_EQ(TavSetLangId(c.settings), 1);
    }
    for (const std::string& id : c.files) install_standard(id);
    ScopedEnv language("LANGUAGE", c.language), lc_all("LC_ALL", c.lc_all), lc_messages("LC_MESSAGES", c.lc_messages),
        lang("LANG", c.lang);

    TestTable table;
    EXPECT_EQ(TavInitializeLang(table.entries, kModule), 1);
    EXPECT_EQ(TavGetCurLangId(), c.expected_id);
    EXPECT_STREQ(table.a(), c.expected_a);
    EXPECT_STREQ(table.b(), "乙");  // no file has it
    EXPECT_EQ(TavLangIsChinese(), std::string(c.expected_id).rfind("zh-", 0) == 0 ? 1 : 0);
  }
}

TEST_F(LanguageTest, LaterModulesFollowTheFirstChoice) {
  install_standard("fr-fr");
  install_standard("en-us");
  ASSERT_EQ(TavSetLangId("fr-fr"), 1);
  TestTable first;
  ASSERT_EQ(TavInitializeLang(first.entries, kModule), 1);
  ASSERT_EQ(TavGetCurLangId(), "fr-fr");

  // A new choice is stored, but the running process keeps its language.
  ASSERT_EQ(TavSetLangId("en-us"), 1);
  EXPECT_EQ(TavGetLangId(), "en-us");
  TestTable second;
  EXPECT_EQ(TavInitializeLang(second.entries, kModule), 1);
  EXPECT_STREQ(second.a(), "A:fr-fr");

  // When the chosen language can no longer be read, a table keeps its built-in texts.
  std::filesystem::remove(lang_dir() + "/lang.fr-fr.xml");
  TestTable third;
  EXPECT_EQ(TavInitializeLang(third.entries, kModule), 0);
  EXPECT_STREQ(third.a(), "甲");
  EXPECT_EQ(TavGetCurLangId(), "fr-fr");

  EXPECT_EQ(TavInitializeLang(nullptr, kModule), 0);
  EXPECT_EQ(TavInitializeLang(third.entries, nullptr), 0);
  EXPECT_EQ(TavUninitializeLang(nullptr), 0);
}

TEST_F(LanguageTest, MissingAndRefusedEntriesKeepTheBuiltInText) {
  // STR_FMT's English text swaps the conversions: formatting it would pass a number as a string.
  install("en-us", {{"STR_A", "A"}, {"STR_FMT", "Item %s of %d"}});
  install("fr-fr", {{"STR_FMT", "Élément %d sur %s"}, {"STR_B", ""}});
  TestTable table;
  ASSERT_EQ(TavSetLangId("en-us"), 1);
  ASSERT_EQ(TavInitializeLang(table.entries, kModule), 1);
  EXPECT_STREQ(table.a(), "A");
  EXPECT_STREQ(table.fmt(), "第 %d 项, 共 %s");
  EXPECT_STREQ(table.b(), "乙");
  char out[64];
  std::snprintf(out, sizeof out, table.fmt(), 3, "五");
  EXPECT_STREQ(out, "第 3 项, 共 五");

  // Loading another language into the same table: entries it lacks (or leaves empty) go back to
  // the built-in texts instead of keeping the previous language's.
  tav::reset_language_state_for_test();
  ASSERT_EQ(TavSetLangId("fr-fr"), 1);
  ASSERT_EQ(TavInitializeLang(table.entries, kModule), 1);
  EXPECT_STREQ(table.a(), "甲");
  EXPECT_STREQ(table.fmt(), "Élément %d sur %s");
  EXPECT_STREQ(table.b(), "乙");

  ASSERT_EQ(TavUninitializeLang(table.entries), 1);
  for (const TAVSTR* e = table.entries; e->name != nullptr; ++e) EXPECT_FALSE(e->owned) << e->name;
  EXPECT_STREQ(table.fmt(), "第 %d 项, 共 %s");
  EXPECT_STREQ(TavGetStr(table.entries, 3), "Invalid Index");
  EXPECT_STREQ(TavGetStr(table.entries, -1), "Invalid Index");
  EXPECT_STREQ(TavGetStr(nullptr, 0), "Invalid Index");
}

TEST_F(LanguageTest, SectionsOfHandWrittenFiles) {
  std::filesystem::create_directories(lang_dir());
  struct Case {
    const char* name;
    std::string text;  // written as UTF-16LE after a byte-order mark; "" writes an empty file
    const char* expected_id;
    const char* expected_a;
  };
  const Case cases[] = {
      {"empty file", "", "zh-cn", "甲"},
      {"no module section", "<language><langid>en-us</langid></language>", "zh-cn", "甲"},
      {"section never closed", "<TavTest.dll><STR_A>A</STR_A>", "zh-cn", "甲"},
      {"mismatched tags in the section", "<TavTest.dll><STR_A>A</STR_B></TavTest.dll>", "zh-cn", "甲"},
      {"section named in another case, in broken surroundings", "<x><tavtest.dll><STR_A>y</STR_A></tavtest.dll>",
       "en-us", "y"},
      {"escapes and entities", "<TavTest.dll><STR_A>a\\\\b\\n&lt;c&gt; \\\"d\\\"</STR_A></TavTest.dll>", "en-us",
       "a\\b\n<c> \"d\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav::reset_language_state_for_test();
    std::string bytes = c.text.empty() ? "" : "\xFF\xFE";
    for (char16_t u : tav::utf8_to_utf16(c.text)) {
      bytes.push_back(static_cast<char>(u & 0xFF));
      bytes.push_back(static_cast<char>(u >> 8));
    }
    tav::test_support::write_bytes(lang_dir() + "/lang.en-us.xml", bytes);
    ASSERT_EQ(TavSetLangId("en-us"), 1);
    ScopedEnv lang("LANG", "C");
    TestTable table;
    EXPECT_EQ(TavInitializeLang(table.entries, kModule), 1);  // the built-in texts are the fallback
    EXPECT_EQ(TavGetCurLangId(), c.expected_id);
    EXPECT_STREQ(table.a(), c.expected_a);
  }
}

TEST_F(LanguageTest, InstalledLanguages) {
  install_standard("en-us");
  install("fr-fr", {}, "fr-be");          // langid does not match the file name
  install("de-de", {}, nullptr, "");      // no name
  install(" ja ", {}, "JA");              // the id is trimmed and compared ignoring case
  std::filesystem::create_directories(lang_dir() + "/lang.xx.xml");  // a directory
  tav::test_support::write_bytes(lang_dir() + "/lang..xml", "");
  tav::test_support::write_bytes(lang_dir() + "/notlang.en.xml", "");

  std::vector<LANGINFO> infos = {{"stale", "stale", "stale", ""}};
  ASSERT_EQ(TavGetLangInfos(infos), 1);
  std::vector<std::string> ids;
  for (const LANGINFO& info : infos) ids.push_back(info.langid);
  EXPECT_EQ(ids, (std::vector<std::string>{"JA", "en-us", "zh-cn"}));
  EXPECT_EQ(infos.back().name, "简体中文");
  EXPECT_EQ(infos.back().en_name, "Chinese (Simplified)");
  EXPECT_FALSE(infos.back().translators.empty());

  // A zh-cn file replaces the built-in entry.
  install_standard("zh-cn");
  ASSERT_EQ(TavGetLangInfos(infos), 1);
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos.back().langid, "zh-cn");
  EXPECT_EQ(infos.back().name, "Name zh-cn");
}

TEST_F(LanguageTest, FormatMessage) {
  ScopedEnv lang("LANG", "en_US.UTF-8");  // no language files: the built-in texts
  struct Case {
    const char* name;
    long code;
    const char* expected;
  };
  const Case cases[] = {
      {"task not found", 0xE000001FL, "错误码=0xe000001f, 找不到指定的定时备份任务"},
      {"same code as a negative 32-bit value", static_cast<int32_t>(0xE000001Fu), "错误码=0xe000001f, 找不到指定的定时备份任务"},
      {"first suite code", 0xE0000000L, "错误码=0xe0000000, 未知错误"},
      {"last before the reserved codes", 0xE0000011L, "错误码=0xe0000011, 备份文件格式版本不正确"},
      {"reserved code", 0xE0000012L, "错误码=0xe0000012"},
      {"first after the reserved codes", 0xE0000017L,
       "错误码=0xe0000017, 找不到驱动程序，请确认文件 'Tavmount.sys' 在Windows 的System32\\drivers 目录中."},
      {"last suite code", 0xE0000020L, "错误码=0xe0000020, 拷贝定时备份任务数据失败"},
      {"beyond the suite codes", 0xE0000021L, "错误码=0xe0000021"},
      {"errno value", ENOENT, "错误码=0x00000002, No such file or directory"},
      {"errno value without a text", 5000, "错误码=0x00001388"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TavFormatMessage(c.code), c.expected);
  }
  tav::set_last_error(EACCES);
  EXPECT_EQ(TavFormatMessage(-1), "错误码=0x0000000d, Permission denied");
  // The suite's texts reach the trace and the error box.
  EXPECT_EQ(tav::error_text(tav::kErrTaskNotFound), "找不到指定的定时备份任务");
  EXPECT_EQ(tav::error_text(0xE0000012u), "");

  // With the shipped English file installed, an English system shows English.
  tav::reset_language_state_for_test();
  EXPECT_EQ(tav::error_text(tav::kErrTaskNotFound), "") << "reset unregisters the texts";
  std::filesystem::create_directories(lang_dir());
  std::filesystem::copy_file(kShippedEnglish, lang_dir() + "/lang.en-us.xml");
  EXPECT_EQ(TavFormatMessage(tav::kErrTaskNotFound),
            "Error code=0xe000001f, The specified scheduled backup task cannot be found");
  EXPECT_EQ(TavGetCurLangId(), "en-us");
  EXPECT_EQ(tav::error_text(tav::kErrTaskRunning), "The scheduled backup task is running, please wait...");
}

TEST_F(LanguageTest, ResourceLibraryIsOptional) {
  EXPECT_EQ(TavLoadResourceDll(), nullptr);  // no language chosen yet
  tav::set_current_language_id("en-us");
  EXPECT_EQ(TavLoadResourceDll(), nullptr);  // no library
  std::filesystem::create_directories(lang_dir());
  tav::test_support::write_bytes(lang_dir() + "/" + tav::executable_name() + ".en-us.so", "not a library");
  EXPECT_EQ(TavLoadResourceDll(), nullptr);
}

TEST(LanguageConversions, TranslationMustTakeTheSameArguments) {
  struct Case {
    const char* builtin;
    const char* translation;
    bool accepted;
  };
  const Case cases[] = {
      {"第 %d 项", "Item %d", true},
      {"锁定分区 %c:", "Locking partition %c:", true},
      {"%5.2f%% 完成", "%.1f%% done", true},          // widths, precisions and %% do not matter
      {"%-8s|%08lx", "%s|%lx", true},
      {"无", "None", true},
      {"%d %s", "%s %d", false},                       // order
      {"%s", "%s %s", false},                          // one argument more
      {"%s %s", "%s", false},                          // one fewer
      {"%d", "%ld", false},                            // length
      {"%u", "%x", false},                             // conversion letter
      {"%s", "%*s", false},                            // '*' takes an argument
      {"%s", "%n", false},
      {"完成", "100%", false},                          // an incomplete conversion
      {"完成", "50% off", false},                       // "% o" would take an argument
      {"%1$s %2$d", "%2$d %1$s", false},
      {"%1$s %2$d", "%1$s %2$d", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.builtin) + " -> " + c.translation);
    EXPECT_EQ(tav::same_conversions(c.builtin, c.translation), c.accepted);
  }
}

TEST(LanguageLocales, MapToLanguageIds) {
  const std::pair<const char*, const char*> cases[] = {
      {"en_US.UTF-8", "en-us"}, {"en_GB", "en-us"},        {"en_NZ.UTF-8@euro", "en-us"}, {"en", "en-us"},
      {"EN_us", "en-us"},       {"fr_CA.UTF-8", "fr-fr"},  {"fr_CH", "fr-fr"},            {"fr", "fr-fr"},
      {"zh_CN.GB18030", "zh-cn"}, {"zh_SG", "zh-cn"},      {"zh", "zh-cn"},               {"zh_TW.UTF-8", "zh-tw"},
      {"zh_HK", "zh-tw"},       {"zh_MO@x", "zh-tw"},      {"C", "en-us"},                {"POSIX", "en-us"},
      {"C.UTF-8", "en-us"},     {"de_DE.UTF-8", ""},       {"en_DK.UTF-8", ""},           {"", ""},
  };
  for (const auto& [locale, id] : cases) {
    SCOPED_TRACE(locale);
    EXPECT_EQ(tav::language_id_for_locale(locale), id);
  }
}

// Every key of every built-in table has an English text, and the file has no key that no table
// knows. The file must also be exactly what the writer produces, so it loads as written.
TEST(ShippedLanguageFiles, EnglishCoversEveryBuiltInTable) {
  const std::optional<std::string> bytes = tav::test_support::read_bytes(kShippedEnglish);
  ASSERT_TRUE(bytes.has_value()) << kShippedEnglish;
  CTavXml doc(1);
  ASSERT_EQ(doc.Load(kShippedEnglish), kXmlOk);
  EXPECT_EQ(doc.Serialize(), *bytes) << "the file is not in the writer's layout";

  ASSERT_TRUE(doc.EnterElement("language"));
  EXPECT_STREQ(doc.GetElementData("langid"), "en-us");
  EXPECT_STREQ(doc.GetElementData("name"), "English");
  EXPECT_STREQ(doc.GetElementData("en_name"), "English");
  ASSERT_TRUE(doc.LeaveElement());

  std::set<std::string> modules = {"language"};
  for (const tav::LanguageTable& t : tav::builtin_language_tables()) {
    modules.insert(t.module);
    ASSERT_NO_FATAL_FAILURE(tav::test_support::expect_section_matches_table(doc, t));
  }
  // Sections of the layers above core are checked by those layers' own tests; any other name is
  // a section no module would ever read.
  for (const char* upper : {"TavPub2.dll", "TavBak.dll", "TavUI.dll", "TavWin.exe", "TavRescue.exe"}) {
    modules.insert(upper);
  }
  for (int i = 0; i < doc.GeElementCount(); ++i) {
    ASSERT_TRUE(doc.EnterElement(i));
    EXPECT_TRUE(modules.count(doc.GetElementName())) << "unknown section " << doc.GetElementName();
    ASSERT_TRUE(doc.LeaveElement());
  }
}

}  // namespace
