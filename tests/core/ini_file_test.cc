// Tests of the INI store: what edits leave alone (byte for byte), how names are matched, which
// names are refused, and the locked atomic save on a real directory.
#include "core/ini_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/core/file_utils_test_support.h"
#include "tests/core/ini_test_support.h"

namespace {

using tav::IniDocument;
using tav::ini_test::read_bytes;
using tav::ini_test::utf16le_with_bom;
using tav::sysutil_test::make_file;
using tav::sysutil_test::TempDir;

using Edit = std::function<std::error_code(IniDocument&)>;

Edit set(const char* section, const char* key, const char* value) {
  return [=](IniDocument& doc) { return doc.set_value(section, key, value); };
}

TEST(IniDocumentTest, EditsChangeOnlyTheirLines) {
  struct Case {
    const char* name;
    std::string before;
    Edit edit;
    std::string after;
  } cases[] = {
      {"existing key: only its line is rewritten, keeping the stored spelling",
       "; head\nstray line\n\n[A]\n; about key\n  Key = old ; not a comment\n[broken\n\n[B]\nk=v\n",
       set("a", "KEY", "new"), "; head\nstray line\n\n[A]\n; about key\nKey=new\n[broken\n\n[B]\nk=v\n"},
      {"CRLF file: new key after the last entry, before trailing comments",
       "[A]\r\na=1\r\n; note\r\n\r\n[B]\r\nb=2\r\n", set("A", "c", "3"),
       "[A]\r\na=1\r\nc=3\r\n; note\r\n\r\n[B]\r\nb=2\r\n"},
      {"section without entries: new key right after its header", "[A]\n; only a comment\n[B]\n",
       set("A", "k", "v"), "[A]\nk=v\n; only a comment\n[B]\n"},
      {"file without a final newline gets one before the new line", "[A]\nk=v", set("A", "n", "1"),
       "[A]\nk=v\nn=1\n"},
      {"new section at the end, set apart by a blank line", "[A]\nk=v\n", set("B", "x", "1"),
       "[A]\nk=v\n\n[B]\nx=1\n"},
      {"new section after an unterminated CRLF last line", "[A]\r\nk=v", set("B", "x", "1"),
       "[A]\r\nk=v\r\n\r\n[B]\r\nx=1\r\n"},
      {"empty document", "", set("A", "k", "v"), "[A]\nk=v\n"},
      {"UTF-8 byte-order mark kept", "\xEF\xBB\xBF[A]\nk=\xC3\xA9\n", set("A", "k", "2"),
       "\xEF\xBB\xBF[A]\nk=2\n"},
      {"UTF-16LE file stays UTF-16LE", utf16le_with_bom(u"; \u00e9t\u00e9\r\n[A]\r\nk=1\r\n"),
       set("A", "j", "\xE2\x82\xAC"), utf16le_with_bom(u"; \u00e9t\u00e9\r\n[A]\r\nk=1\r\nj=\u20ac\r\n")},
      {"line without '=' is a key and gets its value", "[A]\nflag\nz=1\n", set("A", "FLAG", "on"),
       "[A]\nflag=on\nz=1\n"},
      {"only the first of duplicate sections is written", "[A]\na=1\n[B]\n[a]\nx=1\n", set("A", "x", "2"),
       "[A]\na=1\nx=2\n[B]\n[a]\nx=1\n"},
      {"remove_key removes every duplicate, so none shows through", "[A]\nk=1\n; c\nK=2\nx=3\n",
       [](IniDocument& d) { return d.remove_key("A", "k"); }, "[A]\n; c\nx=3\n"},
      {"remove_section removes each section of that name with its lines",
       "top=1\n[A]\na=1\n; c\n[b]\nz=1\n[a]\nc=1\n", [](IniDocument& d) { return d.remove_section("a"); },
       "top=1\n[b]\nz=1\n"},
      {"replace_entries keeps comments and blank lines, puts entries at the first entry",
       "[A]\n; c\na=1\n; d\nb=2\n\n[B]\n",
       [](IniDocument& d) {
         return d.replace_entries("A", {"x=1", "y", "=z"});
       },
       "[A]\n; c\nx=1\ny\n=z\n; d\n\n[B]\n"},
      {"replace_entries with none keeps the header", "[A]\na=1\nb=2\n[B]\nc=3\n",
       [](IniDocument& d) { return d.replace_entries("A", {}); }, "[A]\n[B]\nc=3\n"},
      {"replace_entries of a missing section adds it", "[A]\n",
       [](IniDocument& d) { return d.replace_entries("N", {"k=v"}); }, "[A]\n\n[N]\nk=v\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IniDocument doc = IniDocument::parse(c.before);
    ASSERT_FALSE(c.edit(doc));
    EXPECT_TRUE(doc.modified());
    EXPECT_EQ(doc.serialize(), c.after);
  }
}

TEST(IniDocumentTest, EditsThatChangeNothingLeaveTheDocumentUnmodified) {
  struct Case {
    const char* name;
    Edit edit;
  } cases[] = {
      {"same value again", set("A", "k", "v")},
      {"remove a missing key", [](IniDocument& d) { return d.remove_key("A", "none"); }},
      {"remove a key of a missing section", [](IniDocument& d) { return d.remove_key("Z", "k"); }},
      {"remove a missing section", [](IniDocument& d) { return d.remove_section("Z"); }},
      {"empty a missing section", [](IniDocument& d) { return d.replace_entries("Z", {}); }},
  };
  const std::string text = "[A]\nk=v\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IniDocument doc = IniDocument::parse(text);
    EXPECT_FALSE(c.edit(doc));
    EXPECT_FALSE(doc.modified());
    EXPECT_EQ(doc.serialize(), text);
  }
}

TEST(IniDocumentTest, NamesMatchWithoutCaseAndAroundWhiteSpace) {
  IniDocument doc = IniDocument::parse(
      "pre=ignored\n"
      "[ Main ]  trailing text\n"
      "  Alpha   =   one two  \n"
      "alpha=second\n"
      "\tBeta\t\n"
      "=c\n"
      "; gamma=commented\n"
      "[broken\n"
      "[MAIN]\n"
      "gamma=hidden\n"
      "[Other]\r\n"
      "k=v\r\n");
  EXPECT_EQ(doc.value("main", "ALPHA"), "one two");
  EXPECT_EQ(doc.value(" MAIN\t", " alpha "), "one two");
  EXPECT_EQ(doc.value("Main", "beta"), "");
  EXPECT_EQ(doc.value("Main", "gamma"), std::nullopt) << "comments and later duplicate sections are not read";
  EXPECT_EQ(doc.value("Main", "pre"), std::nullopt);
  EXPECT_EQ(doc.value("other", "K"), "v");
  EXPECT_EQ(doc.section_entries("main"),
            (std::vector<std::string>{"Alpha   =   one two", "alpha=second", "Beta", "=c"}));
  EXPECT_EQ(doc.key_names("main"), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(doc.section_names(), (std::vector<std::string>{"Main", "Other"}));
  EXPECT_TRUE(doc.has_section("other"));
  EXPECT_FALSE(doc.has_section("broken"));
}

TEST(IniDocumentTest, NamesAndValuesThatWouldInjectLinesAreRefused) {
  struct Case {
    const char* name;
    std::string section, key, value;
  } cases[] = {
      {"LF in value", "S", "k", "a\n[Evil]\nx=1"},
      {"CR in value", "S", "k", "a\rb"},
      {"NUL in value", "S", "k", std::string("a\0b", 3)},
      {"LF in key", "S", "k\nx", "v"},
      {"'=' in key", "S", "a=b", "v"},
      {"key starting with '['", "S", "[Evil]", "v"},
      {"key starting with ';' (after blanks)", "S", "  ;k", "v"},
      {"']' in section", "S]x", "k", "v"},
      {"LF in section", "S\n[T", "k", "v"},
      {"NUL in section", std::string("S\0T", 3), "k", "v"},
      {"empty section", "", "k", "v"},
      {"blank section", " \t", "k", "v"},
      {"empty key", "S", "", "v"},
      {"blank key", "S", "  ", "v"},
  };
  const std::string text = "[S]\nk=old\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IniDocument doc = IniDocument::parse(text);
    EXPECT_EQ(doc.set_value(c.section, c.key, c.value), std::errc::invalid_argument);
    EXPECT_EQ(doc.serialize(), text);
    EXPECT_FALSE(doc.modified());
  }
  const std::vector<std::string> bad_blocks[] = {{"a=1", "[Evil]"}, {" ;hidden"}, {"a=1\nb=2"}, {"a=\r"}};
  for (const auto& entries : bad_blocks) {
    SCOPED_TRACE(entries.back());
    IniDocument doc = IniDocument::parse(text);
    EXPECT_EQ(doc.replace_entries("S", entries), std::errc::invalid_argument);
    EXPECT_EQ(doc.serialize(), text);
  }
  IniDocument doc = IniDocument::parse(text);
  EXPECT_EQ(doc.remove_key("S", "a=b"), std::errc::invalid_argument);
  EXPECT_EQ(doc.remove_section("S]"), std::errc::invalid_argument);
  // Texts that only look odd are fine: '[' inside a section name, '=' and ';' inside a value.
  EXPECT_FALSE(doc.set_value("[S", "k;", "a=b ;c"));
  EXPECT_EQ(doc.value("[S", "k;"), "a=b ;c");
}

// --- files -----------------------------------------------------------------------------------

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  std::error_code set(const std::string& path, const char* section, const char* key, const char* value) {
    return tav::update_ini_file(path, [&](IniDocument& doc) { return doc.set_value(section, key, value); });
  }
  std::optional<std::string> get(const std::string& path, const char* section, const char* key) {
    IniDocument doc;
    if (tav::read_ini_file(path, &doc)) return std::nullopt;
    return doc.value(section, key);
  }
  // Names in the directory other than "." and "..".
  std::set<std::string> listing() {
    std::set<std::string> names;
    if (DIR* d = opendir(dir_.path().c_str())) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.insert(name);
      }
      closedir(d);
    }
    return names;
  }

  TempDir dir_;
  std::string path_ = dir_.file("Settings.ini");
};

