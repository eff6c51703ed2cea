// The sector: the unit in which every layer counts disk space. Sector numbers and counts in the
// disk library, the volume format, the engine and the mount daemon are all of this size,
// whatever the logical sector size of the device or of the file system on it.
#pragma once

#include <cstddef>

namespace tav {

inline constexpr size_t kSectorSize = 512;  // bytes

}  // namespace tav
