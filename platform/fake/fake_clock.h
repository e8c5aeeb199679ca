#pragma once

#include <chrono>

#include "platform/clock.h"

namespace kova {

// A clock that moves only when told. The time of day wraps at midnight; the monotonic time
// does not.
class FakeClock : public Clock {
 public:
  static constexpr double SecondsPerDay = 86400.0;

  explicit FakeClock(double timeOfDaySeconds = 36000.0) : m_timeOfDay(timeOfDaySeconds) {}

  ClockSeconds timeOfDay() override { return static_cast<ClockSeconds>(m_timeOfDay); }
  std::chrono::nanoseconds monotonic() override { return m_monotonic; }

  void advance(std::chrono::nanoseconds step) {
    m_monotonic += step;
    m_timeOfDay += std::chrono::duration<double>(step).count();
    while (m_timeOfDay >= SecondsPerDay) m_timeOfDay -= SecondsPerDay;
  }

 private:
  double m_timeOfDay;
  // Starts well past zero, as a real monotonic clock does some time after boot.
  std::chrono::nanoseconds m_monotonic = std::chrono::hours(1);
};

}  // namespace kova
