#pragma once

#include <functional>

namespace kova {

class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Lets the loop deliver the pending events, then waits up to about 10 ms for new ones and
  // delivers those; returns to the running handler.
  virtual void yield() = 0;
  // Runs task once on the loop's next turn, after the events already waiting; returns at once.
  virtual void post(std::function<void()> task) = 0;
};

}  // namespace kova
