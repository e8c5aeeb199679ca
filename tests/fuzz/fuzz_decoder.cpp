// Arbitrary receiver lines, NUL and bytes above 127 included, through the decoder.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "nmea/decoder.h"
#include "platform/fake/fake_clock.h"

namespace {

class NullWindow : public kova::Window {
 public:
  void setLabel(kova::Label, std::string_view, bool) override {}
  void prependLog(std::string_view) override {}
  void finishBurst() override {}
};

// Every number read must fit a float field, so that no stored value is infinite or NaN.
void RequireFloatRange(double value) {
  if (!(std::fabs(value) <= std::numeric_limits<float>::max())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kova::SharedState state;
  static NullWindow window;
  static kova::FakeClock clock;
  // The state carries over between inputs, as it does between a receiver's lines; the first
  // byte picks the decimal separator.
  static kova::NmeaDecoder point(state, window, clock, ".");
  static kova::NmeaDecoder arabic(state, window, clock, "\u066B");  // two bytes in UTF-8
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.empty()) return 0;
  (text[0] & 1 ? arabic : point).ProcGPSNMEA(text.substr(1));
  RequireFloatRange(kova::LeadingNumber(text));
  RequireFloatRange(kova::NmeaToDegrees(text));
  const kova::PositionState& p = state.Position;
  for (const float field : {p.Latitude, p.Longitude, p.Altitude, p.Heading, p.Speed, p.FixQuality})
    RequireFloatRange(field);
  return 0;
}
