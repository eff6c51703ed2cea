// An independent reading of zlib streams made of stored blocks (RFC 1950 and 1951, BTYPE 00),
// for tests that check how a unit was stored without going through the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tav::test {

inline uint32_t adler32_of(std::span<const uint8_t> data) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

// True when `stream` is a zlib header, stored blocks only (each starting on a byte boundary, LEN
// and NLEN agreeing, the last one marked final) and the Adler-32 of their bytes, with nothing
// after it; `data` gets the blocks' bytes. Else false with the reason in `why`.
inline bool read_stored_stream(std::span<const uint8_t> stream, std::vector<uint8_t>* data, std::string* why) {
  data->clear();
  if (stream.size() < 2 || (stream[0] & 0x0F) != 8 || ((stream[0] << 8) | stream[1]) % 31 != 0 || (stream[1] & 0x20)) {
    *why = "not a zlib header";
    return false;
  }
  size_t at = 2;
  for (bool final_block = false; !final_block;) {
    if (at + 5 > stream.size()) {
      *why = "stream ends inside a block header";
      return false;
    }
    const uint8_t header = stream[at];
    if (((header >> 1) & 3) != 0 || (header >> 3) != 0) {
      *why = "a block that is not a stored block at byte " + std::to_string(at);
      return false;
    }
    final_block = (header & 1) != 0;
    const uint32_t len = stream[at + 1] | (uint32_t(stream[at + 2]) << 8);
    const uint32_t nlen = stream[at + 3] | (uint32_t(stream[at + 4]) << 8);
    if ((len ^ 0xFFFF) != nlen) {
      *why = "LEN and NLEN disagree";
      return false;
    }
    at += 5;
    if (at + len > stream.size()) {
      *why = "a stored block runs past the stream";
      return false;
    }
    data->insert(data->end(), stream.begin() + ptrdiff_t(at), stream.begin() + ptrdiff_t(at + len));
    at += len;
  }
  if (at + 4 != stream.size()) {
    *why = "not exactly the Adler-32 after the last block";
    return false;
  }
  const uint32_t adler = (uint32_t(stream[at]) << 24) | (uint32_t(stream[at + 1]) << 16) |
                         (uint32_t(stream[at + 2]) << 8) | stream[at + 3];
  if (adler != adler32_of(*data)) {
    *why = "wrong Adler-32";
    return false;
  }
  return true;
}

}  // namespace tav::test
