#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/window.h"
#include "state/shared_state.h"

namespace kova {

// The decimal number at the start of text, "." as the point whatever the locale. Blanks, tabs
// and line feeds are skipped wherever they stand; then an optional sign, digits, an optional "."
// with digits and an optional exponent. No digit gives 0, and so does a magnitude beyond the
// largest float, so every result fits the float fields.
double LeadingNumber(std::string_view text);

// An NMEA latitude (ddmm.mmm) or longitude (dddmm.mmm) field in degrees.
float NmeaToDegrees(std::string_view text);

// The position line, "Lat: 48.11730°  Lon: 11.51667°  Alt: 545.40m" with "." as the separator.
void WritePositionLine(std::string& out, const PositionState& p, std::string_view separator);

// The heading/velocity line, "Heading: 84.4°  Velocity: 22.40kn" with "." as the separator.
void WriteHeadingVelocityLine(std::string& out, const PositionState& p,
                              std::string_view separator);

// The fix line's text for a fix mode; empty for a mode that leaves the line as it was.
std::string_view FixText(std::int16_t fixMode);

// Turns received lines into position updates, the window's data lines and the log.
class NmeaDecoder {
 public:
  // decimalSeparator is UTF-8 text, as the window shows it.
  NmeaDecoder(SharedState& state, Window& window, Clock& clock, std::string decimalSeparator);

  // One framed line, CR LF included. Every line is logged and stamps the last-receive time,
  // whether or not it decodes.
  void ProcGPSNMEA(std::string_view line);

 private:
  void ShowPosition();
  void ShowHeadingVelocity();
  void ShowFix();

  SharedState& m_state;
  Window& m_window;
  Clock& m_clock;
  std::string m_separator;
  // Kept between lines so that steady decoding allocates nothing.
  std::string m_posText;
  std::string m_hvText;
};

}  // namespace kova
