// Packing and unpacking of the mount daemon's MOUNT_INFORMATION record (layout in mount_info.h).
#include "daemons/tavmount/protocol/mount_info.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "core/text_convert.h"

namespace tav::mount {

namespace ml = mount_layout;
static_assert(ml::kPath == kMountInfoHeaderBytes);
static_assert(ml::kPath + kMountInfoPathBytes == kMountInfoBytes);
static_assert(ml::kNameBytes + 2 == ml::kPath);
static_assert((kReplyMessageChars + 1) * 2 <= kMountInfoPathBytes);

void encode_mount_info(const MountInformation& info, MountInfoBytes* out) {
  uint8_t* p = out->data();
  put_le16(p + ml::kDriveLetter, uint16_t(info.drive_letter));
  put_le32(p + ml::kError, info.error);
  put_le32(p + ml::kSnapSeq, info.snap_seq);
  put_le64(p + ml::kSnapTime, uint64_t(info.snap_time));
  put_le32(p + ml::kSignature, info.signature);
  put_le32(p + ml::kMinSeq, info.min_seq);
  put_le32(p + ml::kMaxSeq, info.max_seq);
  put_le16(p + ml::kDirBytes, info.dir_bytes);
  put_le16(p + ml::kNameBytes, info.name_bytes);
  std::memcpy(p + ml::kPath, info.path.data(), info.path.size());
}

MountInformation decode_mount_info(std::span<const uint8_t, kMountInfoBytes> bytes) {
  const uint8_t* p = bytes.data();
  MountInformation info;
  info.drive_letter = char16_t(get_le16(p + ml::kDriveLetter));
  info.error = get_le32(p + ml::kError);
  info.snap_seq = get_le32(p + ml::kSnapSeq);
  info.snap_time = int64_t(get_le64(p + ml::kSnapTime));
  info.signature = get_le32(p + ml::kSignature);
  info.min_seq = get_le32(p + ml::kMinSeq);
  info.max_seq = get_le32(p + ml::kMaxSeq);
  info.dir_bytes = get_le16(p + ml::kDirBytes);
  info.name_bytes = get_le16(p + ml::kNameBytes);
  std::memcpy(info.path.data(), p + ml::kPath, info.path.size());
  return info;
}

bool set_mount_path(MountInformation* info, const std::string& folder, const std::string& base_name) {
  std::vector<unsigned char> dir = utf8_to_utf16le_bytes_z(folder);
  std::vector<unsigned char> name = utf8_to_utf16le_bytes_z(base_name);
  dir.resize(dir.size() - 2);  // no terminators on the wire
  name.resize(name.size() - 2);
  if (dir.size() + name.size() > info->path.size()) return false;
  info->path.fill(0);
  std::copy(dir.begin(), dir.end(), info->path.begin());
  std::copy(name.begin(), name.end(), info->path.begin() + std::ptrdiff_t(dir.size()));
  info->dir_bytes = uint16_t(dir.size());
  info->name_bytes = uint16_t(name.size());
  return true;
}

bool get_mount_path(const MountInformation& info, std::string* folder, std::string* base_name) {
  const size_t dir = info.dir_bytes;
  const size_t name = info.name_bytes;
  if (dir + name > info.path.size()) return false;
  const std::span<const unsigned char> path(info.path.data(), info.path.size());
  *folder = utf16le_bytes_to_utf8(path.subspan(0, dir));
  *base_name = utf16le_bytes_to_utf8(path.subspan(dir, name));
  return true;
}

std::string reply_message(const MountInformation& info) {
  return utf16le_bytes_to_utf8(std::span<const unsigned char>(info.path.data(), info.path.size()));
}

}  // namespace tav::mount
