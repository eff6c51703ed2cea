// Tests of the zero-filling allocator, the string duplicates and the traced allocation list.
#include "core/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::u16string ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Owns a leak report and gives it as a string.
std::u16string take_report() {
  char16_t* report = libtavpub_print_tracemem();
  if (report == nullptr) return u"<null>";
  std::u16string text(report);
  libtavpub_xfree(report);
  return text;
}

std::u16string leak_line(const std::string& file, long line, size_t size) {
  return ascii16("\nMemory Leakage:  File:" + file + ", Line:" + std::to_string(line) +
                 ", Size:" + std::to_string(size));
}

// Splits a report at its "\n" line starts, dropping the empty piece before the first one.
std::vector<std::u16string> report_lines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = text.find(u'\n', pos + 1);
    if (next == std::u16string::npos) next = text.size();
    lines.push_back(text.substr(pos, next - pos));
    pos = next;
  }
  return lines;
}

// Every test starts and ends with an empty trace list, since the list is process-wide.
class TraceMemTest : public ::testing::Test {
 protected:
  void SetUp() override { libtavpub_free_tracemem(); }
  void TearDown() override { libtavpub_free_tracemem(); }
};

TEST(MemoryTest, XmallocGivesZeroFilledBlocks) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{17}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(size);
    auto* block = static_cast<unsigned char*>(libtavpub_xmalloc(size));
    ASSERT_NE(block, nullptr);  // even 0 bytes gives a block, so null only means no memory
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(block[i], 0) << "at " << i;
    libtavpub_xfree(block);
  }
  libtavpub_xfree(nullptr);
}

TEST(MemoryTest, StrdupCopiesAndNullGivesEmptyString) {
  char16_t* wide = libtavpub_strdup(u"Bäckup \U0001F600");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide), u"Bäckup \U0001F600");
  libtavpub_xfree(wide);

  char16_t* empty_wide = libtavpub_strdup(nullptr);
  ASSERT_NE(empty_wide, nullptr);
  EXPECT_EQ(empty_wide[0], 0);
  libtavpub_xfree(empty_wide);

  char* narrow = libtavpub_strdupA("disk0.ego");
  ASSERT_NE(narrow, nullptr);
  EXPECT_STREQ(narrow, "disk0.ego");
  libtavpub_xfree(narrow);

  char* empty_narrow = libtavpub_strdupA(nullptr);
  ASSERT_NE(empty_narrow, nullptr);
  EXPECT_STREQ(empty_narrow, "");
  libtavpub_xfree(empty_narrow);
}

#if !defined(__SANITIZE_ADDRESS__)
// AddressSanitizer aborts on an impossible request instead of returning null, so these run
// only in the plain build.
TEST_F(TraceMemTest, ImpossibleSizeGivesNullAndNoRecord) {
  EXPECT_EQ(libtavpub_xmalloc(SIZE_MAX), nullptr);
  EXPECT_EQ(libtavpub_debug_xmalloc(SIZE_MAX, "big.cc", 1), nullptr);
  EXPECT_EQ(libtavpub_print_tracemem(), nullptr);
}
#endif

TEST_F(TraceMemTest, NoLiveBlocksGivesNullReport) {
  EXPECT_EQ(libtavpub_print_tracemem(), nullptr);
  void* block = libtavpub_debug_xmalloc(8, "a.cc", 1);
  libtavpub_debug_xfree(block);
  EXPECT_EQ(libtavpub_print_tracemem(), nullptr);
}

TEST_F(TraceMemTest, ReportListsLiveBlocksNewestFirst) {
  void* a = libtavpub_debug_xmalloc(16, "engine/backup.cc", 10);
  void* b = libtavpub_debug_xmalloc(0, nullptr, 20);  // no file name gives an empty one
  char* c = libtavpub_debug_strdupA("abc", "core/ini.cc", 30);
  char16_t* d = libtavpub_debug_strdup(u"xy", "dé/ü.cc", -5);  // UTF-8 name, negative line
  ASSERT_TRUE(a && b && c && d);
  EXPECT_STREQ(c, "abc");
  EXPECT_EQ(std::u16string(d), u"xy");
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char*>(a)[i], 0);

  EXPECT_EQ(take_report(), u"\nMemory Leakage:  File:dé/ü.cc, Line:-5, Size:6" +
                               leak_line("core/ini.cc", 30, 4) + leak_line("", 20, 0) +
                               leak_line("engine/backup.cc", 10, 16));

  // Freeing one record from the middle keeps the others in order.
  libtavpub_debug_xfree(c);
  EXPECT_EQ(take_report(), u"\nMemory Leakage:  File:dé/ü.cc, Line:-5, Size:6" +
                               leak_line("", 20, 0) + leak_line("engine/backup.cc", 10, 16));
  libtavpub_debug_xfree(d);
  libtavpub_debug_xfree(a);
  EXPECT_EQ(take_report(), leak_line("", 20, 0));
  libtavpub_debug_xfree(b);
  EXPECT_EQ(libtavpub_print_tracemem(), nullptr);
}

