#include "app/startup.h"

#include <csignal>
#include <cstdlib>

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

extern "C" void EndNow(int) { std::_Exit(EXIT_SUCCESS); }

}  // namespace

std::string QtPlatformsToTry(const char* display, const char* waylandDisplay,
                             const char* qpaPlatform) {
  if (IsSet(qpaPlatform)) return {};
  std::string platforms;
  if (IsSet(waylandDisplay)) platforms += "wayland;";
  if (IsSet(display)) platforms += "xcb;";
  return platforms + "offscreen";
}

void EndOnInterruptOrTerminate() {
  struct sigaction action = {};
  action.sa_handler = EndNow;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
