// Arbitrary receiver lines, NUL and bytes above 127 included, through the decoder.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "nmea/decoder.h"

namespace {

// Every number read must fit a float field, so that no stored value is infinite or NaN.
void RequireFloatRange(double value) {
  if (!(std::fabs(value) <= std::numeric_limits<float>::max())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The position carries over between inputs, as it does between a receiver's lines.
  static kova::PositionState p;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kova::DecodeSentence(text, p);
  RequireFloatRange(kova::LeadingNumber(text));
  RequireFloatRange(kova::NmeaToDegrees(text));
  for (const float field : {p.Latitude, p.Longitude, p.Altitude, p.Heading, p.Speed, p.FixQuality})
    RequireFloatRange(field);
  return 0;
}
