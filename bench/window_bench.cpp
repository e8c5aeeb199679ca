// The window's log and the yield: the cost of putting a line at the top of the log as it fills
// and once it is full, the memory the log holds, and how long a yield with nothing to do waits
// and how much processor time it takes. Runs on Qt's offscreen platform.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <QApplication>

#include "app/main_window.h"
#include "bench/bench_util.h"
#include "platform/qt/qt_event_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string Line = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

long ResidentKiB() { return kova::bench::StatusKiB(getpid(), "VmRSS"); }

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Each line arrives in its own event, as a burst of one, and the window is drawn between lines
// as it would be.
double MicrosecondsPerLine(Form1& form, int lines) {
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) {
    form.prependLog(Line);
    form.finishBurst();
    QApplication::processEvents();
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / lines;
}

}  // namespace

int main(int argc, char* argv[]) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  Form1 form;
  form.show();
  QApplication::processEvents();

  const double first = MicrosecondsPerLine(form, 100);
  MicrosecondsPerLine(form, Form1::LogLineLimit - 200);
  const double nearlyFull = MicrosecondsPerLine(form, 100);
  const long fullKiB = ResidentKiB();
  const double full = MicrosecondsPerLine(form, 20000);
  const long laterKiB = ResidentKiB();
  std::printf("log line at the top: lines 1-100 %.1f us, lines 901-1000 %.1f us, "
              "20,000 lines past full %.1f us each\n",
              first, nearlyFull, full);
  std::printf("resident memory: %ld KiB with a full log, %ld KiB 20,000 lines later\n", fullKiB,
              laterKiB);

  kova::QtEventLoop loop;
  constexpr int Yields = 300;
  const double cpuStart = CpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < Yields; ++i) loop.yield();
  const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const double cpu = (CpuSeconds() - cpuStart) * 1000.0;
  std::printf("idle yield: %.2f ms wall, %.3f ms processor time each (%.1f%% of a core)\n",
              wall / Yields, cpu / Yields, 100.0 * cpu / wall);
  return 0;
}
