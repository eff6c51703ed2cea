// The two run (extent) forms of the core library: the flat run stored in image files and the
// image run that vectors and set operations work on. Vectors of both are in extent_vector.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Run types (IMAGE_RUN::type).
enum : uint32_t {
  RUN_TYPE_DATA = 0,    // sectors that hold data; every unmarked flat run converts to this type
  RUN_TYPE_COMMON = 1,  // diff result: sectors present in both inputs
  RUN_TYPE_MINUS = 2,   // sectors taken away (only in the older diff input, or removed by an
                        // overlay's upper layer); the only type marked in flat form
  RUN_TYPE_ADDED = 3,   // diff result: sectors present only in the newer input
};

// Flat run, 8 bytes, the form stored in run tables of image files. Sector numbers and counts
// are relative to the start of the partition or disk the vector describes.
//   offset 0  u32 Begin   first sector
//   offset 4  u32 Number  bits 0-30: number of sectors; bit 31 marks a minus run
struct FLAT_RUN {
  uint32_t Begin;
  uint32_t Number;
};
static_assert(sizeof(FLAT_RUN) == 8);

// Bit 31 of FLAT_RUN::Number: the run is a minus run.
inline constexpr uint32_t kFlatRunMinusFlag = 0x80000000u;
// Largest sector count a flat run can hold.
inline constexpr uint32_t kFlatRunMaxSectors = 0x7FFFFFFFu;

// Image run, the working form. value.Number is a plain sector count (no flag bit); a minus run
// is marked by `type`.
struct IMAGE_RUN {
  FLAT_RUN value;     // first sector and number of sectors
  uint32_t type;      // RUN_TYPE_*
  uint32_t snapshot;  // index of the snapshot whose data covers these sectors (0 unless set)
};
static_assert(sizeof(IMAGE_RUN) == 16);
static_assert(offsetof(IMAGE_RUN, value) == 0);

namespace tav {

// One past the last sector of a run, in 64 bits so that a run ending at 2^32 does not wrap.
inline uint64_t run_end(const IMAGE_RUN& run) { return uint64_t{run.value.Begin} + run.value.Number; }

inline bool flat_run_is_minus(const FLAT_RUN& run) { return (run.Number & kFlatRunMinusFlag) != 0; }
inline uint32_t flat_run_sectors(const FLAT_RUN& run) { return run.Number & kFlatRunMaxSectors; }
inline uint64_t flat_run_end(const FLAT_RUN& run) { return uint64_t{run.Begin} + flat_run_sectors(run); }

}  // namespace tav
