// The calling thread's last error: exported core functions return 1 or 0 and leave the reason
// here. Codes are errno values, or the suite's own codes from 0xE0000000 up.
#pragma once

#include <cstdint>

namespace tav {

void set_last_error(uint32_t code);
uint32_t get_last_error();

}  // namespace tav
