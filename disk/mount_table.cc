// Mounted file systems and drive letters: mountinfo parsing, the way from a mount back to a
// partition (own device, partition node, loop device, device-mapper device), the VolumeTable, and
// the checks made before a partition or disk is written.
#include "disk/mount_table.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "core/ini_file.h"
#include "core/last_error.h"
#include "core/settings.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "disk/sysfs_scan.h"

namespace tav::disk {
namespace {

constexpr char kDriveLetterSection[] = "DriveLetters";
// Devices stacked deeper than this (a loop device over a partition of a loop device over ...)
// are not followed.
constexpr int kMaxStackDepth = 8;

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// Undoes the kernel's octal escapes ("\040" space, "\011" tab, "\012" newline, "\134"
// backslash); a backslash without three octal digits after it stays as it is.
std::string unescape(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
        is_octal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF) {
        out.push_back(char(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string> split_spaces(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
    if (space == std::string::npos) break;
    start = space + 1;
  }
  return fields;
}

bool parse_u32(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > UINT32_MAX) return false;
  *value = uint32_t(v);
  return true;
}

bool has_option(const std::string& options, const char* option) {
  std::stringstream in(options);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item == option) return true;
  }
  return false;
}

bool parse_line(const std::string& line, MountEntry* entry) {
  const std::vector<std::string> f = split_spaces(line);
  // id parent major:minor root mount-point options [optional fields...] - type source [super options]
  size_t sep = 6;
  while (sep < f.size() && f[sep] != "-") ++sep;
  if (sep + 2 >= f.size()) return false;
  uint32_t id = 0, parent = 0;
  if (!parse_u32(f[0], &id) || !parse_u32(f[1], &parent)) return false;
  const size_t colon = f[2].find(':');
  if (colon == std::string::npos) return false;
  MountEntry e;
  if (!parse_u32(f[2].substr(0, colon), &e.major) || !parse_u32(f[2].substr(colon + 1), &e.minor)) return false;
  if (f[3].empty() || f[4].empty() || f[sep + 1].empty()) return false;
  e.root = unescape(f[3]);
  e.mount_point = unescape(f[4]);
  e.fs_type = unescape(f[sep + 1]);
  e.source = unescape(f[sep + 2]);
  const std::string super_options = sep + 3 < f.size() ? f[sep + 3] : std::string();
  e.read_only = has_option(f[5], "ro") || has_option(super_options, "ro");
  *entry = std::move(e);
  return true;
}

// `path` with links resolved, or its nearest existing parent when it does not exist yet (a
// folder about to be created lies on the mount of its parent); empty when nothing resolves.
std::string resolve_existing(const std::string& path) {
  std::string p = path;
  while (true) {
    char* resolved = realpath(p.c_str(), nullptr);
    if (resolved != nullptr) {
      std::string out(resolved);
      free(resolved);
      return out;
    }
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
      p = ".";
    } else if (slash == 0) {
      if (p == "/") return {};
      p = "/";
    } else {
      p.resize(slash);
    }
  }
}

bool mount_point_contains(const std::string& mount_point, const std::string& path) {
  if (mount_point == "/") return !path.empty() && path[0] == '/';
  return path == mount_point || (path.size() > mount_point.size() && path[mount_point.size()] == '/' &&
                                 path.compare(0, mount_point.size(), mount_point) == 0);
}

