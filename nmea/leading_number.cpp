#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "nmea/decoder.h"

namespace kova {
namespace {

// A double needs at most 767 significant decimal digits to round correctly; beyond the kept
// ones only whether any further digit is nonzero still matters.
constexpr std::size_t KeptDigits = 800;
// Any exponent beyond this overflows or underflows whatever the kept digits are.
constexpr std::int64_t ExponentLimit = 99999;
// A written exponent is capped far beyond any text's length, so that leading or trailing zeros
// it cancels still count.
constexpr std::int64_t WrittenExponentCap = 1'000'000'000'000'000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads text as if its blanks, tabs and line feeds were not there; '\0' past the end.
class BlankSkippingReader {
 public:
  explicit BlankSkippingReader(std::string_view text) : m_text(text) {}

  char peek() {
    while (m_pos < m_text.size() &&
           (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n'))
      ++m_pos;
    return m_pos < m_text.size() ? m_text[m_pos] : '\0';
  }
  char next() {
    const char c = peek();
    ++m_pos;
    return c;
  }

 private:
  std::string_view m_text;
  std::size_t m_pos = 0;
};

}  // namespace

double LeadingNumber(std::string_view text) {
  BlankSkippingReader in(text);
  const bool negative = in.peek() == '-';
  if (in.peek() == '-' || in.peek() == '+') in.next();

  // The value is digits x 10^exponent, digits without leading zeros.
  char number[KeptDigits + 16];
  std::size_t kept = 0;
  std::int64_t exponent = 0;
  bool anyDigit = false;
  bool droppedNonZero = false;
  const auto readDigits = [&](bool fraction) {
    while (IsDigit(in.peek())) {
      const char c = in.next();
      anyDigit = true;
      if (kept == 0 && c == '0') {
        if (fraction) --exponent;
      } else if (kept < KeptDigits) {
        number[kept++] = c;
        if (fraction) --exponent;
      } else {
        droppedNonZero = droppedNonZero || c != '0';
        if (!fraction) ++exponent;
      }
    }
  };
  readDigits(false);
  if (in.peek() == '.') {
    in.next();
    readDigits(true);
  }
  if (!anyDigit) return 0;

  if (in.peek() == 'e' || in.peek() == 'E') {
    in.next();
    const bool negativeExponent = in.peek() == '-';
    if (in.peek() == '-' || in.peek() == '+') in.next();
    std::int64_t written = 0;
    while (IsDigit(in.peek()))
      written = std::min(written * 10 + (in.next() - '0'), WrittenExponentCap);
    exponent += negativeExponent ? -written : written;
  }
  if (kept == 0) return 0;
  if (droppedNonZero) {
    number[kept++] = '1';
    --exponent;
  }

  number[kept++] = 'e';
  char* const end = std::to_chars(number + kept, number + sizeof number,
                                  std::clamp(exponent, -ExponentLimit, ExponentLimit)).ptr;
  double value = 0;
  const auto parsed = std::from_chars(number, end, value, std::chars_format::scientific);
  if (parsed.ec != std::errc{} || value > std::numeric_limits<float>::max()) return 0;
  return negative ? -value : value;
}

float NmeaToDegrees(std::string_view text) {
  const auto v = static_cast<float>(LeadingNumber(text) / 100.0);
  const float d = std::trunc(v);
  return static_cast<float>((double{v} - double{d}) / 0.6 + double{d});
}

}  // namespace kova
