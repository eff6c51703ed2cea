// Program start, volume and disk queries.
#include "services/volume_query.h"

#include <signal.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/console_pipe.h"
#include "core/last_error.h"
#include "core/sector.h"
#include "core/trace.h"
#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/mount_table.h"
#include "disk/sysfs_scan.h"

extern char** environ;

using tav::kTraceError;
using tav::kTraceInfo;
using tav::kTraceLastError;

namespace {

// Sector 0 of a disk: four 16-byte table entries from byte 446 (boot flag at 0, type at 4), the
// boot signature at 510.
constexpr size_t kEntriesOffset = 446;
constexpr size_t kEntrySize = 16;
constexpr uint8_t kTypeDynamic = 0x42;
constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr uint8_t kBootActive = 0x80;

bool is_letter(char letter) { return std::isalpha(static_cast<unsigned char>(letter)) != 0; }

// The mount point the letter names when something is mounted there, else empty.
std::string mounted_point(char letter) {
  const std::string point = tav::disk::volume_table().mount_point(letter);
  if (point.empty()) return "";
  for (const tav::disk::MountEntry& m : tav::disk::read_mounts()) {
    if (m.mount_point == point) return point;
  }
  return "";
}

// Spawns argv with descriptors 0-2 only. The child's pid, or -1 with errno set.
pid_t spawn(const std::vector<std::string>& args) {
  if (args.empty()) {
    errno = EINVAL;
    return -1;
  }
  int error = 0;
  const std::string program = tav::find_program(args[0], &error);
  if (program.empty()) {
    errno = error;
    return -1;
  }
  std::vector<char*> argv;
  std::vector<std::string> store = args;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

}  // namespace

int TavRunProgram(const char* command_line, uint32_t wait_ms, int /*show_state*/) {
  const std::vector<std::string> args =
      command_line == nullptr ? std::vector<std::string>{} : tav::split_command_line(command_line);
  const pid_t pid = spawn(args);
  if (pid < 0) {
    tav::set_last_error(uint32_t(errno));
    TAV_TRACE(kTraceError, kTraceLastError, "Create process '%s' failed.", command_line ? command_line : "");
    return 0;
  }
  if (wait_ms != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    auto pause = std::chrono::milliseconds(1);
    while (true) {
      int status = 0;
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno != EINTR)) return 1;
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(50)) pause *= 2;
    }
  }
  // Still running: whoever reaps it, it is not left as a zombie of this process.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 1;
}

PART_FILE_SYS TavGetFileSystem(char letter) {
  if (!is_letter(letter)) {
    TAV_TRACE(kTraceError, 0, "Invalid drive letter");
    return kPartFsOther;
  }
  const BACKUP_PARTITION_INFO* part = mounted_point(letter).empty() ? nullptr : tav_drive_letter_to_part2(letter);
  if (part == nullptr) {
    TAV_TRACE(kTraceError, 0, "Get info of volume '%c:' failed.", letter);
    return kPartFsOther;
  }
  const uint32_t code = part->fs != nullptr ? part->fs->type_code : tav::disk::FS_UNKNOWN;
  switch (code) {
    case tav::disk::FS_FAT16:
      return kPartFsFat;
    case tav::disk::FS_FAT32:
      return kPartFsFat32;
    case tav::disk::FS_NTFS:
      return kPartFsNtfs;
    default:
      TAV_TRACE(kTraceInfo, 0, "File sys of Volume '%c:' is %s.", letter, part->fs ? part->fs->name : "Unknown");
      return kPartFsOther;
  }
}

uint32_t TavGetClusterSize(char letter) {
  if (!is_letter(letter)) return 0;
  const std::string point = mounted_point(letter);
  struct statvfs info {};
  if (point.empty() || ::statvfs(point.c_str(), &info) != 0) return 0;
  return uint32_t(info.f_frsize != 0 ? info.f_frsize : info.f_bsize);
}

long TavGetPartDiskNumber(char letter, int64_t* start) {
  if (!is_letter(letter)) {
    TAV_TRACE(kTraceError, 0, "Invalid drive letter");
    return -1;
  }
  const BACKUP_PARTITION_INFO* part = mounted_point(letter).empty() ? nullptr : tav_drive_letter_to_part2(letter);
  if (part == nullptr || part->disk == nullptr) {
    TAV_TRACE(kTraceError, 0, "Open volume '%c:' failed", letter);
    return -1;
  }
  if (start != nullptr) *start = int64_t(part->first_sector * tav::kSectorSize);
  return long(part->disk->index);
}

long TavGetDiskType(long disk_number, unsigned* active) {
  if (active != nullptr) *active = 0;
  uint8_t sector[tav::kSectorSize];
  {
    tav::disk::CurrentDiskList current;
    _DISK_INFOMATION* disk = current.head();
    for (long i = 0; disk != nullptr && i < disk_number; ++i) disk = disk->next;
    if (disk_number < 0 || disk == nullptr) {
      TAV_TRACE(kTraceError, 0, "Open disk%ld failed.", disk_number);
      return -1;
    }
    const DISK_OPERATIONS* ops = disk->ops != nullptr ? disk->ops : tav_get_disk_operation();
    const bool was_open = disk->open_mode >= 0;
    if (!was_open && ops->open(disk, tav::disk::kOpenRead) < 0) {
      TAV_TRACE(kTraceError, kTraceLastError, "Open disk%ld failed.", disk_number);
      return -1;
    }
    const int64_t read = ops->read_sectors(disk, 0, 1, sector);
    if (!was_open) ops->close(disk);
    if (read != 1) {
      TAV_TRACE(kTraceError, kTraceLastError, "Read disk%ld failed.", disk_number);
      return -1;
    }
  }
  if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
  bool active_found = false;
  for (unsigned i = 0; i < 4; ++i) {
    const uint8_t* entry = sector + kEntriesOffset + kEntrySize * i;
    if (entry[4] == kTypeDynamic) return 3;
    if (entry[4] == kTypeGptProtective) return 2;
    if (entry[0] == kBootActive && !active_found) {
      active_found = true;
      if (active != nullptr) *active = i;
    }
  }
  return 1;
}
