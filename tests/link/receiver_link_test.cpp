#include "link/receiver_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_event_loop.h"
#include "platform/fake/fake_serial_port.h"
#include "platform/fake/fake_timer.h"
#include "platform/fake/recording_window.h"

namespace kova {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string NotFound = "Could not find GPS Receiver. Retry in 10s";
const std::string Gga =
    "$GPGGA,110729,6013.0599,N,02453.5376,E,1,04,03.4,-00016.6,M,045.5,M,,*63\r\n";
const std::string Rmc = "$GPRMC,110728,A,6013.0600,N,02453.5376,E,000.0,000.0,130210,,,A*79\r\n";
const std::string Glgsv =
    "$GLGSV,2,1,06,78,55,306,36,86,24,045,23,77,52,171,15,88,40,227,34,1*7A\r\n";

// A test data file without its first line, which names the file's source.
std::string ReadTestData(const std::string& name) {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/" + name, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(text.empty()) << name;
  return text.substr(text.find('\n') + 1);
}

// A window whose log takes rowCost of time for every row a burst shows.
struct SlowWindow : RecordingWindow {
  explicit SlowWindow(FakeClock& time) : clock(time) {}
  void finishBurst() override {
    clock.advance(rowCost * static_cast<std::int64_t>(log().size() - logShown()));
    RecordingWindow::finishBurst();
  }
  FakeClock& clock;
  std::chrono::nanoseconds rowCost{0};
};

// The main window's link with everything around it faked. The decoder stand-in records and logs
// each line and takes lineCost of time.
struct LinkRig {
  void procGPSNMEA(std::string_view line) {
    lines.emplace_back(line);
    window.prependLog(line);
    clock.advance(lineCost);
  }
  // Runs a scan and returns how long it took.
  std::chrono::milliseconds scan() {
    const auto start = loop.now();
    link.ScanComPorts();
    return std::chrono::duration_cast<std::chrono::milliseconds>(loop.now() - start);
  }
  const std::string& status() const { return window.label(Label::Status); }
  std::vector<int> attemptsSince(std::size_t first) const {
    const auto& all = port.openAttempts();
    return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
  }

