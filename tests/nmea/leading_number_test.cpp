#include <gtest/gtest.h>

#include <locale.h>

#include <string>

#include "nmea/decoder.h"
#include "tests/comma_locale.h"
#include "tests/shown.h"

namespace kova {
namespace {

struct NumberCase {
  std::string text;
  double expected;
  // Read under a locale whose decimal separator is a comma.
  bool commaLocale = false;
};

TEST(LeadingNumber, ReadsTheNumberAtTheStart) {
  const NumberCase cases[] = {
      {"4807.038", 4807.038},
      {"0.9", 0.9},
      {"545.4,M,46.9", 545.4},
      {"084.4*6A\r\n", 84.4},
      {"1\r\n", 1},
      {"017", 17},
      {"+7", 7},
      {"-00016.6", -16.6},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      // Stops at the first character that cannot continue the number.
      {"12abc", 12},
      {"1.2.3", 1.2},
      {"1,5", 1},
      {"3-4", 3},
      {"2+2", 2},
      // A point needs a digit on one side only.
      {".5", 0.5},
      {"-.25", -0.25},
      {"5.", 5},
      {"5.x", 5},
      // The point is the point whatever the user's regional settings.
      {"4807.038", 4807.038, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text));
    const locale_t comma = c.commaLocale ? CommaLocale() : nullptr;
    ASSERT_EQ(c.commaLocale, comma != nullptr) << "no de_DE.UTF-8 locale to read under";
    const locale_t previous = comma ? uselocale(comma) : nullptr;
    EXPECT_EQ(LeadingNumber(c.text), c.expected);
    if (comma) {
      uselocale(previous);
      freelocale(comma);
    }
  }
}

TEST(LeadingNumber, SkipsBlanksTabsAndLineFeedsWhereverTheyStand) {
  const NumberCase cases[] = {
      {"  12.5", 12.5},
      {"1 2 3", 123},
      {"1\t2\n3", 123},
      {"- 5", -5},
      {"4 8 0 7 . 0 3 8", 4807.038},
      {"1 e 2", 100},
      {"\n\t ", 0},
      // A carriage return is not skipped: it ends the number.
      {"1\r2", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text));
    EXPECT_EQ(LeadingNumber(c.text), c.expected);
  }
}

TEST(LeadingNumber, ReadsAnExponentOnlyWithADigit) {
  const NumberCase cases[] = {
      {"1e3", 1000},
      {"1E3", 1000},
      {"2.5e-2", 0.025},
      {"1e+2", 100},
      {".5e1", 5},
      {"5.e1", 50},
      {"1e", 1},
      {"1e+", 1},
      {"1e-x", 1},
      {"1ex", 1},
      {"1d2", 1},
      {"e5", 0},
      {".e5", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text));
    EXPECT_EQ(LeadingNumber(c.text), c.expected);
  }
}

TEST(LeadingNumber, GivesZeroWithoutADigitOrBeyondTheFloatRange) {
  const NumberCase cases[] = {
      {"", 0},
      {"-", 0},
      {".", 0},
      {"-.", 0},
      // A second sign is no digit.
      {"--5", 0},
      {"+-5", 0},
      {"abc", 0},
      {"*47\r\n", 0},
      {"N", 0},
      {"-0", 0},
      {"0x1A", 0},
      {"&H1A", 0},
      {"&O17", 0},
      {"inf", 0},
      {"nan", 0},
      {std::string("\0" "5", 2), 0},
      {"3.4e38", 3.4e38},
      {"-3.4e38", -3.4e38},
      {"3.5e38", 0},
      {"-3.5e38", 0},
      {"1e400", 0},
      {"1e-400", 0},
      {"1e99999999999999999999", 0},
      {"1e-99999999999999999999", 0},
      {"1" + std::string(400, '0'), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text));
    EXPECT_EQ(LeadingNumber(c.text), c.expected);
  }
}

TEST(LeadingNumber, KeepsLongDigitStringsExact) {
  const std::string zeros(1000, '0');
  const NumberCase cases[] = {
      {zeros + "7", 7},
      {"0." + zeros + "1e1001", 1},
      {"1" + zeros + "e-1000", 1},
      {"0." + std::string(150000, '0') + "1e150001", 1},
      {"1" + std::string(150000, '0') + "e-150000", 1},
      // 2^53 + 1 lies halfway between two doubles: it rounds to the even one unless a digit far
      // beyond the first few hundred tips it upwards.
      {"9007199254740993", 9007199254740992.0},
      {"9007199254740993." + zeros, 9007199254740992.0},
      {"9007199254740993." + zeros + "1", 9007199254740994.0},
      {"9007199254740993" + zeros + "1e-1001", 9007199254740994.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text.substr(0, 40)));
    EXPECT_EQ(LeadingNumber(c.text), c.expected);
  }
}

struct DegreesCase {
  std::string_view text;
  float expected;
};

TEST(NmeaToDegrees, ConvertsDegreesAndMinutes) {
  // Expected values worked out independently in single precision by the stated steps.
  const DegreesCase cases[] = {
      {"4807.038", 48.11730194091797f},
      {"01131.000", 11.516667366027832f},
      {"3351.000", 33.849998474121094f},
      {"-3351.000", -33.849998474121094f},
      {"15112.000", 151.1999969482422f},
      {"6013.0599", 60.21766662597656f},
      {"6001.31475", 60.021915435791016f},
      {"03013.95043", 30.232505798339844f},
      // Computed in single precision throughout, this one would come out one step lower.
      {"00115.5191", 1.2586516141891479f},
      {"48 07.038", 48.11730194091797f},
      {"9000.000", 90},
      {"18000.000", 180},
      {"0030.000", 0.5f},
      {"0000.000", 0},
      {"", 0},
      {"abc", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.text));
    EXPECT_EQ(NmeaToDegrees(c.text), c.expected);
  }
}

}  // namespace
}  // namespace kova
