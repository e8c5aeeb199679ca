// What idle clients cost the program: its resident memory before and after they connect, and
// how fast a newcomer's request is answered with them all connected.
//
//   query_idle --pid PID [--port 2947] [--idle 5000] [--probes 500]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "tests/e2e/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

using kova::bench::ConnectLoopback;

long ResidentKiB(int pid) { return kova::bench::StatusKiB(pid, "VmRSS"); }

}  // namespace

int main(int argc, char** argv) {
  int pid = 0, port = 2947, idle = 5000, probes = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--pid") pid = value;
    else if (name == "--port") port = value;
    else if (name == "--idle") idle = value;
    else if (name == "--probes") probes = value;
  }
  if (pid <= 0) {
    std::fprintf(stderr, "usage: query_idle --pid PID [--port 2947] [--idle 5000] [--probes 500]\n");
    return 2;
  }
  kova::e2e::RaiseDescriptorLimit();

  const long before = ResidentKiB(pid);
  std::vector<int> idlers;
  for (int i = 0; i < idle; ++i) idlers.push_back(ConnectLoopback(port));
  // The program accepts them between its other events; give it a moment to take them all.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long after = ResidentKiB(pid);

  std::vector<double> waits;  // ms from connect to the whole reply
  for (int i = 0; i < probes; ++i) {
    const auto start = Clock::now();
    const int fd = ConnectLoopback(port);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    send(fd, "p\r\n", 3, MSG_NOSIGNAL);
    std::string reply;
    char buffer[256];
    while (!reply.ends_with("\n")) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        std::fprintf(stderr, "probe %d: connection ended\n", i);
        return 1;
      }
      reply.append(buffer, static_cast<std::size_t>(got));
    }
    waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    close(fd);
  }
  std::sort(waits.begin(), waits.end());
  const auto at = [&](double share) { return waits[static_cast<std::size_t>(share * static_cast<double>(waits.size() - 1))]; };
  std::printf("idle %d  RSS before %ld KiB  after %ld KiB  added %.2f MiB\n", idle, before, after,
              static_cast<double>(after - before) / 1024.0);
  std::printf("newcomer connect+request+reply over %d probes: p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", probes,
              at(0.5), at(0.99), waits.back());
  for (const int fd : idlers) close(fd);
  return 0;
}