  FakeClock clock;
  FakeEventLoop loop{clock};
  FakeSerialPort port{loop};
  SlowWindow window{clock};
  PositionState position;
  FakeTimer timerWatch{loop, ReceiverLink::WatchdogInterval, true};
  FakeTimer timer1{loop, ReceiverLink::RetryInterval};
  Lines lines;
  std::chrono::nanoseconds lineCost{0};
  ReceiverLink link{position, port,       loop,   clock,
                    window,   timerWatch, timer1, [this](std::string_view line) { procGPSNMEA(line); }};
};

std::vector<int> ComPorts(int first, int last) {
  std::vector<int> ports(static_cast<std::size_t>(last - first + 1));
  std::iota(ports.begin(), ports.end(), first);
  return ports;
}

// Every port at the first speed, then the ports probed again at the other speeds.
std::vector<int> FirstPassThen(const std::vector<int>& again) {
  std::vector<int> ports = ComPorts(1, 32);
  ports.insert(ports.end(), again.begin(), again.end());
  return ports;
}

TEST(ScanComPorts, FindsTheFirstPortThatSendsAGpsTalkerSentence) {
  struct Case {
    const char* name;
    std::function<void(FakeSerialPort&)> devices;
    int gpsPort;
    std::string status;
    std::vector<int> attempts;
    std::chrono::milliseconds minTime, maxTime;
    int speed = 4800;  // of the receiver found
    int onlySpeed = 0;  // --baud
  };
  // COM1 sends each text at its moment; COMn sends a sentence every 300 ms at baud, after a
  // silent COM1.
  const auto sends = [](std::vector<std::pair<std::chrono::milliseconds, std::string>> texts) {
    return [=](FakeSerialPort& port) {
      for (const auto& [at, text] : texts) port.attach(1).feedAfter(at, text);
    };
  };
  const auto receiverAt = [](int com, int baud) {
    return [=](FakeSerialPort& port) {
      port.attach(1);
      port.attach(com).talk(Gga, 300ms);
      port.device(com).sendAt(baud);
    };
  };
  const Case cases[] = {
      {"no ports at all", [](FakeSerialPort&) {}, 0, NotFound, ComPorts(1, 32), 0ms, 0ms},
      {"receiver on COM5 behind a silent COM1",
       [](FakeSerialPort& port) {
         port.attach(1);
         port.attach(5).talk(Gga, 1s);
       },
       5, "GPS Receiver on COM5", ComPorts(1, 5), 2000ms, 2050ms},
      {"chatty device on COM2 ends its probe early",
       [](FakeSerialPort& port) {
         port.attach(2).feedAfter(100ms, std::string(51, '\xF8'));
         port.attach(3).talk(Gga, 200ms);
       },
       3, "GPS Receiver on COM3", ComPorts(1, 3), 200ms, 220ms},
      {"a text device ends its probe 50 characters after its first line end",
       [](FakeSerialPort& port) {
         port.attach(2).feedAfter(100ms, "K\r\n" + std::string(51, 'z'));
         port.attach(3).talk(Gga, 200ms);
       },
       3, "GPS Receiver on COM3", ComPorts(1, 3), 200ms, 220ms},
      {"a text device without a line end ends its probe past the longest sentence",
       [](FakeSerialPort& port) {
         port.attach(2).feedAfter(100ms, std::string(83, 'z'));
         port.attach(3).talk(Gga, 200ms);
       },
       3, "GPS Receiver on COM3", ComPorts(1, 3), 200ms, 220ms},
      {"exactly 50 characters keep the probe going",
       [](FakeSerialPort& port) {
         port.attach(2).feedAfter(100ms, std::string(50, '\xF8'));
         port.attach(3).talk(Gga, 200ms);
       },
       3, "GPS Receiver on COM3", ComPorts(1, 3), 1200ms, 1220ms},
      {"a receiver sending only $GPRMC",
       [](FakeSerialPort& port) { port.attach(7).talk(Rmc, 1s); }, 7, "GPS Receiver on COM7",
       ComPorts(1, 7), 1000ms, 1020ms},
      {"more than 50 characters of a sentence before the first mark keep the probe going",
       [](FakeSerialPort& port) {
         port.attach(1).feedAfter(100ms, Glgsv.substr(0, 51));
         port.device(1).feedAfter(200ms, Glgsv.substr(51) + Gga);
       },
       1, "GPS Receiver on COM1", ComPorts(1, 1), 200ms, 220ms},
      {"GNSS talker after other talkers' sentences",
       [](FakeSerialPort& port) {
         port.attach(2).talk(Glgsv, 100ms);
         port.device(2).feedAfter(900ms, "$GNGSA,A,3,05,16,18,23,26,29,31*05\r\n");
       },
       2, "GPS Receiver on COM2", ComPorts(1, 2), 900ms, 920ms},
      {"a garbled first character leaves the rest of the sentence uncounted",
       sends({{100ms, "\xF8" + Glgsv.substr(8)}, {200ms, Gga}}), 1, "GPS Receiver on COM1",
       ComPorts(1, 1), 200ms, 220ms},
      {"sentences without a mark keep the probe listening up to 2 s",
       sends({{100ms, Glgsv}, {1990ms, Gga}}), 1, "GPS Receiver on COM1", ComPorts(1, 1), 1990ms,
       2010ms},
      {"but not longer", sends({{100ms, Glgsv}, {2100ms, Gga}}), 0, NotFound, ComPorts(1, 32),
       2000ms, 2020ms, 4800, 4800},
      {"a receiver at 9600 baud behind a silent COM1, at the second pass", receiverAt(2, 9600), 2,
       "GPS Receiver on COM2", FirstPassThen({2}), 1500ms, 1520ms, 9600},
      {"a receiver at 57600 baud, at the last speed", receiverAt(1, 57600), 1,
       "GPS Receiver on COM1", FirstPassThen({1, 1, 1, 1, 1}), 1800ms, 1820ms, 57600},
      {"--baud: that speed alone", receiverAt(1, 9600), 1, "GPS Receiver on COM1", ComPorts(1, 1),
       300ms, 320ms, 9600, 9600},
      {"--baud: no other speed", receiverAt(1, 9600), 0, NotFound, ComPorts(1, 32), 300ms, 320ms,
       4800, 4800},
      {"unplugged receiver is skipped",
       [](FakeSerialPort& port) {
         port.attach(4).unplug();
         port.attach(9).talk(Gga, 100ms);
       },
       9, "GPS Receiver on COM9", ComPorts(1, 9), 100ms, 120ms},
      {"$GPG split across reads",
       [](FakeSerialPort& port) {
         port.attach(6).feedAfter(100ms, "\r\n$GP");
         port.device(6).feedAfter(200ms, "GSA,A,3*1E\r\n");
       },
       6, "GPS Receiver on COM6", ComPorts(1, 6), 200ms, 220ms},
      {"a lone $GPGGA at 4800 baud whose next $GPG straddles the end of the probe's second",
       [](FakeSerialPort& port) {
         port.attach(1).feed(Gga.substr(1));  // opened just after a "$"
         for (int i = 0; i < 4; ++i) port.device(1).feedAfter(1008ms + 2083us * i, {Gga[i]});
       },
       1, "GPS Receiver on COM1", ComPorts(1, 1), 1020ms, 1030ms},
  };
  for (const auto& c : cases) {
    LinkRig rig;
    c.devices(rig.port);
    if (c.onlySpeed != 0) rig.link.setOnlySpeed(c.onlySpeed);
    const auto took = rig.scan();
    EXPECT_EQ(rig.link.GpsPort(), c.gpsPort) << c.name;
    if (c.gpsPort != 0) {
      EXPECT_EQ(rig.port.speed(), c.speed) << c.name;
    }
    EXPECT_EQ(rig.status(), c.status) << c.name;
    EXPECT_EQ(rig.port.openAttempts(), c.attempts) << c.name;
    EXPECT_GE(took, c.minTime) << c.name;
    EXPECT_LE(took, c.maxTime) << c.name;
    EXPECT_EQ(rig.timer1.enabled(), c.gpsPort == 0) << c.name;
    EXPECT_TRUE(rig.timerWatch.enabled()) << c.name;
    EXPECT_EQ(rig.port.receiveThreshold(), c.gpsPort == 0 ? 0 : 1) << c.name;
    EXPECT_EQ(rig.position.FixMode, c.gpsPort == 0 ? 1 : 0) << c.name << ": lost when not found";
    EXPECT_EQ(rig.port.openPort(), c.gpsPort) << c.name;
    EXPECT_EQ(rig.port.surveys(), 1) << c.name << ": one look at other programs for all ports";
  }
}

TEST(ScanComPorts, FindsAPacedReceiverWhoseBurstStartsWithRmcWheneverItsProbeStarts) {
  // 4800 baud: 6 characters every 12.5 ms, one burst a second.
  const std::string burst = Rmc + Gga + "$GPGSA,A,3,14,19,22,26,,,,,,,,,04.6,03.4,03.1*0C\r\n";
  for (const auto moment : {0ms, 5ms, 15ms, 60ms, 200ms, 330ms, 400ms, 650ms, 900ms, 990ms}) {
    SCOPED_TRACE(moment.count());
    LinkRig rig;
    auto& receiver = rig.port.attach(1);
    for (auto second = -1s; second <= 2s; ++second) {
      for (std::size_t pos = 0; pos < burst.size(); pos += 6) {
        const auto at = second - moment + 12500us * static_cast<int>(pos / 6);
        if (at >= 0ms) receiver.feedAfter(at, burst.substr(pos, 6));
      }
    }
    EXPECT_LE(rig.scan(), 1000ms);
    EXPECT_EQ(rig.link.GpsPort(), 1);
  }
}

TEST(ScanComPorts, ReportsWhatItMadeOfEachPortThatNamesADevice) {
  const std::string gpvtg = "$GPVTG,,T,,M,0.0,N,0.0,K,A*3D\r\n";
  LinkRig rig;
  rig.port.attach(1).refuseOpen(OpenFailure::PermissionDenied);
  rig.port.device(1).ownedBy("root", "dialout", 0660);
  rig.port.attach(2).refuseOpen(OpenFailure::InUse, 1234);
  rig.port.attach(3).refuseOpen(OpenFailure::InUse);
  rig.port.attach(4).refuseOpen(OpenFailure::InUse, 77);
  rig.port.device(4).noteOnOpen("in use by process 77");
  rig.port.attach(5);
  rig.port.attach(6).refuseOpen(OpenFailure::NotATerminal);
  rig.port.device(6).noteOnOpen("LCK..6: a symbolic link, not trusted");
  rig.port.attach(7).talk(std::string(52, '\xF8'), 100ms);
  rig.port.attach(8).talk(Glgsv, 300ms);
  rig.port.attach(9).talk(gpvtg, 300ms);
  rig.port.attach(10).refuseOpen(OpenFailure::PermissionDenied);
  rig.port.device(10).ownedBy("root", "root", 0600);
  rig.port.attach(11).talk(Gga, 300ms);
  rig.port.device(11).linkTo("/dev/ttyUSB0");
  Lines reports;
  rig.link.setOnProbe([&](std::string_view report) { reports.emplace_back(report); });
  rig.scan();
  EXPECT_EQ(reports, (Lines{
                         "COM1 /dev/ttyFAKE1: permission denied: join the dialout group",
                         "COM2 /dev/ttyFAKE2: in use by process 1234",
                         "COM3 /dev/ttyFAKE3: in use by another program",
                         "COM4 /dev/ttyFAKE4: in use by process 77",
                         "COM5 /dev/ttyFAKE5 at 4800 baud: no data",
                         "COM6 /dev/ttyFAKE6: not a serial device (LCK..6: a symbolic link, not "
                         "trusted)",
                         "COM7 /dev/ttyFAKE7 at 4800 baud: 52 characters without a receiver mark: "
                         "another device, or another speed?",
                         "COM8 /dev/ttyFAKE8 at 4800 baud: " + std::to_string(7 * Glgsv.size()) +
                             " characters of NMEA sentences, but none from a GPS or GNSS talker",
                         "COM9 /dev/ttyFAKE9 at 4800 baud: " + std::to_string(7 * gpvtg.size()) +
                             " characters of sentences without $GPG, $GNG, $GPRMC or $GNRMC",
                         "COM10 /dev/ttyFAKE10: permission denied: owner root, group root, "
                         "mode 0600",
                         "COM11 /dev/ttyFAKE11 -> /dev/ttyUSB0 at 4800 baud: GPS Receiver",
                     }));

  LinkRig bare;
  bare.link.setOnProbe([&](std::string_view report) { reports.emplace_back(report); });
  bare.scan();
  EXPECT_EQ(reports.back(), "no serial ports: nothing attached there") << "one line, none before";
  EXPECT_EQ(reports.size(), 12u);
}

TEST(ScanComPorts, SilentPortCostsAboutOneSecondThenTheNextPortStarts) {
  LinkRig rig;
  rig.port.attach(1);
  rig.port.attach(2);
  Lines seen;
  FakeTimer observer(rig.loop, 500ms, true);
  observer.setOnTick([&] { seen.push_back(rig.status()); });
  const auto took = rig.scan();
  EXPECT_EQ(seen, (Lines{"Scanning COM1 for GPS Receiver", "Scanning COM1 for GPS Receiver",
                         "Scanning COM2 for GPS Receiver", "Scanning COM2 for GPS Receiver"}));
  // A silent port is given up only once more than a second has passed, and soon after.
  EXPECT_GT(took, 2000ms);
  EXPECT_LE(took, 2050ms);
  EXPECT_FALSE(rig.port.isOpen()) << "each probed port is closed by the next pass";
}

TEST(ScanComPorts, LeavesTheProbeTextForTheFramingWhichLogsItFirst) {
  LinkRig rig;
  auto& receiver = rig.port.attach(5);
  receiver.feedAfter(10ms, "0,M,,*63\r\n");
  receiver.feedAfter(20ms, Gga.substr(0, 10));
  rig.scan();
  EXPECT_EQ(rig.link.RxBuffer(), "0,M,,*63\r\n" + Gga.substr(0, 10));
  EXPECT_TRUE(rig.lines.empty());

  receiver.feed(Gga.substr(10));
  rig.loop.runPending();
  EXPECT_EQ(rig.lines, (Lines{"0,M,,*63\r\n", Gga}));
  EXPECT_EQ(rig.link.RxBuffer(), "");
}

TEST(ScanComPorts, JudgesEachPortOnlyByWhatThatPortSent) {
  LinkRig rig;
  rig.link.setOnlySpeed(4800);
  // COM1 was the receiver, left part of a line behind and fell silent.
  rig.port.attach(1).feed("left over: " + Gga.substr(0, 20));
  rig.scan();
  ASSERT_EQ(rig.link.RxBuffer(), "left over: " + Gga.substr(0, 20));
  rig.port.attach(2).talk("OK\r\n", 400ms);
  rig.scan();
  EXPECT_EQ(rig.link.GpsPort(), 0);
  EXPECT_EQ(rig.status(), NotFound);
  EXPECT_EQ(rig.link.RxBuffer(), "OK\r\nOK\r\nOK\r\n") << "COM2's probe starts with an empty buffer";
}

TEST(ScanComPorts, ScanWhileTheReceiverPortIsOpenClosesItAndFindsItAgainAtItsSpeed) {
  LinkRig rig;
  rig.port.attach(2);
  rig.port.attach(3).talk(Gga, 300ms);
  rig.port.device(3).sendAt(9600);
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 3);
  const auto before = rig.port.openAttempts().size();
  rig.scan();  // would throw from the fake if it opened without closing first
  EXPECT_EQ(rig.attemptsSince(before), ComPorts(1, 3)) << "COM3 at 9600 baud first";
  EXPECT_EQ(rig.port.speed(), 9600);
  EXPECT_EQ(rig.link.GpsPort(), 3);
  EXPECT_EQ(rig.status(), "GPS Receiver on COM3");
}

