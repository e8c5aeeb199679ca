// A fast serial source against new clients: the real program on a pseudo-terminal receiver
// takes a burst of 2,000 $GPGGA lines written at once, then a 6 s stream of short lines at
// 11,520 characters a second (what a 115,200-baud line carries), then 6 s of 60,000-character
// lines written as fast as the line takes them, then 6 s of empty lines (CR LF alone) as fast as
// the line takes them, while a client thread keeps connecting afresh and asking "P". It reports
// the longest wait of a new client (connect to reply line) in each phase, the program's
// processor time during the stream and its memory growth over the long lines. During the empty
// lines a second client asks "P" again and again on one connection: a reply waits for the loop
// turn under way, so the longest round trip bounds the longest turn from above. Targets: no
// wait of 50 ms or more, the stream under 25 % of a core, the long lines under 20 MiB of growth,
// every round trip among the empty lines under 10 ms. Run it where port 2947 is free, e.g.
//   unshare -n sh -c 'ip link set lo up && build/bench/serial_flood'

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/newcomers.h"
#include "bench/receiver_found.h"
#include "tests/e2e/harness.h"

using namespace kova::e2e;
using kova::bench::Newcomers;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int BurstLines = 2000;
constexpr double StreamCharsPerSecond = 11520.0;
constexpr auto StreamTime = 6s;
constexpr std::size_t LongLine = 60000;
constexpr auto LongLineTime = 6s;
constexpr auto EmptyLineTime = 6s;
// The pseudo-terminal takes a few KiB at a time; each piece gets its own second to find room.
constexpr std::size_t WritePiece = 4096;

std::string Gga(int minutesThousandths) {
  return kova::bench::GgaAtMinutes(minutesThousandths / 1000.0);
}

double Mib(long kib) { return static_cast<double>(kib) / 1024.0; }

bool WriteAll(PtyReceiver& receiver, const std::string& text) {
  for (std::size_t pos = 0; pos < text.size(); pos += WritePiece)
    if (!receiver.write(std::string_view(text).substr(pos, WritePiece))) return false;
  return true;
}

}  // namespace

