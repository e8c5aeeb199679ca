#include "app/main_window.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include <QFont>
#include <QTextBlock>
#include <QTextCursor>

#include "kova_version.h"

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

void Place(QWidget& widget, const Placement& twips) {
  widget.setGeometry(twips.left / TwipsPerPixel, twips.top / TwipsPerPixel,
                     twips.width / TwipsPerPixel, twips.height / TwipsPerPixel);
}

void SetUpLabel(QLabel& label, const char* name, const char* caption, const Placement& twips) {
  label.setObjectName(name);
  label.setText(caption);
  label.setTextFormat(Qt::PlainText);
  Place(label, twips);
}

}  // namespace

QString WindowTitle() {
  return QStringLiteral("Simple Kova %1.%2.%3")
      .arg(kova::version::Major)
      .arg(kova::version::Minor)
      .arg(kova::version::Revision);
}

char DecimalSeparatorOf(const QLocale& locale) {
  const QString point = locale.decimalPoint();
  if (point.size() == 1 && point[0].unicode() > 0x20 && point[0].unicode() < 0x7f)
    return static_cast<char>(point[0].unicode());
  return '.';
}

Form1::Form1() {
  setFixedSize(ClientWidthTwips / TwipsPerPixel, ClientHeightTwips / TwipsPerPixel);

  SetUpLabel(lblStatus, "lblStatus", "Kova", StatusPlace);
  QFont statusFont(QStringLiteral("Sans Serif"));
  statusFont.setStyleHint(QFont::SansSerif);
  statusFont.setPointSizeF(8.25);
  statusFont.setBold(true);
  lblStatus.setFont(statusFont);
  SetUpLabel(lblPos, "lblPos", "Position", PosPlace);
  SetUpLabel(lblHV, "lblHV", "Heading / Velocity", HVPlace);
  SetUpLabel(lblFix, "lblFix", "GPS Fix", FixPlace);

  txtLog.setObjectName("txtLog");
  txtLog.setReadOnly(true);
  // One received line, one row: a wrapped sentence would look like two.
  txtLog.setLineWrapMode(QPlainTextEdit::NoWrap);
  // Every line would otherwise stay in the undo history for the whole run.
  txtLog.setUndoRedoEnabled(false);
  txtLog.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  txtLog.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Place(txtLog, LogPlace);

  TimerWatch.setOnTick([this] { m_link.onWatchdogTick(); });
  Timer1.setOnTick([this] { m_link.onRetryTick(); });
}

void Form1::load() {
  setWindowTitle(WindowTitle());
  show();
  repaint();
  m_eventLoop.yield();
  if (const std::string failure = m_server.open(); !failure.empty()) throw std::runtime_error(failure);
  m_link.ScanComPorts();
}

void Form1::ProcGPSNMEA(std::string_view line) { m_decoder.ProcGPSNMEA(line); }

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
  target.setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  if (repaintNow) m_repaintOwed[static_cast<std::size_t>(label)] = true;
}

void Form1::prependLog(std::string_view line) {
  // The line ends in its own CR LF; the row break is the text block's. A stray CR or LF inside
  // a line shows as a space, so every received line takes exactly one row.
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  QString row = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
  for (QChar& c : row)
    if (c == u'\r' || c == u'\n') c = u' ';
  m_burstRows.append(std::move(row));
  // Older rows of a long burst would only be trimmed from the log again.
  if (m_burstRows.size() > LogLineLimit) m_burstRows.removeFirst();
}

void Form1::finishBurst() {
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

void Form1::closeEvent(QCloseEvent*) {
  // The request may arrive while a scan yields deep inside nested event processing; ending
  // here, rather than returning to the main loop, stops the scan with the program.
  std::fflush(nullptr);
  std::_Exit(EXIT_SUCCESS);
}
