// CTavXml: the saved layout byte for byte, round trips of awkward text, the parser's results on
// broken input, file edge cases, atomic saves and deep copies.
#include "core/tav_xml.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/text_convert.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/trace_test_support.h"

namespace {

using tav::sysutil_test::TempDir;
using tav::test_support::read_bytes;
using tav::test_support::write_bytes;

// UTF-8 text as the UTF-16LE bytes of a file, with or without the byte-order mark.
std::string utf16_file(const std::string& text, bool bom = true) {
  std::string bytes = bom ? "\xFF\xFE" : "";
  for (char16_t u : tav::utf8_to_utf16(text)) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

int load_text(CTavXml* doc, const std::string& text, bool bom = true) {
  const std::string bytes = utf16_file(text, bom);
  return doc->Load(bytes.data(), bytes.size());
}

// The tree below the cursor in a compact form: name[attr=value,...]{text}(children...).
std::string dump(CTavXml& doc) {
  std::string out = doc.GetElementName();
  for (const char* attr : {"x", "y"}) {
    if (const char* v = doc.GetAttrValue(attr)) out += std::string("[") + attr + "=" + v + "]";
  }
  const std::string text = doc.GetElementData();
  if (!text.empty()) out += "{" + text + "}";
  if (doc.GeElementCount() > 0) {
    out += "(";
    for (int i = 0; i < doc.GeElementCount(); ++i) {
      if (i > 0) out += " ";
      EXPECT_TRUE(doc.EnterElement(i));
      out += dump(doc);
      doc.LeaveElement();
    }
    out += ")";
  }
  return out;
}

constexpr char kDecl[] = "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"yes\"?>\r\n";

TEST(TavXmlSave, LayoutIsByteForByte) {
  CTavXml doc;
  ASSERT_TRUE(doc.AddElement("Meadowgold", "", 1));
  ASSERT_TRUE(doc.AddElement("Scheduler", "", 1));
  ASSERT_TRUE(doc.AddElement("Count", 3));
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.AddElement("Empty", ""));
  ASSERT_TRUE(doc.AddElement("Task", "", 1));
  ASSERT_TRUE(doc.AddAttr("id", 7));
  ASSERT_TRUE(doc.AddAttr("name", "a"));
  ASSERT_TRUE(doc.SetElementData("lead"));
  ASSERT_TRUE(doc.AddElement("Ratio", 1.5));
  std::string expected = std::string(kDecl) +
                         "<Meadowgold>\r\n"
                         "\t<Scheduler>\r\n"
                         "\t\t<Count>3</Count>\r\n"
                         "\t</Scheduler>\r\n"
                         "\t<Empty></Empty>\r\n"
                         "\t<Task id=\"7\" name=\"a\">lead\r\n"
                         "\t\t<Ratio>1.500000</Ratio>\r\n"
                         "\t</Task>\r\n"
                         "</Meadowgold>\r\n";
  EXPECT_EQ(doc.Serialize(), utf16_file(expected));

  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("doc.xml");
  ASSERT_EQ(doc.Save(path.c_str()), kXmlOk);
  EXPECT_EQ(read_bytes(path), utf16_file(expected));
  // What was saved reads back to a tree that saves the same bytes.
  CTavXml again;
  ASSERT_EQ(again.Load(path.c_str()), kXmlOk);
  EXPECT_EQ(again.Serialize(), utf16_file(expected));
}

TEST(TavXmlRoundTrip, AwkwardTextSurvivesSaveAndLoad) {
  struct Case {
    const char* name;
    int escape;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"quote", 0, "say \"hi\""},
      {"markup", 0, "<b>bold</b> & </Root>"},
      {"entity-looking text", 0, "&amp; &lt; &#65; &nbsp;"},
      {"ampersand alone", 0, "R&D; a&b"},
      {"path", 0, "C:\\Backups\\<new>\\\"x\".ego"},
      {"non-ASCII and surrogate pair", 0, "备份 \xF0\x9F\x98\x80 é"},
      {"edge spaces", 0, "  padded  "},
      {"backslashes, escaped doc", 1, "a\\nb \\\\ \\\" \\x"},
      {"line breaks and tab, escaped doc", 1, "line1\nline2\r\n\tindented"},
      {"quote, escaped doc", 1, "\"quoted\" & <tag>"},
  };
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTavXml doc(c.escape);
    ASSERT_TRUE(doc.AddElement("Task", c.text.c_str(), 1));
    ASSERT_TRUE(doc.AddAttr("comment", c.text.c_str()));
    ASSERT_TRUE(doc.AddElement("Path", c.text.c_str()));
    const std::string path = dir.file("round.xml");
    ASSERT_EQ(doc.Save(path.c_str()), kXmlOk);

