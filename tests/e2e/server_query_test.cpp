// The query port of the real program: clients that behave, and clients that do not.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace kova::e2e {
namespace {

// Before any receiver line the position reads zeros.
const std::string PReply = "KOVA,P=0.000000 0.000000";

// A plain blocking connection, for the clients that misbehave.
int RawClient(int receiveBuffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kQueryPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class QueryPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(program.waitUntilListening()); }
  void TearDown() override {
    // Whatever a test did, the program still answers newcomers, and ends cleanly.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Query("hp"), PReply + ",H=0.000000") << i;
    EXPECT_EQ(program.stop(), 0);
  }

  DataHome home;
  Program program{home};
};

TEST_F(QueryPort, TwoClientsAtOnceEachGetTheirOwnReply) {
  QueryClient first, second;
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connect());
  EXPECT_EQ(first.ask("p"), PReply);
  EXPECT_EQ(second.ask("V"), "KOVA,V=0.000000");
  EXPECT_EQ(first.ask("a"), "KOVA,A=0.000000");
}

TEST_F(QueryPort, ARequestSplitOverTwoArrivalsGetsTwoReplies) {
  QueryClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.ask("p"), PReply);
  EXPECT_EQ(client.ask("v\r\n"), "KOVA,V=0.000000");
}

TEST_F(QueryPort, AClientThatClosesChangesNothingForTheOthers) {
  QueryClient stayer;
  ASSERT_TRUE(stayer.connect());
  {
    QueryClient leaver;
    ASSERT_TRUE(leaver.connect());
    EXPECT_EQ(leaver.ask("p"), PReply);
  }
  EXPECT_EQ(stayer.ask("p"), PReply);
}

TEST_F(QueryPort, AClientThatNeverReadsIsDroppedAndTheOthersAreServedMeanwhile) {
  QueryClient reader;
  ASSERT_TRUE(reader.connect());
  const int sleeper = RawClient(4096);
  ASSERT_GE(sleeper, 0);
  bool dropped = false;
  int answered = 0;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  int round = 0;
  for (; !dropped && std::chrono::steady_clock::now() < deadline; ++round) {
    // Paced, so that most requests arrive on their own and each costs a reply.
    std::this_thread::sleep_for(20us);
    if (send(sleeper, "pvahsm\r\n", 8, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) dropped = true;
    pollfd end{sleeper, POLLRDHUP, 0};
    if (poll(&end, 1, 0) > 0 && (end.revents & (POLLRDHUP | POLLHUP | POLLERR))) dropped = true;
    if (round % 1000 == 0 && reader.ask("p") == PReply) ++answered;
  }
  close(sleeper);
  EXPECT_TRUE(dropped) << round << " requests";
  EXPECT_GT(answered, 0);
  EXPECT_EQ(reader.ask("p"), PReply);
}

TEST_F(QueryPort, OneMebibyteOfGarbageInOneRequest) {
  const int client = RawClient();
  ASSERT_GE(client, 0);
  std::string request(1024 * 1024, '\0');
  for (std::size_t i = 0; i < request.size(); ++i) request[i] = "xyz\x01\xff\r\n#0"[i % 9];
  request += "p";
  ASSERT_EQ(send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::string replies;
  ASSERT_TRUE(Eventually(5s, [&] {
    char buffer[4096];
    const ssize_t got = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) replies.append(buffer, static_cast<std::size_t>(got));
    return replies.ends_with(PReply + "\r\n");
  })) << replies.substr(0, 200);
  close(client);
  // The garbage, however it was cut into arrivals, got bare replies; the p its field.
  const std::size_t bare = replies.size() - PReply.size() - 2;
  EXPECT_EQ(bare % 6, 0u);
  for (std::size_t at = 0; at < bare; at += 6) EXPECT_EQ(replies.substr(at, 6), "KOVA\r\n") << at;
}

TEST_F(QueryPort, HundredsOfClientsConnectingAndDroppingAbruptly) {
  std::vector<int> clients;
  for (int i = 0; i < 400; ++i) {
    const int fd = RawClient();
    ASSERT_GE(fd, 0) << i;
    clients.push_back(fd);
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    // Half send a request first; all end with a reset rather than an orderly close.
    if (i % 2 == 0) send(clients[i], "pvahsm", 6, MSG_NOSIGNAL);
    const linger abrupt{1, 0};
    setsockopt(clients[i], SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    close(clients[i]);
  }
  EXPECT_TRUE(program.running());
}

TEST_F(QueryPort, ABurstOfAThousandConnectsIsTakenAtOnceAndAnswered) {
  RaiseDescriptorLimit();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kQueryPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<pollfd> burst;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0) << i;
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    burst.push_back({fd, POLLOUT, 0});
  }
  // A connect the listener's queue had no room for is retried only after a second.
  std::size_t connected = 0;
  for (pollfd& p : burst) {
    if (poll(&p, 1, 900) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP))) ++connected;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(connected, burst.size());
  EXPECT_LT(took, 900ms);
  for (const pollfd& p : burst) send(p.fd, "p", 1, MSG_NOSIGNAL);
  std::size_t answered = 0;
  for (const pollfd& p : burst) {
    pollfd reply{p.fd, POLLIN, 0};
    char buffer[64];
    if (poll(&reply, 1, 5000) == 1 && recv(p.fd, buffer, sizeof buffer, 0) == static_cast<ssize_t>(PReply.size() + 2)) ++answered;
    close(p.fd);
  }
  EXPECT_EQ(answered, burst.size());
}

TEST(QueryPortTaken, TheProgramNamesThePortOnStderrAndEnds) {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kQueryPort);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  // The cause stays English under a user's language (the C library translates it to German
  // under this one).
  for (const char* language : {"LC_ALL=C", "LC_ALL=C.UTF-8 LANGUAGE=de"}) {
    SCOPED_TRACE(language);
    DataHome home;
    const std::string command = std::string(language) + " XDG_DATA_HOME=" + home.path().string() +
                                " QT_QPA_PLATFORM=offscreen timeout 10 " KOVA_EXECUTABLE " 2>&1 >/dev/null; echo status=$?";
    FILE* output = popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::string text;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, output)) text += buffer;
    pclose(output);
    EXPECT_NE(text.find("simple-kova: cannot listen on TCP port 2947: Address already in use\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("status=0"), std::string::npos) << text;
    EXPECT_EQ(text.find("status=124"), std::string::npos) << "still running after 10 s";
  }
  close(holder);
}

}  // namespace
}  // namespace kova::e2e
