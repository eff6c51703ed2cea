// sysfs and device-node questions of the disk library: which block devices are disks, their
// partition nodes and geometry, and what loop and device-mapper devices are built on.
#include "disk/sysfs_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace tav::disk {
namespace {

std::mutex& paths_mutex() {
  static std::mutex m;
  return m;
}

SystemPaths& paths_storage() {
  static SystemPaths paths;
  return paths;
}

// Entry names of a directory except "." and ".."; empty when it cannot be read.
std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  closedir(d);
  return names;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool all_of_class(const std::string& s, size_t from, int (*pred)(int)) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (!pred(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

int is_lower(int c) { return c >= 'a' && c <= 'z'; }
int is_digit(int c) { return c >= '0' && c <= '9'; }

// "nvme<digits>n<digits>" exactly: not "nvme0n1p1" (a partition) nor "nvme0c0n1" (a path of a
// multipath namespace, hidden behind nvme0n1).
bool is_nvme_namespace(const std::string& name) {
  if (name.rfind("nvme", 0) != 0) return false;
  size_t i = 4;
  size_t digits = i;
  while (i < name.size() && is_digit(name[i])) ++i;
  if (i == digits || i >= name.size() || name[i] != 'n') return false;
  return all_of_class(name, i + 1, is_digit);
}

// Orders names chunk by chunk: runs of digits as numbers, other runs shorter first and then
// alphabetically, so "sdz" < "sdaa" (as the kernel names them) and "loop2" < "loop10".
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digits = is_digit(a[i]) != 0;
    if (digits != (is_digit(b[j]) != 0)) return digits;  // a number sorts before letters
    size_t ie = i, je = j;
    while (ie < a.size() && (is_digit(a[ie]) != 0) == digits) ++ie;
    while (je < b.size() && (is_digit(b[je]) != 0) == digits) ++je;
    std::string ca = a.substr(i, ie - i), cb = b.substr(j, je - j);
    if (digits) {
      ca.erase(0, std::min(ca.find_first_not_of('0'), ca.size() - 1));
      cb.erase(0, std::min(cb.find_first_not_of('0'), cb.size() - 1));
    }
    if (ca.size() != cb.size()) return ca.size() < cb.size();
    if (ca != cb) return ca < cb;
    i = ie;
    j = je;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

SystemPaths system_paths() {
  std::lock_guard<std::mutex> lock(paths_mutex());
  return paths_storage();
}

void set_system_paths(const SystemPaths& paths) {
  std::lock_guard<std::mutex> lock(paths_mutex());
  paths_storage() = paths;
}

std::string read_attribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  const char* space = " \t\r\n";
  size_t first = line.find_first_not_of(space);
  if (first == std::string::npos) return {};
  size_t last = line.find_last_not_of(space);
  return line.substr(first, last - first + 1);
}

bool read_attribute_u64(const std::string& path, uint64_t* value) {
  std::string text = read_attribute(path);
  if (text.empty() || !all_of_class(text, 0, is_digit)) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool is_disk_name(const std::string& name) {
  auto letters_after = [&](const char* prefix) {
    const size_t n = std::char_traits<char>::length(prefix);
    return name.rfind(prefix, 0) == 0 && all_of_class(name, n, is_lower);
  };
  if (letters_after("sd") || letters_after("vd") || letters_after("xvd") || letters_after("hd")) return true;
  if (is_nvme_namespace(name)) return true;
  if (name.rfind("mmcblk", 0) == 0 && all_of_class(name, 6, is_digit)) return true;
  if (name.rfind("loop", 0) == 0 && all_of_class(name, 4, is_digit)) return true;
  return false;
}

std::vector<std::string> list_disk_names(const std::string& sys_block_dir) {
  std::vector<std::string> names;
  for (std::string& name : dir_entries(sys_block_dir)) {
    if (!is_disk_name(name)) continue;
    const std::string dir = sys_block_dir + "/" + name;
    if (exists(dir + "/partition")) continue;
    if (name.rfind("loop", 0) == 0 && read_attribute(dir + "/loop/backing_file").empty()) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), natural_less);
  return names;
}

std::vector<PartitionNode> partition_nodes(const std::string& sys_disk_dir) {
  std::vector<PartitionNode> nodes;
  for (std::string& name : dir_entries(sys_disk_dir)) {
    const std::string dir = sys_disk_dir + "/" + name;
    if (!exists(dir + "/partition")) continue;
    PartitionNode node;
    if (!read_attribute_u64(dir + "/start", &node.start_sector)) continue;
    if (!read_attribute_u64(dir + "/size", &node.sector_count)) continue;
    node.name = std::move(name);
    nodes.push_back(std::move(node));
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const PartitionNode& a, const PartitionNode& b) { return natural_less(a.name, b.name); });
  return nodes;
}

std::string partition_node_name(const std::string& disk_name, uint32_t number) {
  const bool ends_in_digit = !disk_name.empty() && is_digit(disk_name.back());
  return disk_name + (ends_in_digit ? "p" : "") + std::to_string(number);
}

BlockDevice find_block_device(const SystemPaths& paths, uint32_t major, uint32_t minor) {
  BlockDevice found;
  const std::string wanted = std::to_string(major) + ":" + std::to_string(minor);
  const std::string block_dir = paths.sys_dir + "/block";
  for (const std::string& disk : dir_entries(block_dir)) {
    const std::string dir = block_dir + "/" + disk;
    // A partition is looked up under its disk, where its start is known.
    if (read_attribute(dir + "/dev") == wanted && !exists(dir + "/partition")) {
      found.name = disk;
      return found;
    }
  }
  // Partitions are listed under their disk only.
  for (const std::string& disk : dir_entries(block_dir)) {
    const std::string dir = block_dir + "/" + disk;
    for (const std::string& child : dir_entries(dir)) {
      const std::string cdir = dir + "/" + child;
      if (!exists(cdir + "/partition") || read_attribute(cdir + "/dev") != wanted) continue;
      found.name = child;
      found.parent = disk;
      read_attribute_u64(cdir + "/start", &found.start_sector);
      return found;
    }
  }
  return found;
}

BlockDevice block_device_by_name(const SystemPaths& paths, const std::string& name) {
  BlockDevice found;
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return found;
  const std::string block_dir = paths.sys_dir + "/block";
  if (exists(block_dir + "/" + name + "/dev")) {
    found.name = name;
    return found;
  }
  for (const std::string& disk : dir_entries(block_dir)) {
    const std::string dir = block_dir + "/" + disk + "/" + name;
    if (!exists(dir + "/partition")) continue;
    found.name = name;
    found.parent = disk;
    read_attribute_u64(dir + "/start", &found.start_sector);
    return found;
  }
  return found;
}

bool loop_backing(const SystemPaths& paths, const std::string& name, LoopBacking* out) {
  if (name.rfind("loop", 0) != 0) return false;
  const std::string dir = paths.sys_dir + "/block/" + name + "/loop";
  LoopBacking info;
  info.backing_file = read_attribute(dir + "/backing_file");
  if (info.backing_file.empty()) return false;
  // A file removed after the attach shows as "<path> (deleted)" and matches no file any more.
  read_attribute_u64(dir + "/offset", &info.offset_bytes);
  read_attribute_u64(dir + "/sizelimit", &info.size_limit_bytes);
  *out = std::move(info);
  return true;
}

namespace {

// Device and inode of the loop device's backing file, from the kernel; false when the device
// node cannot be opened or asked.
bool loop_backing_identity(const std::string& node, dev_t* device, ino_t* inode) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  loop_info64 info {};
  const bool ok = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
  ::close(fd);
  if (!ok) return false;
  *device = dev_t(info.lo_device);
  *inode = ino_t(info.lo_inode);
  return true;
}

}  // namespace

