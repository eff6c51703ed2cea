#include "cli/partition_columns.h"

#include <cstdio>

#include "disk/disk.h"
#include "disk/part_record.h"

namespace tav::cli {

std::string partition_type_text(uint8_t type) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", type);
  return buf;
}

std::string pad_column(std::string text, size_t width) {
  // A text that fills its column still gets one space, so it never runs into the next one.
  text.append(text.size() < width ? width - text.size() : 1, ' ');
  return text;
}

std::string file_system_text(const BACKUP_PARTITION_INFO& part) {
  if (part.fs == nullptr) return {};
  std::string name = disk::part_fs_name(part);
  return name.empty() ? std::string(part.fs->name) : name;
}

}  // namespace tav::cli
