#include "server/query_reply.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <locale.h>
#include <string>

#include "tests/comma_locale.h"

namespace kova {
namespace {

std::string Reply(std::string_view request, const PositionState& state) {
  char out[QueryReplyCapacity];
  return {out, BuildQueryReply(request, state, out)};
}

const PositionState Zero{};
const PositionState Moving{.Latitude = 48.5f, .Longitude = -9.25f, .Altitude = 100.25f, .Heading = 271.75f,
                           .Speed = 12.5f, .FixQuality = 1, .FixMode = 3};
// Values whose stored float sits just off the printed digits.
const PositionState Rounding{.Latitude = -33.8688f, .Longitude = 151.2093f, .Altitude = -0.0000004f,
                             .Heading = 359.9999995f, .Speed = 12.3456789f, .FixQuality = 1.5f,
                             .FixMode = -1};

struct Case {
  const char* name;
  std::string request;
  const PositionState& state;
  std::string reply;
};

TEST(BuildQueryReply, AnswersEachRequestFromTheState) {
  const Case cases[] = {
      {"nothing received yet, all six letters", "PVAHSM", Zero,
       "KOVA,P=0.000000 0.000000,V=0.000000,A=0.000000,H=0.000000,S=0,M=0\r\n"},
      {"m and p", "mp", Moving, "KOVA,P=48.500000 -9.250000,M=3\r\n"},
      {"p and m", "pm", Moving, "KOVA,P=48.500000 -9.250000,M=3\r\n"},
      {"upper case", "MP", Moving, "KOVA,P=48.500000 -9.250000,M=3\r\n"},
      {"lower p", "p", Moving, "KOVA,P=48.500000 -9.250000\r\n"},
      {"upper P", "P", Moving, "KOVA,P=48.500000 -9.250000\r\n"},
      {"HELP gives P then H", "HELP", Moving, "KOVA,P=48.500000 -9.250000,H=271.750000\r\n"},
      {"help", "help", Moving, "KOVA,P=48.500000 -9.250000,H=271.750000\r\n"},
      {"repeated letters", "vvPpv", Moving, "KOVA,P=48.500000 -9.250000,V=12.500000\r\n"},
      {"table order whatever the request order", "msHaVp", Moving,
       "KOVA,P=48.500000 -9.250000,V=12.500000,A=100.250000,H=271.750000,S=1,M=3\r\n"},
      {"several lines in one go", "m\r\np\r\nS\r\n", Moving, "KOVA,P=48.500000 -9.250000,S=1,M=3\r\n"},
      {"empty request", "", Moving, "KOVA\r\n"},
      {"none of the six letters", "xyz 123,\r\n", Moving, "KOVA\r\n"},
      {"NUL and bytes above 127 around a p", std::string("\0\xF0p\xFF\x80", 5), Moving,
       "KOVA,P=48.500000 -9.250000\r\n"},
      {"the six letters with the high bit set", "\xD0\xD6\xC1\xC8\xD3\xCD\xF0\xF6\xE1\xE8\xF3\xED", Moving,
       "KOVA\r\n"},
      {"negative values, rounding at the 6th decimal, no -0", "pvahsm", Rounding,
       "KOVA,P=-33.868801 151.209305,V=12.345679,A=0.000000,H=360.000000,S=2,M=-1\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Reply(c.request, c.state), c.reply) << c.name;
}

TEST(BuildQueryReply, TheLargestValuesFitTheBuffer) {
  const PositionState extreme{.Latitude = -FLT_MAX, .Longitude = -FLT_MAX, .Altitude = -FLT_MAX,
                              .Heading = -FLT_MAX, .Speed = -FLT_MAX, .FixQuality = -FLT_MAX,
                              .FixMode = INT16_MIN};
  const std::string most = "-340282346638528859811704183484516925440";
  const std::string reply = Reply("pvahsm", extreme);
  EXPECT_LE(reply.size(), QueryReplyCapacity);
  EXPECT_EQ(reply, "KOVA,P=" + most + ".000000 " + most + ".000000,V=" + most + ".000000,A=" + most +
                       ".000000,H=" + most + ".000000,S=" + most + ",M=-32768\r\n");
}

TEST(BuildQueryReply, KeepsThePointUnderACommaLocale) {
  const locale_t comma = CommaLocale();
  if (comma == nullptr) GTEST_SKIP() << "cannot make de_DE.UTF-8 (localedef or the de_DE source missing)";
  const locale_t previous = uselocale(comma);
  const std::string separator = std::localeconv()->decimal_point;
  const std::string reply = Reply("pv", Moving);
  uselocale(previous);
  freelocale(comma);
  ASSERT_EQ(separator, ",");
  EXPECT_EQ(reply, "KOVA,P=48.500000 -9.250000,V=12.500000\r\n");
}

}  // namespace
}  // namespace kova
