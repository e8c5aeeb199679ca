// The program's processor time over one full scan of 32 ports that all open and never send:
// every probe runs its whole second. Run it where port 2947 is free, e.g.
//   unshare -n sh -c 'ip link set lo up && build/bench/scan_cpu'

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

using namespace kova::e2e;
using Clock = std::chrono::steady_clock;

int main() {
  constexpr int kPorts = 32;
  DataHome home;
  std::vector<std::unique_ptr<PtyReceiver>> silent;
  for (int n = 1; n <= kPorts; ++n) {
    silent.push_back(std::make_unique<PtyReceiver>());
    home.linkPort(n, silent.back()->devicePath());
  }
  Program program(home);

  // The scan opens COM1 first and leaves COM32 open at its end; its last probe lasts a second.
  if (!Eventually(10s, [&] { return silent.front()->isOpenedByProgram(); })) {
    std::fprintf(stderr, "scan_cpu: the program never opened COM1\n");
    return 1;
  }
  const auto cpuStart = program.cpuTime();
  const auto wallStart = Clock::now();
  while (!silent.back()->isOpenedByProgram()) {
    if (Clock::now() - wallStart > 60s || !program.running()) {
      std::fprintf(stderr, "scan_cpu: the scan never reached COM32\n");
      return 1;
    }
    std::this_thread::sleep_for(2ms);
  }
  std::this_thread::sleep_until(Clock::now() + 1s);
  const auto cpu = program.cpuTime() - cpuStart;
  const auto wall = Clock::now() - wallStart;

  const double wallSeconds = std::chrono::duration<double>(wall).count();
  const double cpuSeconds = std::chrono::duration<double>(cpu).count();
  std::printf("ports probed:           %d (all silent)\n", kPorts);
  std::printf("scan wall time:         %.2f s\n", wallSeconds);
  std::printf("program processor time: %.3f s (user + system)\n", cpuSeconds);
  std::printf("share of one core:      %.2f %% (target: under 5 %%)\n",
              100.0 * cpuSeconds / wallSeconds);
  program.stop();
  return 0;
}
