#include "nmea/decoder.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "nmea/checksum.h"

namespace kova {
namespace {

// The line split at every comma, nothing trimmed. Only the fields the sentences read are kept.
struct Fields {
  static constexpr std::size_t Kept = 10;
  std::array<std::string_view, Kept> field{};
  std::size_t last = 0;  // the highest field number, kept or not

  std::string_view operator[](std::size_t n) const { return field[n]; }
};

// A plain loop: fields are a few characters long, too short for memchr to pay.
Fields Split(std::string_view line) {
  Fields f;
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != ',') continue;
    if (f.last < Fields::Kept) f.field[f.last] = line.substr(start, i - start);
    start = i + 1;
    ++f.last;
  }
  if (f.last < Fields::Kept) f.field[f.last] = line.substr(start);
  return f;
}

// Latitude and longitude with their hemisphere letters; any other letter leaves 0.
void SetPosition(PositionState& p, std::string_view lat, std::string_view ns, std::string_view lon,
                 std::string_view ew) {
  const float latitude = NmeaToDegrees(lat);
  const float longitude = NmeaToDegrees(lon);
  p.Latitude = ns == "N" ? latitude : ns == "S" ? -latitude : 0.0f;
  p.Longitude = ew == "E" ? longitude : ew == "W" ? -longitude : 0.0f;
}

// A position on the equator or the prime meridian is taken for a receiver without a fix.
void RequirePosition(PositionState& p) {
  if (p.Latitude == 0 || p.Longitude == 0) p.FixMode = 1;
}

// $GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47
void DecodeGGA(const Fields& f, PositionState& p) {
  SetPosition(p, f[2], f[3], f[4], f[5]);
  // Some receivers stop after the quality or the dilution; the altitude then stays as it was.
  if (f.last >= 9) p.Altitude = static_cast<float>(LeadingNumber(f[9]));
  const double quality = LeadingNumber(f[6]);
  p.FixQuality = static_cast<float>(quality);
  if (!(quality >= 1 && quality <= 3)) p.FixMode = 1;
  RequirePosition(p);
}

// $GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A
void DecodeRMC(const Fields& f, PositionState& p) {
  SetPosition(p, f[3], f[4], f[5], f[6]);
  p.Speed = static_cast<float>(LeadingNumber(f[7]));
  p.Heading = static_cast<float>(LeadingNumber(f[8]));
  if (f[2] != "A") p.FixMode = 1;
  RequirePosition(p);
}

// $GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39
void DecodeGSA(const Fields& f, PositionState& p) {
  // Halves go to the even neighbour (the default rounding mode); a mode that does not fit
  // 16 bits is garbage and is ignored.
  const double mode = std::nearbyint(LeadingNumber(f[2]));
  if (mode >= std::numeric_limits<std::int16_t>::min() &&
      mode <= std::numeric_limits<std::int16_t>::max())
    p.FixMode = static_cast<std::int16_t>(mode);
}

struct Sentence {
  std::string_view name;  // field 0, matched exactly
  std::size_t minLast;    // fewer fields: logged only
  void (*decode)(const Fields&, PositionState&);
};

// Multi-constellation receivers give their solution under the GNSS talker (GN), by the same
// rules as the GPS one; other talkers (GL, GA, GB ...) are only logged.
constexpr std::array Sentences{
    Sentence{"$GPGGA", 6, DecodeGGA}, Sentence{"$GNGGA", 6, DecodeGGA},
    Sentence{"$GPRMC", 8, DecodeRMC}, Sentence{"$GNRMC", 8, DecodeRMC},
    Sentence{"$GPGSA", 2, DecodeGSA}, Sentence{"$GNGSA", 2, DecodeGSA},
};

unsigned Differences(const PositionState& before, const PositionState& after) {
  unsigned changed = NothingChanged;
  if (before.Latitude != after.Latitude || before.Longitude != after.Longitude ||
      before.Altitude != after.Altitude)
    changed |= PlaceChanged;
  if (before.Heading != after.Heading || before.Speed != after.Speed) changed |= CourseChanged;
  if (before.FixQuality != after.FixQuality || before.FixMode != after.FixMode)
    changed |= FixChanged;
  return changed;
}

}  // namespace

unsigned DecodeSentence(std::string_view line, PositionState& position) {
  const Fields fields = Split(line);
  for (const Sentence& s : Sentences) {
    if (fields[0] != s.name) continue;
    // A bit flipped on the line must not move the position: the sentence is only logged.
    if (fields.last < s.minLast || ChecksumFails(line)) break;
    const PositionState before = position;
    s.decode(fields, position);
    return Differences(before, position);
  }
  return NothingChanged;
}

}  // namespace kova
