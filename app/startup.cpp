#include "app/startup.h"

#include <csignal>
#include <cstdlib>

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

extern "C" void EndNow(int) { std::_Exit(EXIT_SUCCESS); }

}  // namespace

bool ShouldRunOffscreen(const char* display, const char* waylandDisplay, const char* qpaPlatform) {
  return !IsSet(display) && !IsSet(waylandDisplay) && !IsSet(qpaPlatform);
}

void EndOnInterruptOrTerminate() {
  struct sigaction action = {};
  action.sa_handler = EndNow;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
