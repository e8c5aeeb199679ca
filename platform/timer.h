#pragma once

namespace kova {

// A periodic timer whose interval is fixed when it is made; whoever makes it connects its tick.
class Timer {
 public:
  virtual ~Timer() = default;
  // Enabling a disabled timer starts a fresh interval.
  virtual void setEnabled(bool enabled) = 0;
  virtual bool enabled() const = 0;
};

}  // namespace kova
