// The services' clock and its test override.
#include "services/service_clock.h"

#include <ctime>
#include <utility>

namespace tav::services {

namespace {
std::function<int64_t()>& clock_slot() {
  static std::function<int64_t()> clock;
  return clock;
}
}  // namespace

int64_t service_now() {
  const auto& clock = clock_slot();
  return clock ? clock() : int64_t(std::time(nullptr));
}

ScopedServiceClock::ScopedServiceClock(std::function<int64_t()> clock) : previous_(std::move(clock_slot())) {
  clock_slot() = std::move(clock);
}

ScopedServiceClock::~ScopedServiceClock() { clock_slot() = std::move(previous_); }

}  // namespace tav::services
