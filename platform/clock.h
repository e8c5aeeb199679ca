#pragma once

#include <chrono>

namespace kova {

class Clock {
 public:
  virtual ~Clock() = default;
  // A clock that only moves forward, for measuring intervals.
  virtual std::chrono::nanoseconds monotonic() = 0;
};

}  // namespace kova
