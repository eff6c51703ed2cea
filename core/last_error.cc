// The calling thread's last error code.
#include "core/last_error.h"

namespace tav {
namespace {
thread_local uint32_t t_last_error = 0;
}

void set_last_error(uint32_t code) { t_last_error = code; }
uint32_t get_last_error() { return t_last_error; }

}  // namespace tav
