#pragma once

#include <string_view>

#include "state/position_state.h"

namespace kova {

// The decimal number at the start of text, "." as the point whatever the locale. Blanks, tabs
// and line feeds are skipped wherever they stand; then an optional sign, digits, an optional "."
// with digits and an optional exponent. No digit gives 0, and so does a magnitude beyond the
// largest float, so every result fits the float fields.
double LeadingNumber(std::string_view text);

// An NMEA latitude (ddmm.mmm) or longitude (dddmm.mmm) field in degrees.
float NmeaToDegrees(std::string_view text);

// What a line changed in the position record, in the groups the window shows together.
enum Change : unsigned {
  NothingChanged = 0,
  PlaceChanged = 1u << 0,   // latitude, longitude, altitude
  CourseChanged = 1u << 1,  // heading, speed
  FixChanged = 1u << 2,     // fix quality, fix mode
};

// Decodes one framed line (CR LF included) into position: $GPGGA, $GPRMC and $GPGSA with their
// fields, and the same sentences of the GNSS talker ($GNGGA ...), when their checksum, if they
// carry one, holds; anything else leaves it as it was. Returns the Change bits of what differs
// now.
unsigned DecodeSentence(std::string_view line, PositionState& position);

}  // namespace kova