TEST(ScanComPorts, TicksArrivingDuringAScanAreSkipped) {
  struct Case {
    const char* name;
    std::function<void(LinkRig&)> tick;
  };
  const Case cases[] = {
      {"retry tick", [](LinkRig& rig) { rig.link.onRetryTick(); }},
      {"watchdog tick", [](LinkRig& rig) { rig.link.onWatchdogTick(); }},
  };
  for (const auto& c : cases) {
    LinkRig rig;
    for (int com = 1; com <= 32; ++com) rig.port.attach(com);
    rig.port.device(32).talk(Gga, 1s);  // found: a failed scan would mark the fix as lost
    FakeTimer ticker(rig.loop, 10s, true);
    ticker.setOnTick([&] { c.tick(rig); });
    const auto took = rig.scan();
    EXPECT_GE(took, 32s) << c.name;
    EXPECT_EQ(ticker.ticks(), 3) << c.name << ": ticks did arrive while the scan yielded";
    EXPECT_EQ(rig.port.openAttempts(), ComPorts(1, 32)) << c.name << ": no scan inside the scan";
    EXPECT_EQ(rig.position.FixMode, 0) << c.name;
    EXPECT_FALSE(rig.link.scanning()) << c.name;
  }
}

TEST(OnComm, SeveralSentencesInOneReadAreAllDecodedOnOneNotification) {
  LinkRig rig;
  auto& receiver = rig.port.attach(1);
  receiver.feedAfter(10ms, Gga);
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 1);
  receiver.feed(Rmc + Gga + "$GPGSA,A,3*30\r\n$GPR");
  rig.loop.runPending();
  EXPECT_EQ(rig.port.notifications(), 1);
  EXPECT_EQ(rig.lines, (Lines{Gga, Rmc, Gga, "$GPGSA,A,3*30\r\n"}));
  EXPECT_EQ(rig.link.RxBuffer(), "$GPR");
}

