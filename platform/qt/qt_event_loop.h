#pragma once

#include "platform/event_loop.h"

namespace kova {

// Yields to the running Qt event loop of the one application thread.
class QtEventLoop : public EventLoop {
 public:
  void yield() override;
};

}  // namespace kova
