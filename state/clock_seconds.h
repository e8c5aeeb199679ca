#pragma once

namespace kova {

// The time of day in seconds since local midnight, with a fraction; restarts at 0 at midnight.
using ClockSeconds = float;

}  // namespace kova
