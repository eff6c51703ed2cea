// Names of EGO volume files: "<dir>/<base><vol>.ego", and reading them back.
#include "format/image_name.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "core/last_error.h"
#include "core/memory.h"
#include "format/ego_format.h"

namespace tav::img {
namespace {

std::string build_volume_name(std::string_view dir, std::string_view basename, int vol) {
  std::string name(dir);
  // An empty directory means the current one: no separator, or the name would point at the
  // root directory.
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') name += '/';
  name += basename;
  name += std::to_string(vol);
  name += ".ego";
  if (name.size() > kMaxVolumeNameChars) {
    // Cut between characters: never leave the first bytes of a UTF-8 sequence at the end.
    size_t cut = kMaxVolumeNameChars;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return name;
}

}  // namespace

std::optional<std::string> image_volume_name(const std::string& dir, const std::string& basename, int vol) {
  if (vol < 0) return std::nullopt;
  return build_volume_name(dir, basename, vol);
}

std::optional<uint64_t> volume_number_in_name(std::string_view name, std::string_view base_name,
                                              bool extension_any_case) {
  constexpr std::string_view kExtension = ".ego";
  if (name.size() < base_name.size() + kExtension.size() || name.substr(0, base_name.size()) != base_name) {
    return std::nullopt;
  }
  const std::string_view extension = name.substr(name.size() - kExtension.size());
  const bool extension_matches =
      extension == kExtension ||
      (extension_any_case && ::strncasecmp(extension.data(), kExtension.data(), kExtension.size()) == 0);
  if (!extension_matches) return std::nullopt;
  const std::string_view digits = name.substr(base_name.size(), name.size() - base_name.size() - kExtension.size());
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    number = number > (kMax - digit) / 10 ? kMax : number * 10 + digit;
  }
  return number;
}

Status list_volume_names(const std::string& directory, const std::string& base_name, bool extension_any_case,
                         std::vector<VolumeFileName>* found) {
  const std::string shown = directory.empty() ? "." : directory;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(shown.c_str()), ::closedir);
  if (!dir) return Status::io_error("cannot read the directory " + shown + ": " + std::strerror(errno));
  std::vector<VolumeFileName> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (const auto number = volume_number_in_name(entry->d_name, base_name, extension_any_case)) {
      names.push_back({*number, entry->d_name});
    }
    errno = 0;  // readdir sets it only on failure; the loop body must not leave a stale value
  }
  if (errno != 0) return Status::io_error("cannot read the directory " + shown + ": " + std::strerror(errno));
  std::sort(names.begin(), names.end(), [](const VolumeFileName& a, const VolumeFileName& b) {
    return a.number != b.number ? a.number < b.number : a.name < b.name;
  });
  *found = std::move(names);
  return Status::ok();
}

}  // namespace tav::img

char* libtavimg_create_image_name(const char* path, const char* basename, int vol) {
  if (path == nullptr || basename == nullptr || vol < 0) {
    tav::set_last_error(EINVAL);
    return nullptr;
  }
  std::string name;
  try {
    name = tav::img::build_volume_name(path, basename, vol);
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
  auto* out = static_cast<char*>(libtavpub_xmalloc(name.size() + 1));
  if (out == nullptr) {
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
  std::memcpy(out, name.c_str(), name.size() + 1);
  return out;
}
