// Helpers for the disk library's tests: disk and partition objects over image files (without
// reading a table), fixture scripts from tests/disk/fixtures (and a check for the tools they
// need), byte-level access to image files, and owners of the run vectors handlers return.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/part_record.h"
#include "tests/core/extent_test_helpers.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::disk::test {

using tav::sysutil_test::TempDir;

// Owners of the run vectors a file-system handler returns (null when it failed).
using ImageRuns = tav::test::ImageVector;
using FlatRuns = tav::test::FlatVector;

// A real disk object for the image file at `path`: size from the file, geometry 255/63, no
// partitions. Null when the file is missing.
inline std::unique_ptr<_DISK_INFOMATION> file_disk(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return nullptr;
  auto disk = std::make_unique<_DISK_INFOMATION>();
  disk->path = path;
  disk->name = path.substr(path.find_last_of('/') + 1);
  disk->is_file = 1;
  disk->total_sectors = uint64_t(st.st_size) / kSectorSize;
  disk->heads = 255;
  disk->sectors_per_track = 63;
  disk->sectors_per_cylinder = 255 * 63;
  disk->cylinders = uint32_t(disk->total_sectors / disk->sectors_per_cylinder);
  disk->ops = tav_get_disk_operation();
  return disk;
}

// Adds a partition of `count` sectors at `start` to `disk`, read through the disk at its offset.
inline BACKUP_PARTITION_INFO* add_file_partition(_DISK_INFOMATION* disk, uint64_t start, uint64_t count,
                                                 uint8_t type) {
  auto part = std::make_unique<BACKUP_PARTITION_INFO>();
  init_part_record(*part);
  part->disk = disk;
  set_part_extent(*part, start, count);
  set_rec_u8(*part, tav::img::part_layout::kPartType, type);
  set_rec_u32(*part, tav::img::part_layout::kPartNumber, uint32_t(disk->parts.size() + 1));
  part->index = uint32_t(disk->parts.size());
  part->dev_num = part->index + 1;
  part->ops = tav_get_part_operation();
  disk->parts.push_back(std::move(part));
  return disk->parts.back().get();
}

// True when every program is on PATH.
inline bool have_tools(std::initializer_list<const char*> programs) {
  for (const char* p : programs) {
    std::string cmd = std::string("command -v ") + p + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
  }
  return true;
}

// Runs tests/disk/fixtures/<script> with the arguments (quoted) and returns its exit status;
// its output goes to the test log.
inline int run_fixture(const std::string& script, std::initializer_list<std::string> args) {
  std::string cmd = std::string("bash '") + TAV_SOURCE_DIR + "/tests/disk/fixtures/" + script + "'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The files one fixture script makes, once per test program, in a temporary directory that lives
// until the program ends. The script runs only when every tool it needs is on PATH.
struct FixtureFiles {
  bool have_tools = false;  // every tool the script needs is on PATH
  int status = -1;          // the script's exit status; -1 when it did not run
  TempDir dir;

  bool ready() const { return have_tools && status == 0; }
  std::string file(const std::string& name) const { return dir.file(name); }
};

// Runs fixtures/<script> with the directory as its argument on the first call for `script`;
// later calls hand back the same files. Call it from the main thread (SetUpTestSuite).
inline const FixtureFiles& fixture_files(const std::string& script, std::initializer_list<const char*> tools) {
  static std::map<std::string, std::unique_ptr<FixtureFiles>> made;
  std::unique_ptr<FixtureFiles>& files = made[script];
  if (files == nullptr) {
    files = std::make_unique<FixtureFiles>();
    files->have_tools = have_tools(tools);
    if (files->have_tools && files->dir.ok()) files->status = run_fixture(script, {files->dir.path()});
  }
  return *files;
}

// The whole file at `path`; empty when it cannot be read.
inline std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> data(size_t(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()));
  return data;
}

// Copies `from` to `to` (replacing it), for a test that damages the copy.
inline bool copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return bool(out);
}

// Writes `bytes` into the existing file at byte `offset`.
inline bool patch_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace tav::disk::test
