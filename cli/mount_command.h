// `tav mount DIR [--name BASE] --snapshot N --partition K MOUNTPOINT`, `tav umount MOUNTPOINT`
// and `tav mounts`: a snapshot partition mounted read-only through the mount daemon.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// Mounts partition K of snapshot N (numbered as `tav list` shows them) read-only at MOUNTPOINT,
// starting the mount daemon when it does not run. One snapshot is mounted at a time. Exit status
// 0 when mounted; 1 when the storage, snapshot or partition is not there, the mount point is in
// use, another snapshot is mounted, or the daemon, loop device or mount failed (nothing is left
// set up then); 2 on wrong use. Needs root.
int run_mount_command(const GlobalOptions& options, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err);

// Unmounts the snapshot at MOUNTPOINT and closes it in the daemon. Exit status 0 when done; 1
// when nothing of ours is mounted there or the file system is busy (it then stays mounted); 2 on
// wrong use.
int run_umount_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

// Shows what the daemon has open and where it is mounted. Exit status 0; 1 when the daemon
// could not be asked; 2 on wrong use.
int run_mounts_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

}  // namespace tav::cli
