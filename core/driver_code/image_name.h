// Names of volume files: directory, base name, volume number and ".ego".
#pragma once

#include <optional>
#include <string>

// Newly allocated (free with libtavpub_xfree) name of volume `vol` of base name `basename` in
// directory `path`: "<path>/<basename><vol>.ego", the separator left out when `path` already
// ends with "/" or "\" or is empty (the current directory). Cut to at most 599 bytes, never
// inside a UTF-8 character. Null when an argument is missing or `vol` is negative, or when memory runs out.
char* libtavimg_create_image_name(const char* path, const char* basename, int vol);

namespace tav::img {

// The same name as a std::string; nullopt for a negative volume.
std::optional<std::string> image_volume_name(const std::string& dir, const std::string& basename, int vol);

}  // namespace tav::img
