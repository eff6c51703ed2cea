// Sector I/O on image-file disks: bounds, modes, and that nothing is written without kOpenWrite.
#include "disk/device_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::TempDir;

std::string make_image(const TempDir& dir, uint64_t sectors) {
  std::string path = dir.file("disk.img");
  std::vector<char> data(sectors * kSectorSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i / kSectorSize);
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
  return path;
}

TEST(DeviceIoTest, PartitionReadsThroughTheDiskAtItsOffset) {
  TempDir dir;
  auto disk = test::file_disk(make_image(dir, 64));
  BACKUP_PARTITION_INFO* part = test::add_file_partition(disk.get(), 10, 20, 0x83);
  ASSERT_EQ(part->ops->open(part, kOpenRead), 0);
  std::vector<uint8_t> buf(2 * kSectorSize);
  ASSERT_EQ(part->ops->read_sectors(part, 3, 2, buf.data()), 2);
  EXPECT_EQ(buf[0], 13);
  EXPECT_EQ(buf[kSectorSize], 14);
  // Past the end of the partition, though inside the disk.
  EXPECT_EQ(part->ops->read_sectors(part, 19, 2, buf.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  uint8_t byte = 0;
  EXPECT_EQ(part->ops->pos_read(part, 20 * kSectorSize - 1, 1, &byte), 1);
  EXPECT_EQ(byte, 29);
  part->ops->close(part);
}

TEST(DeviceIoTest, NothingIsWrittenWithoutWriteMode) {
  TempDir dir;
  const std::string path = make_image(dir, 32);
  const std::vector<uint8_t> before = test::file_bytes(path);
  auto disk = test::file_disk(path);
  BACKUP_PARTITION_INFO* part = test::add_file_partition(disk.get(), 4, 8, 0x83);
  std::vector<uint8_t> zeros(kSectorSize, 0);

  ASSERT_EQ(part->ops->open(part, kOpenRead), 0);
  EXPECT_EQ(part->ops->write_sectors(part, 0, 1, zeros.data()), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(part->ops->pos_write(part, 0, 1, zeros.data()), -1);
  part->ops->close(part);
  // Not open at all.
  EXPECT_EQ(part->ops->write_sectors(part, 0, 1, zeros.data()), -1);

  ASSERT_EQ(disk->ops->open(disk.get(), kOpenRead), 0);
  EXPECT_EQ(disk->ops->write_sectors(disk.get(), 0, 1, zeros.data()), -1);
  EXPECT_EQ(errno, EBADF);
  disk->ops->close(disk.get());
  EXPECT_EQ(test::file_bytes(path), before);
}

TEST(DeviceIoTest, WritesStayInsideThePartition) {
  TempDir dir;
  const std::string path = make_image(dir, 32);
  auto disk = test::file_disk(path);
  BACKUP_PARTITION_INFO* part = test::add_file_partition(disk.get(), 4, 8, 0x83);
  std::vector<uint8_t> ones(2 * kSectorSize, 0xAB);
  ASSERT_EQ(part->ops->open(part, kOpenWrite), 0);
  EXPECT_EQ(part->ops->write_sectors(part, 7, 2, ones.data()), -1);  // would cross the end
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(part->ops->write_sectors(part, 6, 2, ones.data()), 2);
  EXPECT_EQ(part->ops->finish(part), 0);
  part->ops->close(part);
  const std::vector<uint8_t> after = test::file_bytes(path);
  EXPECT_EQ(after[10 * kSectorSize], 0xAB);
  EXPECT_EQ(after[11 * kSectorSize + 511], 0xAB);
  EXPECT_EQ(after[12 * kSectorSize], 12);  // the next partition's first sector is untouched
  EXPECT_EQ(after[9 * kSectorSize], 9);
  EXPECT_EQ(after.size(), 32 * kSectorSize);  // never grown
}

TEST(DeviceIoTest, RefusesWhatIsNotADiskOrFile) {
  TempDir dir;
  errno = 0;
  EXPECT_EQ(open_device(dir.path(), kOpenRead), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(open_device("/dev/null", kOpenRead), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(open_device(dir.file("missing.img"), kOpenWrite), -1);
  EXPECT_EQ(errno, ENOENT);  // never created
  EXPECT_FALSE(test::have_tools({"no-such-program-xyz"}));
}

}  // namespace
}  // namespace tav::disk
