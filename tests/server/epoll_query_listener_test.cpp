#include "server/epoll_query_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/fake/fake_readable_watch.h"
#include "server/descriptor_reserve.h"
#include "server/query_reply.h"

// Heap allocations made while counting is on.
static bool g_countingAllocations = false;
static std::size_t g_allocations = 0;

void* operator new(std::size_t size) {
  if (g_countingAllocations) ++g_allocations;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
// Out of line: inlined next to a new, GCC takes the pair for a mismatched one.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace kova {
namespace {

using Clock = std::chrono::steady_clock;

const PositionState Position{.Latitude = 48.5f, .Longitude = -9.25f, .FixMode = 3};
const std::string PReply = "KOVA,P=48.500000 -9.250000\r\n";

class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.listen(0, [this](std::string_view request) {
      largestArrival = std::max(largestArrival, request.size());
      return std::string_view(reply, BuildQueryReply(request, Position, reply));
    }), "");
  }

  // Serves whatever is ready until done() holds; false if it does not within two seconds.
  bool serveUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
      pollfd ready{watch.descriptor(), POLLIN, 0};
      if (poll(&ready, 1, 5) > 0) watch.fire();
      if (done()) return true;
    }
    return false;
  }

  // A non-blocking client of the listener; family AF_INET6 connects to ::1.
  int connectClient(int family = AF_INET, int receiveBuffer = 0) {
    const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int result;
    if (family == AF_INET6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_loopback;
      address.sin6_port = htons(listener.localPort());
      result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(listener.localPort());
      result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0 && errno != EINPROGRESS) {
      close(fd);
      return -1;
    }
    m_clients.push_back(fd);
    return fd;
  }

  void TearDown() override {
    for (const int fd : m_clients) close(fd);
  }

  // Everything the client has received so far; eof tells whether the server closed it.
  static std::string received(int fd, bool* eof = nullptr) {
    std::string text;
    char buffer[65536];
    for (;;) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (eof) *eof = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      return text;
    }
  }

  std::string ask(int fd, std::string_view request) {
    std::string answer;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    serveUntil([&] {
      answer += received(fd);
      return answer.ends_with("\r\n");
    });
    return answer;
  }

  DevNullReserve spare{1};
  FakeReadableWatch watch;
  EpollQueryListener listener{spare, watch};
  char reply[QueryReplyCapacity];
  std::size_t largestArrival = 0;

 private:
  std::vector<int> m_clients;
};

TEST_F(Listening, TwoClientsAtOnceEachGetTheirOwnReply) {
  const int first = connectClient(AF_INET);
  int second = connectClient(AF_INET6);
  if (second < 0) second = connectClient(AF_INET);  // a host without IPv6
  ASSERT_TRUE(serveUntil([&] { return listener.clientCount() == 2; }));
  send(first, "p", 1, MSG_NOSIGNAL);
  send(second, "m", 1, MSG_NOSIGNAL);
  std::string firstAnswer, secondAnswer;
  ASSERT_TRUE(serveUntil([&] {
    firstAnswer += received(first);
    secondAnswer += received(second);
    return firstAnswer.ends_with("\n") && secondAnswer.ends_with("\n");
  }));
  EXPECT_EQ(firstAnswer, PReply);
  EXPECT_EQ(secondAnswer, "KOVA,M=3\r\n");
}

TEST_F(Listening, ARequestSplitOverTwoArrivalsGetsTwoReplies) {
  const int client = connectClient();
  EXPECT_EQ(ask(client, "p"), PReply);
  EXPECT_EQ(ask(client, "v\r\n"), "KOVA,V=0.000000\r\n");
}

