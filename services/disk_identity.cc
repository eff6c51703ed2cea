// Stable disk names from /dev/disk/by-id.
#include "services/disk_identity.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "disk/disk.h"

namespace tav::services {

std::string stable_disk_id(const _DISK_INFOMATION& disk, const std::string& by_id_dir) {
  if (disk.is_file != 0) return "file:" + disk.path;
  std::error_code ec;
  const std::filesystem::path device = std::filesystem::canonical(disk.path, ec);
  if (!ec) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(by_id_dir, ec)) {
      const std::string name = e.path().filename().string();
      if (name.find("-part") != std::string::npos) continue;
      std::error_code link_ec;
      if (std::filesystem::canonical(e.path(), link_ec) == device && !link_ec) names.push_back(name);
    }
    if (!names.empty()) return "by-id:" + *std::min_element(names.begin(), names.end());
  }
  return "dev:" + disk.path;
}

}  // namespace tav::services
