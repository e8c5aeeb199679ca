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

#include "bench/receiver_found.h"
#include "tests/e2e/harness.h"

using namespace kova::e2e;
using Clock = std::chrono::steady_clock;

namespace {

std::string Sentence(int sample) {
  return kova::bench::GgaAtMinutes(1.0 + (sample % 2000) * 0.025);
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
  const auto first = kova::bench::FirstReplyFromReceiver(program, receiver, client, Sentence(-1),
                                                         "latency");
  if (!first) return 1;
  std::string last = *first;

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
