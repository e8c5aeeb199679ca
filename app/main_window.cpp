#include "app/main_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include <QEvent>
#include <QFont>
#include <QTextBlock>
#include <QTextCursor>

#include "app/fitting_font.h"
#include "app/program_icon.h"
#include "kova_version.h"
#include "nmea/checksum.h"
#include "state/fix_text.h"

namespace {

// Positions in twips (1/1440 inch), as the layout was drawn, at 15 twips per pixel.
constexpr int TwipsPerPixel = 15;
constexpr int ClientWidthTwips = 4350;
constexpr int ClientHeightTwips = 1935;

struct Placement {
  int left, top, width, height;
};
constexpr Placement StatusPlace{0, 0, 4335, 255};
constexpr Placement PosPlace{0, 360, 4335, 255};
constexpr Placement HVPlace{0, 600, 3135, 255};
constexpr Placement FixPlace{3120, 600, 1215, 255};
constexpr Placement LogPlace{0, 840, 4335, 1095};
// Keeps the heading/velocity text visibly apart from the fix text, which starts where it ends.
constexpr int LineGapPixels = 4;

constexpr const char* StatusCaption = "Kova";
constexpr const char* PosCaption = "Position";
constexpr const char* HVCaption = "Heading / Velocity";
constexpr const char* FixCaption = "GPS Fix";

void Place(QWidget& widget, const Placement& twips) {
  widget.setGeometry(twips.left / TwipsPerPixel, twips.top / TwipsPerPixel,
                     twips.width / TwipsPerPixel, twips.height / TwipsPerPixel);
}

void SetUpLabel(QLabel& label, const char* name, const char* caption, const char* role,
                const Placement& twips) {
  label.setObjectName(name);
  label.setAccessibleName(role);
  label.setText(caption);
  label.setTextFormat(Qt::PlainText);
  Place(label, twips);
}

// The layout's bold 8.25-point sans-serif face, before any fitting.
QFont StatusFont() {
  QFont font(QStringLiteral("Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(8.25);
  font.setBold(true);
  return font;
}

QString Text(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace

QString WindowTitle() {
  return QStringLiteral("Simple Kova %1.%2.%3")
      .arg(kova::version::Major)
      .arg(kova::version::Minor)
      .arg(kova::version::Revision);
}

std::string DecimalSeparatorOf(const QLocale& locale) {
  const QString point = locale.decimalPoint();
  return point.isEmpty() ? "." : point.toStdString();
}

Form1::Form1(const Options& options) : m_options(options) {
  setFixedSize(ClientWidthTwips / TwipsPerPixel, ClientHeightTwips / TwipsPerPixel);

  SetUpLabel(lblStatus, "lblStatus", StatusCaption, "Status", StatusPlace);
  SetUpLabel(lblPos, "lblPos", PosCaption, "Position", PosPlace);
  SetUpLabel(lblHV, "lblHV", HVCaption, "Heading and velocity", HVPlace);
  SetUpLabel(lblFix, "lblFix", FixCaption, "Fix", FixPlace);
  fitFonts();

  txtLog.setObjectName("txtLog");
  txtLog.setAccessibleName("Received lines");
  txtLog.setReadOnly(true);
  // Read-only, yet a line can be selected and copied with the keyboard as with the mouse.
  txtLog.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // One received line, one row: a wrapped sentence would look like two.
  txtLog.setLineWrapMode(QPlainTextEdit::NoWrap);
  // Every line would otherwise stay in the undo history for the whole run.
  txtLog.setUndoRedoEnabled(false);
  txtLog.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  txtLog.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Place(txtLog, LogPlace);

  m_link.setOnOutcome([this](std::string_view outcome) { m_journal.record(outcome); });
  if (m_options.baud != 0) m_link.setOnlySpeed(m_options.baud);
  if (m_options.verbose) {
    m_link.setOnProbe(
        [](std::string_view report) { std::cerr << "simple-kova: " << report << std::endl; });
  }
}

void Form1::fitFonts() {
  // The widest values within the ranges a receiver reports; each digit counts as the widest.
  std::string low, high, hv;
  kova::WritePositionLine(low, {.Latitude = -90, .Longitude = -180, .Altitude = -999.99f},
                          m_decimalSeparator);
  kova::WritePositionLine(high, {.Latitude = -90, .Longitude = -180, .Altitude = 9999.99f},
                          m_decimalSeparator);
  kova::WriteHeadingVelocityLine(hv, {.Heading = 359.9f, .Speed = 999.99f}, m_decimalSeparator);
  const QRect hvRect = lblHV.contentsRect();
  const QSize hvRoom(std::min(hvRect.width(), lblFix.x() - lblHV.x() - LineGapPixels),
                     hvRect.height());
  const TextRoom dataLines[] = {
      {&lblPos, lblPos.contentsRect().size(), {PosCaption, Text(low), Text(high)}},
      {&lblHV, hvRoom, {HVCaption, Text(hv)}},
      {&lblFix,
       lblFix.contentsRect().size(),
       {FixCaption, Text(kova::FixText(1)), Text(kova::FixText(2)), Text(kova::FixText(3))}},
  };
  const QFont dataFont = FittingFont(font(), dataLines);
  for (QLabel* label : {&lblPos, &lblHV, &lblFix}) label->setFont(dataFont);

  constexpr int Last = kova::ReceiverLink::LastComPort;
  const TextRoom status[] = {{&lblStatus,
                              lblStatus.contentsRect().size(),
                              {StatusCaption, Text(kova::ScanningStatus(Last)),
                               Text(kova::FoundStatus(Last)), Text(kova::NotFoundStatus())}}};
  lblStatus.setFont(FittingFont(StatusFont(), status));
}

void Form1::load() {
  setWindowTitle(WindowTitle());
  setWindowIcon(ProgramIcon());
  show();
  repaint();
  m_eventLoop.yield();
  if (const std::string failure = Winsock1.listenForQueries(m_position); !failure.empty())
    throw std::runtime_error(failure);
  if (m_options.nmeaPort != 0) {
    const auto port = static_cast<std::uint16_t>(m_options.nmeaPort);
    if (const std::string failure = m_sentenceServer.listenForSentences(port); !failure.empty())
      throw std::runtime_error(failure);
    m_link.setOnLiveLine([this](std::string_view line) {
      if (kova::IsSentence(line)) m_burstSentences += line;
    });
  }
  m_link.ScanComPorts();
}

void Form1::ProcGPSNMEA(std::string_view line) { m_dataLines.ProcGPSNMEA(line); }

QLabel& Form1::labelFor(kova::Label label) {
  switch (label) {
    case kova::Label::Status: return lblStatus;
    case kova::Label::Pos: return lblPos;
    case kova::Label::HV: return lblHV;
    case kova::Label::Fix: return lblFix;
  }
  return lblStatus;
}

void Form1::setLabel(kova::Label label, std::string_view text, bool repaintNow) {
  QLabel& target = labelFor(label);
  target.setText(Text(text));
  if (repaintNow) m_repaintOwed[static_cast<std::size_t>(label)] = true;
}

void Form1::prependLog(std::string_view line) {
  // The line ends in its own CR LF; the row break is the text block's. A stray CR or LF inside
  // a line shows as a space, so every received line takes exactly one row.
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // A row of a long line would cost the log its memory and its layout time many times over for
  // characters nobody sees: it keeps the start and says it was cut.
  const std::string_view shown = line.substr(0, LogRowLimit);
  QString row = QString::fromLatin1(shown.data(), static_cast<qsizetype>(shown.size()));
  for (QChar& c : row)
    if (c == u'\r' || c == u'\n') c = u' ';
  if (shown.size() < line.size()) row += QStringLiteral(" [cut]");
  m_burstRows.append(std::move(row));
  // Older rows of a long burst would only be trimmed from the log again.
  if (m_burstRows.size() > LogLineLimit) m_burstRows.removeFirst();
}

void Form1::finishBurst() {
  // One send per client and burst, not per sentence, so that a thousand clients stay cheap; on
  // the loop's next turn, so that it counts in neither the window's cost per row nor this turn.
  if (!m_burstSentences.empty() && !m_broadcastPosted) {
    m_broadcastPosted = true;
    m_eventLoop.post([this] {
      m_broadcastPosted = false;
      if (m_sentenceServer.broadcast(m_burstSentences)) continueBroadcast();
      m_burstSentences.clear();
    });
  }
  if (!m_burstRows.isEmpty()) {
    QString rows;
    for (auto row = m_burstRows.crbegin(); row != m_burstRows.crend(); ++row) {
      if (row != m_burstRows.crbegin()) rows += u'\n';
      rows += *row;
    }
    m_burstRows.clear();

    QTextDocument& document = *txtLog.document();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    cursor.insertText(rows);
    if (m_logHasRows) cursor.insertBlock();
    m_logHasRows = true;
    if (document.blockCount() > LogLineLimit) {
      // From the end of the last row kept, so the break above the oldest row goes too.
      QTextCursor oldest(document.findBlockByNumber(LogLineLimit - 1));
      oldest.movePosition(QTextCursor::EndOfBlock);
      oldest.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
      oldest.removeSelectedText();
    }
    cursor.endEditBlock();
  }
  for (std::size_t label = 0; label < m_repaintOwed.size(); ++label) {
    if (!m_repaintOwed[label]) continue;
    m_repaintOwed[label] = false;
    labelFor(static_cast<kova::Label>(label)).repaint();
  }
}

void Form1::continueBroadcast() {
  m_eventLoop.post([this] {
    if (m_sentenceServer.continueBroadcast()) continueBroadcast();
  });
}

void Form1::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) fitFonts();
  QWidget::changeEvent(event);
}

void Form1::closeEvent(QCloseEvent*) { end(); }

void Form1::end() {
  // Linux keeps a port's settings and a pseudo-terminal's exclusive flag after the program
  // ends; the next program to open the port would inherit them.
  MSComm1.close();
  // The request may arrive while a scan yields deep inside nested event processing; ending
  // here, rather than returning to the main loop, stops the scan with the program.
  std::fflush(nullptr);
  std::_Exit(EXIT_SUCCESS);
}
