// `tav backup` end to end through the built binary, on disk images made by
// tests/fixtures/test_disk.sh (FAT32, ext4 and NTFS on MBR and GPT): a full snapshot, files
// changed, an incremental one, files changed again, a differential one; every partition of every
// snapshot exported with `tav export` must pass its file system's check, hold the files of its
// time and equal the source of its time over every used sector, with the paging and hibernation
// files left out. A cancel by signal must leave the storage as it was; a full destination must
// fail and leave nothing.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "core/extent_vector.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "tests/cli/cli_test_support.h"
#include "tests/cli/disk_fixture.h"
#include "tests/cli/json_reader.h"

namespace tav::cli_test {
namespace {

class BackupEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

  RunResult tav(const std::vector<std::string>& args) { return run_tav(tmp_, args); }

  // Saves the disk and the file mirror as they are now, as step `step`.
  void save_step(int step) {
    ASSERT_EQ(shell("cp --sparse=always " + shell_quote(disk_) + " " + shell_quote(disk_at(step))), 0);
    ASSERT_EQ(shell("cp -a " + shell_quote(state_) + " " + shell_quote(state_at(step))), 0);
  }
  std::string disk_at(int step) const { return tmp_.file("disk" + std::to_string(step) + ".img"); }
  std::string state_at(int step) const { return tmp_.file("state" + std::to_string(step)); }

  JsonValue list_json(const std::string& store) {
    const RunResult r = tav({"list", store, "--json"});
    JsonValue v;
    EXPECT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_TRUE(JsonReader::parse(r.out, &v)) << r.out;
    return v;
  }

  // Exports partition `part` of snapshot `snapshot` and checks it against the source of step
  // `step`: the file system's check, its files, every used sector, zeros for excluded files.
  void check_export(const std::string& store, int snapshot, const TestPartition& part, int step,
                    const std::string& out) {
    SCOPED_TRACE("snapshot " + std::to_string(snapshot) + " partition " + std::to_string(part.number) + " (" +
                 part.fs + ")");
    const RunResult r = tav({"export", store, "--snapshot", std::to_string(snapshot), "--partition",
                             std::to_string(part.number), "--force", out});
    ASSERT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_EQ(disk_tool("check " + shell_quote(out) + " " + part.fs), 0) << "the file system check failed";

    const std::string files_dir = tmp_.file("files");
    fs::remove_all(files_dir);
    const std::string expected_dir = state_at(step) + "/" + part.fs;
    ASSERT_EQ(disk_tool("files " + shell_quote(out) + " " + part.fs + " " + shell_quote(files_dir) + " " + shell_quote(expected_dir)), 0);
    expect_same_files(files_dir, expected_dir, ExcludedContent::kZeros);

    SourceFacts facts;
    ASSERT_TRUE(source_facts(disk_at(step), part.number, &facts).is_ok());
    const std::vector<uint8_t> source = read_range(disk_at(step), facts.first_sector * 512, facts.sector_count * 512);
    const std::vector<uint8_t> exported = read_all(out);
    ASSERT_EQ(exported.size(), source.size());
    uint64_t compared = 0, differing = 0, stored_excluded = 0, first_bad = UINT64_MAX;
    for (uint64_t s = 0; s < facts.sector_count; ++s) {
      const uint8_t* e = &exported[s * 512];
      if (facts.excluded[s]) {
        if (std::any_of(e, e + 512, [](uint8_t b) { return b != 0; })) ++stored_excluded;
      } else if (facts.used[s]) {
        ++compared;
        if (std::memcmp(e, &source[s * 512], 512) != 0) {
          ++differing;
          first_bad = std::min(first_bad, s);
        }
      }
    }
    EXPECT_GT(compared, 2000u) << "the disk library reported almost nothing in use";
    EXPECT_EQ(differing, 0u) << "used sectors differ from the source, the first at " << first_bad;
    EXPECT_EQ(stored_excluded, 0u) << "sectors of pagefile.sys / hiberfil.sys were stored";
    if (std::string(part.fs) != "ext") {
      EXPECT_GT(facts.excluded_sectors, 4000u);
    }
  }

  TempDir tmp_;
  std::string disk_ = tmp_.file("disk.img");
  std::string state_ = tmp_.file("state");
};

class BackupChainTest : public BackupEndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(BackupChainTest, EverySnapshotExportsAsTheSourceWas) {
  const int made = disk_tool("make " + shell_quote(disk_) + " " + GetParam() + " " + shell_quote(state_), true);
  if (made == 3) GTEST_SKIP() << "a tool of sfdisk, dosfstools, mtools, e2fsprogs or ntfs-3g is missing";
  ASSERT_EQ(made, 0);
  const std::string store = tmp_.file("backups/store");  // made by the command, parents too

