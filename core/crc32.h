// CRC-32 of the image format: reflected polynomial 0xEDB88320, initial value and final xor
// 0xFFFFFFFF (ISO-HDLC; the check value of "123456789" is 0xCBF43926).
#pragma once

#include <cstddef>
#include <cstdint>

// Builds the process-wide table for a reflected polynomial. Programs call it once at start with
// 0xEDB88320. Without a call the table of 0xEDB88320 is used. Safe against concurrent
// libtavpub_crc32_calc: tables are immutable once published and kept for the life of the process
// (one per distinct polynomial), so a calculation uses one whole table, the old or the new.
void libtavpub_crc32_reset(uint32_t polynomial);

// CRC-32 of `length` bytes, each call starting afresh; a length of 0 gives 0 (`buffer` may then
// be null). With the default polynomial this runs libdeflate's vectorised CRC-32; other
// polynomials use the table a byte at a time.
uint32_t libtavpub_crc32_calc(const void* buffer, size_t length);

namespace tav {
constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;
}
