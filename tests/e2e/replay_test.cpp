// The replay tool: how it cuts a log into seconds, and the real tool on its pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/e2e/harness.h"
#include "tools/replay_plan.h"

namespace kova {
namespace {

using namespace std::chrono_literals;

TEST(PlanBursts, CutsTheLogIntoSecondsOfCrLfLines) {
  struct Row {
    std::string log;
    std::vector<std::string> bursts;
  };
  const Row rows[] = {
      {"", {}},
      {"A\nB\n", {"A\r\nB\r\n"}},
      {"$GPGGA,1,x\r\n", {"$GPGGA,1,x\r\n"}},
      {"$GPGGA,1\r\r\n", {"$GPGGA,1\r\n"}},
      {"$GPGGA,1", {"$GPGGA,1\r\n"}},
      {"\n\r\n$GPGSV,1\n\n", {"$GPGSV,1\r\n"}},
      {"$GPGGA,1,a\n$GPGSA,A\n$GPRMC,1,A\n$GPGGA,2,a\n",
       {"$GPGGA,1,a\r\n$GPGSA,A\r\n$GPRMC,1,A\r\n", "$GPGGA,2,a\r\n"}},
      {"$GPRMC,,V\n$GPGGA,,\n$GPRMC,,V\n", {"$GPRMC,,V\r\n$GPGGA,,\r\n", "$GPRMC,,V\r\n"}},
      {"header\n$GPGGA,1\n$GPGGA,2\n", {"header\r\n$GPGGA,1\r\n", "$GPGGA,2\r\n"}},
      {"$GNRMC,1\n$GNRMC,2\n", {"$GNRMC,1\r\n", "$GNRMC,2\r\n"}},
      // From ublox-multignss-2024.nmea: GPS-talker lines without a fix, then GNSS-talker ones.
      {"$GPRMC,,V\n$GPGGA,,\n$GNRMC,164208.00,A\n$GNGGA,164208.00,5\n$GLGSV,2\n"
       "$GNRMC,164209.00,A\n",
       {"$GPRMC,,V\r\n$GPGGA,,\r\n", "$GNRMC,164208.00,A\r\n$GNGGA,164208.00,5\r\n$GLGSV,2\r\n",
        "$GNRMC,164209.00,A\r\n"}},
      {"$GPGGA,1*5A\n$GPGGA,1*5A\n", {"$GPGGA,1*5A\r\n", "$GPGGA,1*5A\r\n"}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PlanBursts(row.log), row.bursts) << "log: " << testing::PrintToString(row.log);
  }
}

// The replay tool on a file, with its stdout on a pipe.
class Replay {
 public:
  explicit Replay(const std::string& file) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      execl(KOVA_REPLAY, KOVA_REPLAY, "--loop", "--speed", "20", file.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    m_output = out[0];
  }
  ~Replay() {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    close(m_output);
  }
  // The device line the tool prints first.
  std::string device() {
    std::string line;
    char c = 0;
    pollfd ready{m_output, POLLIN, 0};
    while (poll(&ready, 1, 2000) == 1 && read(m_output, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

 private:
  pid_t m_pid = -1;
  int m_output = -1;
};

TEST(ReplayTool, PlaysTheLogWithCrLfOnTheDeviceItPrints) {
  const std::string file = testing::TempDir() + "replay-test.nmea";
  std::ofstream(file) << "$GPGGA,000001,1\n\n$GPRMC,000001,2\n$GPGGA,000002,3\r\n";
  Replay replay(file);

  const std::string device = replay.device();
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  const int line = open(device.c_str(), O_RDONLY | O_NOCTTY);
  ASSERT_GE(line, 0);

  const std::string cycle = "$GPGGA,000001,1\r\n$GPRMC,000001,2\r\n$GPGGA,000002,3\r\n";
  std::string heard;
  e2e::Eventually(3s, [&] {
    char chunk[256];
    pollfd ready{line, POLLIN, 0};
    while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN)) {
      const ssize_t n = read(line, chunk, sizeof chunk);
      if (n <= 0) break;
      heard.append(chunk, static_cast<size_t>(n));
    }
    return heard.find(cycle) != std::string::npos;
  });
  close(line);
  EXPECT_NE(heard.find(cycle), std::string::npos) << testing::PrintToString(heard);
}

}  // namespace
}  // namespace kova
