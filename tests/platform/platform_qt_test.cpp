#include <algorithm>
#include <chrono>
#include <limits>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_loop.h"
#include "platform/qt/qt_timer.h"

namespace {

using std::chrono::milliseconds;

TEST(QtTimer, TicksOnlyWhileEnabled) {
  const struct {
    const char* name;
    bool enabledAtCreation;
    std::vector<bool> settings;
    bool enabled;
  } rows[] = {
      {"enabled from creation", true, {}, true},
      {"disabled from creation", false, {}, false},
      {"enabled later", false, {true}, true},
      {"disabled later", true, {false}, false},
      {"enabled twice", false, {true, true}, true},
      {"disabled twice", true, {false, false}, false},
      {"off and on again", true, {false, true}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // A zero interval ticks on every pass of the event loop.
    kova::QtTimer timer(milliseconds(0), row.enabledAtCreation);
    int ticks = 0;
    timer.setOnTick([&] { ++ticks; });
    for (bool setting : row.settings) timer.setEnabled(setting);

    EXPECT_EQ(timer.enabled(), row.enabled);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks > 0, row.enabled);
  }
}

TEST(QtTimer, NeverTicksBeforeItsInterval) {
  // Every round starts the timer afresh, so the ticks fall at many phases of the clock; a
  // coarse timer comes early at about half of them.
  constexpr auto interval = milliseconds(100);
  constexpr int rounds = 20;
  kova::QtTimer timer(interval, false);
  QEventLoop loop;
  auto enabledAt = std::chrono::steady_clock::now();
  std::vector<std::chrono::nanoseconds> waits;
  timer.setOnTick([&] {
    waits.push_back(std::chrono::steady_clock::now() - enabledAt);
    timer.setEnabled(false);
    if (waits.size() == rounds) return loop.quit();
    enabledAt = std::chrono::steady_clock::now();
    timer.setEnabled(true);
  });
  timer.setEnabled(true);
  QTimer::singleShot(milliseconds(10000), &loop, &QEventLoop::quit);
  loop.exec();
  ASSERT_EQ(waits.size(), rounds);
  for (const auto wait : waits) EXPECT_GE(wait, interval);
}

TEST(QtEventLoop, PostRunsTheTaskOnTheNextTurnOnly) {
  kova::QtEventLoop loop;
  int runs = 0;
  loop.post([&] { ++runs; });
  EXPECT_EQ(runs, 0);
  loop.yield();
  loop.yield();
  EXPECT_EQ(runs, 1);
}

TEST(QtEventLoop, YieldDeliversPendingEvents) {
  kova::QtEventLoop loop;
  bool delivered = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { delivered = true; }, Qt::QueuedConnection);
  // Nothing else is pending afterwards: a yield that waited for a next event would hang here.
  loop.yield();
  EXPECT_TRUE(delivered);
}

TEST(QtEventLoop, YieldWaitsForATimerDueSoon) {
  kova::QtEventLoop loop;
  bool fired = false;
  QTimer::singleShot(milliseconds(1), Qt::PreciseTimer, [&] { fired = true; });
  for (int i = 0; i < 100 && !fired; ++i) loop.yield();
  EXPECT_TRUE(fired);
}

TEST(QtEventLoop, AnIdleYieldReturnsAfterAboutTenMilliseconds) {
  kova::QtEventLoop loop;
  QElapsedTimer elapsed;
  qint64 shortest = std::numeric_limits<qint64>::max();
  // The shortest of several: a busy machine lengthens some yields, never shortens them.
  for (int i = 0; i < 8; ++i) {
    elapsed.start();
    loop.yield();
    shortest = std::min(shortest, elapsed.nsecsElapsed());
  }
  EXPECT_LT(shortest, 50'000'000) << shortest << " ns";
}

TEST(QtClock, MonotonicNeverGoesBack) {
  kova::QtClock clock;
  auto previous = clock.monotonic();
  for (int i = 0; i < 1000; ++i) {
    const auto next = clock.monotonic();
    ASSERT_GE(next, previous);
    previous = next;
  }
}

}  // namespace
