// The delay from the last byte of a sentence written on the receiver's line to the new
// position in a query reply. Each sample writes one $GPGGA with a new latitude and asks "P" on
// one open connection until the reply changes, so every figure includes at least one loopback
// query round trip. Run it where port 2947 is free, e.g.
//   unshare -n sh -c 'ip link set lo up && build/bench/latency'

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

using namespace kova::e2e;
using Clock = std::chrono::steady_clock;

namespace {

std::string Sentence(int sample) {
  char body[96];
  std::snprintf(body, sizeof body,
                "$GPGGA,120000,48%06.3f,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,",
                1.0 + (sample % 2000) * 0.025);
  return WithChecksum(body);
}

double Percentile(const std::vector<double>& sorted, double p) {
  const auto index = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index];
}

}  // namespace

int main() {
  constexpr int kSamples = 500;
  DataHome home;
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  Program program(home);
  QueryClient client;
  if (!program.waitUntilListening() || !client.connect()) {
    std::fprintf(stderr, "latency: the program does not answer on port 2947\n");
    return 1;
  }
  // Until the scan has found the receiver, sentences may be read by a probe and not decoded.
  std::string last;
  const bool found = Eventually(10s, [&] {
    receiver.write(Sentence(-1));
    last = client.ask("P").value_or("");
    return last.find("P=48") != std::string::npos;
  });
  if (!found) {
    std::fprintf(stderr, "latency: the program never found the receiver\n");
    return 1;
  }

  std::vector<double> millis;
  int lost = 0;
  for (int sample = 0; sample < kSamples; ++sample) {
    std::this_thread::sleep_for(20ms);
    receiver.write(Sentence(sample));
    const auto written = Clock::now();
    std::optional<std::string> reply;
    do {
      reply = client.ask("P");
    } while (reply && *reply == last && Clock::now() - written < 1s);
    if (!reply || *reply == last) {
      ++lost;
      continue;
    }
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
    last = *reply;
  }
  std::sort(millis.begin(), millis.end());
  if (millis.empty()) {
    std::fprintf(stderr, "latency: no sentence reached the replies\n");
    return 1;
  }
  std::printf("samples: %zu (not seen within 1 s: %d)\n", millis.size(), lost);
  std::printf("sentence written -> reply changed, including a loopback query round trip:\n");
  std::printf("  min %.3f ms, median %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
              millis.front(), Percentile(millis, 50), Percentile(millis, 90),
              Percentile(millis, 99), millis.back());
  std::printf("  target: p99 under 5 ms\n");
  program.stop();
  return 0;
}
