// The mount client: makes sure the mount daemon (tavmount) runs and speaks our interface version,
// asks it to open or close a snapshot partition, and presents the partition it serves as a
// read-only file system: a read-only loop device over the served file, mounted read-only at a
// mount point. Application services (TavPub2).
//
// A "drive letter" is a mount point here: the VolumeTable (disk/mount_table.h) maps letters to
// mount points. The functions in tav::services take the mount point directly.
//
// Every call opens its own connection to the daemon; nothing is kept between calls. Only root can
// talk to the daemon, attach loop devices and mount. The functions are safe to call from several
// processes; one partition is mounted at a time, machine-wide (per run directory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "daemons/tavmount/protocol/mount_info.h"

// Values of InternalMountStatus's status.
constexpr int kMountStatusNoDaemon = 1;     // the daemon does not answer
constexpr int kMountStatusQueryFailed = 2;  // the query request failed
constexpr int kMountStatusMounted = 3;      // a partition is open in the daemon
constexpr int kMountStatusBadArgs = 4;      // invalid arguments
constexpr int kMountStatusNone = 5;         // the daemon answers, nothing is open

// Makes sure the daemon answers with version 5000: starts it ("<program dir>/tavmount", else the
// one found in PATH) when nothing answers, and stops and restarts one of another version, at most
// three rounds. The named mutex "BLOOM_DRIVE_LOAD_MUTEX" lets only one process restart it; the
// others wait up to about four seconds and check again. 1 on success; 0 with the last error
// 0xE000001A (no answer), 0xE0000019 (another version) or 0xE0000017 (no daemon program).
int TavStartDriver();

// `record` is a MOUNT_INFORMATION of `size` bytes (it must be 2048). The partition named by it is
// mounted at the mount point of its `drive_letter` (VolumeTable). 1 on success; 0 otherwise, with
// the daemon's `error` and message in the record when it refused.
int TavMountDrive(uint8_t* record, uint32_t size);
// Unmounts the snapshot mounted at the mount point of `letter` and closes it in the daemon.
// 1 on success; 0 when nothing of ours is mounted there or the file system is busy (it then stays
// mounted and working).
int TavUnmountDrive(char16_t letter);
// The letter (upper case) whose mount point holds the mounted snapshot, or 0.
char16_t TavGetMountedDrive();

// The direct implementations behind the three exports. InternalMount presents the partition
// through the daemon's device `device_number` (1). InternalUnmount returns the close request's
// result (1/0). InternalMountStatus stores one of the kMountStatus values in *status and fills
// `record` with the query reply; returns 1 when it could ask, else 0.
int InternalMount(uint8_t* record, uint32_t size, uint32_t device_number);
int InternalUnmount(uint8_t* record, uint32_t size);
int InternalMountStatus(uint8_t* record, uint32_t size, int* status);

namespace tav::services {

using tav::mount::MountInformation;

// The daemon's disk device the client mounts (the device number the exports use).
constexpr uint32_t kDiskDevice = 1;

// The file through which the daemon serves device `device_number`: "<fuse dir>/disk<N>"
// with the run directory's symbolic links resolved (as the kernel names a loop device's backing
// file).
std::string served_file_path(uint32_t device_number);

// Starts or restarts the daemon as TavStartDriver does; the failure says why.
Status start_daemon();

// How a snapshot is presented. It is always read-only, and set-user-ID bits and device nodes in
// it are ignored (nosuid, nodev); its programs may run only with allow_exec (else noexec).
struct MountOptions {
  bool allow_exec = false;
};

// Mounts the partition `info` names at `mount_point` (an existing empty directory that is not a
// mount point), through device `device_number`. Refused, before the daemon is asked, when the
// mount point is not empty or in use, or a snapshot is already mounted. On success `info` holds the daemon's reply. On
// failure everything this call set up is undone (the partition closed, our loop device detached)
// and `info` holds the daemon's reply when it refused. Does not start the daemon.
Status mount_snapshot(MountInformation* info, const std::string& mount_point, uint32_t device_number,
                      const MountOptions& options = {});

// Unmounts the snapshot mounted at `mount_point`, detaches its loop device and closes the
// partition in the daemon. Refused when what is mounted there is not our loop device over the
// served file, and when the file system is busy (nothing changes then). When the daemon no longer
// answers, the mount and loop device are still removed and `note` (optional) says so; when the
// daemon has nothing open any more (another client closed it), the unmount is done all the same.
Status unmount_snapshot(const std::string& mount_point, uint32_t device_number, MountInformation* reply,
                        std::string* note);

// What is mounted: the daemon's query and where the served file is presented.
struct Presentation {
  std::string loop_device;  // "/dev/loop3"
  std::string mount_point;  // empty when the loop device is not mounted
  std::string fs_type;
  bool read_only = false;
};
struct MountState {
  int status = kMountStatusNoDaemon;  // a kMountStatus value
  MountInformation info;              // the query reply (folder and base name) when status is 3
  std::vector<Presentation> presented;
};
Status mount_state(uint32_t device_number, MountState* out);

}  // namespace tav::services
