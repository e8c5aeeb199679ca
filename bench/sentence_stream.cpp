// The sentence port under load: the real program, started with --nmea-port 10110, on a
// pseudo-terminal receiver that sends 10 bursts a second of a real multi-constellation log's
// sentences (what 115,200 baud carries: up to 1,152 characters a burst), to 1,000 stream clients
// that read on a thread of their own, while new clients keep asking "P" on port 2947. Phases:
//   quiet        no stream client, the receiver silent
//   no readers   no stream client, the bursts
//   readers      the bursts to the 1,000 clients
//   sleeper      the same, and one more client that never reads
//   bad clients  the same, while clients connect and close at once, reset, and four send 4 MiB
//   long lines   6 s of 60,000-character lines back to back instead of the bursts
// For each it reports the program's processor time, the longest wait of a new client on 2947
// (connect to reply line), the program's memory growth since before the clients connected, and
// whether every reader got every sentence byte for byte (in the long-line phase: nothing).
// Targets: under 10 % of a core, every wait under 50 ms, growth under 20 MiB, a sleeper changes
// none of them. Run it where the ports are free, e.g.
//   unshare -n sh -c 'ip link set lo up && build-rel/bench/sentence_stream'

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/bench_util.h"
#include "bench/newcomers.h"
#include "bench/receiver_found.h"
#include "tests/e2e/harness.h"

using namespace kova::e2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int SentencePort = 10110;
constexpr int Readers = 1000;
constexpr std::size_t BurstLimit = 1152;  // 115,200 baud, 10 bursts a second
constexpr auto PhaseTime = 10s;

// The first sentences of the log that fit in one burst, each ended with CR LF.
std::string Burst() {
  std::ifstream file(std::string(KOVA_SOURCE_DIR) + "/tests/data/ublox-multignss-fix.nmea");
  std::string burst;
  for (std::string line; std::getline(file, line);) {
    if (!line.starts_with('$')) continue;
    if (burst.size() + line.size() + 2 > BurstLimit) break;
    burst += line + "\r\n";
  }
  return burst;
}

// The stream clients, read on a thread of their own; each must receive the burst over and over.
class Readers_ {
 public:
  explicit Readers_(const std::string& burst) : m_burst(burst) {
    m_epoll = epoll_create1(0);
    for (int i = 0; i < Readers; ++i) {
      const int fd = kova::bench::ConnectLoopback(SentencePort);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<std::uint32_t>(i);
      m_fds.push_back(fd);
      epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    m_thread = std::thread([this] { run(); });
  }
  ~Readers_() {
    m_stop = true;
    m_thread.join();
    for (const int fd : m_fds) close(fd);
    close(m_epoll);
  }
  // Bytes all readers received together, the fewest one received, and the bytes that differed
  // from the burst's or came after a reader was let go.
  std::size_t total() const { return m_total; }
  std::size_t fewest() const {
    std::size_t least = SIZE_MAX;
    for (const auto& received : m_received) least = std::min<std::size_t>(least, received);
    return least;
  }
  std::size_t wrong() const { return m_wrong; }

 private:
  void run() {
    epoll_event events[256];
    char chunk[65536];
    while (!m_stop) {
      const int count = epoll_wait(m_epoll, events, 256, 50);
      for (int e = 0; e < count; ++e) {
        const std::uint32_t i = events[e].data.u32;
        const ssize_t got = recv(m_fds[i], chunk, sizeof chunk, MSG_DONTWAIT);
        if (got <= 0) {
          if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            ++m_wrong;  // the program let a reader go
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_fds[i], nullptr);
          }
          continue;
        }
        for (ssize_t k = 0; k < got; ++k)
          if (chunk[k] != m_burst[(m_received[i] + static_cast<std::size_t>(k)) % m_burst.size()])
            ++m_wrong;
        m_received[i] += static_cast<std::size_t>(got);
        m_total += static_cast<std::size_t>(got);
      }
    }
  }

  const std::string& m_burst;
  int m_epoll = -1;
  std::vector<int> m_fds;
  std::vector<std::atomic<std::size_t>> m_received = std::vector<std::atomic<std::size_t>>(Readers);
  std::atomic<std::size_t> m_total{0};
  std::atomic<std::size_t> m_wrong{0};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

struct Figures {
  double cpuPercent = 0;
  double longestWaitMs = 0;
  int asked = 0;
  int slow = 0;  // waits of 50 ms or more
  double growthMib = 0;
};

