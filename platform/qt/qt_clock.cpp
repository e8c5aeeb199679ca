#include "platform/qt/qt_clock.h"

namespace kova {

std::chrono::nanoseconds QtClock::monotonic() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

}  // namespace kova
