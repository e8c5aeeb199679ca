#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kova {

// Cuts a recorded NMEA log into the bursts a receiver sends once a second. Every line is sent
// with CR LF, whatever its ending in the file; empty lines are dropped. A new burst begins at a
// $GPRMC, $GPGGA, $GNRMC or $GNGGA whose time differs from the burst's, or whose kind the burst
// already holds (receivers without a fix often send no time at all).
std::vector<std::string> PlanBursts(std::string_view log);

}  // namespace kova
