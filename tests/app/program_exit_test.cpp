// Starts the real program on a machine without a screen and ends it with a signal, or with the
// answer to its command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using kova::e2e::DataHome;
using kova::e2e::Program;
using kova::e2e::PtyReceiver;

// Program start-up under the sanitizers can take a while on a busy machine.
constexpr auto StartLimit = 60s;
constexpr auto ExitLimit = 10s;

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool MapsLibrary(pid_t pid, std::string_view name) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const std::string text{std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>()};
  return text.find(name) != std::string::npos;
}

TEST(Program, RunsWithoutAScreenAndEndsWithSuccessOnASignal) {
  const struct {
    const char* name;
    int signal;
    std::vector<std::string> screen;  // a display named but not reachable still leaves a server
    bool receiver;  // found as COM1 first; its port must be let go as it was before
  } rows[] = {{"SIGTERM", SIGTERM, {}, false},
              {"SIGINT", SIGINT, {}, false},
              {"SIGTERM, unreachable DISPLAY", SIGTERM, {"DISPLAY=:987"}, false},
              {"SIGTERM, receiver found", SIGTERM, {}, true},
              {"SIGINT, receiver found", SIGINT, {}, true},
              {"SIGHUP, receiver found", SIGHUP, {}, true}};
  const std::string gga = kova::e2e::WithChecksum(
      "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Without a receiver, an empty port list: the program finds no serial ports and touches no
    // device.
    DataHome dataHome;
    PtyReceiver receiver;
    // A terminal's settings rather than a receiver's: 9600 baud, canonical, echo.
    termios former{};
    const int slave = open(receiver.devicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcgetattr(slave, &former), 0);
    former.c_lflag |= ICANON | ECHO;
    cfsetspeed(&former, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &former), 0);
    close(slave);
    if (row.receiver) dataHome.linkPort(1, receiver.devicePath());
    Program program(dataHome, row.screen);

    // The program is up once its query port answers; the offscreen platform plugin being
    // loaded then shows it chose to run headless.
    ASSERT_TRUE(program.waitUntilListening(StartLimit)) << "the query port never answered";
    EXPECT_TRUE(MapsLibrary(program.pid(), "libqoffscreen"));
    if (row.receiver) {
      ASSERT_TRUE(kova::e2e::Eventually(StartLimit, [&] {
        return receiver.isOpenedByProgram() && receiver.write(gga) &&
               kova::e2e::Query("p", 1s) == "KOVA,P=48.117302 11.516667";
      })) << "the receiver was never found";
    }
    EXPECT_EQ(program.stop(ExitLimit, row.signal), 0);
    if (!row.receiver) continue;

    // Root opens past the exclusive flag, so the flag is asked for.
    termios after{};
    int exclusive = -1;
    const int fd = open(receiver.devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    close(fd);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(after.c_lflag, former.c_lflag);
    EXPECT_EQ(after.c_iflag, former.c_iflag);
    EXPECT_EQ(after.c_cflag, former.c_cflag);
    EXPECT_EQ(cfgetispeed(&after), B9600);
  }
}

TEST(Program, AnswersItsCommandLineWithoutStarting) {
  const struct {
    const char* arguments;
    int status;
    const char* outHas;
    const char* errHas;
  } rows[] = {
      {"--version", 0, "simple-kova 1.0.2\n", ""},
      {"--help", 0, "TCP port 2947", ""},
      {"--verbose --baud 1200", 2, "", "--baud '1200'"},
      {"--version --help", 2, "", "'--help'"},
      {"--help --version", 2, "", "'--version'"},
      // Qt's own options: Qt once took this one and aborted on the unknown platform.
      {"-platform xcb", 2, "", "'-platform'"},
      {"-style=fusion", 2, "", "'-style=fusion'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    // Should it start after all, it meets no ports and no screen, and timeout ends it.
    DataHome dataHome;
    const auto err = dataHome.path() / "stderr";
    const std::string command = "QT_QPA_PLATFORM=offscreen XDG_DATA_HOME=" +
                                dataHome.path().string() + " timeout 20 " KOVA_EXECUTABLE " " +
                                row.arguments + " 2>" + err.string();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    const int status = pclose(pipe);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.status);
    EXPECT_NE(out.find(row.outHas), std::string::npos) << out;
    const std::string errText = ReadAll(err);
    if (row.status == 0) {
      EXPECT_EQ(errText, "");
    } else {
      EXPECT_EQ(out, "");
      EXPECT_TRUE(errText.starts_with("simple-kova: ")) << errText;
      EXPECT_EQ(std::count(errText.begin(), errText.end(), '\n'), 1) << errText;
      EXPECT_NE(errText.find(row.errHas), std::string::npos) << errText;
    }
  }
}

}  // namespace
