// `tav validate` on a storage written by the real writer: clean snapshots exit 0, a damaged unit
// exits 1 with the reader's message naming the volume, wrong use exits 2.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/cli_test_support.h"
#include "tests/cli/storage_fixture.h"

namespace tav::cli_test {
namespace {

class ValidateCommandTest : public TwoSnapshotStorageTest {
 protected:
  RunResult validate(std::vector<std::string> args) {
    args.insert(args.begin(), {"--no", "validate"});
    return run_tav(scratch_, args);
  }
  TempDir scratch_;
};

TEST_F(ValidateCommandTest, CleanSnapshotsValidate) {
  for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{{}, {"--snapshot", "1"}, {"--snapshot", "2"}}) {
    std::vector<std::string> args = {storage_->dir, "--name", "imbackup"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = validate(args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_NE(r.out.find(extra.empty() ? "snapshot 2" : "snapshot " + extra[1]), std::string::npos) << describe(r);
  }
}

TEST_F(ValidateCommandTest, DamagedUnitFailsNamingTheVolume) {
  const std::string dir = scratch_.file("copy");
  std::filesystem::copy(storage_->dir, dir);
  // The middle of the full snapshot's first volume lies inside partition A's units, which both
  // snapshots read.
  const std::string file = dir + "/imbackup" + std::to_string(storage_->full.first_vol) + ".ego";
  std::vector<uint8_t> bytes = read_bytes(file);
  ASSERT_GT(bytes.size(), 200000u);
  bytes[100000] ^= 0x5A;
  ASSERT_TRUE(write_file(file, bytes));
  for (const char* snapshot : {"1", "2"}) {
    SCOPED_TRACE(snapshot);
    const RunResult r = validate({dir, "--snapshot", snapshot});
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_NE(r.err.find(file), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find("does not validate"), std::string::npos) << describe(r);
  }
}

TEST_F(ValidateCommandTest, WrongUseAndMissingSnapshots) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, 2, "no storage directory"},
      {{storage_->dir, "--snapshot", "0"}, 2, "number from 1"},
      {{storage_->dir, "--bogus"}, 2, "unknown option"},
      {{storage_->dir, "--snapshot", "3"}, 1, "no snapshot 3"},
      {{scratch_.file("nothing-here")}, 1, "tav validate:"},
  };
  for (const Case& c : cases) {
    const RunResult r = validate(c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, c.status) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << describe(r);
  }
}

}  // namespace
}  // namespace tav::cli_test
