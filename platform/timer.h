#pragma once

#include <functional>

namespace kova {

// A periodic timer whose interval is fixed when it is made.
class Timer {
 public:
  virtual ~Timer() = default;
  // Enabling a disabled timer starts a fresh interval.
  virtual void setEnabled(bool enabled) = 0;
  virtual bool enabled() const = 0;
  // The handler run on every tick; replaces any earlier one.
  virtual void setOnTick(std::function<void()> handler) = 0;
};

}  // namespace kova
