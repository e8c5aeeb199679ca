#include "app/data_lines.h"

#include <utility>

#include "nmea/decoder.h"
#include "state/fix_text.h"
#include "state/number_format.h"

namespace kova {
namespace {

constexpr std::string_view Degree = "\u00B0";

}  // namespace

void WritePositionLine(std::string& out, const PositionState& p, std::string_view separator) {
  out.assign("Lat: ");
  AppendNumber(out, p.Latitude, 5, separator);
  out.append(Degree).append("  Lon: ");
  AppendNumber(out, p.Longitude, 5, separator);
  out.append(Degree).append("  Alt: ");
  AppendNumber(out, p.Altitude, 2, separator);
  out.append("m");
}

void WriteHeadingVelocityLine(std::string& out, const PositionState& p,
                              std::string_view separator) {
  out.assign("Heading: ");
  AppendNumber(out, p.Heading, 1, separator);
  out.append(Degree).append("  Velocity: ");
  AppendNumber(out, p.Speed, 2, separator);
  out.append("kn");
}

DataLines::DataLines(PositionState& position, Window& window, std::string decimalSeparator)
    : m_position(position), m_window(window), m_separator(std::move(decimalSeparator)) {
  WritePositionLine(m_posText, m_position, m_separator);
  WriteHeadingVelocityLine(m_hvText, m_position, m_separator);
}

void DataLines::ProcGPSNMEA(std::string_view line) {
  m_window.prependLog(line);
  const unsigned changed = DecodeSentence(line, m_position);
  if (changed & PlaceChanged) WritePositionLine(m_posText, m_position, m_separator);
  if (changed & CourseChanged) WriteHeadingVelocityLine(m_hvText, m_position, m_separator);
  // Even a line that changes nothing shows the data lines: the first one replaces the captions.
  m_window.setLabel(Label::Pos, m_posText, true);
  m_window.setLabel(Label::HV, m_hvText, true);
  // An unknown mode leaves the line as it was.
  if (const std::string_view text = FixText(m_position.FixMode); !text.empty())
    m_window.setLabel(Label::Fix, text, false);
}

}  // namespace kova
