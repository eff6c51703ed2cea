// The daemon's file layer: failure texts with errno, the first failure kept, seeks only from the
// start, and the memory calls.
#include "daemons/tavmount/mount_file_layer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "daemons/tavmount/mount_report.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::mount {
namespace {

TEST(MountFileLayer, FailuresKeepTheFirstText) {
  sysutil_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  reset_mount_report("t.cc", 1, "test");
  EXPECT_EQ(mount_error_flag(), 0);
  EXPECT_EQ(mount_message(), "t.cc(1)-test: allocating debug info ok!");

  EXPECT_EQ(tav_try_file_open(dir.file("missing.ego").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(mount_error_flag(), 1);
  const std::string first = mount_message();
  EXPECT_NE(first.find("-tav_try_file_open.file open: status = 2\n"), std::string::npos) << first;
  EXPECT_EQ(tav_file_exists(dir.file("missing.ego").c_str()), 0);
  EXPECT_EQ(tav_try_file_open(dir.path().c_str(), 0), -1);  // a directory is not taken
  EXPECT_EQ(mount_message(), first);

  clear_mount_error();
  {
    std::ofstream f(dir.file("v.ego"), std::ios::binary);
    f << "0123456789";
  }
  const int fd = tav_try_file_open(dir.file("v.ego").c_str(), 2);  // any mode opens for reading
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "x", 1), -1);
  EXPECT_EQ(tav_get_file_size(fd), 10);
  EXPECT_EQ(tav_file_llseek(fd, 4, SEEK_SET), 4);
  char buffer[8] = {};
  EXPECT_EQ(tav_try_file_read(fd, buffer, 3, "v.ego"), 3u);
  EXPECT_EQ(std::string(buffer), "456");
  EXPECT_EQ(tav_file_get_position(fd), 7);
  EXPECT_EQ(mount_error_flag(), 0);
  for (int origin : {SEEK_CUR, SEEK_END}) EXPECT_EQ(tav_file_llseek(fd, 0, origin), -1);
  EXPECT_NE(mount_message().find("origin != SEEK_SET"), std::string::npos);
  EXPECT_EQ(tav_file_close(fd), 0);
}

TEST(MountFileLayer, MemoryCalls) {
  reset_mount_report("t.cc", 1, "test");
  char16_t* empty = mount_strdup(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], 0);
  mount_xfree(empty);
  char16_t* copy = mount_strdup(u"abc");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"abc");
  mount_xfree(copy);
  EXPECT_EQ(mount_strdup(nullptr), nullptr);
  EXPECT_NE(mount_message().find("null string pointer"), std::string::npos);
  auto* block = static_cast<uint8_t*>(mount_xmalloc(64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
  mount_xfree(block);
  mount_xfree(nullptr);
  char report[16] = "unchanged";
  EXPECT_EQ(mount_leak_report(report, sizeof report), 0);
  EXPECT_EQ(std::string(report), "unchanged");
}

}  // namespace
}  // namespace tav::mount
