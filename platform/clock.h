#pragma once

#include <chrono>

#include "state/clock_seconds.h"

namespace kova {

class Clock {
 public:
  virtual ~Clock() = default;
  // The local time of day in seconds since midnight.
  virtual ClockSeconds timeOfDay() = 0;
  // A clock that only moves forward, for measuring intervals across midnight.
  virtual std::chrono::nanoseconds monotonic() = 0;
};

}  // namespace kova
