#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/line_framing.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/serial_port.h"
#include "platform/timer.h"
#include "platform/window.h"
#include "state/position_state.h"

namespace kova {

// The status line's texts while the scan probes a port, once it found the receiver there, and
// when it found none.
std::string ScanningStatus(int port);
std::string FoundStatus(int port);
std::string NotFoundStatus();

// The receiver link: finds the receiver on COM1 to COM32, frames what it sends into lines for
// the decoder, and rescans when it falls silent or was not found.
class ReceiverLink {
 public:
  static constexpr int FirstComPort = 1;
  static constexpr int LastComPort = 32;
  // The supervision timers' intervals: whoever makes the two timers gives them these.
  static constexpr std::chrono::milliseconds WatchdogInterval{15000};
  static constexpr std::chrono::milliseconds RetryInterval{10000};
  // The speeds a scan tries, in this order: 4800 first, then the factory speeds of receiver
  // modules, the most common first.
  static constexpr int Speeds[] = {4800, 9600, 38400, 115200, 19200, 57600};

  // Connects itself to the port's notifications and the timers' ticks. timerWatch is the
  // watchdog, timer1 the retry timer, made with the intervals above. A lost receiver marks the
  // fix in position as lost.
  ReceiverLink(PositionState& position, SerialPort& port, EventLoop& loop, Clock& clock,
               Window& window, Timer& timerWatch, Timer& timer1, LineSink procGPSNMEA);
  ~ReceiverLink();
  ReceiverLink(const ReceiverLink&) = delete;
  ReceiverLink& operator=(const ReceiverLink&) = delete;

  // Probes the ports in turn and leaves the receiver's port open with notifications on; yields
  // to the event loop while it waits for data. Does nothing while a scan is already running. A
  // scan that finds no receiver marks the fix as lost.
  void ScanComPorts();
  // The port's notification (OnComm): frames the complete lines waiting, as many as a few
  // milliseconds allow; the rest follow on the loop's next turns without new serial data. Once
  // they are framed, a device found gone marks the fix as lost and a rescan follows on the loop.
  void onComm();
  // TimerWatch: rescans after more than 15 s without a line reaching the decoder.
  void onWatchdogTick();
  // Timer1: marks the fix as lost and rescans.
  void onRetryTick();

  // Scans try only this speed from now on.
  void setOnlySpeed(int baud) { m_speeds = {baud}; }

  bool scanning() const { return m_scanning; }
  // The COM port on which the last scan found the receiver; 0 when none.
  std::int16_t GpsPort() const { return m_gpsPort; }
  // Serial characters received but not yet framed into lines.
  const std::string& RxBuffer() const { return m_rxBuffer; }
  // When the last line went to the decoder, decodable or not, on the monotonic clock; empty
  // before the first.
  std::optional<std::chrono::nanoseconds> lastLineTime() const { return m_lastLineTime; }

  // Called with the status text that ends each scan: the port found, or the retry notice.
  void setOnOutcome(std::function<void(std::string_view outcome)> onOutcome) {
    m_onOutcome = std::move(onOutcome);
  }
  // Called, after the decoder, with each framed line made only of what the receiver sent after
  // the scan found it: none of the probe's characters, and none longer than RxBufferCap, which
  // may have lost its start to that cap.
  void setOnLiveLine(LineSink onLiveLine) { m_onLiveLine = std::move(onLiveLine); }
  // Called once for every probe of a scan that names a device, with the port, the device, the
  // speed and what the scan made of it ("COM2 /dev/ttyUSB0 at 4800 baud: no data"), and once
  // for a scan that found no port at all.
  void setOnProbe(std::function<void(std::string_view report)> onProbe) {
    m_onProbe = std::move(onProbe);
  }

 private:
  void surveyHolders();
  // The speed COMn is probed at first: the one it last showed the receiver at, else 4800.
  int firstSpeed(int comPort) const;
  // Probes COMn at baud and keeps it as the receiver's port when it shows one; true when it
  // sent characters without a receiver mark.
  bool probePort(int comPort, int baud);
  bool probeFindsReceiver();
  // baud 0: the port did not open.
  void reportProbe(int comPort, int baud, bool found);
  // Frames what RxBuffer holds within the budget; the rest, and what the port holds unread when
  // unread, follow on the loop's next turns.
  void frameWaitingLines(bool unread);
  void markFixLost();
  void setStatus(const std::string& text);

  PositionState& m_position;
  SerialPort& m_port;
  EventLoop& m_loop;
  Clock& m_clock;
  Window& m_window;
  Timer& m_timerWatch;
  Timer& m_timer1;
  LineSink m_procGPSNMEA;
  std::function<void(std::string_view outcome)> m_onOutcome;
  std::function<void(std::string_view report)> m_onProbe;
  LineSink m_onLiveLine;
  std::int16_t m_gpsPort = 0;
  std::vector<int> m_speeds{std::begin(Speeds), std::end(Speeds)};
  int m_foundPort = 0;
  int m_foundSpeed = 0;
  std::string m_rxBuffer;
  // Lines still to be framed that hold characters the probe read.
  std::size_t m_probeLines = 0;
  std::optional<std::chrono::nanoseconds> m_lastLineTime;
  bool m_scanning = false;
  bool m_framingPosted = false;
  // What the window's log took per line at the last burst; until measured, about what a log row
  // costs in the window benchmark.
  std::chrono::nanoseconds m_showCostPerLine{std::chrono::microseconds(200)};
};

}  // namespace kova
