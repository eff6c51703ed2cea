// The clock of the application services: the operation log's record times and the scheduler's
// due rules read "now" here, so tests can pin it. Application services (TavPub2).
#pragma once

#include <cstdint>
#include <functional>

namespace tav::services {

// Seconds since 1970-01-01 UTC: the system clock unless a test clock is set.
int64_t service_now();

// Replaces the clock for the life of the object (tests); the previous clock comes back after.
// Not thread-safe against concurrent service_now calls: set it before the code under test runs.
class ScopedServiceClock {
 public:
  explicit ScopedServiceClock(std::function<int64_t()> clock);
  ~ScopedServiceClock();
  ScopedServiceClock(const ScopedServiceClock&) = delete;
  ScopedServiceClock& operator=(const ScopedServiceClock&) = delete;

 private:
  std::function<int64_t()> previous_;
};

}  // namespace tav::services
