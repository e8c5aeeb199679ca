#include "link/receiver_link.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/fix_text.h"

namespace kova {

namespace {

using namespace std::chrono_literals;

constexpr auto ProbeWindow = 1s;
// Once sentences came without a mark: a 1 Hz receiver's mark may come up to a second after the
// probe opened, plus its place in the burst.
constexpr auto SentenceWindow = 2s;
// A chatty device that is not the receiver ends its probe early.
constexpr std::size_t ProbeLimit = 50;
// A GPS or GNSS talker's sentences whose type starts with G ($GPGGA, $GNGSA, $GPGSV ...), and
// its recommended minimum sentence, which some receivers are set to send alone.
constexpr std::string_view ReceiverMarks[] = {"$GPG", "$GNG", "$GPRMC", "$GNRMC"};
constexpr std::string_view TalkerStarts[] = {"$GP", "$GN"};
// "$" and five upper-case letters or digits, then ",".
constexpr std::size_t SentenceStartLength = 7;

// NMEA's longest sentence, CR LF included.
constexpr std::size_t LongestSentence = 82;

bool IsText(char c) { return (c >= ' ' && c <= '~') || c == '\r' || c == '\n'; }

// What counts toward ProbeLimit. A probe that starts inside a sentence does not count the
// sentence's rest, text up to the first line end: it would otherwise pass by a receiver whose
// probe started just after the "$GP" of a long $GPRMC. A UART opened in the middle of a
// character delivers a garbled one first, which counts but leaves that rule alone. Garbage
// (another speed, a binary protocol) and long lines count from the first character.
std::size_t CountedForLimit(std::string_view text) {
  std::size_t garbled = 0;
  while (garbled < text.size() && !IsText(text[garbled])) ++garbled;
  const std::string_view tail = text.substr(garbled);
  const std::size_t end = tail.find('\n');
  const std::size_t rest = end == std::string_view::npos ? tail.size() : end + 1;
  if (rest > LongestSentence) return text.size();
  for (const char c : tail.substr(0, rest))
    if (!IsText(c)) return text.size();
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

bool HoldsSentenceStart(std::string_view text) {
  for (std::size_t at = text.find('$'); at != std::string_view::npos; at = text.find('$', at + 1)) {
    if (text.size() - at < SentenceStartLength) return false;
    const std::string_view start = text.substr(at + 1, SentenceStartLength - 2);
    if (text[at + SentenceStartLength - 1] == ',' &&
        std::all_of(start.begin(), start.end(),
                    [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }))
      return true;
  }
  return false;
}

// A mark whose start arrived as the window ran out gets the time of some ten characters at
// 4800 baud to complete; otherwise a receiver of one short sentence a second, whose probe opened
// just after a "$", can be missed on every retry alike.
constexpr auto MarkGrace = 20ms;

bool EndsInPartOfAMark(std::string_view text) {
  for (const std::string_view mark : ReceiverMarks)
    for (std::size_t n = 1; n < mark.size(); ++n)
      if (text.ends_with(mark.substr(0, n))) return true;
  return false;
}

// Joining the group serial devices belong to is the usual cure; for a device of another group
// a person needs to see whose it is.
std::string PermissionAdvice(const OpenAttempt& attempt) {
  if (attempt.group == "dialout") return "permission denied: join the dialout group";
  if (attempt.group.empty()) return "permission denied";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", attempt.mode & 07777u);
  return "permission denied: owner " + attempt.owner + ", group " + attempt.group + ", mode " +
         mode;
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

  // A receiver at another speed sends what reads as garbage: the ports that sent anything
  // without a mark get the other speeds once no port showed a receiver at its first.
  std::vector<int> unmarked;
  bool anyDevice = false;
  for (int n = FirstComPort; n <= LastComPort && m_gpsPort == 0; ++n) {
    if (probePort(n, firstSpeed(n))) unmarked.push_back(n);
    anyDevice = anyDevice || !m_port.lastOpen().device.empty();
  }
  for (const int baud : m_speeds)
    for (const int n : unmarked)
      if (m_gpsPort == 0 && baud != firstSpeed(n)) probePort(n, baud);
  if (!anyDevice && m_onProbe) {
    const std::string& where = m_port.lastOpen().note;
    m_onProbe(where.empty() ? "no serial ports" : "no serial ports: " + where);
  }

  const std::string outcome = m_gpsPort == 0 ? NotFoundStatus() : FoundStatus(m_gpsPort);
  if (m_gpsPort == 0) markFixLost();
  setStatus(outcome);
  // Retrying while the receiver is found would only close its port and find it again.
  m_timer1.setEnabled(m_gpsPort == 0);
  m_timerWatch.setEnabled(true);
  m_scanning = false;
  if (m_onOutcome) m_onOutcome(outcome);
}

int ReceiverLink::firstSpeed(int comPort) const {
  return comPort == m_foundPort ? m_foundSpeed : m_speeds.front();
}

bool ReceiverLink::probePort(int comPort, int baud) {
  setStatus(ScanningStatus(comPort));
  if (m_port.isOpen()) m_port.close();
  m_port.setReceiveThreshold(ProbeThreshold);
  m_port.setSpeed(baud);
  // The open attempt is the only step that can fail, and failing is not an error: a port that
  // does not exist, is in use or refuses to open is skipped. Everything else the port reports
  // as empty reads, so the scan has nothing more to ignore.
  if (!m_port.open(comPort)) {
    reportProbe(comPort, 0, false);
    return false;
  }
  const bool found = probeFindsReceiver();
  reportProbe(comPort, baud, found);
  if (!found) return !m_rxBuffer.empty();
  m_gpsPort = static_cast<std::int16_t>(comPort);
  // The probe's complete lines, and the one whose start it read.
  m_probeLines = CrLfCount(m_rxBuffer) + (m_rxBuffer.ends_with("\r\n") ? 0 : 1);
  m_foundPort = comPort;
  m_foundSpeed = baud;
  m_port.setReceiveThreshold(ReceiveThreshold);
  return false;
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
// cannot stretch it; two once NMEA sentences came, a little longer while what was read ends in
// the start of a mark), or, before any sentence start, ProbeLimit characters past the end of a
// first partial line, and judges the port only by what it sent. What was read stays in RxBuffer
// for the framing.
bool ReceiverLink::probeFindsReceiver() {
  std::string& rx = m_rxBuffer;
  rx.clear();
  const auto t0 = m_clock.monotonic();
  bool found = false;
  bool sentences = false;
  // Each read is searched once, from a sentence start's length before its start, so that a
  // fast sender's second costs no more than its characters.
  std::size_t searched = 0;
  std::chrono::nanoseconds took{};
  std::chrono::nanoseconds window = ProbeWindow;
  do {
    m_loop.yield();
    m_port.readAll(rx);
    const std::string_view fresh = std::string_view(rx).substr(searched);
    found = HoldsAny(fresh, ReceiverMarks);
    sentences = sentences || HoldsSentenceStart(fresh);
    if (sentences) window = SentenceWindow;
    searched = rx.size() - std::min(rx.size(), SentenceStartLength - 1);
    took = m_clock.monotonic() - t0;
  } while (!found && (took <= window || (took <= window + MarkGrace && EndsInPartOfAMark(rx))) &&
           (sentences || CountedForLimit(rx) <= ProbeLimit));
  // A device that went away while it was probed would never notify again.
  return found && !m_port.deviceGone();
}

void ReceiverLink::reportProbe(int comPort, int baud, bool found) {
  const OpenAttempt& attempt = m_port.lastOpen();
  if (!m_onProbe || attempt.device.empty()) return;
  std::string why;
  if (found) {
    why = "GPS Receiver";
  } else if (baud != 0) {
    const std::string read = std::to_string(m_rxBuffer.size()) + " characters ";
    why = m_rxBuffer.empty() ? "no data"
          : HoldsAny(m_rxBuffer, TalkerStarts)
              ? read + "of sentences without $GPG, $GNG, $GPRMC or $GNRMC"
          : HoldsSentenceStart(m_rxBuffer)
              ? read + "of NMEA sentences, but none from a GPS or GNSS talker"
              : read + "without a receiver mark: another device, or another speed?";
  } else {
    switch (attempt.failure) {
      case OpenFailure::PermissionDenied: why = PermissionAdvice(attempt); break;
      case OpenFailure::InUse:
        // The port's own word on who holds it says more: the lock file, or why it looked no
        // further.
        why = !attempt.note.empty() ? attempt.note
              : attempt.holder > 0  ? "in use by process " + std::to_string(attempt.holder)
                                    : "in use by another program";
        break;
      case OpenFailure::NotATerminal: why = "not a serial device"; break;
      case OpenFailure::NoDevice: why = "no such device"; break;
      default: why = "will not open"; break;
    }
  }
  // Lock files that could not be trusted are worth a look whatever became of the port.
  if (!attempt.note.empty() && why != attempt.note) why += " (" + attempt.note + ")";
  std::string port = "COM" + std::to_string(comPort) + " " + attempt.device;
  if (!attempt.target.empty()) port += " -> " + attempt.target;
  if (baud != 0) port += " at " + std::to_string(baud) + " baud";
  m_onProbe(port + ": " + why);
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
