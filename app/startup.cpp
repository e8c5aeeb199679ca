#include "app/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

// Written by the handler, watched by the event loop.
int g_signalPipe[2] = {-1, -1};

extern "C" void NoteSignal(int) {
  const int saved = errno;
  const char note = 1;
  // A full pipe already holds a signal, which is all the loop needs to know.
  [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &note, 1);
  errno = saved;
}

}  // namespace

std::string QtPlatformsToTry(const char* display, const char* waylandDisplay,
                             const char* qpaPlatform) {
  if (IsSet(qpaPlatform)) return {};
  std::string platforms;
  if (IsSet(waylandDisplay)) platforms += "wayland;";
  if (IsSet(display)) platforms += "xcb;";
  return platforms + "offscreen";
}

void CatchInterruptAndTerminate() {
  // Without the pipe the signals keep their default action: the program still ends.
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = NoteSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed terminal hangs the program up; started under nohup, it keeps ignoring that.
  struct sigaction hangUp = {};
  if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN)
    sigaction(SIGHUP, &action, nullptr);
}

void WhenInterruptedOrTerminated(std::function<void()> end) {
  if (g_signalPipe[0] < 0) return;
  auto* notifier =
      new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [end = std::move(end)] { end(); });
}
