#pragma once

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

// Turns received lines into position updates, the window's data lines and the log.
class NmeaDecoder {
 public:
  NmeaDecoder(SharedState& state, Window& window, Clock& clock, char decimalSeparator);

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
  char m_separator;
  // Kept between lines so that steady decoding allocates nothing.
  std::string m_posText;
  std::string m_hvText;
};

}  // namespace kova
