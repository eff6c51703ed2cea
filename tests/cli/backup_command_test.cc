// `tav backup`: the option table, and the refusals that must happen before anything is written
// (a source that is not a disk, a partition that is not there, a storage that does not load, a
// kind of snapshot that has nothing to extend).
#include "cli/backup_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "cli/backup_args.h"
#include "format/ego_format.h"
#include "tests/cli/cli_test_support.h"

namespace tav::cli_test {
namespace {

using cli::BackupArgs;

TEST(BackupArgsTest, OptionTable) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool ok;
    const char* error;  // part of the message when !ok
    BackupArgs expected;
  };
  auto with = [](auto change) {
    BackupArgs a;
    a.source = "disk.img";
    a.directory = "store";
    a.base_name = "imbackup";
    change(a);
    return a;
  };
  const Case cases[] = {
      {"defaults", {"disk.img", "store"}, true, "", with([](BackupArgs&) {})},
      {"every option",
       {"--name", "nightly", "disk.img", "--partition", "3", "--partition", "1", "--type", "differential", "--compress",
        "high", "--volume-size", "650M", "--comment", "before the upgrade", "--no-snapshot", "store"},
       true, "", with([](BackupArgs& a) {
         a.base_name = "nightly";
         a.partitions = {3, 1};
         a.backup_type = img::kBackupDifferential;
         a.compress_mode = img::kCompressHigh;
         a.volume_size_bytes = 650ull << 20;
         a.comment = "before the upgrade";
         a.no_snapshot = true;
       })},
      {"repeated partition once", {"disk.img", "store", "--partition", "2", "--partition", "2"}, true, "",
       with([](BackupArgs& a) { a.partitions = {2}; })},
      {"incremental, no compression", {"disk.img", "store", "--type", "incremental", "--compress", "none"}, true, "",
       with([](BackupArgs& a) {
         a.backup_type = img::kBackupIncremental;
         a.compress_mode = img::kCompressNone;
       })},
      {"full", {"disk.img", "store", "--type", "full"}, true, "",
       with([](BackupArgs& a) { a.backup_type = img::kBackupFull; })},
      {"empty comment", {"disk.img", "store", "--comment", ""}, true, "", with([](BackupArgs&) {})},
      {"operand after --", {"--", "-disk.img", "store"}, true, "",
       with([](BackupArgs& a) { a.source = "-disk.img"; })},
      {"volume size in bytes", {"disk.img", "store", "--volume-size", "1048576"}, true, "",
       with([](BackupArgs& a) { a.volume_size_bytes = 1048576; })},
      {"volume size 4G-style suffix", {"disk.img", "store", "--volume-size", "4GiB"}, true, "",
       with([](BackupArgs& a) { a.volume_size_bytes = 4ull << 30; })},
      {"one operand", {"disk.img"}, false, "source disk and the storage directory", {}},
      {"three operands", {"disk.img", "store", "extra"}, false, "source disk and the storage directory", {}},
      {"empty directory", {"disk.img", ""}, false, "must not be empty", {}},
      {"unknown option", {"disk.img", "store", "--fast"}, false, "unknown option '--fast'", {}},
      {"partition zero", {"disk.img", "store", "--partition", "0"}, false, "number from 1", {}},
      {"partition not a number", {"disk.img", "store", "--partition", "2b"}, false, "number from 1", {}},
      {"partition without value", {"disk.img", "store", "--partition"}, false, "needs a value", {}},
      {"bad type", {"disk.img", "store", "--type", "mirror"}, false, "full, incremental or differential", {}},
      {"bad compression", {"disk.img", "store", "--compress", "max"}, false, "none, normal or high", {}},
      {"volume size below 1M", {"disk.img", "store", "--volume-size", "1023K"}, false, "at least 1M", {}},
      {"volume size unit unknown", {"disk.img", "store", "--volume-size", "10X"}, false, "at least 1M", {}},
      {"volume size overflows", {"disk.img", "store", "--volume-size", "20000000T"}, false, "at least 1M", {}},
      {"name is a path", {"disk.img", "store", "--name", "../x"}, false, "not a path", {}},
      {"comment not UTF-8", {"disk.img", "store", "--comment", "caf\xE9"}, false, "not UTF-8", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackupArgs got;
    std::string error;
    const bool ok = cli::parse_backup_args(c.args, &got, &error);
    ASSERT_EQ(ok, c.ok) << error;
    if (!ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(got.source, c.expected.source);
    EXPECT_EQ(got.directory, c.expected.directory);
    EXPECT_EQ(got.base_name, c.expected.base_name);
    EXPECT_EQ(got.partitions, c.expected.partitions);
    EXPECT_EQ(got.backup_type, c.expected.backup_type);
    EXPECT_EQ(got.compress_mode, c.expected.compress_mode);
    EXPECT_EQ(got.volume_size_bytes, c.expected.volume_size_bytes);
    EXPECT_EQ(got.comment, c.expected.comment);
    EXPECT_EQ(got.no_snapshot, c.expected.no_snapshot);
  }
}

TEST(BackupArgsTest, SizeSuffixes) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t bytes;
  };
  const Case cases[] = {
      {"1", true, 1},
      {"2k", true, 2048},
      {"3M", true, 3ull << 20},
      {"5MB", true, 5ull << 20},
      {"4G", true, 4ull << 30},
      {"1t", true, 1ull << 40},
      {"18446744073709551615", true, UINT64_MAX},
      {"16777215T", true, 16777215ull << 40},
      {"16777216T", false, 0},  // 2^64
      {"18446744073709551616", false, 0},
      {"0", false, 0},
      {"", false, 0},
      {"M", false, 0},
      {"-1M", false, 0},
      {"1.5G", false, 0},
      {"1 G", false, 0},
      {"1GX", false, 0},
      {"1P", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t bytes = 0;
    EXPECT_EQ(cli::parse_size_bytes(c.text, &bytes), c.ok);
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes);
    }
  }
}

