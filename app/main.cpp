#include <cstdio>
#include <cstdlib>
#include <exception>

#include <QApplication>

#include "app/main_window.h"
#include "app/startup.h"

int main(int argc, char* argv[]) {
  EndOnInterruptOrTerminate();
  if (ShouldRunOffscreen(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                         std::getenv("QT_QPA_PLATFORM")))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

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