TEST_F(Listening, ClientsThatGoAreReleasedAndTheOthersStillServed) {
  struct Case {
    const char* name;
    bool reset;  // abrupt end (RST) rather than an orderly close
  };
  for (const Case c : {Case{"orderly close", false}, Case{"abrupt reset", true}}) {
    const std::size_t before = listener.clientCount();
    std::vector<int> leaving;
    for (int i = 0; i < 200; ++i) leaving.push_back(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(listener.localPort());
    for (const int fd : leaving) ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << c.name;
    ASSERT_TRUE(serveUntil([&] { return listener.clientCount() == before + 200; })) << c.name;
    for (const int fd : leaving) {
      if (c.reset) {
        const linger abrupt{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        send(fd, "p", 1, MSG_NOSIGNAL);
      }
      close(fd);
    }
    EXPECT_TRUE(serveUntil([&] { return listener.clientCount() == before; })) << c.name << ": " << listener.clientCount();
    const int stayer = connectClient();
    EXPECT_EQ(ask(stayer, "P"), PReply) << c.name;
  }
}

TEST_F(Listening, AClientThatNeverReadsIsDroppedWithoutDisturbingOthers) {
  const int reader = connectClient();
  const int sleeper = connectClient(AF_INET, 4096);
  ASSERT_TRUE(serveUntil([&] { return listener.clientCount() == 2; }));
  // Each request is answered apart: the listener reads it before the next is sent.
  std::size_t requests = 0;
  while (listener.clientCount() == 2 && requests < 200000) {
    send(sleeper, "pvahsm", 6, MSG_NOSIGNAL);
    ++requests;
    serveUntil([&] { return true; });
  }
  ASSERT_EQ(listener.clientCount(), 1u) << "after " << requests << " requests";
  bool eof = false;
  serveUntil([&] {
    received(sleeper, &eof);
    return eof;
  });
  EXPECT_TRUE(eof);
  EXPECT_EQ(ask(reader, "p"), PReply);
}

TEST_F(Listening, OneMebibyteOfGarbageGetsEmptyRepliesAndTheNextRequestIsAnswered) {
  const int client = connectClient();
  const std::string garbage(1024 * 1024, 'x');
  std::size_t sent = 0;
  std::string answers;
  ASSERT_TRUE(serveUntil([&] {
    const ssize_t n = send(client, garbage.data() + sent, garbage.size() - sent, MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<std::size_t>(n);
    answers += received(client);
    return sent == garbage.size();
  }));
  send(client, "p", 1, MSG_NOSIGNAL);
  ASSERT_TRUE(serveUntil([&] {
    answers += received(client);
    return answers.ends_with(PReply);
  }));
  // Each arrival of garbage gets "KOVA"; the p may have joined the last one.
  const std::size_t garbageAnswers = answers.size() - PReply.size();
  for (std::size_t at = 0; at < garbageAnswers; at += 6) EXPECT_EQ(answers.substr(at, 6), "KOVA\r\n") << at;
  EXPECT_EQ(garbageAnswers % 6, 0u) << answers.substr(0, 200);
}

// The listener's end of a client's connection: the listener runs in this process.
int ServerEndOf(int client) {
  sockaddr_in6 mine{};
  socklen_t size = sizeof mine;
  getsockname(client, reinterpret_cast<sockaddr*>(&mine), &size);
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in6 peer{};
    size = sizeof peer;
    // sin_port and sin6_port sit at the same place.
    if (fd != client && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
        (peer.sin6_family == AF_INET6 || peer.sin6_family == AF_INET) &&
        peer.sin6_port == mine.sin6_port)
      return fd;
  }
  return -1;
}

TEST_F(Listening, OneArrivalReadsAtMostOneMebibyte) {
  const int client = connectClient();
  ASSERT_TRUE(serveUntil([&] { return listener.clientCount() == 1; }));
  const int serverEnd = ServerEndOf(client);
  ASSERT_GE(serverEnd, 0);
  const int bufferSize = 8 * 1024 * 1024;
  if (setsockopt(serverEnd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) != 0)
    setsockopt(serverEnd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  // Piles up more than a mebibyte at the listener's end while nothing serves it.
  const std::string garbage(1536 * 1024, 'x');
  std::size_t sent = 0;
  pollfd writable{client, POLLOUT, 0};
  while (sent < garbage.size() && poll(&writable, 1, 500) == 1) {
    const ssize_t n = send(client, garbage.data() + sent, garbage.size() - sent, MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  int waiting = 0;
  ioctl(serverEnd, FIONREAD, &waiting);
  if (waiting <= 1024 * 1024) GTEST_SKIP() << "the host lets only " << waiting << " bytes wait";
  listener.onReady();
  EXPECT_EQ(largestArrival, 1024u * 1024);
}

TEST_F(Listening, RepliesCostNoHeapAllocation) {
  const int client = connectClient();
  ASSERT_EQ(ask(client, "pvahsm"), "KOVA,P=48.500000 -9.250000,V=0.000000,A=0.000000,H=0.000000,S=0,M=3\r\n");
  std::size_t replies = 0;
  for (int i = 0; i < 200; ++i) {
    send(client, "pvahsm", 6, MSG_NOSIGNAL);
    pollfd ready{watch.descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1) << i;
    g_countingAllocations = true;
    listener.onReady();
    g_countingAllocations = false;
    if (received(client).ends_with("\r\n")) ++replies;
  }
  EXPECT_EQ(replies, 200u);
  EXPECT_EQ(g_allocations, 0u);
}

TEST_F(Listening, OutOfDescriptorsNewcomersAreTurnedAwayAndTheOthersStillServed) {
  const int early = connectClient();
  ASSERT_TRUE(serveUntil([&] { return listener.clientCount() == 1; }));
  std::vector<int> late;
  for (int i = 0; i < 5; ++i) late.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowestFree = open("/dev/null", O_RDONLY);
  close(lowestFree);
  rlimit full = saved;
  full.rlim_cur = static_cast<rlim_t>(lowestFree);
  setrlimit(RLIMIT_NOFILE, &full);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(listener.localPort());
  for (const int fd : late) connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  std::size_t turnedAway = 0;
  const bool allTurnedAway = serveUntil([&] {
    turnedAway = 0;
    for (const int fd : late) {
      char byte;
      if (recv(fd, &byte, 1, MSG_PEEK) == 0 || errno == ECONNRESET) ++turnedAway;
    }
    return turnedAway == late.size();
  });
  const std::string answer = ask(early, "p");
  setrlimit(RLIMIT_NOFILE, &saved);
  for (const int fd : late) close(fd);

  EXPECT_TRUE(allTurnedAway) << turnedAway << " of " << late.size();
  EXPECT_EQ(listener.clientCount(), 1u);
  EXPECT_EQ(answer, PReply);
  EXPECT_EQ(ask(connectClient(), "p"), PReply);
}

TEST(EpollQueryListener, APortAlreadyTakenNamesTheCause) {
  DevNullReserve spare{1};
  FakeReadableWatch watch;
  EpollQueryListener first{spare, watch};
  ASSERT_EQ(first.listen(0, {}), "");
  FakeReadableWatch secondWatch;
  EpollQueryListener second{spare, secondWatch};
  EXPECT_EQ(second.listen(first.localPort(), {}), "Address already in use");
}

TEST(EpollQueryListener, ListensOnlyOnTheAddressGiven) {
  for (const std::string address : {"127.0.0.1", "::1"}) {
    DevNullReserve spare{1};
    FakeReadableWatch watch;
    EpollQueryListener listener{spare, watch, address};
    ASSERT_EQ(listener.listen(0, {}), "") << address;
    // 127.0.0.2 reaches only a listener on every IPv4 address.
    for (const std::string target : {"127.0.0.1", "127.0.0.2", "::1"}) {
      const bool v6 = target == "::1";
      sockaddr_in6 to6{};
      to6.sin6_family = AF_INET6;
      to6.sin6_port = htons(listener.localPort());
      sockaddr_in to4{AF_INET, to6.sin6_port, {}, {}};
      inet_pton(v6 ? AF_INET6 : AF_INET, target.c_str(),
                v6 ? static_cast<void*>(&to6.sin6_addr) : static_cast<void*>(&to4.sin_addr));
      const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const auto* to = v6 ? reinterpret_cast<sockaddr*>(&to6) : reinterpret_cast<sockaddr*>(&to4);
      EXPECT_EQ(connect(fd, to, v6 ? sizeof to6 : sizeof to4) == 0, target == address)
          << address << " from " << target;
      close(fd);
    }
  }
}

TEST(EpollQueryListener, RaisesTheDescriptorLimitToTheHardLimit) {
  DevNullReserve spare{1};
  FakeReadableWatch watch;
  EpollQueryListener listener{spare, watch};
  ASSERT_EQ(listener.listen(0, {}), "");
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

// The listener as the program runs it: on port 2947, replies built from the position.
class QueryServer : public Listening {
 protected:
  void SetUp() override { ASSERT_EQ(listener.listenForQueries(position), ""); }

  PositionState position;
};

TEST_F(QueryServer, ListensOnPort2947) { EXPECT_EQ(listener.localPort(), 2947); }

TEST_F(QueryServer, AFailureNamesThePortAndTheCause) {
  FakeReadableWatch secondWatch;
  EpollQueryListener second{spare, secondWatch};
  EXPECT_EQ(second.listenForQueries(position), "cannot listen on TCP port 2947: Address already in use");
}

TEST_F(QueryServer, EachArrivalReadsThePositionAsItStandsThen) {
  const int client = connectClient();
  EXPECT_EQ(ask(client, "pm"), "KOVA,P=0.000000 0.000000,M=0\r\n");
  position.Latitude = 48.5f;
  position.Longitude = -9.25f;
  position.FixMode = 3;
  EXPECT_EQ(ask(client, "pm"), "KOVA,P=48.500000 -9.250000,M=3\r\n");
}

}  // namespace
}  // namespace kova
