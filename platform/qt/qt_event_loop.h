#pragma once

#include <QObject>

#include "platform/event_loop.h"

namespace kova {

// Yields to the running Qt event loop of the one application thread.
class QtEventLoop : public EventLoop {
 public:
  void yield() override;
  void post(std::function<void()> task) override;

 private:
  // Tasks still waiting when the loop object goes are dropped with it.
  QObject m_context;
};

}  // namespace kova
