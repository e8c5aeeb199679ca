// The sentence port of the real program (--nmea-port): what a receiver on a pseudo-terminal
// sends, as its clients get it, byte for byte, and as Debian's NMEA library reads it.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace kova::e2e {
namespace {

constexpr std::uint16_t SentencePort = 10110;

int ConnectToSentencePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SentencePort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// Everything that arrives on fd within quiet of the last arrival, or until expected bytes came.
std::string Receive(int fd, std::size_t expected, std::chrono::milliseconds quiet) {
  std::string text;
  pollfd ready{fd, POLLIN, 0};
  char chunk[65536];
  while (text.size() < expected && poll(&ready, 1, static_cast<int>(quiet.count())) == 1) {
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

// The log's lines as a receiver sends them: the empty ones left out, each ended with CR LF.
std::vector<std::string> LogSentences() {
  std::ifstream file(std::string(KOVA_SOURCE_DIR) + "/tests/data/ublox-multignss-fix.nmea");
  std::vector<std::string> sentences;
  for (std::string line; std::getline(file, line);)
    if (line.starts_with('$')) sentences.push_back(line + "\r\n");
  return sentences;
}

TEST(SentencePort, ClientsGetTheReceiversSentencesAsReceivedAndNothingElse) {
  const std::vector<std::string> log = LogSentences();
  ASSERT_EQ(log.size(), 59u);
  std::string badChecksum = log[5];  // its $GNGGA, "*67" made "*76"
  badChecksum.replace(badChecksum.size() - 4, 2, "76");
  const std::string noChecksum = "$GPTXT,01,01,02,ANTENNA OK\r\n";
  const std::string longSentence = WithChecksum("$GPTXT," + std::string(60000, 'x'));
  const std::string ais = WithChecksum("!AIVDM,1,1,,A,13u?etPv2;0n:dDPwUM1U1Cb069D,0");
  struct Row {
    const char* name;
    std::vector<std::string> sent;  // by the receiver, in this order
    std::string passedOn;
  };
  std::vector<Row> rows = {
      {"a real log with a bad checksum, garbage and a sentence without checksum mixed in", {}, {}},
      {"a 60,000-character sentence whose checksum holds", {longSentence, log[0]}, log[0]},
      {"an encapsulated sentence", {ais}, ais},
  };
  for (std::size_t i = 0; i < log.size(); ++i) {
    rows[0].sent.push_back(log[i]);
    rows[0].passedOn += log[i];
    if (i == 5) rows[0].sent.push_back(badChecksum);
    if (i == 20) rows[0].sent.push_back("\xff\xfe\x01 noise at another speed\r\n");
    if (i == 40) {
      rows[0].sent.push_back(noChecksum);
      rows[0].passedOn += noChecksum;
    }
  }

  DataHome home;
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  Program program(home, {"QT_QPA_PLATFORM=offscreen"}, 0,
                  {"--nmea-port", std::to_string(SentencePort)});
  ASSERT_TRUE(program.waitUntilListening());
  const int early = ConnectToSentencePort();
  ASSERT_GE(early, 0);
  // The scan first looks at what other programs hold open, which takes seconds on a busy host.
  ASSERT_TRUE(Eventually(20s, [&] { return receiver.isOpenedByProgram(); }));

  // What the probe reads (a partial first line, then sentences) is decoded but not passed on:
  // what reaches the client before the log is markers sent after it, whole.
  const std::string marker =
      WithChecksum("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,");
  ASSERT_TRUE(receiver.write("45.5,M,46.9,M,,*47\r\n" + log[2] + log[5]));
  ASSERT_TRUE(Eventually(15s, [&] {
    receiver.write(marker);
    return Query("p", 1s) == "KOVA,P=48.117302 11.516667";
  }));
  const std::string markers = Receive(early, SIZE_MAX, 1s);
  for (std::size_t at = 0; at < markers.size(); at += marker.size())
    ASSERT_EQ(markers.substr(at, marker.size()), marker) << markers;

  FILE* reader = popen(("/usr/bin/python3 " KOVA_SOURCE_DIR "/tests/e2e/read_sentence_port.py " +
                        std::to_string(SentencePort))
                           .c_str(),
                       "r");
  ASSERT_NE(reader, nullptr);
  char line[256];
  ASSERT_NE(fgets(line, sizeof line, reader), nullptr) << "python3-nmea2 installed?";
  ASSERT_STREQ(line, "connected\n");

  for (const Row& row : rows) {
    for (const std::string& text : row.sent) ASSERT_TRUE(receiver.write(text)) << row.name;
    EXPECT_EQ(Receive(early, row.passedOn.size() + 1, 1s), row.passedOn) << row.name;
  }
  EXPECT_EQ(program.stop(), 0);
  close(early);

  std::string read;
  while (fgets(line, sizeof line, reader) != nullptr) read += line;
  EXPECT_EQ(WEXITSTATUS(pclose(reader)), 0) << read;
  // Every position of the log, none of the bad line, in the log's order.
  EXPECT_EQ(read,
            "RMC 53.764607 -2.695933\nGGA 53.764607 -2.695933\n"
            "RMC 53.764607 -2.695933\nGNS 53.764607 -2.695933\nGGA 53.764607 -2.695933\n"
            "GNS 53.764322 -2.696337\nRMC 53.764322 -2.696337\nRMC 53.764322 -2.696337\n"
            "GNS 53.764322 -2.696337\nRMC 53.764280 -2.696367\n"
            "unparsed !AIVDM\n");
}

}  // namespace
}  // namespace kova::e2e