    CTavXml loaded(c.escape);
    ASSERT_EQ(loaded.Load(path.c_str()), kXmlOk);
    ASSERT_EQ(loaded.GeElementCount(), 1);
    ASSERT_TRUE(loaded.EnterElement("Task"));
    EXPECT_EQ(loaded.GetElementData(), c.text);
    ASSERT_NE(loaded.GetAttrValue("comment"), nullptr);
    EXPECT_EQ(loaded.GetAttrValue("comment"), c.text);
    ASSERT_EQ(loaded.GeElementCount(), 1);
    ASSERT_NE(loaded.GetElementData("Path"), nullptr);
    EXPECT_EQ(loaded.GetElementData("Path"), c.text);
  }
}

TEST(TavXmlLoad, ParserResults) {
  struct Case {
    const char* name;
    int escape;
    std::string input;
    int result;
    std::string tree;  // dump of the root after the load
  };
  const std::vector<Case> cases = {
      {"declaration and layout whitespace dropped", 0,
       std::string(kDecl) + "<a>\r\n\t<b>x</b>\r\n\t<c></c>\r\n</a>\r\n", kXmlOk, "Root(a(b{x} c))"},
      {"spaces between tags become text", 0, "<a> <b>x</b> </a>", kXmlOk, "Root(a{  }(b{x}))"},
      {"mismatched closing tag keeps what was read", 0, "<a><b>x</a><c></c>", kXmlMismatch, "Root(a(b{x}))"},
      {"closing tags differ in case", 0, "<a></A>", kXmlMismatch, "Root(a)"},
      {"stray closing tag at the root", 0, "</a><b></b>", kXmlMismatch, "Root"},
      {"closing tag named like the root", 0, "</Root><b></b>", kXmlMismatch, "Root"},
      {"one closing tag too many", 0, "<a></a></a><b></b>", kXmlMismatch, "Root(a)"},
      {"input ends inside open elements", 0, "<a><b>text", kXmlOk, "Root(a(b{text}))"},
      {"input ends inside a tag", 0, "<a><b x=\"1", kXmlOk, "Root(a(b[x=1]))"},
      {"lone '<' at the end", 0, "<a>x<", kXmlOk, "Root(a{x})"},
      {"attributes and self-closing tag", 0, "<a x=\"1\" y=\"two words\"/><b></b>", kXmlOk,
       "Root(a[x=1][y=two words] b)"},
      {"self-closing child stays a child", 0, "<a><b x=\"1\" /><c>t</c></a>", kXmlOk, "Root(a(b[x=1] c{t}))"},
      {"known entities decoded, others kept", 0, "<a x=\"&quot;&lt;\">&amp;lt; &gt; &apos; &nbsp; &#65;</a>", kXmlOk,
       "Root(a[x=\"<]{&lt; > ' &nbsp; &#65;})"},
      {"unescaped text of older writers", 0, "<a x=\"p>q&r\">x > y & z</a>", kXmlOk, "Root(a[x=p>q&r]{x > y & z})"},
      {"backslash n without escape flag", 0, "<a>x\\ny</a>", kXmlOk, "Root(a{x\\ny})"},
      {"backslash n with escape flag", 1, "<a>x\\ny\\q\\</a>", kXmlOk, "Root(a{x\ny\\q\\})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTavXml doc(c.escape);
    EXPECT_EQ(load_text(&doc, c.input), c.result);
    EXPECT_STREQ(doc.GetElementName(), "Root");  // the cursor is back on the root either way
    EXPECT_EQ(dump(doc), c.tree);
  }
}

TEST(TavXmlLoad, MissingByteOrderMarkReadsTheSame) {
  const std::string text = "<a x=\"1\"><b>备份</b></a>";
  CTavXml with_bom, without_bom;
  ASSERT_EQ(load_text(&with_bom, text, true), kXmlOk);
  ASSERT_EQ(load_text(&without_bom, text, false), kXmlOk);
  EXPECT_EQ(dump(with_bom), dump(without_bom));
  EXPECT_EQ(dump(with_bom), "Root(a[x=1](b{备份}))");
}

TEST(TavXmlLoad, NestingBeyondTheLimitStopsTheLoad) {
  std::string deep;
  for (int i = 0; i <= CTavXml::kMaxDepth; ++i) deep += "<a>";
  CTavXml doc;
  EXPECT_EQ(load_text(&doc, deep), kXmlMismatch);
  // AddElement refuses to go deeper than a load could read back.
  CTavXml built;
  for (int i = 0; i < CTavXml::kMaxDepth; ++i) ASSERT_TRUE(built.AddElement("a", "", 1));
  EXPECT_EQ(built.AddElement("a", ""), 0);
}

TEST(TavXmlLoad, ShortOrMissingFilesFailAndKeepTheTree) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  write_bytes(dir.file("empty.xml"), "");
  write_bytes(dir.file("one.xml"), "\xFF");
  std::filesystem::create_directory(dir.file("sub.xml"));
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {{"empty file", dir.file("empty.xml")},
                        {"one byte", dir.file("one.xml")},
                        {"missing file", dir.file("missing.xml")},
                        {"directory", dir.file("sub.xml")}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTavXml doc;
    ASSERT_EQ(load_text(&doc, "<keep></keep>"), kXmlOk);
    EXPECT_EQ(doc.Load(c.path.c_str()), kXmlFileError);
    EXPECT_EQ(dump(doc), "Root(keep)");
  }
  CTavXml doc;
  ASSERT_EQ(load_text(&doc, "<keep></keep>"), kXmlOk);
  EXPECT_EQ(doc.Load(nullptr, 10), kXmlBadArgument);
  EXPECT_EQ(doc.Load("\xFF", 1), kXmlBadArgument);
  EXPECT_EQ(dump(doc), "Root(keep)");
  // Just a byte-order mark is an empty document.
  EXPECT_EQ(doc.Load("\xFF\xFE", 2), kXmlOk);
  EXPECT_EQ(dump(doc), "Root");
}

class TavXmlSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(doc_.AddElement("Data", "", 1));
    ASSERT_TRUE(doc_.AddElement("Text", std::string(200000, 'x').c_str()));
  }
  std::vector<std::string> dir_entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    return names;
  }
  TempDir dir_;
  CTavXml doc_;
};

TEST_F(TavXmlSaveTest, WriteErrorReportsAndKeepsTheOldFile) {
  const std::string path = dir_.file("tasks.xml");
  write_bytes(path, "old contents");
  // A file size limit makes the write fail part-way (EFBIG once SIGXFSZ is ignored), in a child
  // so the limit does not reach the test process.
  tav::sysutil_test::Child child([&](int, int) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    if (doc_.Save(path.c_str()) != kXmlWriteError) return 11;
    return tav::get_last_error() == EFBIG ? 0 : 12;
  });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(read_bytes(path), "old contents");
  EXPECT_EQ(dir_entries(), std::vector<std::string>{"tasks.xml"}) << "no temporary file is left";
}

TEST_F(TavXmlSaveTest, ReplacesAtomicallyKeepingModeAndLinks) {
  const std::string real = dir_.file("real.xml");
  const std::string link = dir_.file("link.xml");
  write_bytes(real, "old");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("real.xml", link);
  ASSERT_EQ(doc_.Save(link.c_str()), kXmlOk);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_bytes(real), doc_.Serialize());
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  auto names = dir_entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"link.xml", "real.xml"}));
}

TEST_F(TavXmlSaveTest, UnwritableTargetsFail) {
  EXPECT_EQ(doc_.Save(dir_.file("no/such/dir.xml").c_str()), kXmlFileError);
  EXPECT_EQ(doc_.Save(dir_.path().c_str()), kXmlFileError);  // a directory
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EISDIR));
  const std::string read_only = dir_.file("ro.xml");
  write_bytes(read_only, "keep");
  ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);
  EXPECT_EQ(doc_.Save(read_only.c_str()), kXmlFileError);
  EXPECT_EQ(read_bytes(read_only), "keep");
  EXPECT_EQ(doc_.Save(""), kXmlFileError);
}

