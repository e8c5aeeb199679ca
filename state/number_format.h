#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kova {

// Room enough for any float in any of the patterns: 39 integer digits, sign, point, 6 decimals.
inline constexpr std::size_t NumberTextCapacity = 64;

// Writes value in a fixed pattern such as "0.000000": at least one integer digit, exactly
// `decimals` digits after a "." (none and no point for 0), the exact binary value rounded to
// nearest, no thousands separators, and no "-" when every digit shown is zero.
// out must hold NumberTextCapacity characters; returns one past the last one written.
char* FormatNumber(char* out, double value, int decimals);

// The same pattern with the locale's separator, which may be any UTF-8 text (U+066B in Arabic).
void AppendNumber(std::string& text, double value, int decimals, std::string_view separator);

}  // namespace kova
