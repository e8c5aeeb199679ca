// Starts the real program on a machine without a screen and ends it with a signal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Program start-up under the sanitizers can take a while on a busy machine.
constexpr auto StartLimit = 60s;
constexpr auto ExitLimit = 10s;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kova-app-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

// The environment of this test without a screen, with XDG_DATA_HOME pointing at dataHome.
std::vector<std::string> HeadlessEnvironment(const fs::path& dataHome) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const bool dropped = text.starts_with("DISPLAY=") || text.starts_with("WAYLAND_DISPLAY=") ||
                         text.starts_with("QT_QPA_PLATFORM=") || text.starts_with("XDG_DATA_HOME=");
    if (!dropped) env.emplace_back(text);
  }
  env.push_back("XDG_DATA_HOME=" + dataHome.string());
  return env;
}

bool MapsLibrary(pid_t pid, std::string_view name) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const std::string text{std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>()};
  return text.find(name) != std::string::npos;
}

bool QueryPortAnswers() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(2947);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// Waits for the child to end; false when it has not ended by the limit.
bool WaitForExit(pid_t pid, std::chrono::steady_clock::duration limit, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(Program, RunsWithoutAScreenAndEndsWithSuccessOnASignal) {
  const struct {
    const char* name;
    int signal;
    const char* display;  // a display named but not reachable still leaves a running server
  } rows[] = {{"SIGTERM", SIGTERM, nullptr},
              {"SIGINT", SIGINT, nullptr},
              {"SIGTERM, unreachable DISPLAY", SIGTERM, ":987"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dataHome;
    // An empty port list: the program finds no serial ports and touches no device.
    fs::create_directories(dataHome.path() / "simple-kova" / "ports");

    std::vector<std::string> env = HeadlessEnvironment(dataHome.path());
    if (row.display != nullptr) env.push_back(std::string("DISPLAY=") + row.display);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = KOVA_PROGRAM;
    char* argv[] = {program.data(), nullptr};

    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    // The program is up once its query port answers; the offscreen platform plugin being
    // loaded then shows it chose to run headless.
    int status = 0;
    bool up = false;
    const auto deadline = std::chrono::steady_clock::now() + StartLimit;
    while (!up && std::chrono::steady_clock::now() < deadline) {
      ASSERT_NE(waitpid(pid, &status, WNOHANG), pid)
          << "the program ended on its own, wait status " << status;
      up = QueryPortAnswers();
      if (!up) std::this_thread::sleep_for(20ms);
    }
    if (!up) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the query port never answered";
    }
    EXPECT_TRUE(MapsLibrary(pid, "libqoffscreen"));

    kill(pid, row.signal);
    if (!WaitForExit(pid, ExitLimit, status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "the program did not end on " << row.name;
    }
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace
