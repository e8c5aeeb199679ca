// The soak test: the real program with a receiver replayed fast on a pseudo-terminal (COM1 in a
// temporary ports folder) and many clients querying it without pause, for minutes. Every reply
// must be well formed and must equal the reply that the state after some prefix of the sentences
// written gives, a prefix no shorter than the one the client's previous reply showed. At the
// end the program must have caught up with the last sentence, have held COM1 throughout, still
// run and exit with 0 on SIGTERM; its resident memory after the warm-up, at the end and at its
// peak is printed.
// Usage (where port 2947 is free, e.g. inside unshare -n):
//   soak [--seconds N] [--warmup N] [--clients N] [--pace CHARS_PER_S] [--max-growth-mib N]
//        [--log FILE_OR_DIR]...
// The sentences are every line of the logs given (default: the demo track and the receiver logs
// in ../shared/nmea-samples), empty lines left out, each ended with CR LF, in a loop.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/bench_util.h"
#include "bench/soak_check.h"
#include "nmea/decoder.h"
#include "server/query_reply.h"
#include "tests/e2e/harness.h"
#include "tests/shown.h"

using namespace kova::e2e;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  double seconds = 600;
  double warmup = 20;
  int clients = 200;
  double pace = 4800;  // characters a second: ten times a receiver's 4800 baud
  double maxGrowthMiB = 8;
  std::vector<std::filesystem::path> logs;
};

// The requests the clients take turns with: every letter, both cases, stray bytes, none.
constexpr std::string_view kRequests[] = {
    "PVAHSM", "pvahsm", "p", "V", "a", "H", "s", "M", "mp", "HELP", "ShV", "pvahsm\r\n",
    "xyz",    "MSHAVP", "Pp", "aS"};

std::vector<std::string> ReadSentences(const std::vector<std::filesystem::path>& logs) {
  std::vector<std::filesystem::path> files;
  for (const auto& log : logs) {
    if (std::filesystem::is_directory(log)) {
      std::vector<std::filesystem::path> inside;
      for (const auto& entry : std::filesystem::directory_iterator(log))
        if (entry.path().extension() == ".nmea") inside.push_back(entry.path());
      std::sort(inside.begin(), inside.end());
      files.insert(files.end(), inside.begin(), inside.end());
    } else if (std::filesystem::is_regular_file(log)) {
      files.push_back(log);
    } else {
      throw std::runtime_error("no such log: " + log.string());
    }
  }
  std::vector<std::string> sentences;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    kova::soak::AppendSentences(log, sentences);
  }
  // The scan takes the port whose first characters hold "$GPG"; start where a sentence does.
  if (!kova::soak::StartAtReceiverMark(sentences))
    throw std::runtime_error("no $GPG sentence in the logs");
  return sentences;
}

using kova::bench::StatusKiB;

double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Client {
  int fd = -1;
  bool connected = false;
  bool gone = false;
  bool stalled = false;
  bool caughtUp = false;
  std::size_t turn = 0;
  std::string_view request;
  Clock::time_point askedAt;
  std::string received;
  std::uint64_t lastMatch = 0;
};

class Soak {
 public:
  explicit Soak(Options options) : m_options(std::move(options)) {}
  ~Soak() {
    for (const Client& client : m_clients)
      if (client.fd >= 0) ::close(client.fd);
    if (m_epoll >= 0) ::close(m_epoll);
  }
  Soak(const Soak&) = delete;
  Soak& operator=(const Soak&) = delete;
  int run();

 private:
  bool connectClients();
  void ask(Client& client);
  void onReadable(Client& client);
  void judge(Client& client);
  void writeDue(double elapsedSeconds);
  void pump(int timeoutMs);
  void note(const char* what, const Client& client);

  Options m_options;
  int m_epoll = -1;
  std::vector<Client> m_clients;
  std::vector<std::string> m_sentences;
  kova::e2e::PtyReceiver m_line;

