// The sentence port of the real program (--nmea-port): what a receiver on a pseudo-terminal
// sends, as its clients get it, byte for byte, and as Debian's NMEA library reads it.

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/bench_util.h"
#include "tests/e2e/harness.h"

namespace kova::e2e {
namespace {

// What arrives on fd until size bytes came or a second passed without any.
std::string Receive(int fd, std::size_t size = std::string::npos) {
  std::string text;
  char chunk[65536];
  ssize_t got = 0;
  for (pollfd ready{fd, POLLIN, 0}; text.size() < size && poll(&ready, 1, 1000) == 1 &&
                                    (got = recv(fd, chunk, sizeof chunk, 0)) > 0;)
    text.append(chunk, static_cast<std::size_t>(got));
  return text;
}

TEST(SentencePort, ClientsGetTheReceiversSentencesAsReceivedAndNothingElse) {
  // The log's lines as a receiver sends them, each ended with CR LF.
  std::ifstream file(KOVA_SOURCE_DIR "/tests/data/ublox-multignss-fix.nmea");
  std::string log;
  for (std::string line; std::getline(file, line);)
    if (line.starts_with('$')) log += line + "\r\n";
  const std::size_t at = log.find("$GNGGA");
  const std::string gga = log.substr(at, log.find('\n', at) + 1 - at);
  const std::string noChecksum = "$GPTXT,01,01,02,OK\r\n";
  const std::string gsa = WithChecksum("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
  const std::string ais = WithChecksum("!AIVDM,1,1,,A,13u?etPv2;0n:dDPwUM1U1Cb069D,0");
  const struct {
    std::string sent, passedOn;
  } rows[] = {
      {log, log},
      // A checksum made wrong, garbage, a sentence without checksum.
      {gga.substr(0, gga.size() - 4) + "76\r\n\xff\xfe\x01 noise\r\n" + noChecksum + gsa,
       noChecksum + gsa},
      {WithChecksum("$GPTXT," + std::string(60000, 'x')) + gsa, gsa},
      {ais, ais},
  };

  DataHome home;
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  Program program(home, {"QT_QPA_PLATFORM=offscreen"}, 0, {"--nmea-port", "10110"});
  ASSERT_TRUE(program.waitUntilListening());
  const int early = bench::ConnectLoopback(10110);
  // The scan first looks at what other programs hold open, which takes seconds on a busy host.
  ASSERT_TRUE(Eventually(20s, [&] { return receiver.isOpenedByProgram(); }));
  // What the probe reads (a partial first line, then a sentence) is decoded but not passed on:
  // what reaches the client before the log is markers sent after it, whole.
  const std::string marker =
      WithChecksum("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,");
  ASSERT_TRUE(receiver.write("45.5,M,46.9,M,,*47\r\n" + gga));
  ASSERT_TRUE(Eventually(15s, [&] {
    receiver.write(marker);
    return Query("p", 1s) == "KOVA,P=48.117302 11.516667";
  }));
  const std::string markers = Receive(early);
  for (std::size_t i = 0; i < markers.size(); i += marker.size())
    ASSERT_EQ(markers.substr(i, marker.size()), marker) << markers;

  FILE* reader =
      popen("/usr/bin/python3 " KOVA_SOURCE_DIR "/tests/e2e/read_sentence_port.py 10110", "r");
  char line[256];
  ASSERT_NE(fgets(line, sizeof line, reader), nullptr) << "python3-nmea2 installed?";
  for (const auto& row : rows) {
    ASSERT_TRUE(receiver.write(row.sent));
    EXPECT_EQ(Receive(early, row.passedOn.size() + 1), row.passedOn) << row.sent.substr(0, 80);
  }
  EXPECT_EQ(program.stop(), 0);
  close(early);
  std::string read;
  while (fgets(line, sizeof line, reader) != nullptr) read += line;
  EXPECT_EQ(WEXITSTATUS(pclose(reader)), 0) << read;
  // Every position of the log, in its order, and the sentence the library has no parser for.
  EXPECT_EQ(read,
            "RMC 53.764607 -2.695933\nGGA 53.764607 -2.695933\nRMC 53.764607 -2.695933\n"
            "GNS 53.764607 -2.695933\nGGA 53.764607 -2.695933\nGNS 53.764322 -2.696337\n"
            "RMC 53.764322 -2.696337\nRMC 53.764322 -2.696337\nGNS 53.764322 -2.696337\n"
            "RMC 53.764280 -2.696367\nunparsed !AIVDM\n");
}

}  // namespace
}  // namespace kova::e2e