TEST(OnComm, ABurstLongerThanAFewMillisecondsLetsOtherEventsInAndLosesNoLine) {
  LinkRig rig;
  auto& receiver = rig.port.attach(1);
  receiver.feedAfter(10ms, Gga);
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 1);
  rig.lineCost = 50us;
  rig.window.rowCost = 50us;
  Lines sent{Gga};
  std::string burst;  // well past the buffer's cap, all complete lines
  for (int i = 0; i < 300; ++i) {
    sent.push_back("$GPGSV," + std::to_string(i) + Rmc.substr(6));
    burst += sent.back();
  }
  std::vector<std::size_t> seenBetween;
  std::chrono::nanoseconds lastTick = rig.loop.now();
  std::chrono::nanoseconds longestTurn{0};
  FakeTimer client(rig.loop, 1ms, true);
  client.setOnTick([&] {
    longestTurn = std::max(longestTurn, rig.loop.now() - lastTick);
    lastTick = rig.loop.now();
    seenBetween.push_back(rig.lines.size());
    EXPECT_EQ(rig.window.logShown(), rig.lines.size()) << "the window shows every line handled";
  });
  receiver.feed(burst + "$GPR");
  rig.loop.runFor(100ms);
  EXPECT_EQ(rig.lines, sent);
  EXPECT_EQ(rig.port.notifications(), 1) << "the rest needed no new serial data";
  EXPECT_EQ(rig.link.RxBuffer(), "$GPR");
  EXPECT_EQ(rig.window.logShown(), sent.size());
  EXPECT_LE(longestTurn, 5ms) << "the log's rows count in the budget";
  EXPECT_TRUE(std::any_of(seenBetween.begin(), seenBetween.end(),
                          [&](std::size_t n) { return n > 1 && n < sent.size(); }));
}