  // The driver's own copy of the program's decoding, fed each sentence once it is all written.
  kova::PositionState m_position;
  kova::soak::PrefixHistory m_history{kova::PositionState{}};
  std::size_t m_maxStatesKept = 0;

  std::size_t m_next = 0;    // the sentence being written
  std::size_t m_offset = 0;  // characters of it already written
  std::uint64_t m_characters = 0;
  bool m_writing = true;
  bool m_catchingUp = false;
  bool m_portLetGo = false;

  std::uint64_t m_replies = 0;
  std::uint64_t m_mismatched = 0;
  std::uint64_t m_malformed = 0;
  int m_notes = 0;
};

bool Soak::connectClients() {
  const sockaddr_in address = kova::bench::LoopbackAddress(kQueryPort);
  m_clients.resize(static_cast<std::size_t>(m_options.clients));
  for (std::size_t i = 0; i < m_clients.size(); ++i) {
    Client& client = m_clients[i];
    client.turn = i;
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client.fd < 0) return false;
    if (::connect(client.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
      return false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u64 = i;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event) != 0) return false;
  }
  return true;
}

void Soak::note(const char* what, const Client& client) {
  if (++m_notes > 20) return;
  std::printf("%s: client %td, request %s, reply %s\n", what, &client - m_clients.data(),
              kova::Shown(client.request).c_str(), kova::Shown(client.received).c_str());
}

void Soak::ask(Client& client) {
  client.request = kRequests[client.turn++ % std::size(kRequests)];
  client.received.clear();
  client.askedAt = Clock::now();
  // A request of a few bytes on an idle connection always fits the socket's buffer.
  if (send(client.fd, client.request.data(), client.request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(client.request.size())) {
    client.gone = true;
    std::printf("client %td: the request could not be sent: %s\n", &client - m_clients.data(),
                std::strerror(errno));
  }
}

void Soak::judge(Client& client) {
  ++m_replies;
  if (!kova::soak::WellFormedReply(client.request, client.received)) {
    ++m_malformed;
    note("malformed", client);
  } else if (auto prefix = m_history.match(client.request, client.received, client.lastMatch)) {
    client.lastMatch = *prefix;
    if (m_catchingUp) {
      char expected[kova::QueryReplyCapacity];
      const std::size_t length =
          kova::BuildQueryReply(client.request, m_history.newestState(), expected);
      if (client.received == std::string_view(expected, length)) client.caughtUp = true;
    }
  } else {
    ++m_mismatched;
    note("no prefix gives this reply", client);
  }
}

void Soak::onReadable(Client& client) {
  char chunk[512];
  while (true) {
    const ssize_t n = recv(client.fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      client.received.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    client.gone = true;
    std::printf("client %td: the program closed the connection\n", &client - m_clients.data());
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, client.fd, nullptr);
    return;
  }
  // One request is out at a time, so everything up to the first CR LF is its whole reply, and
  // anything after it makes the reply malformed.
  if (client.received.find("\r\n") == std::string::npos && client.received.size() < 4096) return;
  judge(client);
  ask(client);
}

void Soak::writeDue(double elapsedSeconds) {
  const auto due = static_cast<std::uint64_t>(elapsedSeconds * m_options.pace);
  while (m_characters < due) {
    const std::string& sentence = m_sentences[m_next];
    const std::size_t room = static_cast<std::size_t>(
        std::min<std::uint64_t>(sentence.size() - m_offset, due - m_characters));
    const std::size_t sent = m_line.writeSome(std::string_view(sentence).substr(m_offset, room));
    if (sent == 0) return;
    m_characters += sent;
    m_offset += sent;
    if (m_offset == sentence.size()) {
      kova::DecodeSentence(sentence, m_position);
      m_history.append(m_position);
      m_offset = 0;
      m_next = (m_next + 1) % m_sentences.size();
    }
  }
}

void Soak::pump(int timeoutMs) {
  epoll_event events[256];
  const int count = epoll_wait(m_epoll, events, static_cast<int>(std::size(events)), timeoutMs);
  for (int e = 0; e < count; ++e) {
    Client& client = m_clients[events[e].data.u64];
    if (client.gone) continue;
    if (!client.connected) {
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0 || (events[e].events & (EPOLLHUP | EPOLLERR))) {
        client.gone = true;
        std::printf("client %td: cannot connect: %s\n", &client - m_clients.data(),
                    std::strerror(error));
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, client.fd, nullptr);
        continue;
      }
      client.connected = true;
      epoll_event readable{};
      readable.events = EPOLLIN;
      readable.data.u64 = events[e].data.u64;
      epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &readable);
      ask(client);
      continue;
    }
    onReadable(client);
  }
}

