// The fakes carry logic of their own (virtual time, timer scheduling, serial delivery); these
// tests pin it down so the link tests can rely on it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_event_loop.h"
#include "platform/fake/fake_serial_port.h"
#include "platform/fake/fake_timer.h"

namespace kova {
namespace {

using namespace std::chrono_literals;

struct LoopRig {
  FakeClock clock;
  FakeEventLoop loop{clock};
  std::chrono::nanoseconds start = loop.now();
  std::chrono::milliseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(loop.now() - start);
  }
};

TEST(FakeEventLoop, YieldMovesTheClockTenMilliseconds) {
  LoopRig rig;
  for (int i = 0; i < 150; ++i) rig.loop.yield();
  EXPECT_EQ(rig.elapsed(), 1500ms);
  EXPECT_EQ(rig.loop.yields(), 150);
}

TEST(FakeTimer, TicksAndPostedTasksFireInTimeOrderAndEnablingStartsAFreshInterval) {
  LoopRig rig;
  std::vector<std::string> order;
  FakeTimer fast(rig.loop, 300ms, true);
  FakeTimer slow(rig.loop, 500ms, true);
  const auto at = [&](const char* what) {
    order.push_back(what + ("@" + std::to_string(rig.elapsed().count())));
  };
  fast.setOnTick([&] {
    at("fast");
    if (rig.elapsed() == 300ms) rig.loop.post([&] { at("posted"); });
  });
  slow.setOnTick([&] { order.push_back("slow@" + std::to_string(rig.elapsed().count())); });

  rig.loop.runFor(1000ms);
  EXPECT_EQ(order, (std::vector<std::string>{"fast@300", "posted@300", "slow@500", "fast@600",
                                             "fast@900", "slow@1000"}));

  order.clear();
  slow.setEnabled(false);
  rig.loop.runFor(100ms);  // 1100
  slow.setEnabled(true);
  slow.setEnabled(true);  // already enabled: keeps its interval
  rig.loop.runFor(500ms);  // 1600
  EXPECT_EQ(order, (std::vector<std::string>{"fast@1200", "fast@1500", "slow@1600"}));
  EXPECT_FALSE(FakeTimer(rig.loop, 1s).enabled());
}

TEST(FakeTimer, TicksKeepComingWhileAHandlerYields) {
  LoopRig rig;
  FakeTimer timer(rig.loop, 100ms, true);
  std::vector<long long> at;
  timer.setOnTick([&] {
    at.push_back(rig.elapsed().count());
    if (at.size() == 1) rig.loop.runFor(350ms);
  });
  rig.loop.runFor(600ms);
  EXPECT_EQ(at, (std::vector<long long>{100, 200, 300, 400, 500, 600}));
}

TEST(FakeEventLoop, HandlersRunningTheLoopWithoutEndFailInsteadOfHanging) {
  LoopRig rig;
  FakeTimer timer(rig.loop, 100ms, true);
  timer.setOnTick([&] { rig.loop.runFor(1s); });
  EXPECT_THROW(rig.loop.runFor(1s), std::runtime_error);
  timer.setEnabled(false);
  rig.loop.runFor(1s);  // usable again afterwards
}

TEST(FakeTimer, TicksMissedWhileAHandlerBlocksCollapseIntoOne) {
  LoopRig rig;
  FakeTimer timer(rig.loop, 100ms, true);
  std::vector<long long> at;
  timer.setOnTick([&] {
    at.push_back(rig.elapsed().count());
    if (at.size() == 1) rig.clock.advance(350ms);
  });
  rig.loop.runFor(700ms);
  EXPECT_EQ(at, (std::vector<long long>{100, 450, 550, 650}));
}

struct SerialRig : LoopRig {
  FakeSerialPort port{loop};
  std::string received;
  int comms = 0;
  SerialRig() {
    port.setOnComm([this] {
      ++comms;
      port.readAll(received);
    });
  }
};

TEST(FakeSerialPort, OnlyAttachedAndPluggedPortsOpenAndEveryAttemptIsRecorded) {
  SerialRig rig;
  rig.port.attach(2);
  rig.port.attach(3).unplug();
  const std::vector<std::pair<int, bool>> cases = {{1, false}, {2, true}, {3, false}, {33, false}};
  for (const auto& [com, opens] : cases) {
    EXPECT_EQ(rig.port.open(com), opens) << "COM" << com;
    EXPECT_EQ(rig.port.openPort(), opens ? com : 0) << "COM" << com;
    rig.port.close();
  }
  EXPECT_EQ(rig.port.openAttempts(), (std::vector<int>{1, 2, 3, 33}));
  rig.port.open(2);
  EXPECT_THROW(rig.port.open(2), std::logic_error);
}

TEST(FakeSerialPort, NotifiesOnlyAtThresholdTwoWithTwoOrMoreCharactersWaiting) {
  struct Case {
    const char* name;
    int threshold;
    std::string sent;
    int comms;
  };
  const Case cases[] = {
      {"threshold 0", 0, "$GPGGA\r\n", 0},
      {"threshold 2, one character", 2, "$", 0},
      {"threshold 2, two characters", 2, "$G", 1},
      {"threshold 2, a sentence", 2, "$GPGGA\r\n", 1},
      {"threshold 1, one character", 1, "\n", 1},
  };
  for (const auto& c : cases) {
    SerialRig rig;
    rig.port.attach(1).feed(c.sent);
    rig.port.open(1);
    rig.port.setReceiveThreshold(c.threshold);
    rig.loop.runPending();
    EXPECT_EQ(rig.comms, c.comms) << c.name;
    EXPECT_EQ(rig.port.notifications(), c.comms) << c.name;
    std::string rest;
    rig.port.readAll(rest);
    EXPECT_EQ(rig.received + rest, c.sent) << c.name;
  }
}

TEST(FakeSerialPort, DeliversScriptedDataAtItsTimeAndLosesWhatNobodyListensTo) {
  SerialRig rig;
  auto& device = rig.port.attach(4);
  device.feed("lost, port closed");
  rig.loop.runFor(10ms);
  rig.port.open(4);
  rig.port.setReceiveThreshold(2);
  device.feedAfter(300ms, "B1");
  device.feedAfter(100ms, "A1");
  device.talk("t.", 250ms);
  rig.loop.runFor(600ms);
  EXPECT_EQ(rig.received, "A1t.B1t.");

  device.unplug();
  rig.loop.runFor(1s);
  std::string read;
  rig.port.readAll(read);
  EXPECT_EQ(read, "") << "an unplugged device reads as empty";
  EXPECT_TRUE(rig.port.deviceGone());
  EXPECT_TRUE(rig.port.isOpen());
  rig.port.close();
  EXPECT_FALSE(rig.port.open(4));

  device.plug();
  EXPECT_TRUE(rig.port.open(4));
  rig.port.setReceiveThreshold(2);
  rig.loop.runFor(250ms);
  EXPECT_EQ(rig.received, "A1t.B1t.t.");
  EXPECT_THROW(device.talk("x", 0s), std::invalid_argument);
}

}  // namespace
}  // namespace kova
