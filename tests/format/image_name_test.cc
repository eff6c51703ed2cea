// Tests of volume file names: separators, numbering, refusals and the 599-character cut; reading
// the volume number back from a name, and the scan of a directory for a base name's volumes.
#include "format/image_name.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/memory.h"
#include "tests/core/file_utils_test_support.h"

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

// One reading of a file name serves the catalogue loader, the writer's first-volume choice and
// the command's "DIR holds a storage": the loader's rules, with the extension's case optional.
TEST(ImageNameTest, VolumeNumberInName) {
  constexpr uint64_t kMax = UINT64_MAX;
  const struct {
    const char* name;
    const char* base;
    std::optional<uint64_t> exact;     // ".ego" as written
    std::optional<uint64_t> any_case;  // ".ego" in any case
  } cases[] = {
      {"imbackup0.ego", "imbackup", 0, 0},
      {"imbackup12.ego", "imbackup", 12, 12},
      {"imbackup007.ego", "imbackup", 7, 7},
      {"imbackup.ego", "imbackup", 0, 0},  // no digits: loaded like volume 0
      {"imbackup2147483648.ego", "imbackup", 2147483648u, 2147483648u},
      {"imbackup18446744073709551615.ego", "imbackup", kMax, kMax},
      {"imbackup99999999999999999999999.ego", "imbackup", kMax, kMax},  // saturates, never wraps
      {"imbackup3.EGO", "imbackup", std::nullopt, 3},
      {"imbackup3.eGo", "imbackup", std::nullopt, 3},
      {"imbackup12.ego", "imbackup1", 2, 2},  // a longer base name's volume reads as this one's
      {"imbackup2x1.ego", "imbackup2", std::nullopt, std::nullopt},
      {"imbackup-5.ego", "imbackup", std::nullopt, std::nullopt},
      {"imbackup+5.ego", "imbackup", std::nullopt, std::nullopt},
      {"imbackup 5.ego", "imbackup", std::nullopt, std::nullopt},
      {"imbackup5.ego.bak", "imbackup", std::nullopt, std::nullopt},
      {"imbackup5.eg", "imbackup", std::nullopt, std::nullopt},
      {"imbackup5", "imbackup", std::nullopt, std::nullopt},
      {"Imbackup5.ego", "imbackup", std::nullopt, std::nullopt},  // the base name's case counts
      {"other5.ego", "imbackup", std::nullopt, std::nullopt},
      {"imbackup", "imbackup", std::nullopt, std::nullopt},
      {"imbacku.ego", "imbackup", std::nullopt, std::nullopt},  // shorter than base + ".ego"
      {"5.ego", "", 5, 5},
      {".ego", "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " | " + c.base);
    EXPECT_EQ(tav::img::volume_number_in_name(c.name, c.base), c.exact);
    EXPECT_EQ(tav::img::volume_number_in_name(c.name, c.base, true), c.any_case);
  }
}

TEST(ImageNameTest, ListVolumeNamesInNumberOrder) {
  tav::sysutil_test::TempDir dir;
  for (const char* f : {"imbackup10.ego", "imbackup2.ego", "imbackup02.ego", "imbackup.ego", "imbackup3.EGO",
                        "imbackupx.ego", "other1.ego"}) {
    ASSERT_TRUE(tav::sysutil_test::make_file(dir.file(f)));
  }
  ASSERT_EQ(::mkdir(dir.file("imbackup7.ego").c_str(), 0700), 0);  // any kind of entry counts
  auto names_of = [](const std::vector<tav::img::VolumeFileName>& found) {
    std::vector<std::string> names;
    for (const auto& f : found) names.push_back(std::to_string(f.number) + ":" + f.name);
    return names;
  };
  std::vector<tav::img::VolumeFileName> found;
  ASSERT_TRUE(tav::img::list_volume_names(dir.path(), "imbackup", false, &found).is_ok());
  EXPECT_EQ(names_of(found), (std::vector<std::string>{"0:imbackup.ego", "2:imbackup02.ego", "2:imbackup2.ego",
                                                      "7:imbackup7.ego", "10:imbackup10.ego"}));
  ASSERT_TRUE(tav::img::list_volume_names(dir.path(), "imbackup", true, &found).is_ok());
  EXPECT_EQ(names_of(found), (std::vector<std::string>{"0:imbackup.ego", "2:imbackup02.ego", "2:imbackup2.ego",
                                                      "3:imbackup3.EGO", "7:imbackup7.ego", "10:imbackup10.ego"}));

  found = {{1, "kept"}};
  const tav::Status missing = tav::img::list_volume_names(dir.file("missing"), "imbackup", false, &found);
  EXPECT_FALSE(missing.is_ok());
  EXPECT_NE(missing.message().find("missing"), std::string::npos) << missing.message();
  EXPECT_EQ(found.size(), 1u) << "a failed scan leaves the list alone";
}

}  // namespace
