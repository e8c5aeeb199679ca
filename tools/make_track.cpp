// simple-kova-track: writes a made-up three-minute drive as NMEA sentences ($GPGGA, $GPGSA,
// $GPRMC once a second) on stdout. $GPGGA leads each second, so a probe that starts between
// seconds sees "$GPG" at once. The committed demo track is its output:
//   simple-kova-track > tools/demo-track.nmea

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

namespace {

constexpr int kSeconds = 180;
constexpr int kNoFixSeconds = 4;      // a cold start: no position yet
constexpr int kTwoDFrom = 120;        // a stretch with too few satellites for altitude
constexpr int kTwoDUntil = 135;
constexpr double kCentreLatitude = 47.25;
constexpr double kCentreLongitude = 8.75;
constexpr double kHalfWidthMetres = 450.0;  // a figure of eight, one lap per run
constexpr double kMetresPerDegreeLatitude = 111'320.0;
constexpr double kMetresPerKnotSecond = 1852.0 / 3600.0;

std::string Checksummed(const std::string& body) {
  unsigned sum = 0;
  for (char c : body.substr(1)) sum ^= static_cast<unsigned char>(c);
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "*%02X\r\n", sum);
  return body + suffix;
}

// ddmm.mmmm,H or dddmm.mmmm,H
std::string Coordinate(double degrees, int degreeDigits, char positive, char negative) {
  const char hemisphere = degrees < 0 ? negative : positive;
  degrees = std::fabs(degrees);
  int whole = static_cast<int>(degrees);
  double minutes = (degrees - whole) * 60.0;
  if (std::round(minutes * 10'000) >= 600'000) {
    ++whole;
    minutes = 0;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%0*d%07.4f,%c", degreeDigits, whole, minutes, hemisphere);
  return text;
}

struct Place {
  double latitude;
  double longitude;
  double north;  // metres per second
  double east;
};

// The figure of eight at time t (seconds), with its velocity.
Place PlaceAt(double t) {
  const double w = 2 * std::numbers::pi / kSeconds;
  const double east = kHalfWidthMetres * std::sin(w * t);
  const double north = kHalfWidthMetres / 2 * std::sin(2 * w * t);
  const double metresPerDegreeLongitude =
      kMetresPerDegreeLatitude * std::cos(kCentreLatitude * std::numbers::pi / 180);
  return {kCentreLatitude + north / kMetresPerDegreeLatitude,
          kCentreLongitude + east / metresPerDegreeLongitude,
          kHalfWidthMetres * w * std::cos(2 * w * t), kHalfWidthMetres * w * std::cos(w * t)};
}

}  // namespace

int main() {
  for (int second = 0; second < kSeconds; ++second) {
    char time[16];
    std::snprintf(time, sizeof time, "%02d%02d%02d.00", 10 + second / 3600, second / 60 % 60,
                  second % 60);
    const std::string date = "120626";
    char text[160];
    if (second < kNoFixSeconds) {
      std::printf("%s",
                  Checksummed(std::string("$GPGGA,") + time + ",,,,,0,00,99.9,,,,,,").c_str());
      std::printf("%s", Checksummed("$GPGSA,A,1,,,,,,,,,,,,,99.9,99.9,99.9").c_str());
      std::printf("%s",
                  Checksummed(std::string("$GPRMC,") + time + ",V,,,,,,," + date + ",,,N").c_str());
      continue;
    }
    const Place place = PlaceAt(second);
    const std::string latitude = Coordinate(place.latitude, 2, 'N', 'S');
    const std::string longitude = Coordinate(place.longitude, 3, 'E', 'W');
    const double knots = std::hypot(place.north, place.east) / kMetresPerKnotSecond;
    double course = std::atan2(place.east, place.north) * 180 / std::numbers::pi;
    if (course < 0) course += 360;
    const bool twoD = second >= kTwoDFrom && second < kTwoDUntil;
    const double altitude = 412.0 + 6.0 * std::sin(second / 20.0);

    std::snprintf(text, sizeof text, "$GPGGA,%s,%s,%s,1,%02d,%.1f,%.1f,M,48.0,M,,", time,
                  latitude.c_str(), longitude.c_str(), twoD ? 3 : 8, twoD ? 2.4 : 0.9, altitude);
    std::printf("%s", Checksummed(text).c_str());
    std::printf("%s", Checksummed(twoD ? "$GPGSA,A,2,05,12,25,,,,,,,,,,3.1,2.4,2.0"
                                       : "$GPGSA,A,3,04,05,09,12,17,20,23,25,,,,,1.6,0.9,1.3")
                          .c_str());
    std::snprintf(text, sizeof text, "$GPRMC,%s,A,%s,%s,%.1f,%.1f,%s,,,A", time, latitude.c_str(),
                  longitude.c_str(), knots, course, date.c_str());
    std::printf("%s", Checksummed(text).c_str());
  }
  return 0;
}
