// Closed-loop load on a query port: every connection sends a request, waits for the whole reply
// line, and sends the next. Prints replies per second and the p50/p99 reply latency.
//
//   query_load [--port 2947] [--connections 100] [--seconds 5] [--warmup 1] [--request pvahsm]
//              [--pid SERVER_PID]   (adds the server's processor time per reply)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/e2e/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  int fd = -1;
  Clock::time_point sent;
  std::string reply;
};

struct Options {
  int port = 2947;
  int connections = 100;
  double seconds = 5;
  double warmup = 1;
  std::string request = "pvahsm\r\n";
  int pid = 0;
};

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--port") options.port = std::atoi(value);
    else if (name == "--connections") options.connections = std::atoi(value);
    else if (name == "--seconds") options.seconds = std::atof(value);
    else if (name == "--warmup") options.warmup = std::atof(value);
    else if (name == "--pid") options.pid = std::atoi(value);
    else if (name == "--request") options.request = std::string(value) + "\r\n";
    else {
      std::fprintf(stderr, "unknown option %s\n", name.c_str());
      std::exit(2);
    }
  }
  return options;
}

int Connect(int port) {
  const int fd = kova::bench::ConnectLoopback(port);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// User plus system time of a process, in clock ticks.
long long CpuTicks(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto fields = text.rfind(')');
  long long user = 0, system = 0;
  if (fields == std::string::npos ||
      std::sscanf(text.c_str() + fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &user, &system) != 2)
    return 0;
  return user + system;
}

double Percentile(std::vector<std::uint32_t>& values, double share) {
  if (values.empty()) return 0;
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(share * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), at, values.end());
  return *at / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  kova::e2e::RaiseDescriptorLimit();

  const int poller = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Connection> connections(static_cast<std::size_t>(options.connections));
  for (std::size_t i = 0; i < connections.size(); ++i) {
    connections[i].fd = Connect(options.port);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(poller, EPOLL_CTL_ADD, connections[i].fd, &event);
  }

  auto ask = [&](Connection& c) {
    c.reply.clear();
    c.sent = Clock::now();
    if (send(c.fd, options.request.data(), options.request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(options.request.size())) {
      std::perror("send");
      std::exit(1);
    }
  };
  for (Connection& c : connections) ask(c);

  std::vector<std::uint32_t> latencies;  // nanoseconds
  latencies.reserve(4'000'000);
  std::size_t badReplies = 0;
  const auto start = Clock::now();
  const auto measureFrom = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.warmup));
  const auto end = measureFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
  epoll_event events[512];
  char buffer[4096];
  long long cpuAtStart = -1;
  long long cpuAtEnd = 0;
  for (;;) {
    const int count = epoll_wait(poller, events, 512, 100);
    const auto now = Clock::now();
    if (now >= end) {
      if (options.pid > 0) cpuAtEnd = CpuTicks(options.pid);
      break;
    }
    if (now >= measureFrom && cpuAtStart < 0 && options.pid > 0) cpuAtStart = CpuTicks(options.pid);
    for (int i = 0; i < count; ++i) {
      Connection& c = connections[events[i].data.u64];
      const ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        std::fprintf(stderr, "connection %llu ended\n", static_cast<unsigned long long>(events[i].data.u64));
        return 1;
      }
      c.reply.append(buffer, static_cast<std::size_t>(got));
      if (c.reply.back() != '\n') continue;
      if (now >= measureFrom) {
        latencies.push_back(static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.sent).count()));
        if (!c.reply.starts_with("KOVA")) ++badReplies;
      }
      ask(c);
    }
  }
  const double replies = static_cast<double>(latencies.size());
  const double p50 = Percentile(latencies, 0.50);
  const double p99 = Percentile(latencies, 0.99);
  std::printf("connections %d  replies/s %.0f  p50 %.3f ms  p99 %.3f ms  bad %zu", options.connections,
              replies / options.seconds, p50 / 1000.0, p99 / 1000.0, badReplies);
  if (options.pid > 0 && replies > 0)
    std::printf("  server CPU %.2f us/reply",
                static_cast<double>(cpuAtEnd - cpuAtStart) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK)) / replies);
  std::printf("\n");
  return badReplies == 0 ? 0 : 1;
}
