// `tav export` on a storage written by the real writer: every partition of both snapshots comes
// out equal to what the chain stored, unstored sectors as holes; refused output files, bad
// numbers and damaged data leave nothing behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "format/volume_inspector.h"
#include "tests/cli/cli_test_support.h"
#include "tests/cli/storage_fixture.h"

namespace tav::cli_test {
namespace {

// Runs `tav` in a session of its own whose controlling terminal is a pseudo-terminal, so the
// command asks there; every Abort/Retry/Ignore question is answered with `answer`. *questions
// counts them.
RunResult run_tav_answering(const TempDir& dir, const std::vector<std::string>& args, const std::string& answer,
                            int* questions) {
  *questions = 0;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return RunResult{};
  const pid_t pid = start_tav(dir, args, ::ptsname(master));
  if (pid < 0) return RunResult{};
  std::string seen;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0) {
      char buf[4096];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) seen.append(buf, size_t(n));
    }
    size_t at = 0;
    int asked = 0;
    while ((at = seen.find("[a]bort/[R]etry/[i]gnore", at)) != std::string::npos) ++asked, ++at;
    while (*questions < asked) {
      ++*questions;
      const std::string line = answer + "\n";
      if (::write(master, line.data(), line.size()) < 0) break;
    }
  }
  ::close(master);
  RunResult result = collect_run(dir, status);
  result.err += "\n--- terminal ---\n" + seen;
  return result;
}

class ExportCommandTest : public TwoSnapshotStorageTest {
 protected:
  RunResult export_part(const std::string& dir, int snapshot, int partition, const std::string& out,
                        std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--no", "export", dir, "--snapshot", std::to_string(snapshot),
                                     "--partition", std::to_string(partition), out};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tav(scratch_, args);
  }

  // The scratch directory's entries other than the captured output of the child.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const std::string& n : dir_entries(scratch_.file(""))) {
      if (n != "stdout.txt" && n != "stderr.txt") names.push_back(n);
    }
    return names;
  }

  TempDir scratch_;
};

TEST_F(ExportCommandTest, EveryPartitionOfEverySnapshotEqualsItsChain) {
  for (int snapshot = 1; snapshot <= 2; ++snapshot) {
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE("snapshot " + std::to_string(snapshot) + " partition " + std::to_string(k + 1));
      const std::string out = scratch_.file("part.img");
      const RunResult r = export_part(storage_->dir, snapshot, k + 1, out, {"--force"});
      ASSERT_TRUE(r.exited) << describe(r);
      ASSERT_EQ(r.exit_status, 0) << describe(r);
      const std::vector<uint8_t> expected = storage_->expected(snapshot, k);
      const std::vector<uint8_t> got = read_bytes(out);
      ASSERT_EQ(got.size(), expected.size());
      EXPECT_TRUE(got == expected);
    }
  }
  EXPECT_EQ(leftovers(), std::vector<std::string>{"part.img"});
}

TEST_F(ExportCommandTest, UnstoredSectorsAreHoles) {
  // B: 16 MiB of which 128 KiB were stored.
  const std::string out = scratch_.file("b.img");
  const RunResult r = export_part(storage_->dir, 1, 2, out);
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), 32768u * 512);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 2u << 20) << "blocks " << st.st_blocks;
  EXPECT_TRUE(read_bytes(out) == storage_->expected(1, 1));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ExportCommandTest, RefusalsLeaveNoFile) {
  const std::string existing = scratch_.file("existing.img");
  ASSERT_TRUE(write_file(existing, {'k', 'e', 'e', 'p'}));
  const std::string subdir = scratch_.file("subdir");
  ASSERT_EQ(::mkdir(subdir.c_str(), 0700), 0);
  const std::string fresh = scratch_.file("fresh.img");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string dir = storage_->dir;
  const Case cases[] = {
      {"existing file", {"export", dir, "--snapshot", "1", "--partition", "1", existing}, 1, "exists"},
      {"character device", {"export", dir, "--snapshot", "1", "--partition", "1", "/dev/null", "--force"}, 1,
       "is a device"},
      {"directory", {"export", dir, "--snapshot", "1", "--partition", "1", subdir, "--force"}, 1, "is a directory"},
      {"missing storage", {"export", scratch_.file("nothere"), "--snapshot", "1", "--partition", "1", fresh}, 1,
       "no such directory"},
      {"snapshot beyond", {"export", dir, "--snapshot", "3", "--partition", "1", fresh}, 1, "no snapshot 3"},
      {"partition beyond", {"export", dir, "--snapshot", "2", "--partition", "4", fresh}, 1, "no partition 4"},
      {"snapshot zero", {"export", dir, "--snapshot", "0", "--partition", "1", fresh}, 2, "numbers from 1"},
      {"partition not a number", {"export", dir, "--snapshot", "1", "--partition", "1x", fresh}, 2,
       "numbers from 1"},
      {"no partition", {"export", dir, "--snapshot", "1", fresh}, 2, "required"},
      {"no outfile", {"export", dir, "--snapshot", "1", "--partition", "1"}, 2, "output file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run_tav(scratch_, c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, c.status) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_text(existing), "keep");
  std::vector<std::string> left = leftovers();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"existing.img", "subdir"}));

  // --force replaces the existing file with the partition.
  const RunResult forced = export_part(dir, 1, 3, existing, {"--force"});
  ASSERT_EQ(forced.exit_status, 0) << describe(forced);
  EXPECT_TRUE(read_bytes(existing) == storage_->expected(1, 2));
}

