#include "platform/qt/qt_timer.h"

namespace kova {

QtTimer::QtTimer(std::chrono::milliseconds interval, bool enabled) {
  m_timer.setInterval(interval);
  // A coarse timer may tick up to 5 % early to share a wake-up with other timers.
  m_timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&m_timer, &QTimer::timeout, [this] {
    if (m_onTick) m_onTick();
  });
  setEnabled(enabled);
}

void QtTimer::setEnabled(bool enabled) {
  // Enabling a running timer must not push its next tick further out.
  if (enabled == m_timer.isActive()) return;
  if (enabled)
    m_timer.start();
  else
    m_timer.stop();
}

bool QtTimer::enabled() const { return m_timer.isActive(); }

void QtTimer::setOnTick(std::function<void()> handler) { m_onTick = std::move(handler); }

}  // namespace kova
