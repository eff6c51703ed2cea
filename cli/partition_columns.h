// Pieces of the partition tables that `tav disks` and `tav list` print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct BACKUP_PARTITION_INFO;

namespace tav::cli {

// The partition type byte as "0x0c".
std::string partition_type_text(uint8_t type);
// `text` padded with spaces to `width` bytes; longer text is kept whole and followed by one space.
std::string pad_column(std::string text, size_t width);
// The recognised file system's own name ("ext4", "FAT32"), else its handler's name; empty when
// no file system was recognised.
std::string file_system_text(const BACKUP_PARTITION_INFO& part);

}  // namespace tav::cli