// Runs step about every 100 ms for the phase's time, measuring the program meanwhile.
Figures Measure(Program& program, kova::bench::Newcomers& newcomers, long rssBase,
                std::chrono::steady_clock::duration time, const std::function<void()>& step) {
  newcomers.takeLongest();
  newcomers.takeSlow();
  const auto cpuStart = program.cpuTime();
  const auto start = Clock::now();
  long rssPeak = 0;
  for (auto next = start; Clock::now() - start < time; next += 100ms) {
    step();
    rssPeak = std::max(rssPeak, kova::bench::StatusKiB(program.pid(), "VmRSS"));
    std::this_thread::sleep_until(next + 100ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Figures figures;
  figures.cpuPercent =
      100.0 * std::chrono::duration<double>(program.cpuTime() - cpuStart).count() / seconds;
  std::this_thread::sleep_for(300ms);
  std::tie(figures.longestWaitMs, figures.asked) = newcomers.takeLongest();
  figures.slow = newcomers.takeSlow();
  figures.growthMib = static_cast<double>(rssPeak - rssBase) / 1024.0;
  return figures;
}

void Report(const char* phase, const Figures& f, const std::string& stream) {
  std::printf("%-12s program %.1f %% of a core; longest wait on 2947 %.1f ms (%d clients, %d "
              "waited 50 ms or more); memory growth %+.1f MiB; %s\n",
              phase, f.cpuPercent, f.longestWaitMs, f.asked, f.slow, f.growthMib, stream.c_str());
}

// A client that sends up to 4 MiB of garbage and never reads.
struct Blaster {
  int fd = kova::bench::ConnectLoopback(SentencePort);
  std::size_t sent = 0;
};

}  // namespace

int main() {
  RaiseDescriptorLimit();
  const std::string burst = Burst();
  DataHome home;
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  Program program(home, {"QT_QPA_PLATFORM=offscreen"}, 0,
                  {"--baud", "115200", "--nmea-port", std::to_string(SentencePort)});
  QueryClient watcher;
  if (!kova::bench::FirstReplyFromReceiver(program, receiver, watcher, kova::bench::GgaAtMinutes(1),
                                           "sentence_stream"))
    return 1;
  // The sentences written while the scan looked are framed and passed on by now.
  std::this_thread::sleep_for(500ms);
  const long rssBase = kova::bench::StatusKiB(program.pid(), "VmRSS");
  kova::bench::Newcomers newcomers;
  std::size_t bursts = 0;
  const auto sendBurst = [&] {
    if (receiver.write(burst)) ++bursts;
  };
  // What the query clients and the bursts cost without any stream client, to tell the stream's
  // share.
  Report("quiet", Measure(program, newcomers, rssBase, PhaseTime, [] {}), "no stream client");
  const Figures unshared = Measure(program, newcomers, rssBase, PhaseTime, sendBurst);
  Report("no readers", unshared,
         std::to_string(bursts) + " bursts of " + std::to_string(burst.size()) +
             " characters, no stream client");

  Readers_ readers(burst);
  std::this_thread::sleep_for(1s);
  bursts = 0;
  const auto streamState = [&] {
    std::this_thread::sleep_for(500ms);
    char text[200];
    std::snprintf(text, sizeof text, "%zu bursts; every reader got all: %s, wrong bytes %zu",
                  bursts, readers.fewest() == bursts * burst.size() ? "yes" : "NO",
                  readers.wrong());
    return std::string(text);
  };

  const Figures alone = Measure(program, newcomers, rssBase, PhaseTime, sendBurst);
  Report("readers", alone, streamState());

  const int sleeper = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  setsockopt(sleeper, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in address = kova::bench::LoopbackAddress(SentencePort);
  connect(sleeper, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const Figures withSleeper = Measure(program, newcomers, rssBase, PhaseTime, sendBurst);
  std::string state = streamState();
  // What it was sent waits in its own receive buffer, then the program's close.
  std::size_t drained = 0;
  char chunk[65536];
  ssize_t got;
  while ((got = recv(sleeper, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
    drained += static_cast<std::size_t>(got);
  const bool dropped = got == 0 || errno != EAGAIN;
  state += dropped ? "; the sleeper was let go after " + std::to_string(drained) + " bytes"
                   : "; the sleeper is STILL CONNECTED";
  Report("sleeper", withSleeper, state);
  close(sleeper);

  std::vector<Blaster> blasters(4);
  const std::string garbage(1024 * 1024, 'x');
  int quick = 0;
  const Figures bad = Measure(program, newcomers, rssBase, PhaseTime, [&] {
    sendBurst();
    for (int i = 0; i < 5; ++i, ++quick) {
      const int closer = kova::bench::ConnectLoopback(SentencePort);
      close(closer);
      const int resetter = kova::bench::ConnectLoopback(SentencePort);
      const linger abrupt{1, 0};
      setsockopt(resetter, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
      close(resetter);
    }
    for (Blaster& b : blasters) {
      const std::size_t left = std::min(garbage.size(), 4 * garbage.size() - b.sent);
      const ssize_t n = send(b.fd, garbage.data(), left, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) b.sent += static_cast<std::size_t>(n);
    }
  });
  std::size_t blasted = 0;
  for (const Blaster& b : blasters) blasted += b.sent;
  Report("bad clients", bad,
         streamState() + "; " + std::to_string(quick) + " closed and " + std::to_string(quick) +
             " reset at once, " + std::to_string(blasted / 1024) + " KiB sent by 4 clients");
  for (const Blaster& b : blasters) close(b.fd);

  std::string longLine = "$GPTXT,";
  longLine.resize(60000 - 2, 'x');
  longLine += "\r\n";
  const std::size_t before = readers.total();
  int longLines = 0;
  // Back to back, as fast as the line takes them, as bench/serial_flood writes them.
  const Figures longFigures = Measure(program, newcomers, rssBase, 6s, [&] {
    for (const auto end = Clock::now() + 90ms; Clock::now() < end; ++longLines)
      for (std::size_t at = 0; at < longLine.size(); at += 4096)
        if (!receiver.write(std::string_view(longLine).substr(at, 4096))) return;
  });
  std::this_thread::sleep_for(500ms);
  Report("long lines", longFigures,
         std::to_string(longLines) + " lines of 60,000 characters; bytes to the readers: " +
             std::to_string(readers.total() - before));
  std::printf("targets: under 10 %% of a core, every wait under 50 ms, growth under 20 MiB, the "
              "same with a sleeper\n");
  program.stop();
  return 0;
}
