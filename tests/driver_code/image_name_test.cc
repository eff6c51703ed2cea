// Tests of volume file names: separators, numbering, refusals and the 599-character cut.
#include "core/driver_code/image_name.h"

#include <gtest/gtest.h>

#include <string>

#include "core/memory.h"

namespace {

// The exported name as a std::string, or "(null)"; frees the returned block.
std::string exported_name(const char* dir, const char* base, int vol) {
  char* name = libtavimg_create_image_name(dir, base, vol);
  if (name == nullptr) return "(null)";
  std::string s(name);
  libtavpub_xfree(name);
  return s;
}

TEST(ImageNameTest, NameTable) {
  const struct {
    const char* dir;
    const char* base;
    int vol;
    const char* expected;
  } cases[] = {
      {"/img", "imbackup", 10, "/img/imbackup10.ego"},
      {"/img/", "imbackup", 10, "/img/imbackup10.ego"},
      {"D:\\img\\", "imbackup", 10, "D:\\img\\imbackup10.ego"},
      {"/img", "imbackup", 0, "/img/imbackup0.ego"},
      {"/", "a", 511, "/a511.ego"},
      {"", "imbackup", 3, "imbackup3.ego"},  // the current directory, not the root
      {"/img", "", 2, "/img/2.ego"},
      {"/img", "imbackup", 2147483647, "/img/imbackup2147483647.ego"},
      {"/img", "imbackup", -1, "(null)"},
      {"/img", "imbackup", -2147483647 - 1, "(null)"},
      {nullptr, "imbackup", 0, "(null)"},
      {"/img", nullptr, 0, "(null)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.dir ? c.dir : "(null)") + " | " + (c.base ? c.base : "(null)") + " | " +
                 std::to_string(c.vol));
    EXPECT_EQ(exported_name(c.dir, c.base, c.vol), c.expected);
    if (c.dir != nullptr && c.base != nullptr) {
      const auto name = tav::img::image_volume_name(c.dir, c.base, c.vol);
      EXPECT_EQ(name.value_or("(null)"), c.expected);
    }
  }
}

TEST(ImageNameTest, CutTo599Characters) {
  // "<dir>/b1.ego" is dir + 7 characters.
  for (size_t dir_length : {size_t{591}, size_t{592}, size_t{593}, size_t{2000}}) {
    SCOPED_TRACE(dir_length);
    const std::string dir(dir_length, 'd');
    const std::string full = dir + "/b1.ego";
    const std::string name = exported_name(dir.c_str(), "b", 1);
    EXPECT_EQ(name, full.substr(0, 599));
    EXPECT_EQ(tav::img::image_volume_name(dir, "b", 1).value(), name);
  }
}

TEST(ImageNameTest, CutNeverSplitsACharacter) {
  // 598 ASCII bytes, then "é" (2 bytes) would straddle the 599-byte limit: it is dropped whole.
  const std::string dir = std::string(598, 'd') + "\xC3\xA9" + "/x";
  const std::string name = tav::img::image_volume_name(dir, "b", 1).value();
  EXPECT_EQ(name, std::string(598, 'd'));
}

}  // namespace