  struct Run {
    std::vector<std::string> extra;
    const char* kind;
  };
  const Run runs[] = {
      {{}, "full"},
      {{}, "incremental"},  // the default once the storage exists
      // Split into volumes of at most 3 MiB (2 MiB of each are the disk's boot sectors, twice).
      {{"--type", "differential", "--comment", "second change", "--volume-size", "3M"}, "differential"},
  };
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (step > 0) {
      ASSERT_EQ(disk_tool("change " + shell_quote(disk_) + " " + std::to_string(step) + " " + shell_quote(state_), true), 0);
    }
    save_step(step);
    std::vector<std::string> args = {"backup", disk_, store};
    args.insert(args.end(), runs[step].extra.begin(), runs[step].extra.end());
    const RunResult r = tav(args);
    ASSERT_EQ(r.exit_status, 0) << describe(r);
    const std::string summary = "snapshot " + std::to_string(step + 1) + " (" + runs[step].kind + ", 3 partitions)";
    // Output to a file holds the result lines only, no progress.
    EXPECT_EQ(r.out.rfind(summary, 0), 0u) << r.out;
  }
  struct stat st {};
  ASSERT_EQ(::stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const JsonValue list = list_json(store);
  const JsonValue& snaps = list["snapshots"];
  ASSERT_EQ(snaps.items.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(snaps[size_t(i)]["kind"].str(), runs[i].kind);
    EXPECT_TRUE(snaps[size_t(i)]["readable"].boolean);
  }
  EXPECT_EQ(snaps[2]["comment"].str(), "second change");
  EXPECT_GT(snaps[2]["last_volume"].u64(), snaps[2]["first_volume"].u64());
  for (uint64_t v = snaps[2]["first_volume"].u64(); v <= snaps[2]["last_volume"].u64(); ++v) {
    EXPECT_LE(fs::file_size(store + "/imbackup" + std::to_string(v) + ".ego"), 3u << 20) << "volume " << v;
  }

  // What each snapshot stored: the full one the used sectors less the excluded files, the later
  // ones only what changed.
  for (const TestPartition& part : kPartitions) {
    SCOPED_TRACE(part.fs);
    const JsonValue& full_part = snaps[0]["disks"][0]["partitions"][part.number - 1];
    const JsonValue& incr_part = snaps[1]["disks"][0]["partitions"][part.number - 1];
    SourceFacts facts;
    ASSERT_TRUE(source_facts(disk_at(0), part.number, &facts).is_ok());
    const uint64_t full_bytes = full_part["original_bytes"].u64();
    // Data goes in whole compress units: the last one of a partition may be padded.
    EXPECT_LE(full_bytes, (facts.used_sectors - facts.excluded_sectors) * 512 + 131072);
    EXPECT_GT(full_bytes, 0u);
    EXPECT_LT(incr_part["original_bytes"].u64() * 2, full_bytes) << "the incremental stored more than the changes";
  }

  const std::string out = tmp_.file("export.img");
  for (int snapshot = 1; snapshot <= 3; ++snapshot) {
    for (const TestPartition& part : kPartitions) check_export(store, snapshot, part, snapshot - 1, out);
  }

  // The differential depends on the full snapshot only: without the incremental's volumes it
  // still exports as the source of its time.
  const std::string aside = tmp_.file("aside");
  ASSERT_EQ(::mkdir(aside.c_str(), 0700), 0);
  for (uint64_t v = snaps[1]["first_volume"].u64(); v <= snaps[1]["last_volume"].u64(); ++v) {
    const std::string name = "imbackup" + std::to_string(v) + ".ego";
    fs::rename(store + "/" + name, aside + "/" + name);
  }
  // The storage now lists it as its second snapshot.
  ASSERT_EQ(list_json(store)["snapshots"].items.size(), 2u);
  for (const TestPartition& part : kPartitions) check_export(store, 2, part, 2, out);
}

INSTANTIATE_TEST_SUITE_P(Tables, BackupChainTest, ::testing::Values("mbr", "gpt"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// The storage directory's files with their content.
std::map<std::string, std::vector<uint8_t>> directory_content(const std::string& dir) { return tree(dir); }

TEST_F(BackupEndToEnd, SignalCancelsAndLeavesTheStorageAsItWas) {
  const std::string big = tmp_.file("big.img");
  const int made = disk_tool("big " + shell_quote(big) + " 256", true);
  if (made == 3) GTEST_SKIP() << "sfdisk or e2fsprogs missing";
  ASSERT_EQ(made, 0);
  const std::string sample = tmp_.file("sample.img");
  ASSERT_EQ(shell("bash " + shell_quote(std::string(TAV_SOURCE_DIR) + "/tests/fixtures/make_sample_disk.sh") + " " +
                  shell_quote(sample) + " >/dev/null"),
            0);
  // A storage with one snapshot of another disk, and a file of the user's beside it.
  const std::string store = tmp_.file("store");
  const RunResult first = tav({"backup", sample, store});
  ASSERT_EQ(first.exit_status, 0) << describe(first);
  ASSERT_TRUE(write_file(store + "/notes.txt", {'k', 'e', 'e', 'p'}));
  const auto before = directory_content(store);

  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    const pid_t pid = start_tav(tmp_, {"backup", big, store, "--type", "full", "--compress", "high"});
    ASSERT_GT(pid, 0);
    // Wait until the run writes data: a new volume file past its first MiB.
    int status = 0;
    bool ended = false;
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
      for (const auto& e : fs::directory_iterator(store)) {
        if (before.count(e.path().filename().string()) == 0 && e.is_regular_file() && e.file_size() > (1u << 20)) {
          signalled = ::kill(pid, signal_number) == 0;
        }
      }
      if (signalled) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
      if (!signalled) ::kill(pid, SIGKILL);
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    const RunResult r = collect_run(tmp_, status);
    ASSERT_TRUE(signalled) << "the run ended before it wrote 1 MiB: " << describe(r);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 130) << describe(r);
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
    const auto after = directory_content(store);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : after) names.push_back(name);
    std::vector<std::string> names_before;
    for (const auto& [name, bytes] : before) names_before.push_back(name);
    EXPECT_EQ(names, names_before);
    EXPECT_TRUE(after == before) << "the storage changed";
  }
  const JsonValue list = list_json(store);
  EXPECT_EQ(list["snapshots"].items.size(), 1u);
}