// Replays a capture at about the line rate of 4800 baud: 12 characters every 25 ms.
void Replay(FakeSerialDevice& device, const std::string& capture, int times = 1) {
  std::chrono::milliseconds at{0};
  for (int i = 0; i < times; ++i) {
    for (std::size_t pos = 0; pos < capture.size(); pos += 12) {
      device.feedAfter(at, capture.substr(pos, 12));
      at += 25ms;
    }
  }
}

TEST(OnComm, RealCaptureReachesTheDecoderLineByLine) {
  const std::string capture = ReadTestData("navibe-gm720-head.nmea");
  LinkRig rig;
  auto& receiver = rig.port.attach(1);
  receiver.feedAfter(10ms, Gga);
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 1);
  Replay(receiver, capture);
  rig.loop.runFor(5s);
  Lines expected{Gga};
  for (std::size_t pos = 0; pos < capture.size();) {
    const auto end = capture.find("\r\n", pos) + 2;
    expected.push_back(capture.substr(pos, end - pos));
    pos = end;
  }
  ASSERT_EQ(expected.size(), 15u);
  EXPECT_EQ(rig.lines, expected);
  EXPECT_EQ(rig.link.RxBuffer(), "");
}

TEST(OnComm, AnLfOnlyReceiverNeverProducesALineAndTheBufferStaysCapped) {
  const std::string capture = ReadTestData("garmin-gps15h-head.nmea");
  LinkRig rig;
  auto& receiver = rig.port.attach(1);
  receiver.feedAfter(10ms, "$GPGSA,A,1,,,,,,,,,,,,,,,*1E\n");
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 1);
  Replay(receiver, capture, 10);
  std::size_t largest = 0;
  for (int i = 0; i < 1000; ++i) {
    rig.loop.runFor(25ms);
    largest = std::max(largest, rig.link.RxBuffer().size());
  }
  EXPECT_TRUE(rig.lines.empty());
  EXPECT_EQ(largest, 4096u);
  // Seeing no lines, the watchdog rescanned.
  EXPECT_GE(std::count(rig.port.openAttempts().begin(), rig.port.openAttempts().end(), 1), 2);
}

