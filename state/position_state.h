#pragma once

#include <cstdint>

namespace kova {

// The latest values decoded from the receiver. Values from different sentences mix: each field
// keeps its value until a later sentence overwrites it.
struct PositionState {
  float Latitude = 0;    // degrees, north positive
  float Longitude = 0;   // degrees, east positive
  float Altitude = 0;    // metres, as the receiver sends it
  float Heading = 0;     // degrees, course over ground
  float Speed = 0;       // knots, speed over ground
  float FixQuality = 0;  // 0 invalid, 1 GPS, 2 differential, higher values as sent
  std::int16_t FixMode = 0;  // 1 no fix, 2 two-dimensional, 3 three-dimensional; 0 until first set
};

}  // namespace kova