std::vector<std::string> loop_devices_over_file(const SystemPaths& paths, const std::string& path) {
  std::vector<std::string> out;
  struct stat target {};
  if (path.empty() || ::stat(path.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return out;
  for (const std::string& name : dir_entries(paths.sys_dir + "/block")) {
    LoopBacking loop;
    if (!loop_backing(paths, name, &loop)) continue;
    const std::string node = paths.dev_dir + "/" + name;
    dev_t device = 0;
    ino_t inode = 0;
    const bool same = loop_backing_identity(node, &device, &inode)
                          ? major(device) == major(target.st_dev) && minor(device) == minor(target.st_dev) &&
                                inode == target.st_ino
                          : same_file(loop.backing_file, path);
    if (same) out.push_back(node);
  }
  std::sort(out.begin(), out.end(), natural_less);
  return out;
}

std::vector<std::string> dm_slaves(const SystemPaths& paths, const std::string& name) {
  if (name.rfind("dm-", 0) != 0) return {};
  std::vector<std::string> slaves = dir_entries(paths.sys_dir + "/block/" + name + "/slaves");
  std::sort(slaves.begin(), slaves.end(), natural_less);
  return slaves;
}

void fill_geometry(_DISK_INFOMATION* disk, int fd) {
  uint32_t heads = 255, sectors = 63;
  hd_geometry geo {};
  if (fd >= 0 && ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
    heads = geo.heads;
    sectors = geo.sectors;
  }
  disk->heads = heads;
  disk->sectors_per_track = sectors;
  disk->sectors_per_cylinder = heads * sectors;
  const uint64_t cylinders = disk->total_sectors / disk->sectors_per_cylinder;
  disk->cylinders = cylinders > UINT32_MAX ? UINT32_MAX : uint32_t(cylinders);
}

bool same_file(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  if (S_ISBLK(sa.st_mode) || S_ISBLK(sb.st_mode)) {
    return S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode) && sa.st_rdev == sb.st_rdev;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace tav::disk