TEST(Watchdog, RescansOnlyAfterMoreThanFifteenSecondsOfSilence) {
  struct Case {
    const char* name;
    std::optional<std::chrono::nanoseconds> silence;  // empty: no line ever
    bool rescans;
  };
  const Case cases[] = {
      {"no line ever", std::nullopt, true},
      {"a line 14 s ago", 14s, false},
      {"a line exactly 15.0 s ago", 15s, false},
      {"a line 15.0 s and 1 ns ago", 15s + 1ns, true},
      {"a line 20 s ago", 20s, true},
  };
  for (const auto& c : cases) {
    LinkRig rig;
    if (c.silence) {
      // A line, then silence without a tick.
      auto& receiver = rig.port.attach(1);
      receiver.feed(Gga);
      rig.scan();
      receiver.feed(Gga);
      rig.loop.runPending();
      ASSERT_FALSE(rig.lines.empty()) << c.name;
      rig.clock.advance(*c.silence);
    }
    const auto before = rig.port.openAttempts().size();
    rig.link.onWatchdogTick();
    EXPECT_EQ(rig.port.openAttempts().size() > before, c.rescans) << c.name;
  }
}

TEST(Watchdog, DoesNotFireWhileLinesKeepArrivingEvenUndecodableOnes) {
  LinkRig rig;
  auto& receiver = rig.port.attach(2);
  receiver.talk("$GPGSV,garbage\r\n", 1s);
  rig.scan();
  ASSERT_EQ(rig.link.GpsPort(), 2);
  const auto before = rig.port.openAttempts().size();
  rig.loop.runFor(120s);
  EXPECT_GE(rig.timerWatch.ticks(), 7);
  EXPECT_EQ(rig.port.openAttempts().size(), before);
}

