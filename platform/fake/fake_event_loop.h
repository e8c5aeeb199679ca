#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/event_loop.h"
#include "platform/fake/fake_clock.h"

namespace kova {

// An event loop that owns virtual time. Running it moves the fake clock forward and fires every
// due event (timer ticks, serial deliveries, posted tasks) in time order; a yield runs it for
// 10 ms, so a probe that waits for data costs no real time. A posted task is due at the time it
// was posted.
class FakeEventLoop : public EventLoop {
 public:
  static constexpr std::chrono::milliseconds YieldStep{10};

  // Something that wants to run at a point of virtual time (monotonic clock).
  class Source {
   public:
    virtual ~Source() = default;
    // When it next wants to run; empty when it has nothing to do.
    virtual std::optional<std::chrono::nanoseconds> nextDue() const = 0;
    // Runs whatever is due at the clock's current time.
    virtual void fire() = 0;
  };

  explicit FakeEventLoop(FakeClock& clock) : m_clock(clock) { add(m_posted); }

  void yield() override {
    ++m_yields;
    runFor(YieldStep);
  }
  void post(std::function<void()> task) override {
    m_posted.tasks.push_back({now(), std::move(task)});
  }

  // Handlers that keep running the loop from inside the loop are a fault under test, not a
  // reason to hang or overflow the stack.
  static constexpr int MaxNesting = 64;

  // Moves virtual time forward by span, firing every event that falls due on the way. Handlers
  // may run the loop again (a scan yielding inside a timer tick); time only moves forward.
  void runFor(std::chrono::nanoseconds span) {
    if (m_nesting >= MaxNesting) throw std::runtime_error("event loop nested too deeply");
    ++m_nesting;
    struct Unnest {
      int& nesting;
      ~Unnest() { --nesting; }
    } unnest{m_nesting};
    const auto until = now() + span;
    while (Source* next = earliestDueBy(until)) {
      const auto due = *next->nextDue();
      if (due > now()) m_clock.advance(due - now());
      next->fire();
    }
    if (until > now()) m_clock.advance(until - now());
  }
  // Fires what is already due without moving time.
  void runPending() { runFor(std::chrono::nanoseconds{0}); }

  std::chrono::nanoseconds now() const { return m_clock.monotonic(); }
  FakeClock& clock() { return m_clock; }
  int yields() const { return m_yields; }

  void add(Source& source) { m_sources.push_back(&source); }
  void remove(Source& source) { std::erase(m_sources, &source); }

 private:
  // Ties go to the source added first.
  Source* earliestDueBy(std::chrono::nanoseconds until) const {
    Source* best = nullptr;
    std::chrono::nanoseconds bestDue{};
    for (Source* source : m_sources) {
      const auto due = source->nextDue();
      if (due && *due <= until && (best == nullptr || *due < bestDue)) {
        best = source;
        bestDue = *due;
      }
    }
    return best;
  }

  struct Posted : Source {
    struct Task {
      std::chrono::nanoseconds due;
      std::function<void()> run;
    };
    std::deque<Task> tasks;
    std::optional<std::chrono::nanoseconds> nextDue() const override {
      if (tasks.empty()) return std::nullopt;
      return tasks.front().due;
    }
    void fire() override {
      auto task = std::move(tasks.front().run);
      tasks.pop_front();
      task();
    }
  };

  FakeClock& m_clock;
  Posted m_posted;
  std::vector<Source*> m_sources;
  int m_yields = 0;
  int m_nesting = 0;
};

}  // namespace kova
