// The MOUNT_INFORMATION record: a hand-written golden record decoded field by field and encoded
// back to the same bytes, and the folder / base-name strings in `path`.
#include "daemons/tavmount/protocol/mount_info.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace tav::mount {
namespace {

TEST(MountInfoRecord, GoldenBytesDecodeAndEncodeBack) {
  MountInfoBytes bytes{};
  // Written from the layout: every field a distinct value, little-endian.
  const uint8_t head[] = {
      0x47, 0x00,                                      // drive_letter 'G'
      0x04, 0x00, 0x00, 0x00,                          // error 4
      0x07, 0x00, 0x00, 0x00,                          // snap_seq 7
      0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // snap_time -16
      0x78, 0x56, 0x34, 0x12,                          // signature 0x12345678
      0x02, 0x00, 0x00, 0x00,                          // min_seq 2
      0x09, 0x00, 0x00, 0x00,                          // max_seq 9
      0x04, 0x00,                                      // dir_bytes 4
      0x02, 0x00,                                      // name_bytes 2
      '/', 0, 'd', 0, 'x', 0,                          // path "/d" + "x"
  };
  std::copy(std::begin(head), std::end(head), bytes.begin());
  bytes[kMountInfoBytes - 1] = 0xAB;  // the last byte of `path` travels too

  const MountInformation info = decode_mount_info(bytes);
  EXPECT_EQ(info.drive_letter, u'G');
  EXPECT_EQ(info.error, 4u);
  EXPECT_EQ(info.snap_seq, 7u);
  EXPECT_EQ(info.snap_time, -16);
  EXPECT_EQ(info.signature, 0x12345678u);
  EXPECT_EQ(info.min_seq, 2u);
  EXPECT_EQ(info.max_seq, 9u);
  EXPECT_EQ(info.dir_bytes, 4u);
  EXPECT_EQ(info.name_bytes, 2u);
  std::string folder, base;
  ASSERT_TRUE(get_mount_path(info, &folder, &base));
  EXPECT_EQ(folder, "/d");
  EXPECT_EQ(base, "x");

  MountInfoBytes again{};
  encode_mount_info(info, &again);
  EXPECT_EQ(again, bytes);
}

TEST(MountInfoRecord, PathStringsAndReplyMessage) {
  MountInformation info;
  ASSERT_TRUE(set_mount_path(&info, "/srv/b\xC3\xA4" "ckups/", "imbackup"));
  EXPECT_EQ(info.dir_bytes, 2 * 13);  // "ä" is one UTF-16 unit
  EXPECT_EQ(info.name_bytes, 2 * 8);
  std::string folder, base;
  ASSERT_TRUE(get_mount_path(info, &folder, &base));
  EXPECT_EQ(folder, "/srv/b\xC3\xA4" "ckups/");
  EXPECT_EQ(base, "imbackup");

  // Strings that do not fit are refused; lengths running past `path` are not read.
  EXPECT_FALSE(set_mount_path(&info, std::string(1000, 'a'), std::string(8, 'b')));
  info.dir_bytes = 2000;
  info.name_bytes = 100;
  EXPECT_FALSE(get_mount_path(info, &folder, &base));

  // A reply's message is UTF-16LE up to its terminator.
  info.path.fill(0xEE);
  const char16_t text[] = u"ok!";
  for (size_t i = 0; i < 4; ++i) {
    info.path[2 * i] = uint8_t(text[i]);
    info.path[2 * i + 1] = 0;
  }
  EXPECT_EQ(reply_message(info), "ok!");
}

}  // namespace
}  // namespace tav::mount