void add_ranges(const SystemPaths& paths, const std::string& name, uint64_t offset, int depth,
                std::vector<DeviceRange>* out) {
  if (depth > kMaxStackDepth || name.empty()) return;
  out->push_back({paths.dev_dir + "/" + name, offset});
  const BlockDevice dev = block_device_by_name(paths, name);
  if (!dev.parent.empty()) {
    add_ranges(paths, dev.parent, offset + dev.start_sector * kSectorSize, depth + 1, out);
  }
  LoopBacking loop;
  if (loop_backing(paths, name, &loop)) {
    const uint64_t start = loop.offset_bytes + offset;
    struct stat st {};
    if (stat(loop.backing_file.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      const BlockDevice backing = find_block_device(paths, major(st.st_rdev), minor(st.st_rdev));
      if (!backing.name.empty()) {
        add_ranges(paths, backing.name, start, depth + 1, out);
        return;
      }
    }
    out->push_back({loop.backing_file, start});
  }
  // Where a device-mapper target starts on its slaves is not in sysfs: the slave as a whole is
  // taken, which is what matters for "is this partition in use".
  for (const std::string& slave : dm_slaves(paths, name)) add_ranges(paths, slave, 0, depth + 1, out);
}

const _DISK_INFOMATION* physical_disk(const _DISK_INFOMATION* disk) {
  if (disk != nullptr && disk->disk_type == DEVICE_RESTORE && disk->made_from != nullptr) return disk->made_from;
  return disk;
}

std::string join_mount_points(const std::vector<MountEntry>& mounts) {
  std::string text;
  for (const MountEntry& m : mounts) {
    if (!text.empty()) text += ", ";
    text += m.mount_point;
  }
  return text;
}

int refuse_busy() {
  set_last_error(EBUSY);
  errno = EBUSY;
  return -1;
}

std::mutex& volume_mutex() {
  static std::mutex m;
  return m;
}

// Every table ever set, so a reference handed out by volume_table() stays valid after a
// replacement; only tests replace it, so this does not grow in use.
std::vector<std::unique_ptr<VolumeTable>>& volume_tables() {
  static std::vector<std::unique_ptr<VolumeTable>> tables;
  return tables;
}

}  // namespace

std::vector<MountEntry> parse_mountinfo(const std::string& text) {
  std::vector<MountEntry> mounts;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    MountEntry e;
    if (parse_line(line, &e)) mounts.push_back(std::move(e));
  }
  return mounts;
}

std::vector<MountEntry> read_mounts(const std::string& mountinfo_path) {
  std::ifstream in(mountinfo_path);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return parse_mountinfo(text.str());
}

std::vector<MountEntry> read_mounts() { return read_mounts(system_paths().mountinfo); }

