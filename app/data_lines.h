#pragma once

#include <string>
#include <string_view>

#include "platform/window.h"
#include "state/position_state.h"

namespace kova {

// The position line, "Lat: 48.11730°  Lon: 11.51667°  Alt: 545.40m" with "." as the separator.
void WritePositionLine(std::string& out, const PositionState& p, std::string_view separator);

// The heading/velocity line, "Heading: 84.4°  Velocity: 22.40kn" with "." as the separator.
void WriteHeadingVelocityLine(std::string& out, const PositionState& p,
                              std::string_view separator);

// Turns received lines into position updates, the window's data lines and the log.
class DataLines {
 public:
  // decimalSeparator is UTF-8 text, as the window shows it.
  DataLines(PositionState& position, Window& window, std::string decimalSeparator);

  // One framed line, CR LF included. Every line is logged and shows the data lines, whether or
  // not it decodes.
  void ProcGPSNMEA(std::string_view line);

 private:
  PositionState& m_position;
  Window& m_window;
  std::string m_separator;
  // Rewritten only when their values change, so that steady decoding allocates nothing.
  std::string m_posText;
  std::string m_hvText;
};

}  // namespace kova
