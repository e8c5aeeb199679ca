// Starts the real program on a machine without a screen and ends it with a signal.
#include <signal.h>

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

// Program start-up under the sanitizers can take a while on a busy machine.
constexpr auto StartLimit = 60s;
constexpr auto ExitLimit = 10s;

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
  } rows[] = {{"SIGTERM", SIGTERM, {}},
              {"SIGINT", SIGINT, {}},
              {"SIGTERM, unreachable DISPLAY", SIGTERM, {"DISPLAY=:987"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // An empty port list: the program finds no serial ports and touches no device.
    DataHome dataHome;
    Program program(dataHome, row.screen);

    // The program is up once its query port answers; the offscreen platform plugin being
    // loaded then shows it chose to run headless.
    ASSERT_TRUE(program.waitUntilListening(StartLimit)) << "the query port never answered";
    EXPECT_TRUE(MapsLibrary(program.pid(), "libqoffscreen"));
    EXPECT_EQ(program.stop(ExitLimit, row.signal), 0);
  }
}

}  // namespace
