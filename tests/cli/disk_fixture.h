// Fixture helpers of the end-to-end command tests on disk images made by
// tests/fixtures/test_disk.sh: shell commands, file and tree reading, the partitions of the test
// disk, what the disk library says of a source partition, and a partition mounted through a loop
// device of the test's own.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/extent_vector.h"
#include "core/status.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "tests/cli/cli_test_support.h"

namespace tav::cli_test {

namespace fs = std::filesystem;

inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Exit status of a shell command (-1 when it did not exit).
inline int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline std::string disk_script() { return shell_quote(std::string(TAV_SOURCE_DIR) + "/tests/fixtures/test_disk.sh"); }

// Runs a subcommand of the fixture script; 3 means a tool is missing.
inline int disk_tool(const std::string& args, bool show_output = false) {
  return shell("bash " + disk_script() + " " + args + (show_output ? " 2>&1" : " >/dev/null 2>&1"));
}

inline std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, uint64_t size) {
  std::vector<uint8_t> bytes(size);
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(offset));
  f.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
  if (uint64_t(f.gcount()) != size) bytes.clear();
  return bytes;
}

inline std::vector<uint8_t> read_all(const std::string& path) { return read_range(path, 0, fs::file_size(path)); }

// Every regular file under `dir` by relative path, with its content.
inline std::map<std::string, std::vector<uint8_t>> tree(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = read_all(e.path().string());
  }
  return files;
}

inline bool is_excluded_file(const std::string& relative_path) {
  return relative_path == "pagefile.sys" || relative_path == "hiberfil.sys";
}

// What a copy read back from a snapshot holds of the excluded files: their size only, or their
// size with zeros (a partition exported from a snapshot, where their sectors were not stored).
enum class ExcludedContent { kSizeOnly, kZeros };

// The files read back into `got_dir` are those of `expected_dir`, byte for byte, but for the
// excluded files, which are checked as `excluded` says.
inline void expect_same_files(const std::string& got_dir, const std::string& expected_dir, ExcludedContent excluded) {
  const auto expected = tree(expected_dir);
  const auto got = tree(got_dir);
  std::vector<std::string> expected_names, got_names;
  for (const auto& [name, bytes] : expected) expected_names.push_back(name);
  for (const auto& [name, bytes] : got) got_names.push_back(name);
  EXPECT_EQ(got_names, expected_names);
  for (const auto& [name, bytes] : expected) {
    auto it = got.find(name);
    if (it == got.end()) continue;
    if (is_excluded_file(name)) {
      EXPECT_EQ(it->second.size(), bytes.size()) << name;
      if (excluded == ExcludedContent::kZeros) {
        EXPECT_TRUE(std::all_of(it->second.begin(), it->second.end(), [](uint8_t b) { return b == 0; }))
            << name << " was stored";
      }
    } else {
      EXPECT_TRUE(it->second == bytes) << name << " differs";
    }
  }
}

// The partitions of the test disk, as `tav disks` and `tav list` number them.
struct TestPartition {
  uint32_t number;
  const char* fs;  // the fixture script's name
};
constexpr TestPartition kPartitions[] = {{1, "fat"}, {2, "ext"}, {3, "ntfs"}};

// What the disk library says of a partition of a saved source disk: the used sectors and the
// sectors of the paging and hibernation files (partition-relative, one flag per sector).
struct SourceFacts {
  uint64_t first_sector = 0;
  uint64_t sector_count = 0;
  uint64_t used_sectors = 0;
  std::vector<bool> used;
  std::vector<bool> excluded;
  uint64_t excluded_sectors = 0;
};

inline Status source_facts(const std::string& disk_path, uint32_t number, SourceFacts* out) {
  std::unique_ptr<_DISK_INFOMATION> disk;
  if (Status st = disk::open_disk(disk_path, &disk); !st.is_ok()) return st;
  for (const auto& up : disk->parts) {
    BACKUP_PARTITION_INFO* p = up.get();
    if (disk::part_number(*p) != int32_t(number)) continue;
    if (p->fs == nullptr || p->fs->get_used_runs == nullptr) return Status::not_found("no file system");
    out->first_sector = p->first_sector;
    out->sector_count = p->sector_count;
    out->used_sectors = disk::part_used_sectors(*p);
    out->used.assign(p->sector_count, false);
    out->excluded.assign(p->sector_count, false);
    IMAGE_RUN_VECTOR* used = p->fs->get_used_runs(nullptr, p);
    if (used == nullptr) return Status::io_error("no used runs");
    for (uint32_t i = 0; i < used->run_count; ++i) {
      const IMAGE_RUN* r = used->runs[i];
      for (uint64_t s = r->value.Begin; s < run_end(*r) && s < p->sector_count; ++s) out->used[s] = true;
    }
    libtavpub_release_image_run_vector(used);
    for (const char* name : {"/pagefile.sys", "/hiberfil.sys"}) {
      if (p->fs->get_file_runs == nullptr) break;
      FLAT_RUN_VECTOR* runs = p->fs->get_file_runs(p, name);
      if (runs == nullptr) return Status::io_error(std::string("no runs of ") + name);
      for (uint32_t i = 0; i < runs->run_count; ++i) {
        for (uint64_t s = runs->runs[i].Begin; s < flat_run_end(runs->runs[i]) && s < p->sector_count; ++s) {
          if (!out->excluded[s]) ++out->excluded_sectors;
          out->excluded[s] = true;
        }
      }
      libtavpub_release_flat_run_vector(runs);
    }
    return Status::ok();
  }
  return Status::not_found("no partition " + std::to_string(number));
}

// A partition of a disk image (at `offset_bytes`, `size_bytes` long) mounted read-write through a
// loop device of the test's own; unmounted and detached in every outcome.
class LoopMount {
 public:
  LoopMount(const std::string& image, uint64_t offset_bytes, uint64_t size_bytes, const std::string& mount_point,
            const char* fs_type = "ext4") {
    if (::mkdir(mount_point.c_str(), 0700) != 0) return;
    const std::string list = mount_point + ".loop";
    if (shell("losetup --find --show -o " + std::to_string(offset_bytes) + " --sizelimit " +
              std::to_string(size_bytes) + " " + shell_quote(image) + " >" + shell_quote(list) + " 2>/dev/null") != 0) {
      return;
    }
    device_ = read_text(list);
    while (!device_.empty() && (device_.back() == '\n' || device_.back() == ' ')) device_.pop_back();
    if (device_.rfind("/dev/loop", 0) != 0) {
      device_.clear();
      return;
    }
    if (::mount(device_.c_str(), mount_point.c_str(), fs_type, MS_NOSUID | MS_NODEV, nullptr) == 0) {
      mount_point_ = mount_point;
    }
  }
  ~LoopMount() {
    if (!mount_point_.empty() && ::umount2(mount_point_.c_str(), 0) != 0) ::umount2(mount_point_.c_str(), MNT_DETACH);
    if (!device_.empty()) shell("losetup -d " + shell_quote(device_) + " 2>/dev/null");
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  bool mounted() const { return !mount_point_.empty(); }

 private:
  std::string device_;
  std::string mount_point_;
};

}  // namespace tav::cli_test
