#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nmea/decoder.h"
#include "tests/shown.h"

namespace kova {
namespace {

// Single-precision results of the degree conversion, worked out independently.
constexpr float Lat4807 = 48.11730194091797f;
constexpr float Lon01131 = 11.516667366027832f;
constexpr float Lat3351 = 33.849998474121094f;
constexpr float Lon15112 = 151.1999969482422f;
constexpr float LatUblox = 53.76460647583008f;
constexpr float LonUblox = 2.6959335803985596f;

constexpr std::string_view ExampleGGA =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
constexpr std::string_view ExampleRMC =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

// Distinct values, so that a row shows which fields a line changed.
constexpr PositionState Before{.Latitude = 1,
                               .Longitude = 2,
                               .Altitude = 3,
                               .Heading = 4,
                               .Speed = 5,
                               .FixQuality = 6,
                               .FixMode = 3};

struct StateCase {
  std::string line;
  PositionState expected;
};

void ExpectStates(const std::vector<StateCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(Shown(c.line));
    PositionState p = Before;
    const unsigned changed = DecodeSentence(c.line, p);
    EXPECT_EQ(p.Latitude, c.expected.Latitude);
    EXPECT_EQ(p.Longitude, c.expected.Longitude);
    EXPECT_EQ(p.Altitude, c.expected.Altitude);
    EXPECT_EQ(p.Heading, c.expected.Heading);
    EXPECT_EQ(p.Speed, c.expected.Speed);
    EXPECT_EQ(p.FixQuality, c.expected.FixQuality);
    EXPECT_EQ(p.FixMode, c.expected.FixMode);
    const PositionState& e = c.expected;
    EXPECT_EQ((changed & PlaceChanged) != 0, e.Latitude != Before.Latitude ||
                                                 e.Longitude != Before.Longitude ||
                                                 e.Altitude != Before.Altitude);
    EXPECT_EQ((changed & CourseChanged) != 0,
              e.Heading != Before.Heading || e.Speed != Before.Speed);
    EXPECT_EQ((changed & FixChanged) != 0,
              e.FixQuality != Before.FixQuality || e.FixMode != Before.FixMode);
  }
}

TEST(ProcGPSNMEA, DecodesGGA) {
  ExpectStates({
      {std::string(ExampleGGA), {Lat4807, Lon01131, 545.4f, 4, 5, 1, 3}},
      {"$GPGGA,1,3351.000,S,15112.000,W,1,08,0.9,545.4,M,,M,,*61\r\n",
       {-Lat3351, -Lon15112, 545.4f, 4, 5, 1, 3}},
      // From navibe-gm720.nmea: a zero-padded negative altitude.
      {"$GPGGA,110729,6013.0599,N,02453.5376,E,1,04,03.4,-00016.6,M,045.5,M,,*63\r\n",
       {60.21766662597656f, 24.892292022705078f, -16.6f, 4, 5, 1, 3}},
      {"$GPGGA,1,48 07.038,N,0 1131.000,E,1,08,0.9,\t545.4 ,M,,M,,*47\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 1, 3}},
      {"$GPGGA,1,4807.038,N,01131.000,E,1,08,0.9,5.454e2,M,,M,,*39\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 1, 3}},
      {"$GPGGA,1,4807.038,N,01131.000,E,1,08,0.9,M,M,,M,,*0D\r\n",
       {Lat4807, Lon01131, 0, 4, 5, 1, 3}},
      // From ublox-multignss-2024.nmea: the GNSS talker, decoded as GPS.
      {"$GNGGA,164208.00,5345.876422,N,00241.756005,W,1,12,0.8,106.9,M,47.4,M,,*67\r\n",
       {LatUblox, -LonUblox, 106.9f, 4, 5, 1, 3}},
  });
}

TEST(ProcGPSNMEA, TakesGGAQualityOutsideOneToThreeForNoFix) {
  ExpectStates({
      {"$GPGGA,1,4807.038,N,01131.000,E,0,08,0.9,545.4,M,,M,,*6F\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 0, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,E,4,08,0.9,545.4,M,,M,,*6B\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 4, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,E,3,08,0.9,545.4,M,,M,,*6C\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 3, 3}},
      {"$GPGGA,1,4807.038,N,01131.000,E,2.5,08,0.9,545.4,M,,M,,*76\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 2.5f, 3}},
      {"$GPGGA,1,4807.038,N,01131.000,E,3.5,08,0.9,545.4,M,,M,,*77\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 3.5f, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,E,0.99,08,0.9,545.4,M,,M,,*41\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 0.99f, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,E,,08,0.9,545.4,M,,M,,*5F\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 0, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,E,x,08,0.9,545.4,M,,M,,*27\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 0, 1}},
  });
}

TEST(ProcGPSNMEA, TakesAMissingOrUnknownHemisphereForNoFix) {
  ExpectStates({
      {"$GPGGA,1,4807.038,n,01131.000,E,1,08,0.9,545.4,M,,M,,*4E\r\n",
       {0, Lon01131, 545.4f, 4, 5, 1, 1}},
      {"$GPGGA,1,4807.038,,01131.000,E,1,08,0.9,545.4,M,,M,,*20\r\n",
       {0, Lon01131, 545.4f, 4, 5, 1, 1}},
      {"$GPGGA,1,4807.038,N ,01131.000,E,1,08,0.9,545.4,M,,M,,*4E\r\n",
       {0, Lon01131, 545.4f, 4, 5, 1, 1}},
      {"$GPGGA,1,4807.038,N,01131.000,w,1,08,0.9,545.4,M,,M,,*5C\r\n",
       {Lat4807, 0, 545.4f, 4, 5, 1, 1}},
      {"$GPRMC,1,A,4807.038,s,01131.000,E,022.4,084.4,230394,003.1,W*6B\r\n",
       {0, Lon01131, 3, 84.4f, 22.4f, 6, 1}},
      // Equator, prime meridian and unreadable coordinates count as no position.
      {"$GPGGA,1,0000.000,N,01131.000,E,1,08,0.9,545.4,M,,M,,*6E\r\n",
       {0, Lon01131, 545.4f, 4, 5, 1, 1}},
      {"$GPGGA,1,4807.038,N,00000.000,W,1,08,0.9,545.4,M,,M,,*7E\r\n",
       {Lat4807, 0, 545.4f, 4, 5, 1, 1}},
      {"$GPGGA,1,ab.cd,N,01131.000,E,1,08,0.9,545.4,M,,M,,*5A\r\n",
       {0, Lon01131, 545.4f, 4, 5, 1, 1}},
      {"$GPRMC,1,A,4807.038,N,,E,022.4,084.4,230394,003.1,W*7A\r\n",
       {Lat4807, 0, 3, 84.4f, 22.4f, 6, 1}},
  });
}

TEST(ProcGPSNMEA, DecodesRMC) {
  ExpectStates({
      {std::string(ExampleRMC), {Lat4807, Lon01131, 3, 84.4f, 22.4f, 6, 3}},
      {"$GPRMC,1,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*41\r\n",
       {Lat4807, Lon01131, 3, 84.4f, 22.4f, 6, 1}},
      {"$GPRMC,1,a,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*76\r\n",
       {Lat4807, Lon01131, 3, 84.4f, 22.4f, 6, 1}},
      // From garmin-gps15h.nmea, a cold start: void, no speed or course.
      {"$GPRMC,183408,V,4124.7502,N,08152.2393,W,,,010305,007.9,W*68\r\n",
       {41.41250228881836f, -81.87065124511719f, 3, 0, 0, 6, 1}},
      {"$GPRMC,1,A,3351.000,S,15112.000,W,1e1,-5,230394,003.1,W*28\r\n",
       {-Lat3351, -Lon15112, 3, -5, 10, 6, 3}},
      // From ublox-multignss-2024.nmea: the fix comes only with the GNSS talker.
      {"$GNRMC,164208.00,A,5345.876422,N,00241.756005,W,0.6,346.2,060224,4.8,W,A,V*5F\r\n",
       {LatUblox, -LonUblox, 3, 346.2f, 0.6f, 6, 3}},
  });
}

TEST(ProcGPSNMEA, DecodesSentencesWithTooFewFieldsAsFarAsTheyGo) {
  ExpectStates({
      // GGA without an altitude field keeps the altitude it had.
      {"$GPGGA,123519,4807.038,N,01131.000,E,1\r\n", {Lat4807, Lon01131, 3, 4, 5, 1, 3}},
      {"$GNGGA,123519,4807.038,N,01131.000,E,1\r\n", {Lat4807, Lon01131, 3, 4, 5, 1, 3}},
      {"$GPGGA,123519,4807.038,N,01131.000,E,0,08,0.9\r\n", {Lat4807, Lon01131, 3, 4, 5, 0, 1}},
      {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4\r\n",
       {Lat4807, Lon01131, 545.4f, 4, 5, 1, 3}},
      {"$GPGGA,123519,4807.038,N,01131.000,E\r\n", Before},
      {"$GPGGA\r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4\r\n", Before},
      {"$GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4\r\n",
       {Lat4807, Lon01131, 3, 84.4f, 22.4f, 6, 1}},
      // GSA without a mode field keeps the mode.
      {"$GPGSA,A\r\n", Before},
      {"$GPGSA\r\n", Before},
  });
}

TEST(ProcGPSNMEA, TakesTheGSAModeRoundedToAWholeNumber) {
  const auto withMode = [](std::int16_t mode) {
    PositionState p = Before;
    p.FixMode = mode;
    return p;
  };
  ExpectStates({
      {"$GPGSA,A,2,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*38\r\n", withMode(2)},
      // From garmin-gps15h.nmea.
      {"$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n", withMode(1)},
      {"$GPGSA,A,2*31\r\n", withMode(2)},
      {"$GNGSA,A,2,86,87,88,,,,,,,,,,1.1,0.8,0.7,2*3D\r\n", withMode(2)},
      {"$GPGSA,A,\r\n", withMode(0)},
      {"$GPGSA,A,x,04\r\n", withMode(0)},
      {"$GPGSA,A,1.5,04\r\n", withMode(2)},
      {"$GPGSA,A,2.5,04\r\n", withMode(2)},
      {"$GPGSA,A,2.51,04\r\n", withMode(3)},
      {"$GPGSA,A,0.5,04\r\n", withMode(0)},
      {"$GPGSA,A,-2.5,04\r\n", withMode(-2)},
      {"$GPGSA,A,32767,04\r\n", withMode(32767)},
      {"$GPGSA,A,-32768.5,04\r\n", withMode(-32768)},
      // Beyond 16 bits the mode stays as it was.
      {"$GPGSA,A,32767.5,04\r\n", Before},
      {"$GPGSA,A,-32769,04\r\n", Before},
      {"$GPGSA,A,1e9,04\r\n", Before},
      {"$GPGSA,A,4e38,04\r\n", withMode(0)},
  });
}

TEST(ProcGPSNMEA, DecodesOnlySentencesWhoseChecksumHolds) {
  const PositionState rmc{Lat4807, Lon01131, 3, 84.4f, 22.4f, 6, 3};
  ExpectStates({
      // One latitude digit changed on the line, the checksum kept: 111 km away if believed.
      {"$GPGGA,123519,4907.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", Before},
      {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6a\r\n", rmc},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6\r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A0\r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A \r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*\r\n", Before},
      {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6G\r\n", Before},
      {"$GPGSA,A,2*3\r\n", Before},
  });
}

TEST(ProcGPSNMEA, OnlyLogsOtherSentencesAndOtherText) {
  ExpectStates({
      {"$GLGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*5B\r\n", Before},
      {"$GLGSA,A,2,04*05\r\n", Before},
      {"$gpgga,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*67\r\n", Before},
      {"$GPrmc,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*4A\r\n", Before},
      {"GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", Before},
      {" $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", Before},
      {"$GPGGAX,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*1F\r\n", Before},
      {"$GPGSA\r\n,A,2", Before},
      {"$GPVTG,149.70,T,,M,18.692,N,34.618,K,A*3A\r\n", Before},
      {"=~=~=~=~=~=~=~=~=~=~=~= PuTTY log 2010.02.13 13:08:23 =~=~=~=~=~=~=~=~=~=~=~=\r\n", Before},
      {"2,14,52,083,45,07,,,00,05,,,27*71\r\n", Before},
      {"\r\n", Before},
      {"", Before},
      {std::string("\0\0\xFF\xB0,\r\n", 7), Before},
  });
}

}  // namespace
}  // namespace kova
