// Struct sums of EGO records (see struct_sum.h and the record layouts in ego_format.h).
#include "format/struct_sum.h"

#include <cstring>

#include "core/byte_order.h"

uint32_t libtavimg_calc_struct_sum32(const void* buffer, uint32_t length) {
  if (buffer == nullptr) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  uint32_t sum = 0;
  // Whole words only: the 1-3 bytes after the last whole word are not covered.
  for (uint64_t off = 0; off + 4 <= length; off += 4) sum += tav::get_le32(p + off);
  return sum;
}

int libtavimg_check_struct_sum32(void* buffer, uint32_t length, void* checksum_field) {
  if (buffer == nullptr || checksum_field == nullptr) return 0;
  uint8_t saved[4];
  std::memcpy(saved, checksum_field, sizeof saved);
  std::memset(checksum_field, 0, sizeof saved);
  const uint32_t sum = libtavimg_calc_struct_sum32(buffer, length);
  std::memcpy(checksum_field, saved, sizeof saved);
  return tav::get_le32(saved) == uint32_t(0u - sum) ? 1 : 0;
}

namespace tav::img {
namespace {

// Sum of the record's whole words with the 4 bytes at `sum_offset` taken as 0. Each field byte at
// position p contributed byte << 8 * (p % 4) to the full sum when it lies in a covered word, so
// it is taken out again; this works for any alignment of the field.
uint32_t sum_with_field_zeroed(std::span<const uint8_t> record, size_t sum_offset) {
  const size_t covered = record.size() / 4 * 4;
  uint32_t sum = 0;
  for (size_t off = 0; off < covered; off += 4) sum += get_le32(record.data() + off);
  for (size_t p = sum_offset; p < sum_offset + 4 && p < covered; ++p) {
    sum -= uint32_t(record[p]) << (8 * (p % 4));
  }
  return sum;
}

}  // namespace

void seal_struct_sum(std::span<uint8_t> record, size_t sum_offset) {
  if (sum_offset > record.size() || record.size() - sum_offset < 4) return;
  put_le32(record.data() + sum_offset, 0);
  put_le32(record.data() + sum_offset, 0u - sum_with_field_zeroed(record, sum_offset));
}

bool verify_struct_sum(std::span<const uint8_t> record, size_t sum_offset) {
  if (sum_offset > record.size() || record.size() - sum_offset < 4) return false;
  const uint32_t stored = get_le32(record.data() + sum_offset);
  return stored == uint32_t(0u - sum_with_field_zeroed(record, sum_offset));
}

}  // namespace tav::img
