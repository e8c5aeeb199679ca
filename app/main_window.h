#pragma once

#include <array>
#include <iostream>
#include <string>
#include <string_view>

#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "app/command_line.h"
#include "app/data_lines.h"
#include "app/scan_journal.h"
#include "link/receiver_link.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_loop.h"
#include "platform/qt/qt_readable_watch.h"
#include "platform/qt/qt_timer.h"
#include "platform/window.h"
#include "serial/tty_serial_port.h"
#include "server/descriptor_reserve.h"
#include "server/epoll_listener.h"
#include "state/position_state.h"

// "Simple Kova " and the program's major.minor.revision.
QString WindowTitle();

// The locale's decimal separator as UTF-8 text (U+066B in Arabic), "." where it has none.
std::string DecimalSeparatorOf(const QLocale& locale);

// The main window: owns every object and all state of the run. Making it opens nothing;
// load() runs the start-up.
class Form1 : public QWidget, public kova::Window {
 public:
  // The log shows only the newest lines so that its memory stays bounded.
  static constexpr int LogLineLimit = 1000;
  // Characters a row keeps of its line; the window shows fewer.
  static constexpr std::size_t LogRowLimit = 300;

  explicit Form1(const Options& options = {});

  // The start-up sequence; called once, right after construction.
  void load();

  // Lets go of the receiver's port (its settings put back, no longer exclusive) and ends the
  // program at once with status 0: the way out for a closed window, SIGINT, SIGTERM and SIGHUP.
  [[noreturn]] void end();

  // Decodes one received line (CR LF included) into the state, the data lines and the log.
  void ProcGPSNMEA(std::string_view line);

  void setLabel(kova::Label label, std::string_view text, bool repaintNow) override;
  void prependLog(std::string_view line) override;
  void finishBurst() override;

 protected:
  // A close request, whatever its cause, ends the program at once.
  void closeEvent(QCloseEvent* event) override;
  // A new desktop font is fitted to the lines again.
  void changeEvent(QEvent* event) override;

 private:
  QLabel& labelFor(kova::Label label);
  // Sizes the lines' fonts so that the widest text each line can carry shows whole.
  void fitFonts();
  // Sends the sentence port's broadcast to its next clients on the loop's next turn, and so on.
  void continueBroadcast();

  const Options m_options;
  kova::PositionState m_position;
  kova::QtClock m_clock;
  kova::QtEventLoop m_eventLoop;
  kova::QtTimer TimerWatch{kova::ReceiverLink::WatchdogInterval, true};
  kova::QtTimer Timer1{kova::ReceiverLink::RetryInterval, false};
  std::string m_decimalSeparator = DecimalSeparatorOf(QLocale());

  QLabel lblStatus{this};
  QLabel lblPos{this};
  QLabel lblHV{this};
  QLabel lblFix{this};
  QPlainTextEdit txtLog{this};
  // An empty first row is still a row: the document alone cannot tell.
  bool m_logHasRows = false;
  // The burst's rows, oldest first, and the labels it owes a repaint, until finishBurst().
  QStringList m_burstRows;
  std::array<bool, 4> m_repaintOwed{};

  kova::DataLines m_dataLines{m_position, *this, m_decimalSeparator};
  // Shared by the listener and the serial port, which never need it at the same moment.
  kova::DevNullReserve m_descriptorReserve{kova::TtySerialPort::DescriptorsToOpen};
  kova::QtReadableWatch m_listenerWatch;
  kova::EpollListener Winsock1{m_descriptorReserve, m_listenerWatch, m_options.listenAddress};
  // The receiver's sentences for other programs, with --nmea-port.
  kova::QtReadableWatch m_sentenceWatch;
  kova::EpollListener m_sentenceServer{m_descriptorReserve, m_sentenceWatch,
                                       m_options.listenAddress};
  // The burst's sentences, sent to the sentence port's clients together after finishBurst().
  std::string m_burstSentences;
  bool m_broadcastPosted = false;
  kova::QtReadableWatch m_serialWatch;
  kova::TtySerialPort MSComm1{m_descriptorReserve, m_serialWatch, m_options.devices};
  ScanJournal m_journal{std::cerr};
  kova::ReceiverLink m_link{m_position, MSComm1, m_eventLoop, m_clock, *this, TimerWatch, Timer1,
                            [this](std::string_view line) { ProcGPSNMEA(line); }};
};
