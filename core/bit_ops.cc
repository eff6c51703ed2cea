// Bit helpers. Core library (TavPub).
#include "core/bit_ops.h"

#include <bit>

namespace tav {

int ffs(uint32_t value) { return value == 0 ? 0 : std::countr_zero(value) + 1; }

}  // namespace tav