// Copies the storage and damages the zlib stream of the first unit of partition A (the first
// data of the full snapshot's first volume). With `keep_crc` the unit's CRC of its compressed
// bytes gives the damage away before inflating (a plain failure); without it (a CRC of 0 is not
// checked) inflating or the CRC of the inflated data finds it, and the reader asks the user.
class DamagedStorage {
 public:
  DamagedStorage(const TwoSnapshotStorage& source, bool keep_crc) {
    dir_ = tmp_.file("store");
    std::error_code ec;
    std::filesystem::copy(source.dir, dir_, ec);
    if (ec) return;
    const std::string first = dir_ + "/imbackup" + std::to_string(source.full.first_vol) + ".ego";
    img::VolumeReport report;
    if (!img::inspect_volume(first, {}, &report).is_ok() || report.unit_infos.empty()) return;
    std::vector<uint8_t> bytes = read_bytes(first);
    const uint64_t unit = report.unit_infos[0].record.seg_start;
    if (unit + 400 > bytes.size()) return;
    for (uint64_t i = unit + 100; i < unit + 400; ++i) bytes[i] ^= 0x5A;
    if (!keep_crc) {
      static const uint8_t kEnd[] = {'I', 'O', 'L', 'F'};
      const auto end = std::search(bytes.begin() + std::ptrdiff_t(unit + 4), bytes.end(), std::begin(kEnd), std::end(kEnd));
      if (end + 12 > bytes.end()) return;
      std::fill(end + 8, end + 12, 0);
    }
    ok_ = write_file(first, bytes);
  }
  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }

 private:
  TempDir tmp_;
  std::string dir_;
  bool ok_ = false;
};

TEST_F(ExportCommandTest, DamagedUnitFailsAndLeavesNothing) {
  for (bool keep_crc : {true, false}) {
    SCOPED_TRACE(keep_crc ? "caught by the CRC of the stored unit" : "caught while inflating");
    DamagedStorage damaged(*storage_, keep_crc);
    ASSERT_TRUE(damaged.ok());
    // Both the full snapshot and the incremental that reads through it fail on A; --no answers
    // the reader's question with Abort.
    for (int snapshot : {1, 2}) {
      SCOPED_TRACE(snapshot);
      const std::string out = scratch_.file("a.img");
      const RunResult r = export_part(damaged.dir(), snapshot, 1, out);
      ASSERT_TRUE(r.exited) << describe(r);
      EXPECT_EQ(r.exit_status, 1) << describe(r);
      EXPECT_NE(r.err.find("not written"), std::string::npos) << r.err;
      EXPECT_TRUE(leftovers().empty()) << describe(r);
    }
    // A partition whose units are sound still exports.
    const RunResult other = export_part(damaged.dir(), 1, 3, scratch_.file("c.img"));
    EXPECT_EQ(other.exit_status, 0) << describe(other);
    EXPECT_TRUE(read_bytes(scratch_.file("c.img")) == storage_->expected(1, 2));
    ::unlink(scratch_.file("c.img").c_str());
  }
}

TEST_F(ExportCommandTest, AnswersOnTheTerminalDecideAboutDamagedData) {
  DamagedStorage damaged(*storage_, false);
  ASSERT_TRUE(damaged.ok());
  // Ignore goes on with the damaged unit (A's sectors 0-255) as zeros: the file is kept for the
  // user, but the export still fails. Abort stops it and removes the file.
  std::vector<uint8_t> with_hole = storage_->expected(1, 0);
  std::fill(with_hole.begin(), with_hole.begin() + 256 * 512, 0);
  struct Case {
    const char* answer;
    bool kept;
    const char* message;
  };
  for (const Case& c : {Case{"i", true, "hold zeros"}, Case{"a", false, "not written"}}) {
    SCOPED_TRACE(c.answer);
    const std::string out = scratch_.file("a.img");
    int questions = 0;
    const RunResult r = run_tav_answering(
        scratch_, {"export", damaged.dir(), "--snapshot", "1", "--partition", "1", out}, c.answer, &questions);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_GE(questions, 1) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << describe(r);
    if (c.kept) {
      EXPECT_TRUE(read_bytes(out) == with_hole);
      ::unlink(out.c_str());
    }
    EXPECT_TRUE(leftovers().empty());
  }
}

}  // namespace
}  // namespace tav::cli_test