// A tmpfs mounted for the test and unmounted in every outcome.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& path, const char* size) : path_(path) {
    if (::mkdir(path.c_str(), 0700) != 0) return;
    const std::string options = std::string("size=") + size + ",mode=0700";
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_ && ::umount2(path_.c_str(), 0) != 0) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST_F(BackupEndToEnd, FullDestinationFailsAndLeavesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs as the destination needs root";
  const int made = disk_tool("make " + shell_quote(disk_) + " mbr " + shell_quote(state_), true);
  if (made == 3) GTEST_SKIP() << "a tool of sfdisk, dosfstools, mtools, e2fsprogs or ntfs-3g is missing";
  ASSERT_EQ(made, 0);
  const std::string mount_point = tmp_.file("small");
  SmallTmpfs small(mount_point, "2m");  // the disk holds more than 8 MiB of random data
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string store = mount_point + "/store";
  const RunResult r = tav({"backup", disk_, store, "--compress", "none"});
  ASSERT_TRUE(r.exited) << describe(r);
  EXPECT_EQ(r.exit_status, 1) << describe(r);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  std::vector<std::string> left;
  if (fs::exists(store)) {
    for (const auto& e : fs::directory_iterator(store)) left.push_back(e.path().filename().string());
  }
  EXPECT_TRUE(left.empty()) << left.size() << " files left, the first " << left[0];
}

TEST_F(BackupEndToEnd, DestinationOnAPartitionBeingBackedUpIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a partition of the image through a loop device needs root";
  const std::string sample = tmp_.file("sample.img");
  ASSERT_EQ(shell("bash " + shell_quote(std::string(TAV_SOURCE_DIR) + "/tests/fixtures/make_sample_disk.sh") + " " +
                  shell_quote(sample) + " >/dev/null"),
            0);
  const std::string mount_point = tmp_.file("mnt");
  LoopMount mounted(sample, 83968ull * 512, 47104ull * 512, mount_point);
  if (!mounted.mounted()) GTEST_SKIP() << "cannot set up a loop device and mount it here";
  const std::string store = mount_point + "/store";

  // The whole disk, and the mounted partition alone: refused before anything is written.
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"--partition", "2"}}) {
    std::vector<std::string> args = {"backup", sample, store};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = tav(args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_NE(r.err.find("being backed up"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(store));
  }
  // Another partition of the same disk may be stored there.
  const RunResult other = tav({"backup", sample, store, "--partition", "1"});
  EXPECT_EQ(other.exit_status, 0) << describe(other);
  EXPECT_NE(other.out.find("snapshot 1 (full, 1 partition)"), std::string::npos) << other.out;
}

}  // namespace
}  // namespace tav::cli_test