TEST(Supervision, TheWatchdogLooksEveryFifteenSecondsAndRetriesComeEveryTen) {
  EXPECT_EQ(ReceiverLink::WatchdogInterval, 15000ms);
  EXPECT_EQ(ReceiverLink::RetryInterval, 10000ms);
}

TEST(Supervision, UnpluggedReceiverIsLostThenFoundAgainByTheRetryTimer) {
  LinkRig rig;
  auto& receiver = rig.port.attach(5);
  receiver.talk(Gga, 1s);
  rig.scan();
  ASSERT_EQ(rig.status(), "GPS Receiver on COM5");
  rig.loop.runFor(20s);
  const auto lastLine = rig.link.lastLineTime();
  const auto before = rig.port.openAttempts().size();

  receiver.unplug();
  rig.loop.runFor(1ms);
  ASSERT_GT(rig.port.openAttempts().size(), before) << "rescanned at once";
  EXPECT_EQ(rig.window.label(Label::Fix), "No GPS Fix") << "the fix is lost at once";
  EXPECT_EQ(rig.port.openAttempts()[before], 1) << "the rescan starts at COM1";
  EXPECT_EQ(rig.link.lastLineTime(), lastLine);
  EXPECT_EQ(rig.status(), NotFound);
  EXPECT_EQ(rig.link.GpsPort(), 0);
  EXPECT_TRUE(rig.timer1.enabled());

  receiver.plug();
  rig.position.FixMode = 3;
  rig.window.setLabel(Label::Fix, "3D Fix", false);
  const auto ticks = rig.timer1.ticks();
  rig.loop.runFor(10s);
  EXPECT_EQ(rig.timer1.ticks(), ticks + 1);
  EXPECT_EQ(rig.status(), "GPS Receiver on COM5");
  EXPECT_EQ(rig.link.GpsPort(), 5);
  EXPECT_FALSE(rig.timer1.enabled()) << "a successful scan stops the retries";
  EXPECT_TRUE(rig.timerWatch.enabled());
  EXPECT_EQ(rig.position.FixMode, 1);
  EXPECT_EQ(rig.window.label(Label::Fix), "No GPS Fix") << "the fix line follows the retry tick";
}

TEST(ReceiverLink, StampsTheTimeOfEveryLine) {
  LinkRig rig;
  auto& receiver = rig.port.attach(1);
  receiver.feed(Gga);
  rig.scan();
  rig.timerWatch.setEnabled(false);
  rig.clock.advance(90min);
  receiver.feed("hello\r\n");
  rig.loop.runPending();
  EXPECT_EQ(rig.link.lastLineTime(), rig.clock.monotonic());

  rig.clock.advance(1500ms);
  receiver.feed(Gga);
  rig.loop.runPending();
  EXPECT_EQ(rig.link.lastLineTime(), rig.clock.monotonic());
}

}  // namespace
}  // namespace kova
