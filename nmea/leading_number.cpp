#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "nmea/decoder.h"

namespace kova {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double LeadingNumber(std::string_view text) {
  // Only the characters a number can be made of matter, and blanks, tabs and line feeds do not
  // count wherever they stand.
  std::string number;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') continue;
    if (!IsDigit(c) && c != '.' && c != '+' && c != '-' && c != 'e' && c != 'E') break;
    number += c;
  }

  // The standard reader takes no "+", and after our sign it would take a second one.
  std::string_view rest = number;
  const bool negative = rest.starts_with('-');
  if (negative || rest.starts_with('+')) rest.remove_prefix(1);
  if (rest.empty() || !(IsDigit(rest[0]) || rest[0] == '.')) return 0;

  // It rounds exactly however many digits there are, and stops where the form ends.
  double value = 0;
  const auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  // "-0" gives 0 like any other zero, and so does a magnitude beyond the largest float.
  if (parsed.ec != std::errc{} || value == 0 || value > std::numeric_limits<float>::max()) return 0;
  return negative ? -value : value;
}

float NmeaToDegrees(std::string_view text) {
  const auto v = static_cast<float>(LeadingNumber(text) / 100.0);
  const float d = std::trunc(v);
  return static_cast<float>((double{v} - double{d}) / 0.6 + double{d});
}

}  // namespace kova
