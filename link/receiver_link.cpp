#include "link/receiver_link.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace kova {

namespace {

using namespace std::chrono_literals;

constexpr auto ProbeWindow = 1s;
// A chatty device that is not the receiver ends its probe early.
constexpr std::size_t ProbeLimit = 50;
// Every GPS-talker sentence whose type starts with G ($GPGGA, $GPGSA, $GPGSV, $GPGLL).
constexpr std::string_view ReceiverMark = "$GPG";
constexpr auto WatchdogSilence = 15s;
constexpr int ProbeThreshold = 0;
constexpr int ReceiveThreshold = 2;
// The longest one turn of the loop spends on received lines, so that a fast source (a burst
// from a USB receiver, a 115,200-baud line) leaves room for the clients.
constexpr auto LineBudget = 4ms;
// The same for the look at other programs' open files on a busy host.
constexpr auto SurveyBudget = 4ms;

}  // namespace

std::string ScanningStatus(int port) {
  return "Scanning COM" + std::to_string(port) + " for GPS Receiver";
}

std::string FoundStatus(int port) { return "GPS Receiver on COM" + std::to_string(port); }

std::string NotFoundStatus() { return "Could not find GPS Receiver. Retry in 10s"; }

ReceiverLink::ReceiverLink(SharedState& state, SerialPort& port, EventLoop& loop, Clock& clock,
                           Window& window, Timer& timerWatch, Timer& timer1, LineSink procGPSNMEA)
    : m_state(state),
      m_port(port),
      m_loop(loop),
      m_clock(clock),
      m_window(window),
      m_timerWatch(timerWatch),
      m_timer1(timer1),
      m_procGPSNMEA(std::move(procGPSNMEA)) {
  m_port.setOnComm([this] { onComm(); });
}

ReceiverLink::~ReceiverLink() { m_port.setOnComm({}); }

void ReceiverLink::ScanComPorts() {
  // Ticks arrive while the probe yields; a scan inside a scan would restart the ports under it.
  if (m_scanning) return;
  m_scanning = true;
  m_timerWatch.setEnabled(false);
  m_state.GpsPort = 0;
  surveyHolders();

  int n = FirstComPort;
  for (; n <= LastComPort; ++n) {
    setStatus(ScanningStatus(n));
    if (m_port.isOpen()) m_port.close();
    m_port.setReceiveThreshold(ProbeThreshold);
    // The open attempt is the only step that can fail, and failing is not an error: a port that
    // does not exist, is in use or refuses to open is skipped. Everything else the port reports
    // as empty reads, so the scan has nothing more to ignore.
    if (!m_port.open(n)) continue;
    if (probeFindsReceiver()) {
      m_state.GpsPort = static_cast<std::int16_t>(n);
      m_port.setReceiveThreshold(ReceiveThreshold);
      break;
    }
  }

  const std::string outcome = m_state.GpsPort == 0 ? NotFoundStatus() : FoundStatus(n);
  setStatus(outcome);
  // Retrying while the receiver is found would only close its port and find it again.
  m_timer1.setEnabled(m_state.GpsPort == 0);
  m_timerWatch.setEnabled(true);
  m_scanning = false;
  if (m_onOutcome) m_onOutcome(outcome);
}

// One look at what other programs hold open serves every port of the scan. On a busy host it
// costs a good part of a second, so it goes in slices like the framing, with the loop let in
// between.
void ReceiverLink::surveyHolders() {
  for (;;) {
    const auto deadline = m_clock.monotonic() + SurveyBudget;
    if (m_port.surveyHolders([&] { return m_clock.monotonic() >= deadline; })) return;
    m_loop.yield();
  }
}

// Reads the open port for up to about a second (measured on the monotonic clock, so midnight
// cannot stretch it) or ProbeLimit characters, and judges the port only by what it sent. What
// was read stays in RxBuffer for the framing.
bool ReceiverLink::probeFindsReceiver() {
  std::string& rx = m_state.RxBuffer;
  rx.clear();
  const auto t0 = m_clock.monotonic();
  do {
    m_loop.yield();
    m_port.readAll(rx);
  } while (m_clock.monotonic() - t0 <= ProbeWindow && rx.size() <= ProbeLimit &&
           rx.find(ReceiverMark) == std::string::npos);
  return rx.find(ReceiverMark) != std::string::npos;
}

void ReceiverLink::onComm() {
  m_port.readAll(m_state.RxBuffer);
  frameWaitingLines();
}

void ReceiverLink::frameWaitingLines() {
  const auto deadline = m_clock.monotonic() + LineBudget;
  bool framed = false;
  const bool more = FrameLines(
      m_state.RxBuffer,
      [&](std::string_view line) {
        framed = true;
        m_procGPSNMEA(line);
      },
      [&] { return m_clock.monotonic() >= deadline; });
  if (framed) m_window.finishBurst();
  if (more && !m_framingPosted) {
    m_framingPosted = true;
    m_loop.post([this] {
      m_framingPosted = false;
      // A scan started meanwhile has emptied RxBuffer and is filling it from its probe.
      if (!m_scanning) frameWaitingLines();
    });
  }
}

void ReceiverLink::onWatchdogTick() {
  // A line never seen counts as silence since forever.
  const auto& last = m_state.LastRxMonotonic;
  if (!last || m_clock.monotonic() - *last > WatchdogSilence) ScanComPorts();
}

void ReceiverLink::onRetryTick() {
  if (m_scanning) return;
  m_state.Position.FixMode = 1;
  ScanComPorts();
}

void ReceiverLink::setStatus(const std::string& text) {
  // Shown the next time the loop runs; texts of ports that fail to open are replaced unseen.
  m_window.setLabel(Label::Status, text, false);
}

}  // namespace kova
