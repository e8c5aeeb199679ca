#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "platform/fake/fake_event_loop.h"
#include "platform/timer.h"

namespace kova {

// A periodic timer on the fake loop's virtual time.
class FakeTimer : public Timer, private FakeEventLoop::Source {
 public:
  FakeTimer(FakeEventLoop& loop, std::chrono::milliseconds interval, bool enabled = false)
      : m_loop(loop), m_interval(interval) {
    m_loop.add(*this);
    setEnabled(enabled);
  }
  ~FakeTimer() override { m_loop.remove(*this); }
  FakeTimer(const FakeTimer&) = delete;
  FakeTimer& operator=(const FakeTimer&) = delete;

  void setEnabled(bool enabled) override {
    if (!enabled) {
      m_due.reset();
    } else if (!m_due) {
      m_due = m_loop.now() + m_interval;
    }
  }
  bool enabled() const override { return m_due.has_value(); }

  void setOnTick(std::function<void()> tick) override { m_tick = std::move(tick); }
  std::chrono::milliseconds interval() const { return m_interval; }
  int ticks() const { return m_ticks; }

 private:
  std::optional<std::chrono::nanoseconds> nextDue() const override { return m_due; }

  // Ticks missed while a handler held the loop collapse into one, as with a real timer.
  void fire() override {
    auto next = *m_due + m_interval;
    if (next <= m_loop.now()) next = m_loop.now() + m_interval;
    m_due = next;
    ++m_ticks;
    if (m_tick) m_tick();
  }

  FakeEventLoop& m_loop;
  std::chrono::milliseconds m_interval;
  std::optional<std::chrono::nanoseconds> m_due;
  std::function<void()> m_tick;
  int m_ticks = 0;
};

}  // namespace kova
