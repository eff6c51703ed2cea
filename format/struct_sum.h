// Struct sums of EGO records: the negated 32-bit sum of a record's whole little-endian words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Sum of the first floor(length / 4) little-endian 32-bit words of `buffer`. The writer stores
// the negation of this value, computed while the checksum field is 0.
uint32_t libtavimg_calc_struct_sum32(const void* buffer, uint32_t length);

// 1 when the record's saved checksum equals the negated sum computed with the field zeroed,
// else 0. `checksum_field` points at the u32 field inside `buffer`; it is zeroed for the
// computation and restored before returning.
int libtavimg_check_struct_sum32(void* buffer, uint32_t length, void* checksum_field);

namespace tav::img {

// Computes the sum with the field at `sum_offset` taken as 0 and stores its negation there.
void seal_struct_sum(std::span<uint8_t> record, size_t sum_offset);

// True when the stored sum at `sum_offset` matches; does not modify the record.
bool verify_struct_sum(std::span<const uint8_t> record, size_t sum_offset);

}  // namespace tav::img
