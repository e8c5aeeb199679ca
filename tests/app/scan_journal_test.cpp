// The journal lines of the receiver link's scans: each outcome once, until it changes.
#include "app/scan_journal.h"

#include <chrono>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "link/receiver_link.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_event_loop.h"
#include "platform/fake/fake_serial_port.h"
#include "platform/fake/fake_timer.h"
#include "platform/fake/recording_window.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* Found = "simple-kova: GPS Receiver on COM3\n";
constexpr const char* NotFound = "simple-kova: Could not find GPS Receiver. Retry in 10s\n";

TEST(ScanJournal, WritesEachScanOutcomeOnceUntilItChanges) {
  const struct {
    const char* name;
    std::vector<std::pair<int, bool>> present;  // from this second on, the receiver is (not) there
    std::string journal;
  } rows[] = {
      {"there throughout", {{0, true}}, Found},
      {"plugged in after several retries", {{0, false}, {35, true}}, std::string(NotFound) + Found},
      {"unplugged, then back", {{0, true}, {5, false}, {65, true}},
       std::string(Found) + NotFound + Found},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    kova::FakeClock clock;
    kova::FakeEventLoop loop{clock};
    kova::FakeSerialPort port{loop};
    kova::RecordingWindow window;
    kova::PositionState position;
    kova::FakeTimer timerWatch{loop, kova::ReceiverLink::WatchdogInterval, true};
    kova::FakeTimer timer1{loop, kova::ReceiverLink::RetryInterval};
    kova::ReceiverLink link{position, port, loop, clock, window, timerWatch, timer1,
                            [](std::string_view) {}};
    std::ostringstream out;
    ScanJournal journal(out);
    link.setOnOutcome([&](std::string_view outcome) { journal.record(outcome); });

    kova::FakeSerialDevice& receiver = port.attach(3);
    receiver.talk("$GPGGA,110729,6013.0599,N,02453.5376,E,1,04,03.4,-00016.6,M,045.5,M,,*63\r\n",
                  1s);
    int second = 0;
    for (const auto& [from, present] : row.present) {
      loop.runFor(std::chrono::seconds(from - second));
      second = from;
      if (present) {
        receiver.plug();
      } else {
        receiver.unplug();
      }
      if (from == 0) link.ScanComPorts();
    }
    loop.runFor(60s);
    EXPECT_EQ(out.str(), row.journal);
  }
}

}  // namespace
