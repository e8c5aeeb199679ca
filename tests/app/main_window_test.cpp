#include "app/main_window.h"

#include <algorithm>
#include <ostream>
#include <string>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <gtest/gtest.h>

// Failure messages show the text rather than its bytes.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

QLabel& LabelNamed(Form1& form, const char* name) {
  auto* label = form.findChild<QLabel*>(name);
  if (label == nullptr) throw std::runtime_error(std::string("no label ") + name);
  return *label;
}

QPlainTextEdit& Log(Form1& form) {
  auto* log = form.findChild<QPlainTextEdit*>("txtLog");
  if (log == nullptr) throw std::runtime_error("no txtLog");
  return *log;
}

class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST(WindowTitle, IsTheNameAndTheProgramVersion) {
  EXPECT_EQ(WindowTitle(), "Simple Kova 1.0.2");
}

TEST(DecimalSeparatorOf, IsTheLocalesOwnAsUtf8) {
  const struct {
    QLocale::Language language;
    QLocale::Territory territory;
    std::string expected;
  } rows[] = {
      {QLocale::English, QLocale::UnitedStates, "."},
      {QLocale::German, QLocale::Germany, ","},
      {QLocale::French, QLocale::France, ","},
      {QLocale::Japanese, QLocale::Japan, "."},
      // U+066B ARABIC DECIMAL SEPARATOR, two bytes in UTF-8.
      {QLocale::Arabic, QLocale::Egypt, "\u066B"},
  };
  for (const auto& row : rows) {
    const QLocale locale(row.language, row.territory);
    SCOPED_TRACE(locale.name().toStdString());
    EXPECT_EQ(DecimalSeparatorOf(locale), row.expected);
  }
}

// A screen reader announces the name, not the object's caption or text.
QString AccessibleName(QWidget& widget) {
  return QAccessible::queryAccessibleInterface(&widget)->text(QAccessible::Name);
}