TEST_F(IniFileTest, MissingFileReadsEmptyAndIsCreatedByTheFirstWrite) {
  IniDocument doc;
  ASSERT_FALSE(tav::read_ini_file(path_, &doc));
  EXPECT_TRUE(doc.section_names().empty());

  mode_t old_mask = umask(022);
  std::error_code ec = set(path_, "Log", "LogSize", "64");
  umask(old_mask);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read_bytes(path_), "[Log]\nLogSize=64\n");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // The save leaves only the file and its lock file behind.
  EXPECT_EQ(listing(), (std::set<std::string>{"Settings.ini", ".Settings.ini.lock"}));
}

TEST_F(IniFileTest, MissingDirectoryAndDirectoryInsteadOfFile) {
  std::string in_missing_dir = dir_.file("none/Settings.ini");
  IniDocument doc;
  EXPECT_FALSE(tav::read_ini_file(in_missing_dir, &doc)) << "reads as empty";
  EXPECT_EQ(set(in_missing_dir, "A", "k", "v"), std::errc::no_such_file_or_directory);

  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_EQ(tav::read_ini_file(path_, &doc), std::errc::is_a_directory);
  EXPECT_EQ(set(path_, "A", "k", "v"), std::errc::is_a_directory);
  EXPECT_EQ(tav::read_ini_file("", &doc), std::errc::invalid_argument);
}

