#pragma once

#include "platform/clock.h"

namespace kova {

// The host's steady clock.
class QtClock : public Clock {
 public:
  std::chrono::nanoseconds monotonic() override;
};

}  // namespace kova