std::vector<DeviceRange> mount_ranges(const MountEntry& mount, const SystemPaths& paths) {
  std::vector<DeviceRange> ranges;
  uint32_t maj = mount.major, min = mount.minor;
  struct stat st {};
  const bool source_is_device = !mount.source.empty() && mount.source[0] == '/' &&
                                stat(mount.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
  if (maj == 0) {
    // Some file systems (btrfs) show an anonymous device number; their source names the device.
    if (!source_is_device) return ranges;
    maj = major(st.st_rdev);
    min = minor(st.st_rdev);
  }
  const BlockDevice dev = find_block_device(paths, maj, min);
  if (dev.name.empty()) {
    if (source_is_device && st.st_rdev == makedev(maj, min)) ranges.push_back({mount.source, 0});
    return ranges;
  }
  add_ranges(paths, dev.name, 0, 0, &ranges);
  return ranges;
}

std::vector<DeviceRange> device_aliases(const std::string& path, const SystemPaths& paths) {
  std::vector<DeviceRange> aliases;
  if (path.empty()) return aliases;
  aliases.push_back({path, 0});
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return aliases;
  const BlockDevice dev = find_block_device(paths, major(st.st_rdev), minor(st.st_rdev));
  if (!dev.name.empty()) add_ranges(paths, dev.name, 0, 0, &aliases);
  return aliases;
}

const std::vector<DeviceRange>& MountResolver::aliases(const std::string& path) const {
  auto it = aliases_.find(path);
  if (it == aliases_.end()) it = aliases_.emplace(path, device_aliases(path, paths_)).first;
  return it->second;
}

bool MountResolver::in_partition(const DeviceRange& range, const BACKUP_PARTITION_INFO* part) const {
  if (part == nullptr || part_is_extended(*part) || part->sector_count == 0) return false;
  const uint64_t bytes = part->sector_count * kSectorSize;
  for (const DeviceRange& a : aliases(part->dev_path)) {
    if (range.offset_bytes >= a.offset_bytes && range.offset_bytes - a.offset_bytes < bytes &&
        same_file(range.path, a.path)) {
      return true;
    }
  }
  const _DISK_INFOMATION* disk = physical_disk(part->disk);
  if (disk == nullptr) return false;
  const uint64_t first = part->first_sector * kSectorSize;
  for (const DeviceRange& a : aliases(disk->path)) {
    if (range.offset_bytes < a.offset_bytes) continue;
    const uint64_t at = range.offset_bytes - a.offset_bytes;
    if (at >= first && at - first < bytes && same_file(range.path, a.path)) return true;
  }
  return false;
}

bool MountResolver::on_disk(const DeviceRange& range, const _DISK_INFOMATION* disk) const {
  const _DISK_INFOMATION* real = physical_disk(disk);
  if (real == nullptr) return false;
  for (const DeviceRange& a : aliases(real->path)) {
    if (range.offset_bytes >= a.offset_bytes && same_file(range.path, a.path)) return true;
  }
  for (const auto& part : disk->parts) {
    if (in_partition(range, part.get())) return true;
  }
  return false;
}

const std::vector<DeviceRange>& MountResolver::ranges(size_t index) const {
  if (!resolved_[index]) {
    ranges_[index] = mount_ranges(mounts_[index], paths_);
    resolved_[index] = true;
  }
  return ranges_[index];
}

std::vector<MountEntry> MountResolver::partition_mounts(const BACKUP_PARTITION_INFO* part) const {
  std::vector<MountEntry> found;
  for (size_t i = 0; i < mounts_.size(); ++i) {
    for (const DeviceRange& r : ranges(i)) {
      if (in_partition(r, part)) {
        found.push_back(mounts_[i]);
        break;
      }
    }
  }
  return found;
}

std::vector<MountEntry> MountResolver::disk_mounts(const _DISK_INFOMATION* disk) const {
  std::vector<MountEntry> found;
  for (size_t i = 0; i < mounts_.size(); ++i) {
    for (const DeviceRange& r : ranges(i)) {
      if (on_disk(r, disk)) {
        found.push_back(mounts_[i]);
        break;
      }
    }
  }
  return found;
}

int MountResolver::mount_of_path(const std::string& path) const {
  const std::string resolved = resolve_existing(path);
  if (resolved.empty()) return -1;
  int best = -1;
  size_t best_length = 0;
  for (size_t i = 0; i < mounts_.size(); ++i) {
    const std::string& mp = mounts_[i].mount_point;
    if (!mount_point_contains(mp, resolved)) continue;
    if (best < 0 || mp.size() >= best_length) {
      best = int(i);
      best_length = mp.size();
    }
  }
  return best;
}

int MountResolver::mount_at(const std::string& mount_point) const {
  int found = -1;
  for (size_t i = 0; i < mounts_.size(); ++i) {
    if (mounts_[i].mount_point == mount_point) found = int(i);
  }
  return found;
}

bool MountResolver::mount_on_disk(int index, const _DISK_INFOMATION* disk) const {
  if (index < 0 || size_t(index) >= mounts_.size()) return false;
  for (const DeviceRange& r : ranges(size_t(index))) {
    if (on_disk(r, disk)) return true;
  }
  return false;
}

BACKUP_PARTITION_INFO* MountResolver::partition_of_mount(_DISK_INFOMATION* list, int index) const {
  if (index < 0 || size_t(index) >= mounts_.size()) return nullptr;
  for (const DeviceRange& r : ranges(size_t(index))) {
    for (_DISK_INFOMATION* disk = list; disk != nullptr; disk = disk->next) {
      for (const auto& part : disk->parts) {
        if (in_partition(r, part.get())) return part.get();
      }
    }
  }
  return nullptr;
}

BACKUP_PARTITION_INFO* path_to_part(_DISK_INFOMATION* list, const std::string& path, const MountResolver& mounts) {
  if (list == nullptr || path.empty()) return nullptr;
  return mounts.partition_of_mount(list, mounts.mount_of_path(path));
}

std::vector<MountEntry> partition_mounts(const BACKUP_PARTITION_INFO* part) {
  const SystemPaths paths = system_paths();
  return MountResolver(read_mounts(paths.mountinfo), paths).partition_mounts(part);
}

std::vector<MountEntry> partition_mounts(const BACKUP_PARTITION_INFO* part, const std::vector<MountEntry>& mounts) {
  return MountResolver(mounts, system_paths()).partition_mounts(part);
}

// ---- drive letters ----

VolumeTable VolumeTable::load() {
  IniDocument doc;
  std::map<char, std::string> letters;
  if (read_ini_file(settings_path(), &doc) || !doc.has_section(kDriveLetterSection)) {
    letters['C'] = "/";
    return VolumeTable(std::move(letters));
  }
  for (const std::string& key : doc.key_names(kDriveLetterSection)) {
    if (key.size() != 1) continue;
    const char letter = char(std::toupper(static_cast<unsigned char>(key[0])));
    if (letter < 'C' || letter > 'Z') continue;
    std::string value = doc.value(kDriveLetterSection, key).value_or("");
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (!value.empty()) letters[letter] = value;
  }
  return VolumeTable(std::move(letters));
}

std::string VolumeTable::mount_point(char letter) const {
  auto it = letters_.find(char(std::toupper(static_cast<unsigned char>(letter))));
  return it == letters_.end() ? std::string() : it->second;
}

char VolumeTable::letter_of(const std::string& mount_point) const {
  for (const auto& [letter, point] : letters_) {
    if (point == mount_point) return letter;
  }
  return 0;
}

const VolumeTable& volume_table() {
  std::lock_guard<std::mutex> lock(volume_mutex());
  auto& tables = volume_tables();
  if (tables.empty()) tables.push_back(std::make_unique<VolumeTable>(VolumeTable::load()));
  return *tables.back();
}

void set_volume_table(const VolumeTable& table) {
  std::lock_guard<std::mutex> lock(volume_mutex());
  volume_tables().push_back(std::make_unique<VolumeTable>(table));
}

}  // namespace tav::disk

