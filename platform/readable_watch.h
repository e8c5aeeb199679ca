#pragma once

#include <functional>

namespace kova {

// The event loop's eye on one descriptor: whoever owns the descriptor is called when it has
// something to read.
class ReadableWatch {
 public:
  virtual ~ReadableWatch() = default;
  // Watches fd from now on (-1: nothing); disabled until setEnabled(true).
  virtual void setDescriptor(int fd) = 0;
  // While enabled, the handler runs from the loop whenever the descriptor is readable or hung up.
  virtual void setEnabled(bool enabled) = 0;
  virtual void setOnReadable(std::function<void()> handler) = 0;
};

}  // namespace kova
