// Bit helpers.
#pragma once

#include <cstdint>

namespace tav {

// 0 for 0, else the 1-based position of the lowest set bit. In our namespace because the C
// library's ffs(int) takes a signed argument.
int ffs(uint32_t value);

}  // namespace tav