int Soak::run() {
  m_sentences = ReadSentences(m_options.logs);
  DataHome home;
  home.linkPort(1, m_line.devicePath());
  Program program(home);
  if (!program.waitUntilListening(10s)) {
    std::printf("soak: the program does not answer on port %d\n", kQueryPort);
    return 1;
  }
  // Nothing is written before the scan has the port open, so the program reads every character
  // and its lines are exactly the sentences written.
  if (!Eventually(10s, [&] { return m_line.isOpenedByProgram(); })) {
    std::printf("soak: the program never opened COM1\n");
    return 1;
  }
  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  if (m_epoll < 0 || !connectClients()) {
    std::printf("soak: cannot set up the clients: %s\n", std::strerror(errno));
    return 1;
  }

  const auto start = Clock::now();
  const auto warmupEnd = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(m_options.warmup));
  const auto writingEnd = warmupEnd + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(m_options.seconds));
  constexpr auto kCatchUpLimit = 10s;
  constexpr auto kStallLimit = 10s;
  long rssStart = 0;
  long rssPeak = 0;
  long rssEnd = 0;
  auto nextSample = start + 1s;
  std::uint64_t repliesAtWarmupEnd = 0;
  std::uint64_t sentencesAtWarmupEnd = 0;
  Clock::time_point stoppedWriting;

  while (true) {
    const auto now = Clock::now();
    if (m_writing) {
      writeDue(Seconds(now - start));
      if (now >= writingEnd) {
        m_writing = false;
        stoppedWriting = now;
        rssEnd = StatusKiB(program.pid(), "VmRSS");
        rssPeak = std::max(rssPeak, rssEnd);
      }
    } else if (!m_catchingUp && now - stoppedWriting >= 1s) {
      // The program has had a second for the last sentences: from now on every client must
      // see the state after the very last one.
      m_catchingUp = true;
    }
    if (m_catchingUp) {
      const bool all = std::all_of(m_clients.begin(), m_clients.end(),
                                   [](const Client& c) { return c.caughtUp || c.gone; });
      if (all || now - stoppedWriting >= kCatchUpLimit) break;
    }
    if (now >= nextSample) {
      nextSample += 1s;
      const long rss = StatusKiB(program.pid(), "VmRSS");
      if (now >= warmupEnd && rssStart == 0) {
        rssStart = rss;
        repliesAtWarmupEnd = m_replies;
        sentencesAtWarmupEnd = m_history.newest();
      }
      if (rssStart != 0 && m_writing) rssPeak = std::max(rssPeak, rss);
      if (!program.running()) {
        std::printf("soak: the program ended during the run\n");
        if (m_writing) stoppedWriting = now;
        break;
      }
      // Letting go of the receiver means a rescan, which loses characters and so breaks the
      // match between the sentences written and the lines framed.
      if (!m_portLetGo && !m_line.isOpenedByProgram()) {
        m_portLetGo = true;
        std::printf("soak: the program let go of COM1 %.1f s into the run\n", Seconds(now - start));
      }
      std::uint64_t oldest = m_history.newest();
      for (Client& client : m_clients) {
        if (client.gone) continue;
        oldest = std::min(oldest, client.lastMatch);
        if (client.connected && !client.stalled && now - client.askedAt > kStallLimit) {
          client.stalled = true;
          note("no reply within 10 s", client);
        }
      }
      m_history.forgetBefore(oldest);
    }
    m_maxStatesKept = std::max(m_maxStatesKept, m_history.statesKept());
    pump(2);
  }

  const auto measured = Seconds(stoppedWriting - warmupEnd);
  const bool running = program.running();
  const long hwm = StatusKiB(program.pid(), "VmHWM");
  const auto exitCode = program.stop(10s);
  const auto count = [&](auto flag) {
    return std::count_if(m_clients.begin(), m_clients.end(), flag);
  };
  const auto gone = count([](const Client& c) { return c.gone; });
  const auto stalled = count([](const Client& c) { return c.stalled; });
  const auto behind = count([](const Client& c) { return !c.caughtUp && !c.gone; });
  const double growth = MiB(rssEnd - rssStart);

  std::printf("soak: %d clients, pace %.0f characters/s, warm-up %.0f s, measured %.1f s\n",
              m_options.clients, m_options.pace, m_options.warmup, measured);
  std::printf("sentences written: %llu in all, %.1f/s after the warm-up; characters %llu\n",
              static_cast<unsigned long long>(m_history.newest()),
              static_cast<double>(m_history.newest() - sentencesAtWarmupEnd) / measured,
              static_cast<unsigned long long>(m_characters));
  std::printf("replies: %llu in all, %.0f/s after the warm-up; mismatched %llu, malformed %llu\n",
              static_cast<unsigned long long>(m_replies),
              static_cast<double>(m_replies - repliesAtWarmupEnd) / measured,
              static_cast<unsigned long long>(m_mismatched),
              static_cast<unsigned long long>(m_malformed));
  std::printf("clients lost %td, stalled %td, behind the last sentence at the end %td\n", gone,
              stalled, behind);
  std::printf("expected states kept: at most %zu\n", m_maxStatesKept);
  std::printf("program memory (VmRSS): %.1f MiB after the warm-up, %.1f MiB at the end "
              "(%+.2f MiB), peak %.1f MiB; VmHWM %.1f MiB\n",
              MiB(rssStart), MiB(rssEnd), growth, MiB(rssPeak), MiB(hwm));
  std::printf("program running at the end: %s; exit status on SIGTERM: %s\n",
              running ? "yes" : "no",
              exitCode ? std::to_string(*exitCode).c_str() : "did not end");

  const bool pass = running && exitCode == 0 && !m_portLetGo && m_replies > 0 &&
                    m_mismatched == 0 && m_malformed == 0 && gone == 0 && stalled == 0 &&
                    behind == 0 && rssStart > 0 && growth <= m_options.maxGrowthMiB;
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--seconds") options.seconds = std::atof(value);
    else if (name == "--warmup") options.warmup = std::atof(value);
    else if (name == "--clients") options.clients = std::atoi(value);
    else if (name == "--pace") options.pace = std::atof(value);
    else if (name == "--max-growth-mib") options.maxGrowthMiB = std::atof(value);
    else if (name == "--log") options.logs.emplace_back(value);
    else return std::nullopt;
  }
  if (argc % 2 == 0 || options.seconds <= 0 || options.warmup < 1 || options.clients < 1 ||
      options.pace <= 0)
    return std::nullopt;
  if (options.logs.empty()) {
    options.logs = {std::filesystem::path(KOVA_SOURCE_DIR) / "tools/demo-track.nmea",
                    std::filesystem::path(KOVA_SOURCE_DIR) / "../shared/nmea-samples"};
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: soak [--seconds N] [--warmup N] [--clients N] [--pace CHARS_PER_S] "
                 "[--max-growth-mib N] [--log FILE_OR_DIR]...\n");
    return 2;
  }
  try {
    return Soak(*options).run();
  } catch (const std::exception& error) {
    std::printf("soak: %s\n", error.what());
    return 1;
  }
}
