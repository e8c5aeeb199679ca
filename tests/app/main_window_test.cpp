#include "app/main_window.h"

#include <algorithm>
#include <ostream>
#include <string>

#include <QApplication>
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

TEST(DecimalSeparatorOf, TakesSingleAsciiSeparatorsAndFallsBackToPoint) {
  const struct {
    QLocale::Language language;
    QLocale::Territory territory;
    char expected;
  } rows[] = {
      {QLocale::English, QLocale::UnitedStates, '.'},
      {QLocale::German, QLocale::Germany, ','},
      {QLocale::French, QLocale::France, ','},
      {QLocale::Japanese, QLocale::Japan, '.'},
      // U+066B ARABIC DECIMAL SEPARATOR is no single-byte character.
      {QLocale::Arabic, QLocale::Egypt, '.'},
  };
  for (const auto& row : rows) {
    const QLocale locale(row.language, row.territory);
    SCOPED_TRACE(locale.name().toStdString());
    EXPECT_EQ(DecimalSeparatorOf(locale), row.expected);
  }
}

TEST(Form1, StartsWithTheCaptions) {
  Form1 form;
  const struct {
    const char* name;
    const char* caption;
  } rows[] = {
      {"lblStatus", "Kova"},
      {"lblPos", "Position"},
      {"lblHV", "Heading / Velocity"},
      {"lblFix", "GPS Fix"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(LabelNamed(form, row.name).text(), row.caption);
  }
  EXPECT_TRUE(Log(form).toPlainText().isEmpty());
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

TEST(Form1, SetLabelRepaintsAtOnceOnlyWhenAsked) {
  Form1 form;
  form.show();
  QApplication::processEvents();
  QLabel& label = LabelNamed(form, "lblPos");
  PaintCounter counter;
  label.installEventFilter(&counter);

  form.setLabel(kova::Label::Pos, "later", false);
  EXPECT_EQ(counter.paints, 0);
  form.setLabel(kova::Label::Pos, "now", true);
  EXPECT_EQ(counter.paints, 1);
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
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Form1 form;
    for (const auto& line : row.lines) form.prependLog(line);
    EXPECT_EQ(Log(form).toPlainText(), row.shown);
    EXPECT_EQ(Log(form).document()->blockCount(), static_cast<int>(row.lines.size()));
  }
}

TEST(Form1Log, KeepsTheNewestLinesOnly) {
  Form1 form;
  for (int i = 1; i <= 1005; ++i) form.prependLog("line " + std::to_string(i) + "\r\n");

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
  QPlainTextEdit& log = Log(form);
  log.setFocus();
  QTest::keyClicks(&log, "typed");
  QTest::keyClick(&log, Qt::Key_Backspace);
  QTest::keyClick(&log, Qt::Key_Delete);
  EXPECT_EQ(log.toPlainText(), "$GPRMC");
}

TEST(Form1, DecodesReceivedLinesIntoTheWindow) {
  Form1 form;
  const std::string line = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
  form.ProcGPSNMEA(line);

  std::string position = "Lat: 48.11730\xC2\xB0  Lon: 11.51667\xC2\xB0  Alt: 545.40m";
  std::replace(position.begin(), position.end(), '.', DecimalSeparatorOf(QLocale::system()));
  EXPECT_EQ(LabelNamed(form, "lblPos").text(), QString::fromUtf8(position));
  EXPECT_EQ(Log(form).toPlainText(), QString::fromLatin1(line.substr(0, line.size() - 2)));
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
