// `tav disks [--json] [DISK...]`: the machine's disks, or the named block devices and disk image
// files, with their partitions.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "disk/disk.h"

namespace tav::cli {

// Runs the command with the arguments after "disks". Exit status 0 when every named disk was
// read, 1 when one could not be (a message names it; the others are still shown), 2 on wrong use.
int run_disks_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The text and JSON forms of a list of disks (tests call them with hand-built disks).
std::string disks_text(const std::vector<const _DISK_INFOMATION*>& disks);
std::string disks_json(const std::vector<const _DISK_INFOMATION*>& disks);

}  // namespace tav::cli