TEST_F(IniFileTest, ReadOnlyFileOrDirectoryRefusesTheSaveAndKeepsTheFile) {
  // No write bit anywhere means read-only here, also for root.
  struct Case {
    const char* name;
    const char* chmod_what;  // "file" or "dir"
  } cases[] = {{"read-only file", "file"}, {"read-only directory", "dir"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = "; keep me\n[A]\nk=old\n";
    ASSERT_TRUE(make_file(path_, text, 0644));
    const std::string& target = std::string(c.chmod_what) == "file" ? path_ : dir_.path();
    ASSERT_EQ(chmod(target.c_str(), std::string(c.chmod_what) == "file" ? 0444 : 0555), 0);
    EXPECT_EQ(set(path_, "A", "k", "new"), std::errc::permission_denied);
    EXPECT_EQ(tav::update_ini_file(path_, [](IniDocument& d) { return d.remove_section("A"); }),
              std::errc::permission_denied);
    EXPECT_EQ(read_bytes(path_), text);
    EXPECT_EQ(get(path_, "A", "k"), "old") << "reading still works";
    ASSERT_EQ(chmod(target.c_str(), std::string(c.chmod_what) == "file" ? 0644 : 0755), 0);
    EXPECT_EQ(listing().count("Settings.ini.tmp." + std::to_string(getpid())), 0u);
  }
}

TEST_F(IniFileTest, SaveKeepsModeAndFollowsSymbolicLinks) {
  ASSERT_TRUE(make_file(dir_.file("real.ini"), "[A]\nk=1\n", 0666));
  ASSERT_EQ(symlink("real.ini", path_.c_str()), 0);
  mode_t old_mask = umask(077);
  std::error_code ec = set(path_, "A", "k", "2");
  umask(old_mask);
  ASSERT_FALSE(ec);
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is not replaced by a file";
  ASSERT_EQ(stat(dir_.file("real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u) << "the umask does not narrow an existing file";
  EXPECT_EQ(read_bytes(dir_.file("real.ini")), "[A]\nk=2\n");
  EXPECT_TRUE(listing().count(".real.ini.lock")) << "the lock belongs to the real file";
}

TEST_F(IniFileTest, FailedChangeOrLeftoverTemporaryFileDoesNotHarmTheFile) {
  const std::string text = "[A]\nk=1\n";
  ASSERT_TRUE(make_file(path_, text));
  EXPECT_EQ(set(path_, "A", "bad=key", "v"), std::errc::invalid_argument);
  EXPECT_EQ(read_bytes(path_), text);

  // A read-only temporary file left by a crashed process with our pid is replaced.
  std::string stale = path_ + ".tmp." + std::to_string(getpid());
  ASSERT_TRUE(make_file(stale, "half a fi", 0444));
  ASSERT_FALSE(set(path_, "A", "k", "2"));
  EXPECT_EQ(read_bytes(path_), "[A]\nk=2\n");
  EXPECT_EQ(listing(), (std::set<std::string>{"Settings.ini", ".Settings.ini.lock"}));
}

TEST_F(IniFileTest, AnotherUsersLockFileStillServes) {
  // A service running as root and a program of a user share one settings file: the lock file
  // root created (0644 here) must not stop the user's save.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  mode_t old_mask = umask(022);
  std::error_code ec = set(path_, "A", "root", "1");
  umask(old_mask);
  ASSERT_FALSE(ec);
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  tav::sysutil_test::Child user([&](int, int) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
    return set(path_, "A", "user", "2") ? 1 : 0;
  });
  ASSERT_TRUE(user.started());
  EXPECT_EQ(user.wait(), 0);
  EXPECT_EQ(get(path_, "A", "root"), "1");
  EXPECT_EQ(get(path_, "A", "user"), "2");
  // The user's save made the file theirs; root's next save keeps it so.
  ASSERT_FALSE(set(path_, "A", "root", "3"));
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(IniFileTest, VeryLongLinesReadBackWhole) {
  std::string value(300000, 'v');
  value[150000] = '=';
  ASSERT_FALSE(set(path_, "Big", "blob", value.c_str()));
  EXPECT_EQ(get(path_, "big", "BLOB"), value);
  std::string long_key(70000, 'k');
  ASSERT_FALSE(set(path_, "Big", long_key.c_str(), "1"));
  EXPECT_EQ(get(path_, "Big", long_key.c_str()), "1");
}

}  // namespace