TEST(Form1, StartsWithTheCaptionsAndNamesEachLineForAssistiveTechnology) {
  Form1 form;
  const struct {
    const char* name;
    const char* caption;
    const char* accessibleName;
  } rows[] = {
      {"lblStatus", "Kova", "Status"},
      {"lblPos", "Position", "Position"},
      {"lblHV", "Heading / Velocity", "Heading and velocity"},
      {"lblFix", "GPS Fix", "Fix"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(LabelNamed(form, row.name).text(), row.caption);
    // Without a name of its own a label is announced by its changing text.
    LabelNamed(form, row.name).setText("3D Fix");
    EXPECT_EQ(AccessibleName(LabelNamed(form, row.name)), row.accessibleName);
  }
  EXPECT_TRUE(Log(form).toPlainText().isEmpty());
  EXPECT_EQ(AccessibleName(Log(form)), "Received lines");
}

TEST(Form1, OnlyTheStatusLineIsBold) {
  Form1 form;
  const QFont status = LabelNamed(form, "lblStatus").font();
  EXPECT_TRUE(status.bold());
  EXPECT_DOUBLE_EQ(status.pointSizeF(), 8.25);
  for (const char* name : {"lblPos", "lblHV", "lblFix"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(LabelNamed(form, name).font().bold());
  }
}

TEST(Form1, PlacesEachObjectAsLaidOutInTwips) {
  Form1 form;
  // left, top, width, height in twips / 15
  const struct {
    const char* name;
    QRect pixels;
  } rows[] = {
      {"lblStatus", QRect(0, 0, 289, 17)},
      {"lblPos", QRect(0, 24, 289, 17)},
      {"lblHV", QRect(0, 40, 209, 17)},
      {"lblFix", QRect(208, 40, 81, 17)},
      {"txtLog", QRect(0, 56, 289, 73)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto* widget = form.findChild<QWidget*>(row.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), row.pixels);
  }
}

TEST(Form1, ClientAreaIs290By129Pixels) {
  Form1 form;
  form.show();
  EXPECT_EQ(form.size(), QSize(290, 129));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
}

// The widest texts within the ranges a receiver reports, in desktop fonts of two families and
// two sizes: each shows whole in its label, and the heading/velocity text ends visibly before
// the fix text begins.
TEST(Form1, ShowsTheWidestTextsWholeAndApartInAnyDesktopFont) {
  const struct {
    const char* family;
    int points;
  } fonts[] = {{"DejaVu Sans", 9},  {"DejaVu Sans", 14},      {"DejaVu Serif", 9},
               {"DejaVu Serif", 14}, {"DejaVu Sans Mono", 10}};
  const struct {
    kova::Label label;
    const char* name;
    const char* text;
  } widest[] = {
      {kova::Label::Status, "lblStatus", "Could not find GPS Receiver. Retry in 10s"},
      {kova::Label::Status, "lblStatus", "Scanning COM32 for GPS Receiver"},
      {kova::Label::Pos, "lblPos", "Lat: -90.00000\u00B0  Lon: -180.00000\u00B0  Alt: -999.99m"},
      {kova::Label::Pos, "lblPos", "Lat: -90.00000\u00B0  Lon: -180.00000\u00B0  Alt: 9999.99m"},
      {kova::Label::HV, "lblHV", "Heading: 359.9\u00B0  Velocity: 999.99kn"},
      {kova::Label::Fix, "lblFix", "No GPS Fix"},
  };
  const QFont desktop = QApplication::font();
  Form1 running;  // made before the desktop font changes under it
  for (const auto& font : fonts) {
    QApplication::setFont(QFont(font.family, font.points));
    running.setFont(QFont(font.family, font.points));  // as a running application passes it on
    Form1 fresh;
    for (Form1* form : {&fresh, &running}) {
      const int fixLeft = LabelNamed(*form, "lblFix").x();
      double fullest = 0;  // a font made smaller than it needs leaves every label part empty
      for (const auto& row : widest) {
        SCOPED_TRACE(testing::Message() << (form == &running ? "running " : "fresh ") << font.family
                                        << " " << font.points << " pt: " << row.text);
        form->setLabel(row.label, row.text, false);
        QLabel& label = LabelNamed(*form, row.name);
        const QFontMetricsF metrics(label.font(), &label);
        const double width = std::max(metrics.horizontalAdvance(label.text()),
                                      metrics.boundingRect(label.text()).right());
        EXPECT_LE(width, label.contentsRect().width());
        fullest = std::max(fullest, width / label.contentsRect().width());
        EXPECT_LE(metrics.height(), label.contentsRect().height());
        if (row.label == kova::Label::HV) {
          EXPECT_LE(label.x() + width + 2, fixLeft);
        }
      }
      EXPECT_GT(fullest, 0.9) << font.family << " " << font.points << " pt";
    }
  }
  QApplication::setFont(desktop);
}

TEST(Form1, SetLabelWritesUtf8Text) {
  Form1 form;
  const struct {
    kova::Label label;
    const char* name;
    const char* text;
  } rows[] = {
      {kova::Label::Status, "lblStatus", "Scanning COM3 for GPS Receiver"},
      {kova::Label::Pos, "lblPos", "Lat: 48.11730\xC2\xB0  Lon: 11.51667\xC2\xB0  Alt: 545.40m"},
      {kova::Label::HV, "lblHV", "Heading: 84.4\xC2\xB0  Velocity: 22.40kn"},
      {kova::Label::Fix, "lblFix", "3D Fix"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    form.setLabel(row.label, row.text, false);
    EXPECT_EQ(LabelNamed(form, row.name).text(), QString::fromUtf8(row.text));
  }
  // Rich text would turn markup in received text into formatting.
  form.setLabel(kova::Label::Status, "<b>x</b>", false);
  EXPECT_EQ(LabelNamed(form, "lblStatus").textFormat(), Qt::PlainText);
}

TEST(Form1, SetLabelRepaintsOnceAtTheEndOfABurstOnlyWhenAsked) {
  Form1 form;
  form.show();
  QApplication::processEvents();
  QLabel& label = LabelNamed(form, "lblPos");
  PaintCounter counter;
  label.installEventFilter(&counter);

  form.setLabel(kova::Label::Pos, "later", false);
  form.finishBurst();
  EXPECT_EQ(counter.paints, 0);
  form.setLabel(kova::Label::Pos, "now", true);
  form.setLabel(kova::Label::Pos, "now", true);
  form.finishBurst();
  EXPECT_EQ(counter.paints, 1);
  form.finishBurst();
  EXPECT_EQ(counter.paints, 1) << "a repaint owed once is paid once";
}

TEST(Form1Log, PutsEachLineOnItsOwnRowNewestFirst) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    QString shown;
  } rows[] = {
      {"one line", {"$GPGGA,1\r\n"}, "$GPGGA,1"},
      {"two lines", {"first\r\n", "second\r\n"}, "second\nfirst"},
      {"an empty line is a row", {"\r\n", "after\r\n"}, "after\n"},
      {"bytes are Latin-1", {"\xB0\xFF\r\n"}, QString::fromUtf8("\xC2\xB0\xC3\xBF")},
      {"a stray CR or LF inside stays on the row", {"a\rb\nc\r\n"}, "a b c"},
      {"a line without its break", {"partial", "next\r\n"}, "next\npartial"},
      {"a long line keeps its first 300 characters",
       {"$GPTXT," + std::string(293, 'x') + "lost\r\n"},
       QString::fromStdString("$GPTXT," + std::string(293, 'x') + " [cut]")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Form1 form;
    for (const auto& line : row.lines) form.prependLog(line);
    form.finishBurst();
    EXPECT_EQ(Log(form).toPlainText(), row.shown);
    EXPECT_EQ(Log(form).document()->blockCount(), static_cast<int>(row.lines.size()));
  }
}

TEST(Form1Log, KeepsTheNewestLinesOnly) {
  Form1 form;
  // A short burst, then one longer than the log.
  for (int i = 1; i <= 1005; ++i) {
    form.prependLog("line " + std::to_string(i) + "\r\n");
    if (i == 3 || i == 1005) form.finishBurst();
  }

  const QTextDocument& document = *Log(form).document();
  EXPECT_EQ(document.blockCount(), 1000);
  EXPECT_EQ(document.firstBlock().text(), "line 1005");
  EXPECT_EQ(document.lastBlock().text(), "line 6");
  EXPECT_FALSE(Log(form).toPlainText().endsWith('\n'));
}

TEST(Form1Log, IgnoresTyping) {
  Form1 form;
  form.show();
  form.prependLog("$GPRMC\r\n");
  form.finishBurst();
  QPlainTextEdit& log = Log(form);
  log.setFocus();
  QTest::keyClicks(&log, "typed");
  QTest::keyClick(&log, Qt::Key_Backspace);
  QTest::keyClick(&log, Qt::Key_Delete);
  EXPECT_EQ(log.toPlainText(), "$GPRMC");
}

TEST(Form1Log, SelectsAndCopiesWithTheKeyboard) {
  Form1 form;
  form.show();
  form.prependLog("$GPGGA,1\r\n");
  form.prependLog("$GPRMC,2\r\n");
  form.finishBurst();
  QPlainTextEdit& log = Log(form);
  log.setFocus();
  QApplication::clipboard()->clear();
  QTest::keyClick(&log, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClick(&log, Qt::Key_End, Qt::ShiftModifier);
  QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "$GPRMC,2");
  EXPECT_EQ(log.toPlainText(), "$GPRMC,2\n$GPGGA,1");
}

TEST(Form1, DecodesABurstOfLinesIntoTheWindowWithTheLocalesSeparator) {
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
  Form1 form;
  QLocale::setDefault(before);
  const std::string first = "$GPGGA,123518,3351.000,S,01131.000,W,1,08,0.9,1.0,M,46.9,M,,*4C\r\n";
  const std::string line = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
  form.ProcGPSNMEA(first);
  form.ProcGPSNMEA(line);
  form.finishBurst();

  EXPECT_EQ(LabelNamed(form, "lblPos").text(),
            QString::fromUtf8(
                "Lat: 48\u066B11730\u00B0  Lon: 11\u066B51667\u00B0  Alt: 545\u066B40m"));
  EXPECT_EQ(Log(form).toPlainText(), QString::fromLatin1(line.substr(0, line.size() - 2) + "\n" +
                                                        first.substr(0, first.size() - 2)));
}

TEST(Form1Shutdown, CloseRequestEndsTheProgramWithSuccess) {
  EXPECT_EXIT(
      {
        Form1 form;
        form.show();
        form.close();
      },
      testing::ExitedWithCode(0), "");
}

TEST(Form1Shutdown, CloseRequestDuringAYieldingHandlerEndsTheProgramAtOnce) {
  EXPECT_EXIT(
      {
        Form1 form;
        form.show();
        kova::QtEventLoop loop;
        // A handler that keeps yielding, as a probe does; the close request reaches the window
        // inside one of its yields.
        QTimer::singleShot(0, &form, [&] {
          QMetaObject::invokeMethod(&form, &QWidget::close, Qt::QueuedConnection);
          for (int i = 0; i < 1000; ++i) loop.yield();
          QApplication::exit(3);
        });
        std::exit(QApplication::exec());
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