TEST(TavXmlCopy, CopiesAreDeepAndKeepTheCursor) {
  auto original = std::make_unique<CTavXml>(1);
  ASSERT_TRUE(original->AddElement("Tasks", "", 1));
  ASSERT_TRUE(original->AddElement("Task", "first", 1));
  CTavXml copy(*original);
  CTavXml assigned;
  assigned = *original;
  for (CTavXml* doc : {&copy, &assigned}) {
    EXPECT_STREQ(doc->GetElementName(), "Task");
    EXPECT_STREQ(doc->GetElementData(), "first");
    ASSERT_TRUE(doc->SetElementData("changed"));
    ASSERT_TRUE(doc->AddElement("Child", "c"));
  }
  EXPECT_STREQ(original->GetElementData(), "first");
  EXPECT_EQ(original->GeElementCount(), 0);
  original.reset();  // the copies own their trees
  ASSERT_TRUE(copy.LeaveElement());
  EXPECT_EQ(dump(copy), "Tasks(Task{changed}(Child{c}))");
  // Self-assignment changes nothing.
  CTavXml& self = assigned;
  assigned = self;
  EXPECT_EQ(dump(assigned), "Task{changed}(Child{c})");
  // The copy keeps the escape flag: a line break written by it reads back.
  ASSERT_TRUE(copy.SetElementData("a\nb"));
  CTavXml reread(1);
  const std::string bytes = copy.Serialize();
  ASSERT_EQ(reread.Load(bytes.data(), bytes.size()), kXmlOk);
  EXPECT_STREQ(reread.GetElementData("Tasks"), "a\nb");
}

TEST(TavXmlCursor, LookupsAndEdits) {
  CTavXml doc;
  ASSERT_EQ(load_text(&doc, "<a x=\"12px\" x=\"second\"><n> 42abc</n><big>99999999999</big><neg>-7</neg>"
                            "<d>2.5e1z</d><w>words</w><n>dup</n></a>"),
            kXmlOk);
  EXPECT_EQ(doc.LeaveElement(), 0);
  ASSERT_TRUE(doc.EnterElement("a"));
  // An absent child gives null and leaves the cursor where it was.
  EXPECT_EQ(doc.GetElementData("absent"), nullptr);
  EXPECT_STREQ(doc.GetElementName(), "a");
  int i = 5;
  int64_t i64 = 5;
  double d = 5;
  EXPECT_EQ(doc.GetElementData("absent", i), 0);
  EXPECT_EQ(i, 5);
  EXPECT_TRUE(doc.GetElementData("n", i));
  EXPECT_EQ(i, 42);  // the leading number, first child of that name
  EXPECT_TRUE(doc.GetElementData("big", i));
  EXPECT_EQ(i, INT_MAX);
  EXPECT_TRUE(doc.GetElementData("big", i64));
  EXPECT_EQ(i64, 99999999999);
  EXPECT_TRUE(doc.GetElementData("neg", i64));
  EXPECT_EQ(i64, -7);
  EXPECT_TRUE(doc.GetElementData("d", d));
  EXPECT_EQ(d, 25.0);
  EXPECT_TRUE(doc.GetElementData("w", i));
  EXPECT_EQ(i, 0);
  EXPECT_TRUE(doc.GetAttrValue("x", i));
  EXPECT_EQ(i, 12);
  EXPECT_STREQ(doc.GetAttrValue("x"), "12px");  // the first of two
  EXPECT_EQ(doc.GetElementData(6), nullptr);
  EXPECT_EQ(doc.EnterElement(6), 0);
  EXPECT_EQ(doc.EnterElement(-1), 0);

  EXPECT_TRUE(doc.DelElement("n"));
  EXPECT_STREQ(doc.GetElementData("n"), "dup");
  EXPECT_TRUE(doc.DelAttr("x"));
  EXPECT_STREQ(doc.GetAttrValue("x"), "second");
  EXPECT_EQ(doc.DelElement("absent"), 0);
  EXPECT_EQ(doc.DelAttr("absent"), 0);
  EXPECT_TRUE(doc.DelAttr(nullptr));
  EXPECT_TRUE(doc.DelElement(nullptr));
  EXPECT_EQ(dump(doc), "a");

  // Names that could not be read back are refused.
  for (const char* bad : {"", "a b", "a<b", "a>b", "a&b", "a\"b", "a/b", "a=b", "?x", "a\tb"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(doc.AddElement(bad, "t"), 0);
    EXPECT_EQ(doc.AddAttr(bad, "v"), 0);
  }
  EXPECT_EQ(doc.AddElement(nullptr, "t"), 0);
  EXPECT_EQ(dump(doc), "a");
}

}  // namespace
