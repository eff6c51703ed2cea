// Names of volume files: directory, base name, volume number and ".ego"; reading a volume
// number back from a file name, and the volume files of a base name in a directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"

// Newly allocated (free with libtavpub_xfree) name of volume `vol` of base name `basename` in
// directory `path`: "<path>/<basename><vol>.ego", the separator left out when `path` already
// ends with "/" or "\" or is empty (the current directory). Cut to at most 599 bytes, never
// inside a UTF-8 character. Null when an argument is missing or `vol` is negative, or when memory runs out.
char* libtavimg_create_image_name(const char* path, const char* basename, int vol);

namespace tav::img {

// The same name as a std::string; nullopt for a negative volume.
std::optional<std::string> image_volume_name(const std::string& dir, const std::string& basename, int vol);

// The volume number `name` (a file name, no directory) gives as a volume of `base_name`: the
// base name, decimal digits and ".ego". The catalogue loads every such file, so the reading is
// wide: no digits read as 0, leading zeros are allowed, and a number beyond 2^64 - 1 reads as
// UINT64_MAX. `extension_any_case` also takes ".EGO", ".Ego", ... (for a writer choosing a name
// that a file system ignoring case could take for an existing file). nullopt for other names.
std::optional<uint64_t> volume_number_in_name(std::string_view name, std::string_view base_name,
                                              bool extension_any_case = false);

struct VolumeFileName {
  uint64_t number = 0;  // volume_number_in_name() of `name`
  std::string name;     // the file name in the directory
};

// The entries of `directory` ("" is the current directory) that volume_number_in_name() reads as
// volumes of `base_name`, of any file type, in order of number, then name. io_error naming the
// directory when it cannot be opened or read.
Status list_volume_names(const std::string& directory, const std::string& base_name, bool extension_any_case,
                         std::vector<VolumeFileName>* found);

}  // namespace tav::img
