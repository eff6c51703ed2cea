// The input of the image reader fuzz target: several volume files of one storage in one blob.
//
// Layout: a sequence of entries, each
//   u8   volume number (the file is imbackup<N>.ego)
//   u32  length in bytes, little-endian
//   ...  the file's bytes
// A length beyond the end of the blob takes what is left; at most kMaxVolumes entries are taken,
// and a volume number given twice keeps its last entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tav::fuzz {

constexpr size_t kMaxVolumes = 16;

struct VolumeEntry {
  uint8_t vol = 0;
  std::vector<uint8_t> bytes;
};

inline std::vector<VolumeEntry> split_container(const uint8_t* data, size_t size) {
  std::vector<VolumeEntry> out;
  size_t at = 0;
  while (at + 5 <= size && out.size() < kMaxVolumes) {
    VolumeEntry e;
    e.vol = data[at];
    const uint32_t length = uint32_t(data[at + 1]) | uint32_t(data[at + 2]) << 8 | uint32_t(data[at + 3]) << 16 |
                            uint32_t(data[at + 4]) << 24;
    at += 5;
    const size_t take = length < size - at ? size_t(length) : size - at;
    e.bytes.assign(data + at, data + at + take);
    at += take;
    out.push_back(std::move(e));
  }
  return out;
}

inline void append_entry(std::vector<uint8_t>* blob, uint8_t vol, const std::vector<uint8_t>& bytes) {
  const uint32_t n = uint32_t(bytes.size());
  blob->push_back(vol);
  for (int i = 0; i < 4; ++i) blob->push_back(uint8_t(n >> (8 * i)));
  blob->insert(blob->end(), bytes.begin(), bytes.end());
}

}  // namespace tav::fuzz
