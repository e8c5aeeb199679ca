#pragma once

#include "platform/clock.h"

namespace kova {

// The host's local time of day (to the millisecond) and its steady clock.
class QtClock : public Clock {
 public:
  ClockSeconds timeOfDay() override;
  std::chrono::nanoseconds monotonic() override;
};

}  // namespace kova
