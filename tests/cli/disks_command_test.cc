// `tav disks` on the sample disk image and on files that are not disks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/cli/cli_test_support.h"

namespace tav::cli_test {
namespace {

class DisksCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    disk_ = dir_.file("sample.img");
    const std::string cmd = std::string("bash '") + TAV_SOURCE_DIR + "/tests/fixtures/make_sample_disk.sh' '" +
                            disk_ + "' >/dev/null";
    const int rc = std::system(cmd.c_str());
    if (!WIFEXITED(rc) || WEXITSTATUS(rc) == 3) GTEST_SKIP() << "sfdisk, dosfstools, mtools or e2fsprogs missing";
    ASSERT_EQ(WEXITSTATUS(rc), 0);
  }

  TempDir dir_;
  std::string disk_;
};

TEST_F(DisksCommandTest, SampleDiskShowsBothFileSystems) {
  const RunResult r = run_tav(dir_, {"disks", disk_});
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("table MBR"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(disk_ + "@2048"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAT32"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ext4"), std::string::npos) << r.out;
}

TEST_F(DisksCommandTest, JsonCarriesLayoutAndUsage) {
  const RunResult r = run_tav(dir_, {"disks", "--json", disk_});
  ASSERT_TRUE(r.exited) << r.err;
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // The fixture's layout: FAT32 at 2048 for 81920 sectors, bootable; ext4 at 83968 to the end.
  for (const char* fact : {"\"table\": \"MBR\"", "\"start\": 2048", "\"sectors\": 81920", "\"type\": 12",
                           "\"bootable\": true", "\"start\": 83968", "\"sectors\": 47104", "\"type\": 131",
                           "\"file_system\": \"FAT32\"", "\"file_system\": \"ext4\"", "\"label\": \"sampleext\"",
                           "\"mount_point\": null"}) {
    EXPECT_NE(r.out.find(fact), std::string::npos) << fact << "\n" << r.out;
  }
}

TEST_F(DisksCommandTest, FilesThatAreNotDisksFailByName) {
  const std::string tiny = dir_.file("tiny.img");
  std::ofstream(tiny) << "x";
  const std::string missing = dir_.file("missing.img");
  for (const std::string& name : {tiny, missing, dir_.file("")}) {
    const RunResult r = run_tav(dir_, {"disks", name});
    ASSERT_TRUE(r.exited) << name;
    EXPECT_EQ(r.exit_status, 1) << name;
    EXPECT_NE(r.err.find("tav disks: "), std::string::npos) << r.err;
  }
  // The good one is still shown next to a bad one.
  const RunResult mixed = run_tav(dir_, {"disks", missing, disk_});
  EXPECT_EQ(mixed.exit_status, 1);
  EXPECT_NE(mixed.out.find("table MBR"), std::string::npos) << mixed.out;
  EXPECT_EQ(run_tav(dir_, {"disks", "--bogus"}).exit_status, 2);
}

}  // namespace
}  // namespace tav::cli_test
