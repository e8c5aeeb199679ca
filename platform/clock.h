#pragma once

#include <chrono>

namespace kova {

// The time of day in seconds since local midnight, with a fraction; restarts at 0 at midnight.
using ClockSeconds = float;

class Clock {
 public:
  virtual ~Clock() = default;
  // The local time of day in seconds since midnight.
  virtual ClockSeconds timeOfDay() = 0;
  // A clock that only moves forward, for measuring intervals across midnight.
  virtual std::chrono::nanoseconds monotonic() = 0;
};

}  // namespace kova
