// The command lines of `tav restore` and `tav clone` that are refused before anything is opened,
// and how a partition name splits into a path and a number.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/command_line.h"
#include "cli/partition_target.h"
#include "tests/cli/cli_test_support.h"

namespace tav::cli_test {
namespace {

using tav::cli::PartitionName;

TEST(PartitionNameTest, SplitsAtALastColonFollowedByDigits) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // A file whose own name ends in ":3" is named whole when the part before the colon is no file.
  const std::string colon_file = dir.file("disk:3");
  ASSERT_TRUE(write_file(colon_file, {0}));
  struct Case {
    std::string text;
    bool ok;
    std::string path;
    uint32_t number;
  };
  const Case cases[] = {
      {"/tmp/d.img:2", true, "/tmp/d.img", 2},
      {"/dev/sdb:12", true, "/dev/sdb", 12},
      {"d.img", true, "d.img", 0},
      {"/dev/disk/by-path/pci-0000:00:1f.2-ata-1", true, "/dev/disk/by-path/pci-0000:00:1f.2-ata-1", 0},
      {"d.img:", true, "d.img:", 0},
      {"d.img:x1", true, "d.img:x1", 0},
      {colon_file, true, colon_file, 0},
      {"d.img:0", false, "", 0},
      {"d.img:99999999999", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PartitionName name;
    ASSERT_EQ(tav::cli::parse_partition_name(c.text, &name), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(name.path, c.path);
    EXPECT_EQ(name.number, c.number);
  }
}

TEST(RestoreCommandLineTest, WrongUseIsRefusedWithTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"restore", "/tmp/store", "--snapshot", "1", "--partition", "1"},                 // no --to
      {"restore", "--snapshot", "1", "--partition", "1", "--to", "d.img:1"},            // no DIR
      {"restore", "/tmp/store", "--snapshot", "0", "--partition", "1", "--to", "d.img"},  // N from 1
      {"restore", "/tmp/store", "--snapshot", "1", "--partition", "1", "--to", "d.img", "--force"},
      {"clone", "a.img:1"},
      {"clone", "a.img:1", "b.img:1", "c.img:1"},
      {"clone", "a.img:1", "b.img:1", "--restore-mbr"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " with " + std::to_string(args.size() - 1) + " arguments");
    std::ostringstream out, err;
    EXPECT_EQ(tav::cli::run_command_line(args, out, err), tav::cli::kExitUsage);
    EXPECT_TRUE(out.str().empty()) << out.str();
    EXPECT_NE(err.str().find("usage: tav " + args[0]), std::string::npos) << err.str();
  }
}

}  // namespace
}  // namespace tav::cli_test
