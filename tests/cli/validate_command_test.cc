// `tav validate` on a storage written by the real writer: clean snapshots exit 0, a damaged unit
// exits 1 with the reader's message naming the volume, wrong use exits 2, and a Ctrl-C while the
// damaged unit's question is open on the terminal exits 130.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "format/volume_inspector.h"
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
  // A copy of the storage with a byte of the full snapshot's first volume flipped: the middle of
  // that volume lies inside partition A's units, which both snapshots read. *file: that volume.
  std::string damaged_copy(std::string* file) {
    const std::string dir = scratch_.file("copy");
    std::filesystem::copy(storage_->dir, dir);
    *file = dir + "/imbackup" + std::to_string(storage_->full.first_vol) + ".ego";
    std::vector<uint8_t> bytes = read_bytes(*file);
    if (bytes.size() <= 200000u) return "";
    bytes[100000] ^= 0x5A;
    return write_file(*file, bytes) ? dir : "";
  }
  // A copy of the storage whose first unit of partition A has its zlib stream damaged and the
  // CRC of its stored bytes cleared (0: not checked), so that only inflating or the CRC of the
  // inflated data finds the damage: then the reader asks Abort/Retry/Ignore.
  std::string askable_damaged_copy() {
    const std::string dir = scratch_.file("askable");
    std::error_code ec;
    std::filesystem::copy(storage_->dir, dir, ec);
    if (ec) return "";
    const std::string first = dir + "/imbackup" + std::to_string(storage_->full.first_vol) + ".ego";
    img::VolumeReport report;
    if (!img::inspect_volume(first, {}, &report).is_ok() || report.unit_infos.empty()) return "";
    std::vector<uint8_t> bytes = read_bytes(first);
    const uint64_t unit = report.unit_infos[0].record.seg_start;
    if (unit + 400 > bytes.size()) return "";
    for (uint64_t i = unit + 100; i < unit + 400; ++i) bytes[i] ^= 0x5A;
    static const uint8_t kEnd[] = {'I', 'O', 'L', 'F'};
    const auto end = std::search(bytes.begin() + std::ptrdiff_t(unit + 4), bytes.end(), std::begin(kEnd), std::end(kEnd));
    if (end + 12 > bytes.end()) return "";
    std::fill(end + 8, end + 12, 0);
    return write_file(first, bytes) ? dir : "";
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
  std::string file;
  const std::string dir = damaged_copy(&file);
  ASSERT_FALSE(dir.empty());
  for (const char* snapshot : {"1", "2"}) {
    SCOPED_TRACE(snapshot);
    const RunResult r = validate({dir, "--snapshot", snapshot});
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_NE(r.err.find(file), std::string::npos) << describe(r);
    EXPECT_NE(r.err.find("does not validate"), std::string::npos) << describe(r);
  }
}

// The question about the damaged unit is asked on a pseudo-terminal; SIGINT or SIGTERM while it
// is open ends it with Abort, which fails the run, and the run still counts as cancelled.
TEST_F(ValidateCommandTest, SignalDuringQuestionCancels) {
  const std::string dir = askable_damaged_copy();
  ASSERT_FALSE(dir.empty());
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
    const pid_t pid = start_tav(scratch_, {"validate", dir, "--snapshot", "1"}, ::ptsname(master));
    ASSERT_GT(pid, 0);
    std::string seen;
    int status = 0;
    bool ended = false;
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
      pollfd p{master, POLLIN, 0};
      if (!ended && ::poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0) {
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) seen.append(buf, size_t(n));
      }
      if (!signalled && seen.find("[a]bort/[R]etry/[i]gnore") != std::string::npos) {
        signalled = ::kill(pid, signal_number) == 0;
      }
    }
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ::close(master);
    const RunResult r = collect_run(scratch_, status);
    ASSERT_TRUE(signalled) << describe(r) << "\n--- terminal ---\n" << seen;
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 130) << describe(r);
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << describe(r);
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