int main() {
  DataHome home;
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  Program program(home);
  QueryClient watcher;
  if (!kova::bench::FirstReplyFromReceiver(program, receiver, watcher, Gga(0), "serial_flood"))
    return 1;
  const std::string lastOfBurst = watcher.ask("P").value_or("");

  Newcomers newcomers;
  std::this_thread::sleep_for(200ms);
  const auto [quietWait, quietAsked] = newcomers.takeLongest();

  std::string burst;
  for (int i = 1; i <= BurstLines; ++i) burst += Gga(i);
  const auto burstStart = Clock::now();
  if (!WriteAll(receiver, burst)) {
    std::fprintf(stderr, "serial_flood: the burst could not be written\n");
    return 1;
  }
  // The last line of the burst has the largest latitude; its reply marks the burst as handled.
  std::string reply;
  const bool handled = Eventually(20s, [&] {
    reply = watcher.ask("P").value_or("");
    return reply != lastOfBurst && reply.find("P=48.033333") != std::string::npos;
  });
  const double burstMillis =
      std::chrono::duration<double, std::milli>(Clock::now() - burstStart).count();
  // A client that asked during the burst counts for the burst even if answered after it.
  std::this_thread::sleep_for(500ms);
  const auto [burstWait, burstAsked] = newcomers.takeLongest();

  // Short lines, written every 10 ms as far as the line rate allows.
  const std::string shortLine = WithChecksum("$GPGSA,A,3");
  std::string stream;
  while (static_cast<double>(stream.size()) < StreamCharsPerSecond * 7) stream += shortLine;
  const auto cpuStart = program.cpuTime();
  const auto streamStart = Clock::now();
  std::size_t written = 0;
  for (auto now = streamStart; now - streamStart < StreamTime; now = Clock::now()) {
    const auto due = static_cast<std::size_t>(
        std::chrono::duration<double>(now - streamStart).count() * StreamCharsPerSecond);
    if (due > written && !receiver.write(std::string_view(stream).substr(written, due - written))) {
      std::fprintf(stderr, "serial_flood: the stream could not be written\n");
      return 1;
    }
    written = std::max(written, due);
    std::this_thread::sleep_for(10ms);
  }
  const double streamSeconds = std::chrono::duration<double>(Clock::now() - streamStart).count();
  const double cpuSeconds = std::chrono::duration<double>(program.cpuTime() - cpuStart).count();
  const auto [streamWait, streamAsked] = newcomers.takeLongest();

  // Long lines, each one $GPTXT sentence of 60,000 characters, back to back.
  std::string longLine = "$GPTXT,";
  longLine.resize(LongLine - 2, 'x');
  longLine += "\r\n";
  const long rssBefore = kova::bench::StatusKiB(program.pid(), "VmRSS");
  long rssPeak = rssBefore;
  int longLines = 0;
  const auto longCpuStart = program.cpuTime();
  const auto longStart = Clock::now();
  while (Clock::now() - longStart < LongLineTime) {
    if (!WriteAll(receiver, longLine)) {
      std::fprintf(stderr, "serial_flood: the long lines could not be written\n");
      return 1;
    }
    ++longLines;
    rssPeak = std::max(rssPeak, kova::bench::StatusKiB(program.pid(), "VmRSS"));
  }
  const double longCpu =
      std::chrono::duration<double>(program.cpuTime() - longCpuStart).count();
  const double longSeconds = std::chrono::duration<double>(Clock::now() - longStart).count();
  const auto [longWait, longAsked] = newcomers.takeLongest();
  const long rssAfter = kova::bench::StatusKiB(program.pid(), "VmRSS");

  // Empty lines, each a log row of its own, with one client asking on its connection meanwhile.
  std::string crLfs;
  while (crLfs.size() < WritePiece) crLfs += "\r\n";
  std::atomic<bool> flooding{true};
  std::vector<double> roundTrips;
  std::thread asker([&] {
    QueryClient client;
    if (!client.connect()) return;
    while (flooding) {
      const auto start = Clock::now();
      if (!client.ask("P")) return;
      roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      std::this_thread::sleep_for(1ms);
    }
  });
  long long emptyCharacters = 0;
  // For bench/loop_turns.py, which times the program's loop turns meanwhile.
  std::printf("empty lines begin: program %d\n", static_cast<int>(program.pid()));
  std::fflush(stdout);
  const auto emptyStart = Clock::now();
  while (Clock::now() - emptyStart < EmptyLineTime) {
    if (!receiver.write(crLfs)) {
      std::fprintf(stderr, "serial_flood: the empty lines could not be written\n");
      break;
    }
    emptyCharacters += static_cast<long long>(crLfs.size());
  }
  flooding = false;
  asker.join();
  const auto [emptyWait, emptyAsked] = newcomers.takeLongest();
  std::sort(roundTrips.begin(), roundTrips.end());
  const auto trip = [&](double share) {
    const double last = static_cast<double>(roundTrips.size() - 1);
    return roundTrips.empty() ? -1.0 : roundTrips[static_cast<std::size_t>(share * last)];
  };

  std::printf("new client's longest wait (connect to reply): quiet %.1f ms (%d clients), "
              "burst %.1f ms (%d), stream %.1f ms (%d), long lines %.1f ms (%d); "
              "unanswered %d\n",
              quietWait, quietAsked, burstWait, burstAsked, streamWait, streamAsked, longWait,
              longAsked, newcomers.failed());
  std::printf("burst of %d $GPGGA lines: %s in %.0f ms\n", BurstLines,
              handled ? "last line reached the replies" : "LAST LINE NEVER SEEN", burstMillis);
  std::printf("stream: %zu characters in %.2f s, program processor time %.3f s = %.1f %% of a "
              "core\n",
              written, streamSeconds, cpuSeconds, 100.0 * cpuSeconds / streamSeconds);
  std::printf("long lines: %d of %zu characters in %.1f s, program processor time %.1f %% of a "
              "core; program memory %.1f MiB before, %.1f MiB after (%+.1f MiB), peak %.1f MiB "
              "(%+.1f MiB)\n",
              longLines, LongLine, longSeconds, 100.0 * longCpu / longSeconds,
              Mib(rssBefore), Mib(rssAfter), Mib(rssAfter - rssBefore), Mib(rssPeak),
              Mib(rssPeak - rssBefore));
  std::printf("empty lines: %lld in %.0f s; round trips on one connection: %zu, median %.2f ms, "
              "p99 %.2f ms, longest %.2f ms; new client's longest wait %.1f ms (%d)\n",
              emptyCharacters / 2, std::chrono::duration<double>(EmptyLineTime).count(),
              roundTrips.size(), trip(0.5), trip(0.99), trip(1.0), emptyWait, emptyAsked);
  std::printf("targets: every wait under 50 ms, the stream under 25 %% of a core, memory growth "
              "over the long lines under 20 MiB, every round trip among the empty lines under "
              "10 ms\n");
  program.stop();
  return handled ? 0 : 1;
}
