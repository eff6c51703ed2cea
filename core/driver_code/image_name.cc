// Names of EGO volume files: "<dir>/<base><vol>.ego".
#include "core/driver_code/image_name.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/driver_code/ego_format.h"
#include "core/last_error.h"
#include "core/memory.h"

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
