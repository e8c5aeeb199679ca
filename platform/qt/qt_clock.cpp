#include "platform/qt/qt_clock.h"

#include <QTime>

namespace kova {

ClockSeconds QtClock::timeOfDay() {
  return static_cast<ClockSeconds>(QTime::currentTime().msecsSinceStartOfDay() / 1000.0);
}

std::chrono::nanoseconds QtClock::monotonic() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

}  // namespace kova
