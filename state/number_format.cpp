#include "state/number_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kova {

char* FormatNumber(char* out, double value, int decimals) {
  // Values beyond a float's range cannot come from the stored fields; infinities and NaN have
  // no digits to show, so they print as zero rather than as words a client cannot parse.
  if (!std::isfinite(value)) value = 0.0;
  const auto [end, ec] =
      std::to_chars(out, out + NumberTextCapacity, value, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) return out;  // cannot happen within NumberTextCapacity
  if (*out == '-' && std::all_of(out + 1, end, [](char c) { return c == '0' || c == '.'; }))
    return FormatNumber(out, 0.0, decimals);
  return end;
}

void AppendNumber(std::string& text, double value, int decimals, std::string_view separator) {
  char buffer[NumberTextCapacity];
  const std::string_view number(buffer, static_cast<std::size_t>(
                                            FormatNumber(buffer, value, decimals) - buffer));
  const std::size_t point = number.find('.');
  text.append(number.substr(0, point));
  if (point == std::string_view::npos) return;
  text.append(separator).append(number.substr(point + 1));
}

}  // namespace kova
