// Helpers for the disk library's tests: disk and partition objects over image files (without
// reading a table), fixture scripts from tests/disk/fixtures, and a check for the tools they need.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>

#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/part_record.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::disk::test {

using tav::sysutil_test::TempDir;

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

}  // namespace tav::disk::test
