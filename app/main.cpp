#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <QApplication>

#include "app/main_window.h"
#include "app/startup.h"

int main(int argc, char* argv[]) {
  EndOnInterruptOrTerminate();
  const std::string platforms = QtPlatformsToTry(
      std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"), std::getenv("QT_QPA_PLATFORM"));
  if (!platforms.empty()) setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);

  QApplication application(argc, argv);
  Form1 form;
  try {
    form.load();
  } catch (const std::exception& error) {
    // A start-up failure (the listening port taken, say) ends the program with its reason.
    std::fprintf(stderr, "simple-kova: %s\n", error.what());
    return EXIT_FAILURE;
  }
  return QApplication::exec();
}
