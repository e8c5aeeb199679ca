#pragma once

#include <chrono>

#include "platform/clock.h"

namespace kova {

// A clock that moves only when told.
class FakeClock : public Clock {
 public:
  std::chrono::nanoseconds monotonic() override { return m_monotonic; }

  void advance(std::chrono::nanoseconds step) { m_monotonic += step; }

 private:
  // Starts well past zero, as a real monotonic clock does some time after boot.
  std::chrono::nanoseconds m_monotonic = std::chrono::hours(1);
};

}  // namespace kova
