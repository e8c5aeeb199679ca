#include "link/receiver_link.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "state/fix_text.h"

namespace kova {

namespace {

using namespace std::chrono_literals;

constexpr auto ProbeWindow = 1s;
// A chatty device that is not the receiver ends its probe early.
constexpr std::size_t ProbeLimit = 50;
// Every GPS- or GNSS-talker sentence whose type starts with G ($GPGGA, $GNGSA, $GPGSV ...).
constexpr std::string_view ReceiverMarks[] = {"$GPG", "$GNG"};
// A sentence start of either talker: the port is a receiver's, whose first sentence of the
// second may be a $GPRMC of some 70 characters, so the probe keeps listening past ProbeLimit.
constexpr std::string_view TalkerStarts[] = {"$GP", "$GN"};

// NMEA's longest sentence, CR LF included.
constexpr std::size_t LongestSentence = 82;

// What counts toward ProbeLimit. A probe that starts inside a sentence does not count the
// sentence's rest, printable text up to the first line end: it would otherwise pass by a
// receiver whose probe started just after the "$GP" of a long $GPRMC. Garbage (another speed,
// a binary protocol) and long lines count from the first character.
std::size_t CountedForLimit(std::string_view text) {
  const std::size_t end = text.find('\n');
  const std::size_t rest = end == std::string_view::npos ? text.size() : end + 1;
  if (rest > LongestSentence) return text.size();
  for (const char c : text.substr(0, rest))
    if ((c < ' ' || c > '~') && c != '\r' && c != '\n') return text.size();
  return text.size() - rest;
}

std::size_t CrLfCount(std::string_view text) {
  std::size_t count = 0;
  for (auto at = text.find("\r\n"); at != std::string_view::npos; at = text.find("\r\n", at + 2))
    ++count;
  return count;
}

bool HoldsAny(std::string_view text, const auto& needles) {
  for (const std::string_view needle : needles)
    if (text.find(needle) != std::string_view::npos) return true;
  return false;
}

// A mark whose start arrived as the second ran out gets the time of some ten characters at
// 4800 baud to complete; otherwise a receiver of one short sentence a second, whose probe opened
// just after a "$", can be missed on every retry alike.
constexpr auto MarkGrace = 20ms;

bool EndsInPartOfAMark(std::string_view text) {
  for (const std::string_view mark : ReceiverMarks)
    for (std::size_t n = 1; n < mark.size(); ++n)
      if (text.ends_with(mark.substr(0, n))) return true;
  return false;
}

constexpr auto WatchdogSilence = 15s;
constexpr int ProbeThreshold = 0;
// Any character may complete a line, and a line's last character may arrive alone.
constexpr int ReceiveThreshold = 1;
// The longest one turn of the loop spends on received lines, so that a fast source (a burst
// from a USB receiver, a 115,200-baud line) leaves room for the clients.
constexpr auto LineBudget = 4ms;
// The same for the look at other programs' open files on a busy host.
constexpr auto SurveyBudget = 4ms;
// How much received text the link holds before it leaves the rest in the port.
constexpr std::size_t ReadAhead = 64 * 1024;

}  // namespace

std::string ScanningStatus(int port) {
  return "Scanning COM" + std::to_string(port) + " for GPS Receiver";
}

std::string FoundStatus(int port) { return "GPS Receiver on COM" + std::to_string(port); }

std::string NotFoundStatus() { return "Could not find GPS Receiver. Retry in 10s"; }

ReceiverLink::ReceiverLink(PositionState& position, SerialPort& port, EventLoop& loop,
                           Clock& clock, Window& window, Timer& timerWatch, Timer& timer1,
                           LineSink procGPSNMEA)
    : m_position(position),
      m_port(port),
      m_loop(loop),
      m_clock(clock),
      m_window(window),
      m_timerWatch(timerWatch),
      m_timer1(timer1),
      m_procGPSNMEA(std::move(procGPSNMEA)) {
  m_port.setOnComm([this] { onComm(); });
  m_timerWatch.setOnTick([this] { onWatchdogTick(); });
  m_timer1.setOnTick([this] { onRetryTick(); });
}

ReceiverLink::~ReceiverLink() {
  m_port.setOnComm({});
  m_timerWatch.setOnTick({});
  m_timer1.setOnTick({});
}

void ReceiverLink::ScanComPorts() {
  // Ticks arrive while the probe yields; a scan inside a scan would restart the ports under it.
  if (m_scanning) return;
  m_scanning = true;
  m_timerWatch.setEnabled(false);
  m_gpsPort = 0;
  surveyHolders();

  int n = FirstComPort;
  for (; n <= LastComPort; ++n) {
    setStatus(ScanningStatus(n));
    if (m_port.isOpen()) m_port.close();
    m_port.setReceiveThreshold(ProbeThreshold);
    // The open attempt is the only step that can fail, and failing is not an error: a port that
    // does not exist, is in use or refuses to open is skipped. Everything else the port reports
    // as empty reads, so the scan has nothing more to ignore.
    if (!m_port.open(n)) {
      reportProbe(n, false, false);
      continue;
    }
    const bool found = probeFindsReceiver();
    reportProbe(n, true, found);
    if (found) {
      m_gpsPort = static_cast<std::int16_t>(n);
      // The probe's complete lines, and the one whose start it read.
      m_probeLines = CrLfCount(m_rxBuffer) + (m_rxBuffer.ends_with("\r\n") ? 0 : 1);
      m_port.setReceiveThreshold(ReceiveThreshold);
      break;
    }
  }

  const std::string outcome = m_gpsPort == 0 ? NotFoundStatus() : FoundStatus(n);
  if (m_gpsPort == 0) markFixLost();
  setStatus(outcome);
  // Retrying while the receiver is found would only close its port and find it again.
  m_timer1.setEnabled(m_gpsPort == 0);
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
// cannot stretch it; a little longer while what was read ends in the start of a mark), or
// ProbeLimit characters past the end of a first partial line when none of them starts a GPS or
// GNSS sentence, and judges the port only by what it sent. What was read stays in RxBuffer for
// the framing.
bool ReceiverLink::probeFindsReceiver() {
  std::string& rx = m_rxBuffer;
  rx.clear();
  const auto t0 = m_clock.monotonic();
  bool found = false;
  bool talker = false;
  // Each read is searched once, from a mark's length before its start, so that a fast sender's
  // second costs no more than its characters.
  std::size_t searched = 0;
  std::chrono::nanoseconds took{};
  do {
    m_loop.yield();
    m_port.readAll(rx);
    const std::string_view fresh = std::string_view(rx).substr(searched);
    found = HoldsAny(fresh, ReceiverMarks);
    talker = talker || HoldsAny(fresh, TalkerStarts);
    searched = rx.size() - std::min(rx.size(), ReceiverMarks[0].size() - 1);
    took = m_clock.monotonic() - t0;
  } while (!found &&
           (took <= ProbeWindow || (took <= ProbeWindow + MarkGrace && EndsInPartOfAMark(rx))) &&
           (talker || CountedForLimit(rx) <= ProbeLimit));
  // A device that went away while it was probed would never notify again.
  return found && !m_port.deviceGone();
}

void ReceiverLink::reportProbe(int comPort, bool opened, bool found) {
  const OpenAttempt& attempt = m_port.lastOpen();
  if (!m_onProbe || attempt.device.empty()) return;
  std::string why;
  if (found) {
    why = "GPS Receiver";
  } else if (opened) {
    const std::size_t read = m_rxBuffer.size();
    why = read == 0 ? "no data"
          : HoldsAny(m_rxBuffer, TalkerStarts)
              ? std::to_string(read) + " characters of sentences without $GPG or $GNG"
              : std::to_string(read) +
                    " characters without a receiver mark: another device, or another speed?";
  } else {
    switch (attempt.failure) {
      case OpenFailure::PermissionDenied: why = "permission denied: join the dialout group"; break;
      case OpenFailure::InUse:
        why = attempt.holder > 0 ? "in use by process " + std::to_string(attempt.holder)
                                 : "in use by another program";
        break;
      case OpenFailure::NotATerminal: why = "not a serial device"; break;
      case OpenFailure::NoDevice: why = "no such device"; break;
      default: why = "will not open"; break;
    }
  }
  // Lock files that could not be trusted are worth a look whatever became of the port.
  if (!attempt.note.empty()) why += " (" + attempt.note + ")";
  m_onProbe("COM" + std::to_string(comPort) + " " + attempt.device + ": " + why);
}

void ReceiverLink::onComm() {
  // The turn already posted goes on with the lines; one framing a turn keeps the turn short.
  if (m_framingPosted) return;
  // Lines that arrive faster than they are handled wait in the port, whose buffer is bounded,
  // rather than piling up here, where every turn would move them all.
  const bool read = m_rxBuffer.size() < ReadAhead;
  if (read) m_port.readAll(m_rxBuffer);
  frameWaitingLines(!read);
}

void ReceiverLink::frameWaitingLines(bool unread) {
  const auto deadline = m_clock.monotonic() + LineBudget;
  std::int64_t framed = 0;
  // The window shows the burst's rows once it is framed; what that cost per row last time is
  // counted in with every line, so a flood of short lines keeps the turn within the budget.
  const bool more = FrameLines(
      m_rxBuffer,
      [&](std::string_view line) {
        ++framed;
        m_procGPSNMEA(line);
        m_lastLineTime = m_clock.monotonic();
        if (m_probeLines > 0)
          --m_probeLines;
        else if (m_onLiveLine && line.size() <= RxBufferCap)
          m_onLiveLine(line);
      },
      [&] { return m_clock.monotonic() + framed * m_showCostPerLine >= deadline; });
  if (framed > 0) {
    const auto shown = m_clock.monotonic();
    m_window.finishBurst();
    m_showCostPerLine = (m_clock.monotonic() - shown) / framed;
  }
  if ((more || unread) && !m_framingPosted) {
    m_framingPosted = true;
    m_loop.post([this] {
      m_framingPosted = false;
      // A scan started meanwhile has emptied RxBuffer and is filling it from its probe.
      if (!m_scanning) onComm();
    });
  }
  // Its last lines decoded, a receiver that has gone is searched for now, not once the
  // watchdog notices the silence.
  if (!more && !unread && m_port.deviceGone()) {
    markFixLost();
    // Not from inside the port's notification: the scan closes the port.
    m_loop.post([this] { ScanComPorts(); });
  }
}

void ReceiverLink::onWatchdogTick() {
  // A line never seen counts as silence since forever.
  if (!m_lastLineTime || m_clock.monotonic() - *m_lastLineTime > WatchdogSilence) ScanComPorts();
}

void ReceiverLink::onRetryTick() {
  if (m_scanning) return;
  markFixLost();
  ScanComPorts();
}

void ReceiverLink::markFixLost() {
  m_position.FixMode = 1;
  // The fix line follows at once, not only with the next received line.
  m_window.setLabel(Label::Fix, FixText(1), false);
}

void ReceiverLink::setStatus(const std::string& text) {
  // Shown the next time the loop runs; texts of ports that fail to open are replaced unseen.
  m_window.setLabel(Label::Status, text, false);
}

}  // namespace kova
