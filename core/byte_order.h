// Little-endian field access for on-disk records. Records are decoded from bytes, never by
// casting buffers to structs, so the host's struct layout and byte order play no part.
#pragma once

#include <cstdint>

namespace tav {

// Unchecked accessors: the caller has verified that offset + width lies inside the buffer
// (record decoders check the record length once, up front). Compilers fold these into single
// loads and stores.
inline uint16_t get_le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t get_le64(const uint8_t* p) { return uint64_t(get_le32(p)) | (uint64_t(get_le32(p + 4)) << 32); }
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  put_le32(p, uint32_t(v));
  put_le32(p + 4, uint32_t(v >> 32));
}

}  // namespace tav
