#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <variant>

#include <QApplication>
#include <QMessageBox>

#include "app/command_line.h"
#include "app/main_window.h"
#include "app/startup.h"

int main(int argc, char* argv[]) {
  const auto commandLine = ReadCommandLine(argc, argv, stdout, stderr);
  if (const int* status = std::get_if<int>(&commandLine)) return *status;

  CatchInterruptAndTerminate();
  const std::string platforms = QtPlatformsToTry(
      std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"), std::getenv("QT_QPA_PLATFORM"));
  if (!platforms.empty()) setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);

  // Qt acts on options of its own (-platform, -style, ...); the program takes none of them, so
  // Qt gets a command line of its own: the program's name alone, even where the caller gave none.
  char name[] = "simple-kova";
  char* qtArgv[] = {name, nullptr};
  int qtArgc = 1;
  QApplication application(qtArgc, qtArgv);
  // Qt has taken every locale category from the environment; the C library's texts in the
  // program's messages (the cause after "cannot listen on TCP port 2947: ") stay English, as
  // the manual quotes them. Numbers in the window still follow the regional settings.
  std::setlocale(LC_MESSAGES, "C");
  auto form = std::make_unique<Form1>(std::get<Options>(commandLine));
  WhenInterruptedOrTerminated([&form] {
    if (form) form->end();
    // After a failed start the window and its port are gone already, and the start's failure
    // is the program's status.
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
  });
  try {
    form->load();
  } catch (const std::exception& error) {
    // A start-up failure (the listening port taken, say) ends the program with its reason: on
    // standard error for the journal or a terminal, and in a box for someone at the screen.
    std::fprintf(stderr, "simple-kova: %s\n", error.what());
    // Gone before the box opens: its watchdog would otherwise start a scan behind it.
    form.reset();
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
      QMessageBox::critical(nullptr, WindowTitle(), QString::fromLocal8Bit(error.what()));
    return EXIT_FAILURE;
  }
  return QApplication::exec();
}
