// Questions about single volume files: names, volume numbers, base names, versions, comments.
#include <gtest/gtest.h>

#include <cerrno>

#include "core/memory.h"
#include "image/image_catalogue.h"
#include "tests/image/catalogue_test_support.h"

namespace tav::test {
namespace {

class ImageFileInfoTest : public ::testing::Test {
 protected:
  std::string put(const std::string& name, const CraftVolume& v) {
    const std::string path = dir_.file(name);
    write_file(path, build_volume(v));
    return path;
  }
  static CraftVolume volume(uint32_t vol, uint32_t first_vol) {
    CraftVolume v;
    v.vol = vol;
    v.first_vol = first_vol;
    v.total_vol = 3;
    v.create_time = 0x80000010u;  // widened with its sign
    v.signature = 4242;
    v.snap_seq = 2;
    v.backup_type = img::kBackupDifferential;
    v.disks = {craft_disk({craft_part(2048, 100, 1)})};
    return v;
  }
  TempDir dir_;
};

// The base name loses only as many trailing digits as the volume number has.
TEST_F(ImageFileInfoTest, ParsesBaseNameBack) {
  struct Case {
    const char* base;
    uint32_t vol;
  };
  for (const Case c : {Case{"disk2", 3}, Case{"imbackup", 10}, Case{"a1b", 0}, Case{"7", 123}, Case{"x99", 99}}) {
    SCOPED_TRACE(c.base);
    const std::string file = std::string(c.base) + std::to_string(c.vol) + ".ego";
    const std::string path = put(file, volume(c.vol, c.vol));
    char* name = nullptr;
    char* directory = nullptr;
    char* base = nullptr;
    ASSERT_EQ(1, libtavimg_parse_image_pathfilename(path.c_str(), &name, &directory, &base));
    EXPECT_STREQ(file.c_str(), name);
    EXPECT_STREQ(dir_.file("").c_str(), directory);
    EXPECT_STREQ(c.base, base);
    libtavpub_xfree(name);
    libtavpub_xfree(directory);
    libtavpub_xfree(base);

    IMAGEFILE_INFO info;
    ASSERT_EQ(1, libtavimg_get_imagefile_info(path.c_str(), &info, false));
    EXPECT_EQ(c.base, info.base_name);
    EXPECT_EQ(dir_.file(""), info.directory);
    EXPECT_EQ(c.vol, info.vol);
  }
}

TEST_F(ImageFileInfoTest, RefusesWhatIsNoVolumeOrNamedWrongly) {
  const std::string good = put("imbackup1.ego", volume(1, 0));
  std::filesystem::copy_file(good, dir_.file("imbackup4.ego"));
  std::filesystem::copy_file(good, dir_.file("imbackup1.EGO"));
  write_file(dir_.file("text1.ego"), std::vector<uint8_t>(4000, 'x'));
  for (const char* name : {"imbackup4.ego", "imbackup1.EGO", "text1.ego", "missing1.ego"}) {
    SCOPED_TRACE(name);
    IMAGEFILE_INFO info;
    EXPECT_EQ(0, libtavimg_get_imagefile_info(dir_.file(name).c_str(), &info, true));
  }
  char* name = reinterpret_cast<char*>(1);
  char* directory = reinterpret_cast<char*>(1);
  char* base = reinterpret_cast<char*>(1);
  for (const std::string& path : {dir_.file("text1.ego"), good.substr(0, good.size() - 4), std::string("imbackup1.ego")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(0, libtavimg_parse_image_pathfilename(path.c_str(), &name, &directory, &base));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(nullptr, directory);
    EXPECT_EQ(nullptr, base);
  }
}

// first_vol, total_vol and the header's comment belong to a snapshot's first volume; a later
// volume gives its comment from the tailer's copy.
TEST_F(ImageFileInfoTest, FirstAndLaterVolumes) {
  CraftVolume first = volume(5, 5);
  first.comment = utf16_comment("weekly");
  CraftVolume later = volume(6, 5);
  later.comment = utf16_comment("weekly");
  const std::string first_path = put("imbackup5.ego", first);
  const std::string later_path = put("imbackup6.ego", later);

  IMAGEFILE_INFO info;
  ASSERT_EQ(1, libtavimg_get_imagefile_info(first_path.c_str(), &info, true));
  EXPECT_EQ(int64_t(int32_t(0x80000010u)), info.create_time);
  EXPECT_EQ(4242u, info.signature);
  EXPECT_EQ(2u, info.snap_seq);
  EXPECT_EQ(5u, info.first_vol2);
  EXPECT_EQ(5u, info.first_vol);
  EXPECT_EQ(3u, info.total_vol);
  EXPECT_EQ(img::kBackupDifferential, info.backup_type);
  EXPECT_EQ(uint32_t(img::kCompressNormal), info.compress_mode);
  EXPECT_TRUE(info.has_comment);
  EXPECT_EQ("weekly", info.comment);

  ASSERT_EQ(1, libtavimg_get_imagefile_info(later_path.c_str(), &info, true));
  EXPECT_EQ(6u, info.vol);
  EXPECT_EQ(5u, info.first_vol2);
  EXPECT_EQ(0u, info.first_vol);
  EXPECT_EQ(0u, info.total_vol);
  EXPECT_EQ("weekly", info.comment);

  ASSERT_EQ(1, libtavimg_get_imagefile_info(later_path.c_str(), &info, false));
  EXPECT_FALSE(info.has_comment);
  EXPECT_TRUE(info.comment.empty());
}

TEST_F(ImageFileInfoTest, CommentIsCutTo512Characters) {
  CraftVolume v = volume(0, 0);
  v.comment = utf16_comment(std::string(700, 'c'));  // longer than any writer stores
  IMAGEFILE_INFO info;
  ASSERT_EQ(1, libtavimg_get_imagefile_info(put("long0.ego", v).c_str(), &info, true));
  EXPECT_EQ(std::string(512, 'c'), info.comment);

  v.major = 3;
  v.minor = 1;
  v.comment.assign(600, 'a');
  v.comment.push_back(0);
  ASSERT_EQ(1, libtavimg_get_imagefile_info(put("ansi0.ego", v).c_str(), &info, true));
  EXPECT_EQ(std::string(512, 'a'), info.comment);
}

TEST_F(ImageFileInfoTest, VolumeChecks) {
  const std::string good = put("imbackup0.ego", volume(0, 0));
  CraftVolume old = volume(0, 0);
  old.major = 3;
  old.minor = 1;
  const std::string old_path = put("old0.ego", old);
  std::vector<uint8_t> bytes = read_file(good);
  bytes[bytes.size() - 10] ^= 1;  // tailer magic
  write_file(dir_.file("badtail0.ego"), bytes);
  std::filesystem::copy_file(good, dir_.file("imbackup0.img"));

  uint32_t major = 0, minor = 0;
  EXPECT_EQ(1, TavIsDiskVol(good.c_str(), &major, &minor));
  EXPECT_EQ(3u, major);
  EXPECT_EQ(4u, minor);
  EXPECT_EQ(1, TavIsDiskVol(old_path.c_str(), &major, &minor));
  EXPECT_EQ(1u, minor);
  EXPECT_EQ(0, TavIsDiskVol(dir_.file("badtail0.ego").c_str(), &major, &minor));
  EXPECT_EQ(0, TavIsDiskVol(dir_.file("imbackup0.img").c_str(), &major, &minor));

  uint8_t header[img::kHeaderSize];
  EXPECT_EQ(0, libtavimg_get_image_header(good.c_str(), header));
  EXPECT_EQ(0, std::memcmp(bytes.data(), header, sizeof header));
  EXPECT_EQ(-1, libtavimg_get_image_header(dir_.file("none0.ego").c_str(), header));
  EXPECT_EQ(-1, libtavimg_get_image_header(dir_.file("").c_str(), header));  // a directory
}

TEST(ImageFileNameTest, ExtensionAndComparison) {
  struct Ext {
    const char* name;
    int expected;
  };
  for (const Ext c : {Ext{"a.ego", 1}, Ext{"A.EGO", 1}, Ext{".ego", 0}, Ext{"a.eg", 0}, Ext{"a.egox", 0}, Ext{"", 0}}) {
    EXPECT_EQ(c.expected, libtavimg_is_image_file(c.name)) << c.name;
  }
  EXPECT_EQ(0, libtavimg_is_image_file(nullptr));

  struct Cmp {
    const char* a;
    const char* b;
    size_t n;
    int sign;
  };
  for (const Cmp c : {Cmp{"ImBackup", "imbackup", 8, 0}, Cmp{"abc", "abd", 2, 0}, Cmp{"abc", "abd", 3, -1},
                      Cmp{"b", "A", 1, 1}, Cmp{"ab", "ab", 10, 0}, Cmp{"ab", "abc", 10, -1}}) {
    const int r = libtavimg_my_strnicmp(c.a, c.b, c.n);
    EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.a << " " << c.b << " " << c.n;
  }
}

}  // namespace
}  // namespace tav::test
