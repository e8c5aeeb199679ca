#pragma once

#include <chrono>
#include <functional>

#include <QTimer>

#include "platform/timer.h"

namespace kova {

// A periodic QTimer whose interval is fixed when it is made.
class QtTimer : public Timer {
 public:
  QtTimer(std::chrono::milliseconds interval, bool enabled);

  void setEnabled(bool enabled) override;
  bool enabled() const override;
  void setOnTick(std::function<void()> handler) override;

 private:
  QTimer m_timer;
  std::function<void()> m_onTick;
};

}  // namespace kova
