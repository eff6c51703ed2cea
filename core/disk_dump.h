// Raw sector dumps of a disk for diagnosing disks the suite cannot handle: the sectors are
// copied into "<trace dir>Dump/<name>.dat". Core layer; the disk library, above it, registers
// how a disk number becomes a device path.
#pragma once

#include <cstdint>
#include <string>

namespace tav {

// Turns a disk number into its device path ("/dev/sda", an image file standing in for a disk);
// empty when there is no such disk. Must be safe to call from any thread.
using DiskPathResolver = std::string (*)(int disk_number);

// Registers the resolver TavDumpDisk uses (null removes it). Safe from any thread.
void set_disk_path_resolver(DiskPathResolver resolver);

// Copies `count` 512-byte sectors from `first_sector` of the disk or image file at `device_path`
// (opened read-only) into "<trace dir>Dump/<name>.dat" (the trace directory when "Dump/" cannot be
// created), replacing an older dump. `name` is a plain file name: empty, ".", ".." and names with
// '/' are refused. A range past the end of the device copies the sectors that exist, then fails.
// Returns 1 on success, else 0 with a trace line and the reason (errno) in the thread's last error.
int dump_disk(const char* name, const char* device_path, uint64_t first_sector, uint64_t count);

}  // namespace tav

// dump_disk for disk `disk_number` through the registered resolver. Without a resolver, or when
// it knows no such disk, traces "Failed to open disk%d" and returns 0 (last error ENODEV).
int TavDumpDisk(const char* name, int disk_number, uint64_t first_sector, uint64_t count);
