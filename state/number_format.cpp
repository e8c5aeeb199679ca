#include "state/number_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kova {

char* FormatNumber(char* out, double value, int decimals, char separator) {
  // Values beyond a float's range cannot come from the stored fields; infinities and NaN have
  // no digits to show, so they print as zero rather than as words a client cannot parse.
  if (!std::isfinite(value)) value = 0.0;
  const auto [end, ec] =
      std::to_chars(out, out + NumberTextCapacity, value, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) return out;  // cannot happen within NumberTextCapacity
  if (*out == '-' && std::all_of(out + 1, end, [](char c) { return c == '0' || c == '.'; }))
    return FormatNumber(out, 0.0, decimals, separator);
  if (separator != '.') std::replace(out, end, '.', separator);
  return end;
}

void AppendNumber(std::string& text, double value, int decimals, char separator) {
  char buffer[NumberTextCapacity];
  text.append(buffer, FormatNumber(buffer, value, decimals, separator));
}

}  // namespace kova