// Refusals through the built binary, on the sample disk (FAT32 #1, ext4 #2). None of them may
// create the destination or write a volume file.
class BackupRefusalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    disk_ = dir_.file("sample.img");
    const std::string cmd = std::string("bash '") + TAV_SOURCE_DIR + "/tests/fixtures/make_sample_disk.sh' '" + disk_ +
                            "' >/dev/null";
    const int rc = std::system(cmd.c_str());
    if (!WIFEXITED(rc) || WEXITSTATUS(rc) == 3) GTEST_SKIP() << "sfdisk, dosfstools, mtools or e2fsprogs missing";
    ASSERT_EQ(WEXITSTATUS(rc), 0);
  }

  TempDir dir_;
  std::string disk_;
};

TEST_F(BackupRefusalTest, NothingWrittenOnRefusal) {
  // A storage directory whose only volume file is not one.
  const std::string junk = dir_.file("junk");
  ASSERT_EQ(::mkdir(junk.c_str(), 0700), 0);
  ASSERT_TRUE(write_file(junk + "/imbackup0.ego", std::vector<uint8_t>(4096, 0x5A)));
  const std::string empty = dir_.file("empty");
  ASSERT_EQ(::mkdir(empty.c_str(), 0700), 0);
  const std::string fresh = dir_.file("fresh/store");
  const std::string plain_file = dir_.file("plain.txt");
  ASSERT_TRUE(write_file(plain_file, {'x'}));

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"character device", {"backup", "/dev/null", fresh}, 1, "not a block device or a disk image file"},
      {"directory as source", {"backup", empty, fresh}, 1, "not a block device or a disk image file"},
      {"missing source", {"backup", dir_.file("nothere.img"), fresh}, 1, "No such file"},
      {"no such partition", {"backup", disk_, fresh, "--partition", "7"}, 2, "partition 7 does not exist"},
      {"one good, one missing", {"backup", disk_, fresh, "--partition", "1", "--partition", "5"}, 2,
       "partition 5 does not exist"},
      // The sample disk's first partition starts at 2048: 1 MiB of boot sectors, twice a volume.
      {"volume smaller than its descriptors", {"backup", disk_, fresh, "--volume-size", "2M"}, 2, "at least 3M"},
      {"incremental without storage", {"backup", disk_, fresh, "--type", "incremental"}, 1, "holds no snapshot"},
      {"differential in empty dir", {"backup", disk_, empty, "--type", "differential"}, 1, "holds no snapshot"},
      {"storage that does not load", {"backup", disk_, junk}, 1, "do not load"},
      {"full beside a storage that does not load", {"backup", disk_, junk, "--type", "full"}, 1, "do not load"},
      {"directory under a file", {"backup", disk_, plain_file + "/store"}, 1, "not a directory"},
      {"usage", {"backup", disk_}, 2, "usage: tav backup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run_tav(dir_, c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, c.status) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("fresh")));
  EXPECT_TRUE(std::filesystem::is_empty(empty));
  std::vector<std::string> junk_files;
  for (const auto& e : std::filesystem::directory_iterator(junk)) junk_files.push_back(e.path().filename().string());
  EXPECT_EQ(junk_files, std::vector<std::string>{"imbackup0.ego"});
}

TEST(BackupHelpTest, ListedAndDescribed) {
  TempDir dir;
  const RunResult help = run_tav(dir, {"--help"});
  EXPECT_NE(help.out.find("backup"), std::string::npos) << help.out;
  const RunResult own = run_tav(dir, {"backup", "--help"});
  EXPECT_EQ(own.exit_status, 0);
  for (const char* option : {"--partition", "--type", "--compress", "--volume-size", "--comment", "--no-snapshot"}) {
    EXPECT_NE(own.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace tav::cli_test