using tav::disk::MountResolver;

BACKUP_PARTITION_INFO* tav_path_to_part(const char* path) {
  return tav::disk::without_exceptions<BACKUP_PARTITION_INFO*>(nullptr, [&]() -> BACKUP_PARTITION_INFO* {
    if (path == nullptr || *path == '\0') return nullptr;
    const tav::disk::SystemPaths paths = tav::disk::system_paths();
    MountResolver mounts(tav::disk::read_mounts(paths.mountinfo), paths);
    const int index = mounts.mount_of_path(path);
    if (index < 0) return nullptr;
    tav::disk::CurrentDiskList current;
    return mounts.partition_of_mount(current.head(), index);
  });
}

BACKUP_PARTITION_INFO* tav_drive_letter_to_part2(char letter) {
  return tav::disk::without_exceptions<BACKUP_PARTITION_INFO*>(nullptr, [&]() -> BACKUP_PARTITION_INFO* {
    const std::string mount_point = tav::disk::volume_table().mount_point(letter);
    if (mount_point.empty()) return nullptr;
    const tav::disk::SystemPaths paths = tav::disk::system_paths();
    MountResolver mounts(tav::disk::read_mounts(paths.mountinfo), paths);
    const int index = mounts.mount_at(mount_point);
    if (index < 0) return nullptr;
    tav::disk::CurrentDiskList current;
    return mounts.partition_of_mount(current.head(), index);
  });
}

int tav_umount_part(BACKUP_PARTITION_INFO* part) {
  return tav::disk::without_exceptions(-1, [&] {
    if (part == nullptr) {
      tav::set_last_error(EINVAL);
      errno = EINVAL;
      return -1;
    }
    const std::vector<tav::disk::MountEntry> mounts = tav::disk::partition_mounts(part);
    if (mounts.empty()) return 0;
    const std::string points = tav::disk::join_mount_points(mounts);
    TAV_ENGINE_REPORT(tav::disk::disk_report(), true, tav::kIconError,
                      "%s is mounted at %s; unmount it before it is written", tav_get_partition_dev_name(part),
                      points.c_str());
    return tav::disk::refuse_busy();
  });
}

int tav_umount_disk_partitions(_DISK_INFOMATION* disk) {
  return tav::disk::without_exceptions(-1, [&] {
    if (disk == nullptr) {
      tav::set_last_error(EINVAL);
      errno = EINVAL;
      return -1;
    }
    const tav::disk::SystemPaths paths = tav::disk::system_paths();
    const std::vector<tav::disk::MountEntry> mounts =
        MountResolver(tav::disk::read_mounts(paths.mountinfo), paths).disk_mounts(disk);
    if (mounts.empty()) return 0;
    const std::string points = tav::disk::join_mount_points(mounts);
    const _DISK_INFOMATION* real = tav::disk::physical_disk(disk);
    TAV_ENGINE_REPORT(tav::disk::disk_report(), true, tav::kIconError,
                      "%s has a file system mounted at %s; unmount it before the disk is written",
                      real->path.c_str(), points.c_str());
    return tav::disk::refuse_busy();
  });
}
