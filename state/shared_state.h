#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "state/clock_seconds.h"
#include "state/position_state.h"

namespace kova {

// Everything the main window holds for the run besides its controls.
struct SharedState {
  PositionState Position;
  // The COM port on which the last scan found the receiver; 0 when none.
  std::int16_t GpsPort = 0;
  // Serial characters received but not yet framed into lines.
  std::string RxBuffer;
  // When the last line reached the decoder, decodable or not: as a time of day, and on the
  // monotonic clock, which the watchdog uses so that midnight changes nothing.
  ClockSeconds LastRxTime = 0;
  std::optional<std::chrono::nanoseconds> LastRxMonotonic;
};

}  // namespace kova