TEST_F(TraceMemTest, ReportStopsStartingLinesAtLimit) {
  constexpr size_t kLimit = 19456;
  constexpr int kRecords = 2000;  // far more than fit
  std::vector<void*> blocks;
  for (int i = 0; i < kRecords; ++i) blocks.push_back(libtavpub_debug_xmalloc(i % 7, "f.cc", i));

  const std::u16string text = take_report();
  const std::vector<std::u16string> lines = report_lines(text);
  ASSERT_FALSE(lines.empty());
  ASSERT_LT(lines.size(), static_cast<size_t>(kRecords));
  // The text reached the limit, and the last line was started while it was still below it.
  EXPECT_GE(text.size(), kLimit);
  EXPECT_LT(text.size() - lines.back().size(), kLimit);
  // Every line is whole and in order from the newest record.
  for (size_t k = 0; k < lines.size(); ++k) {
    const long line = kRecords - 1 - static_cast<long>(k);
    ASSERT_EQ(lines[k], leak_line("f.cc", line, static_cast<size_t>(line % 7))) << "line " << k;
  }
  for (void* b : blocks) libtavpub_debug_xfree(b);
}

TEST_F(TraceMemTest, TextOfExactlyTheLimitStartsNoFurtherLine) {
  // Lines of 64 units each: 304 of them make exactly 19456 units, and the 305th is not added.
  const std::string name(25, 'f');
  ASSERT_EQ(leak_line(name, 1, 1).size(), 64u);
  std::vector<void*> blocks;
  for (int i = 0; i < 310; ++i) blocks.push_back(libtavpub_debug_xmalloc(1, name.c_str(), 1));
  const std::u16string text = take_report();
  EXPECT_EQ(text.size(), 19456u);
  EXPECT_EQ(report_lines(text).size(), 304u);
  for (void* b : blocks) libtavpub_debug_xfree(b);
}

TEST_F(TraceMemTest, LongLinesAreCutToTheBuffer) {
  constexpr size_t kBufferChars = 20480;
  struct Case {
    const char* name;
    std::string file;        // UTF-8, longer than what is left of the buffer after the limit
    std::u16string file16;
    size_t text_length;      // where the last line is cut
  };
  std::string emoji_name = "x";
  std::u16string emoji_name16 = u"x";
  for (int i = 0; i < 1499; ++i) {
    emoji_name += "\xF0\x9F\x98\x80";
    emoji_name16 += u"\U0001F600";
  }
  const Case cases[] = {
      {"ASCII name", std::string(3000, 'n'), std::u16string(3000, u'n'), kBufferChars - 1},
      // The last free unit would hold the first half of a surrogate pair: the pair is left out.
      {"name of surrogate pairs", emoji_name, emoji_name16, kBufferChars - 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<void*> blocks;
    for (int i = 0; i < 20; ++i) blocks.push_back(libtavpub_debug_xmalloc(1, c.file.c_str(), 10 + i));

    char16_t* report = libtavpub_print_tracemem();
    ASSERT_NE(report, nullptr);
    // The whole 20480-unit buffer is ours to read; the text fills it up to the closing zero.
    EXPECT_EQ(report[kBufferChars - 1], 0);
    const std::u16string text(report);
    libtavpub_xfree(report);
    EXPECT_EQ(text.size(), c.text_length);

    const std::vector<std::u16string> lines = report_lines(text);
    auto line16 = [&](long line) {
      return u"\nMemory Leakage:  File:" + c.file16 + ascii16(", Line:" + std::to_string(line) + ", Size:1");
    };
    EXPECT_EQ(lines.front(), line16(29));
    const std::u16string cut_whole = line16(29 - static_cast<long>(lines.size()) + 1);
    EXPECT_LT(lines.back().size(), cut_whole.size());
    EXPECT_EQ(cut_whole.substr(0, lines.back().size()), lines.back());
    for (void* b : blocks) libtavpub_debug_xfree(b);
  }
}

TEST_F(TraceMemTest, FreeTracememFreesEveryBlockAndEmptiesTheList) {
  // The sanitizer build checks for leaks at exit, so these blocks must really be freed.
  for (int i = 0; i < 50; ++i) libtavpub_debug_xmalloc(100 + i, "leak.cc", i);
  libtavpub_debug_strdupA("text", "leak.cc", 99);
  libtavpub_debug_strdup(u"text", "leak.cc", 100);
  libtavpub_free_tracemem();
  EXPECT_EQ(libtavpub_print_tracemem(), nullptr);
  libtavpub_free_tracemem();  // on an empty list

  // The list works normally afterwards.
  void* block = libtavpub_debug_xmalloc(3, "after.cc", 7);
  EXPECT_EQ(take_report(), leak_line("after.cc", 7, 3));
  libtavpub_debug_xfree(block);
}

TEST_F(TraceMemTest, ConcurrentTracedAllocationKeepsTheListIntact) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  constexpr int kKeep = 5;  // blocks each thread leaves live at the end
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::vector<void*> live;
      for (int i = 0; i < kRounds; ++i) {
        live.push_back(i % 2 ? libtavpub_debug_xmalloc(32, "thread.cc", t)
                             : libtavpub_debug_strdupA("thread text", "thread.cc", t));
        if (live.size() > 8) {
          libtavpub_debug_xfree(live.front());
          live.erase(live.begin());
        }
        if (i % 500 == 0) libtavpub_xfree(libtavpub_print_tracemem());
      }
      while (live.size() > kKeep) {
        libtavpub_debug_xfree(live.back());
        live.pop_back();
      }
    });
  }
  for (auto& th : threads) th.join();

  const std::vector<std::u16string> lines = report_lines(take_report());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kKeep));
  for (int t = 0; t < kThreads; ++t) {
    int count = 0;
    for (const auto& line : lines) {
      if (line == leak_line("thread.cc", t, 32) || line == leak_line("thread.cc", t, 12)) ++count;
    }
    EXPECT_EQ(count, kKeep) << "thread " << t;
  }
}

}  // namespace
