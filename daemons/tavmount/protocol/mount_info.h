// The mount daemon's control interface: the 2048-byte MOUNT_INFORMATION record exchanged with
// its clients, the control codes and the status codes of the replies. Shared by the daemon
// (tavmount) and the mount client.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tav::mount {

// MOUNT_INFORMATION, 2048 bytes, little-endian, packed:
//   off size field
//     0    2 drive_letter   drive letter (UTF-16 unit)
//     2    4 error          out: 0 on success, the daemon's error flag, or 4 for leaked blocks
//     6    4 snap_seq       sequence number of the snapshot to mount
//    10    8 snap_time      its creation time (32-bit value widened with its sign)
//    18    4 signature      chain signature of the partition within the snapshot
//    22    4 min_seq        first volume number of the set to load
//    26    4 max_seq        last volume number of the set to load
//    30    2 dir_bytes      byte length of the folder string in `path`
//    32    2 name_bytes     byte length of the base-name string in `path`
//    34 2014 path           in: folder then base name, UTF-16LE, no terminators;
//                           out (open, close): the daemon's message, UTF-16LE, terminated
constexpr size_t kMountInfoBytes = 2048;
namespace mount_layout {
constexpr size_t kDriveLetter = 0, kError = 2, kSnapSeq = 6, kSnapTime = 10, kSignature = 18,
                 kMinSeq = 22, kMaxSeq = 26, kDirBytes = 30, kNameBytes = 32, kPath = 34;
}  // namespace mount_layout
constexpr size_t kMountInfoHeaderBytes = 34;  // fields before `path`
constexpr size_t kMountInfoPathBytes = kMountInfoBytes - kMountInfoHeaderBytes;  // 2014
// Characters of the daemon's message copied into `path` of an open or close reply.
constexpr size_t kReplyMessageChars = 1006;

// The interface version the daemon answers to IOCTL_TAV_GET_VERSION.
constexpr uint32_t kInterfaceVersion = 5000;

// Control codes.
constexpr uint32_t IOCTL_TAV_PART_OPEN = 0x80006000;
constexpr uint32_t IOCTL_TAV_PART_CLOSE = 0x80006004;
constexpr uint32_t IOCTL_TAV_PART_QUERY = 0x80006008;
constexpr uint32_t IOCTL_TAV_GET_VERSION = 0x8000600C;
constexpr uint32_t IOCTL_TAV_GET_REF_COUNTS = 0x80006010;
constexpr uint32_t IOCTL_TAV_GET_MOUNT_COUNT = 0x80006014;

// Disk control codes the daemon's disk device answers as a disk would.
constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
constexpr uint32_t IOCTL_CDROM_GET_DRIVE_GEOMETRY = 0x2404C;
constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO = 0x74004;
constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO_EX = 0x70048;
constexpr uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
constexpr uint32_t IOCTL_DISK_VERIFY = 0x70014;
constexpr uint32_t IOCTL_DISK_IS_WRITABLE = 0x70024;
constexpr uint32_t IOCTL_DISK_SET_PARTITION_INFO = 0x7C008;
constexpr uint32_t IOCTL_DISK_CHECK_VERIFY = 0x74800;
constexpr uint32_t IOCTL_DISK_MEDIA_REMOVAL = 0x74804;
constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY = 0x2D0800;
constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY2 = 0x2D4800;
constexpr uint32_t IOCTL_STORAGE_MEDIA_REMOVAL = 0x2D4804;

// Status codes of replies (the values of the kernel statuses they stand for).
enum : uint32_t {
  STATUS_SUCCESS = 0x00000000,
  STATUS_PENDING = 0x00000103,
  STATUS_UNSUCCESSFUL = 0xC0000001,
  STATUS_INVALID_PARAMETER = 0xC000000D,
  STATUS_INVALID_DEVICE_REQUEST = 0xC0000010,
  STATUS_NO_MEDIA_IN_DEVICE = 0xC0000013,
  STATUS_BUFFER_TOO_SMALL = 0xC0000023,
  STATUS_MEDIA_WRITE_PROTECTED = 0xC00000A2,
  STATUS_INSUFFICIENT_RESOURCES = 0xC000009A,
  STATUS_INVALID_DEVICE_STATE = 0xC0000184,
  STATUS_ACCESS_DENIED = 0xC0000022,
};

// The reply of one request.
struct Reply {
  uint32_t status = STATUS_SUCCESS;
  uint64_t information = 0;      // bytes of `out` that are valid (or the count the code defines)
  std::vector<uint8_t> out;      // at most the output length the request gave
};

// The record, decoded. Strings are UTF-8 here; on the wire `path` holds the folder immediately
// followed by the base name, both UTF-16LE without terminators, and dir_bytes / name_bytes are
// their byte lengths.
struct MountInformation {
  char16_t drive_letter = 0;
  uint32_t error = 0;
  uint32_t snap_seq = 0;
  int64_t snap_time = 0;  // 32-bit value widened with its sign
  uint32_t signature = 0;
  uint32_t min_seq = 0;
  uint32_t max_seq = 0;
  uint16_t dir_bytes = 0;
  uint16_t name_bytes = 0;
  std::array<uint8_t, kMountInfoPathBytes> path{};
};

using MountInfoBytes = std::array<uint8_t, kMountInfoBytes>;

// Packs and unpacks the 2048 bytes (little-endian, packed, as the offsets of the record).
void encode_mount_info(const MountInformation& info, MountInfoBytes* out);
MountInformation decode_mount_info(std::span<const uint8_t, kMountInfoBytes> bytes);

// Fills `path`, dir_bytes and name_bytes from a folder and a base name (UTF-8). False when they
// do not fit in `path`.
bool set_mount_path(MountInformation* info, const std::string& folder, const std::string& base_name);
// The folder and base name held in `path` (UTF-8); false when the lengths run past `path`.
bool get_mount_path(const MountInformation& info, std::string* folder, std::string* base_name);
// The text of a reply's `path` when it holds a message (UTF-16LE up to the first zero), UTF-8.
std::string reply_message(const MountInformation& info);

}  // namespace tav::mount
