#include "app/data_lines.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/fake/recording_window.h"

namespace kova {
namespace {

constexpr std::string_view ExampleGGA =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
constexpr std::string_view ExampleRMC =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

struct Decoding {
  PositionState position;
  RecordingWindow window;
  DataLines decoder;

  explicit Decoding(std::string separator = ".") : decoder(position, window, separator) {}
  void feed(const std::vector<std::string>& lines) {
    for (const auto& line : lines) decoder.ProcGPSNMEA(line);
  }
};

struct LinesCase {
  std::string name;
  std::vector<std::string> lines;
  std::string_view pos;
  std::string_view hv;
  std::string_view fix;
};

void ExpectLabels(const std::vector<LinesCase>& cases, const std::string& separator = ".") {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Decoding d(separator);
    d.feed(c.lines);
    EXPECT_EQ(d.window.label(Label::Pos), c.pos);
    EXPECT_EQ(d.window.label(Label::HV), c.hv);
    EXPECT_EQ(d.window.label(Label::Fix), c.fix);
  }
}

const std::string GGA(ExampleGGA);
const std::string RMC(ExampleRMC);
const std::string GGANoFix = "$GPGGA,1,4807.038,N,01131.000,E,0,08,0.9,545.4,M,,M,,*6F\r\n";
const std::string GGAEquator = "$GPGGA,1,0000.000,N,01131.000,E,1,08,0.9,545.4,M,,M,,*6E\r\n";
const std::string RMCVoid = "$GPRMC,1,V,4807.038,N,01131.000,E,0,0,230394,003.1,W*4D\r\n";
const std::string GSA1 = "$GPGSA,A,1,04,05*33\r\n";
const std::string GSA2 = "$GPGSA,A,2,04,05*30\r\n";
const std::string GSA3 = "$GPGSA,A,3,04,05*31\r\n";
const std::string GSA4 = "$GPGSA,A,4,04,05*36\r\n";
const std::string GSAMinus1 = "$GPGSA,A,-1,04,05*1E\r\n";
const std::string GSA0 = "$GPGSA,A,0,04,05*32\r\n";
constexpr std::string_view NoPos = "Lat: 0.00000°  Lon: 0.00000°  Alt: 0.00m";
constexpr std::string_view NoHV = "Heading: 0.0°  Velocity: 0.00kn";

TEST(ProcGPSNMEA, WritesTheDataLines) {
  ExpectLabels({
      {"example GGA", {GGA}, "Lat: 48.11730°  Lon: 11.51667°  Alt: 545.40m", NoHV, "No GPS Fix"},
      {"example RMC", {RMC}, "Lat: 48.11730°  Lon: 11.51667°  Alt: 0.00m",
       "Heading: 84.4°  Velocity: 22.40kn", "No GPS Fix"},
      {"south and west",
       {"$GPGGA,1,3351.000,S,15112.000,W,1,08,0.9,-12.3,M,,M,,*7C\r\n"},
       "Lat: -33.85000°  Lon: -151.20000°  Alt: -12.30m", NoHV, "No GPS Fix"},
      {"not NMEA", {"hello\r\n"}, NoPos, NoHV, "No GPS Fix"},
      // From dashcam-gp-2016.nmea, the first lines of the log.
      {"dash camera",
       {"$GSENSORD,-0.120,-0.060,0.060\r\n",
        "$GPRMC,141917.00,A,6001.31475,N,03013.95043,E,18.692,149.70,110416,,,A*50\r\n",
        "$GPVTG,149.70,T,,M,18.692,N,34.618,K,A*3A\r\n",
        "$GPGGA,141917.00,6001.31475,N,03013.95043,E,1,08,1.06,1.5,M,15.9,M,,*58\r\n",
        "$GPGSV,4,1,15,01,03,010,08,02,08,151,25,03,06,037,,06,28,114,38*79\r\n"},
       "Lat: 60.02192°  Lon: 30.23251°  Alt: 1.50m", "Heading: 149.7°  Velocity: 18.69kn",
       "No GPS Fix"},
      // From navibe-gm720.nmea: a capture tool's header and a partial first sentence.
      {"navibe capture",
       {"=~=~=~=~=~=~=~=~=~=~=~= PuTTY log 2010.02.13 13:08:23 =~=~=~=~=~=~=~=~=~=~=~=\r\n",
        "2,14,52,083,45,07,,,00,05,,,27*71\r\n",
        "$GPGSV,3,3,12,02,,,26,24,,,00,26,30,047,48,06,,,25*43\r\n",
        "$GPRMC,110728,A,6013.0600,N,02453.5376,E,000.0,000.0,130210,,,A*79\r\n",
        "$GPGGA,110729,6013.0599,N,02453.5376,E,1,04,03.4,-00016.6,M,045.5,M,,*63\r\n",
        "$GPGSA,A,3,14,19,22,26,,,,,,,,,04.6,03.4,03.1*0C\r\n"},
       "Lat: 60.21767°  Lon: 24.89229°  Alt: -16.60m", NoHV, "3D Fix"},
      // From garmin-gps15h.nmea, a cold start without a fix.
      {"garmin cold start",
       {"$GPRMC,183408,V,4124.7502,N,08152.2393,W,,,010305,007.9,W*68\r\n",
        "$GPGGA,183408,4124.7502,N,08152.2393,W,0,00,,,M,,M,,*4F\r\n",
        "$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n"},
       "Lat: 41.41250°  Lon: -81.87065°  Alt: 0.00m", NoHV, "No GPS Fix"},
      // From garmin-gps15.nmea, a differential fix.
      {"garmin DGPS",
       {"$GPGGA,220550,4124.7580,N,08152.2565,W,2,04,4.4,235.1,M,-34.0,M,,*7B\r\n",
        "$GPGSA,A,2,02,,,,,,,26,,29,,35,4.5,4.4,1.0*38\r\n",
        "$PGRME,16.4,M,13.9,M,21.5,M*10\r\n"},
       "Lat: 41.41264°  Lon: -81.87095°  Alt: 235.10m", NoHV, "2D Fix"},
  });
}

TEST(ProcGPSNMEA, RoundsAtEachPatternsLastDigitWithoutNegativeZero) {
  ExpectLabels({
      {"exact ties go to even",
       {"$GPGGA,1,0000.000,N,00000.000,E,1,08,0.9,0.125,M,,M,,*6A\r\n",
        "$GPRMC,1,A,0000.000,N,00000.000,E,0.375,0.25,230394,003.1,W*6E\r\n"},
       "Lat: 0.00000°  Lon: 0.00000°  Alt: 0.12m", "Heading: 0.2°  Velocity: 0.38kn",
       "No GPS Fix"},
      {"floats just off a tie",
       {"$GPGGA,1,0000.000,N,00000.000,E,1,08,0.9,2.675,M,,M,,*6A\r\n",
        "$GPRMC,1,A,0000.000,N,00000.000,E,0.135,0.35,230394,003.1,W*69\r\n"},
       "Lat: 0.00000°  Lon: 0.00000°  Alt: 2.67m", "Heading: 0.3°  Velocity: 0.14kn",
       "No GPS Fix"},
      {"zero in the southern and western hemispheres",
       {"$GPGGA,1,0000.000,S,00000.000,W,1,08,0.9,-0.0,M,,M,,*4E\r\n"}, NoPos, NoHV,
       "No GPS Fix"},
      {"tiny negative values",
       {"$GPGGA,1,0000.0000001,S,00000.0000001,W,1,08,0.9,-0.005,M,,M,,*4B\r\n",
        "$GPRMC,1,A,0000.0000001,S,00000.0000001,W,-0.001,-0.04,230394,003.1,W*62\r\n"},
       NoPos, NoHV, "No GPS Fix"},
      {"small negative values that show",
       {"$GPGGA,1,0000.0006,S,00000.0006,W,1,08,0.9,-0.006,M,,M,,*48\r\n",
        "$GPRMC,1,A,0000.0006,S,00000.0006,W,-0.006,-0.06,230394,003.1,W*67\r\n"},
       "Lat: -0.00001°  Lon: -0.00001°  Alt: -0.01m", "Heading: -0.1°  Velocity: -0.01kn",
       "No GPS Fix"},
  });
}

TEST(ProcGPSNMEA, UsesTheGivenDecimalSeparator) {
  ExpectLabels({{"comma", {GGA, RMC}, "Lat: 48,11730°  Lon: 11,51667°  Alt: 545,40m",
                 "Heading: 84,4°  Velocity: 22,40kn", "No GPS Fix"}},
               ",");
}

TEST(ProcGPSNMEA, ShowsTheFixModeOfTheLastGSAUnlessALaterSentenceFails) {
  constexpr std::string_view Pos = "Lat: 48.11730°  Lon: 11.51667°  Alt: 545.40m";
  ExpectLabels({
      {"GSA 1", {GSA1}, NoPos, NoHV, "No GPS Fix"},
      {"GSA 0", {GSA3, GSA0}, NoPos, NoHV, "No GPS Fix"},
      {"GSA 2", {GSA2}, NoPos, NoHV, "2D Fix"},
      {"GSA 3", {GSA3}, NoPos, NoHV, "3D Fix"},
      {"unknown modes leave the line", {GSA2, GSA4}, NoPos, NoHV, "2D Fix"},
      {"negative mode leaves the line", {GSA3, GSAMinus1}, NoPos, NoHV, "3D Fix"},
      {"valid GGA then GSA 3", {GGA, GSA3}, Pos, NoHV, "3D Fix"},
      {"GSA 3 then valid GGA", {GSA3, GGA}, Pos, NoHV, "3D Fix"},
      {"GSA 2 then valid RMC", {GSA2, RMC}, "Lat: 48.11730°  Lon: 11.51667°  Alt: 0.00m",
       "Heading: 84.4°  Velocity: 22.40kn", "2D Fix"},
      {"GSA 3 then GGA quality 0", {GGA, GSA3, GGANoFix}, Pos, NoHV, "No GPS Fix"},
      {"GSA 3 then GGA on the equator", {GSA3, GGAEquator},
       "Lat: 0.00000°  Lon: 11.51667°  Alt: 545.40m", NoHV, "No GPS Fix"},
      {"GSA 3 then void RMC", {GSA3, RMCVoid}, "Lat: 48.11730°  Lon: 11.51667°  Alt: 0.00m",
       NoHV, "No GPS Fix"},
      {"no fix until the next GSA", {GSA3, GGANoFix, GGA, GSA3}, Pos, NoHV, "3D Fix"},
      {"no fix, then GSA 2", {GSA3, GGANoFix, GSA2}, Pos, NoHV, "2D Fix"},
      {"other lines keep the mode", {GSA3, "hello\r\n", "$GLGGA,1,2,3,4,5,0,7\r\n"}, NoPos, NoHV,
       "3D Fix"},
  });
}

TEST(ProcGPSNMEA, WritesTheDegreeSignInUtf8) {
  Decoding d;
  d.decoder.ProcGPSNMEA(GGA);
  EXPECT_EQ(d.window.label(Label::Pos),
            "Lat: 48.11730\xC2\xB0  Lon: 11.51667\xC2\xB0  Alt: 545.40m");
}

TEST(ProcGPSNMEA, RepaintsThePositionAndHeadingLinesAtOnceButNotTheFixLine) {
  Decoding d;
  d.feed({GGA, "hello\r\n", GSA3});
  EXPECT_EQ(d.window.repaints(Label::Pos), 3);
  EXPECT_EQ(d.window.repaints(Label::HV), 3);
  EXPECT_EQ(d.window.repaints(Label::Fix), 0);
  EXPECT_EQ(d.window.label(Label::Fix), "3D Fix");
  EXPECT_EQ(d.window.label(Label::Status), "");
}

TEST(ProcGPSNMEA, LogsEveryLineVerbatimNewestFirst) {
  Decoding d;
  const std::string binary("\0\x01\xFF\r\n", 5);
  d.feed({GGA, "hello\r\n", binary, "\r\n"});
  EXPECT_EQ(d.window.log(), (std::deque<std::string>{"\r\n", binary, "hello\r\n", GGA}));
}

}  // namespace
}  // namespace kova
