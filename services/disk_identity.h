// A disk's stable name for stored task settings: device names such as "/dev/sdb" can change
// between boots, the entries of /dev/disk/by-id do not. Application services (TavPub2).
#pragma once

#include <string>

struct _DISK_INFOMATION;

namespace tav::services {

// "by-id:<name>" for the first entry (in name order) of `by_id_dir` that links to the disk's
// device and is not a partition ("-part" names); the disk's path for a disk image file; else
// "dev:<path>" (no stable name exists, the device name is the best there is). `by_id_dir` is
// for tests.
std::string stable_disk_id(const _DISK_INFOMATION& disk, const std::string& by_id_dir = "/dev/disk/by-id");

}  // namespace tav::services
