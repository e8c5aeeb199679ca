#include <gtest/gtest.h>

#include <iomanip>
#include <iterator>
#include <limits>
#include <string>

#include "state/number_format.h"

namespace kova {
namespace {

struct PatternCase {
  double value;
  int decimals;
  std::string_view separator;
  std::string_view expected;
};

std::string Formatted(const PatternCase& c) {
  std::string text = "x";  // appends, never replaces
  AppendNumber(text, c.value, c.decimals, c.separator);
  return text.substr(1);
}

void ExpectPatterns(const PatternCase* begin, const PatternCase* end) {
  for (const PatternCase* c = begin; c != end; ++c) {
    SCOPED_TRACE(testing::Message() << "value " << std::setprecision(17) << c->value << ", "
                                    << c->decimals << " decimals");
    EXPECT_EQ(Formatted(*c), c->expected);
  }
}

// The values are float fields widened to double, as the display and the replies format them.
TEST(NumberFormat, RoundsTheExactBinaryValueAtThePatternsLastDigit) {
  constexpr double FloatMax = std::numeric_limits<float>::max();
  const PatternCase cases[] = {
      {0.0, 6, ".", "0.000000"},
      {double{48.117302f}, 5, ".", "48.11730"},
      {double{48.117302f}, 6, ".", "48.117302"},
      {double{545.4f}, 2, ".", "545.40"},
      {double{545.4f}, 6, ".", "545.400024"},
      {1234567.0, 1, ".", "1234567.0"},
      {7.0, 0, ".", "7"},
      // Exact ties go to the even digit; a float just off a tie goes its own way.
      {0.5, 0, ".", "0"},
      {1.5, 0, ".", "2"},
      {2.5, 0, ".", "2"},
      {-1.5, 0, ".", "-2"},
      {0.125, 2, ".", "0.12"},
      {0.375, 2, ".", "0.38"},
      {0.75, 1, ".", "0.8"},
      {0.25, 1, ".", "0.2"},
      {double{0.135f}, 2, ".", "0.14"},
      {double{2.675f}, 2, ".", "2.67"},
      {double{0.35f}, 1, ".", "0.3"},
      {double{18.692f}, 2, ".", "18.69"},
      {double{-16.6f}, 2, ".", "-16.60"},
      // Every digit of the binary value is shown, also beyond a float's precision.
      {FloatMax, 0, ".", "340282346638528859811704183484516925440"},
      {-FloatMax, 6, ".", "-340282346638528859811704183484516925440.000000"},
  };
  ExpectPatterns(std::begin(cases), std::end(cases));
}

TEST(NumberFormat, WritesNoMinusWhenEveryDigitShownIsZero) {
  const PatternCase cases[] = {
      {-0.0, 5, ".", "0.00000"},
      {-0.0, 0, ".", "0"},
      {-0.4, 0, ".", "0"},
      {-0.5, 0, ".", "0"},
      {-0.000004, 5, ".", "0.00000"},
      {double{-0.005f}, 2, ".", "0.00"},
      {double{-0.04f}, 1, ".", "0.0"},
      {-double{std::numeric_limits<float>::denorm_min()}, 6, ".", "0.000000"},
      {-0.000006, 5, ".", "-0.00001"},
      {-0.6, 0, ".", "-1"},
      {double{-0.006f}, 2, ",", "-0,01"},
      {-0.0, 2, ",", "0,00"},
  };
  ExpectPatterns(std::begin(cases), std::end(cases));
}

TEST(NumberFormat, UsesTheGivenSeparatorAndNoThousandsSeparator) {
  const PatternCase cases[] = {
      {double{48.117302f}, 5, ",", "48,11730"},
      {double{-16.6f}, 2, ",", "-16,60"},
      {1234567.25, 2, ",", "1234567,25"},
      {3.0, 0, ",", "3"},
      {double{84.4f}, 1, "'", "84'4"},
      {double{-16.6f}, 2, "\u066B", "-16\u066B60"},
  };
  ExpectPatterns(std::begin(cases), std::end(cases));
}

TEST(NumberFormat, ShowsValuesWithoutDigitsAsZero) {
  const PatternCase cases[] = {
      {std::numeric_limits<double>::quiet_NaN(), 2, ".", "0.00"},
      {std::numeric_limits<double>::infinity(), 6, ".", "0.000000"},
      {-std::numeric_limits<double>::infinity(), 0, ".", "0"},
  };
  ExpectPatterns(std::begin(cases), std::end(cases));
}

}  // namespace
}  // namespace kova
