#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace kova::e2e {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::string WithChecksum(std::string_view sentence) {
  unsigned sum = 0;
  for (char c : sentence.substr(1)) sum ^= static_cast<unsigned char>(c);
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "*%02X\r\n", sum);
  return std::string(sentence) + suffix;
}

bool Eventually(std::chrono::milliseconds timeout, const std::function<bool()>& step) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (step()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

PtyReceiver::PtyReceiver() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) Fail("pseudo-terminal");
  m_path = ptsname(m_master);
  // Raw from the start, so that nothing written before the program sets its own mode is
  // changed by the line discipline. The mode outlives this descriptor.
  int slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) Fail("open " + m_path);
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  ::close(slave);
}

PtyReceiver::~PtyReceiver() { unplug(); }

bool PtyReceiver::write(std::string_view text) {
  const auto deadline = Clock::now() + 1s;
  while (!text.empty() && m_master >= 0) {
    ssize_t n = ::write(m_master, text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd room{m_master, POLLOUT, 0};
    if (poll(&room, 1, MillisecondsLeft(deadline)) <= 0) return false;
  }
  return text.empty();
}

std::size_t PtyReceiver::writeSome(std::string_view text) {
  const ssize_t n = m_master >= 0 ? ::write(m_master, text.data(), text.size()) : -1;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool PtyReceiver::isOpenedByProgram() const {
  // The master reports a hang-up while nobody holds the other side open.
  pollfd state{m_master, POLLOUT, 0};
  return m_master >= 0 && poll(&state, 1, 0) == 1 && (state.revents & POLLHUP) == 0;
}

int PtyReceiver::lineSpeed() const {
  // The master reads the settings of the terminal side.
  termios mode{};
  if (m_master < 0 || tcgetattr(m_master, &mode) != 0) return 0;
  constexpr struct {
    speed_t code;
    int baud;
  } speeds[] = {{B4800, 4800},   {B9600, 9600},   {B19200, 19200},
                {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (const auto& speed : speeds)
    if (cfgetispeed(&mode) == speed.code) return speed.baud;
  return 0;
}

void PtyReceiver::unplug() {
  if (m_master >= 0) ::close(m_master);
  m_master = -1;
}

DataHome::DataHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kova-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
  m_root = pattern;
  std::filesystem::create_directories(portsFolder());
}

DataHome::~DataHome() {
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

void DataHome::linkPort(int comPort, const std::string& device) {
  const auto entry = portsFolder() / ("COM" + std::to_string(comPort));
  std::filesystem::remove(entry);
  std::filesystem::create_symlink(device, entry);
}

Program::Program(const DataHome& dataHome, std::vector<std::string> screen,
                 unsigned descriptorLimit, std::vector<std::string> arguments) {
  std::vector<std::string> settings = std::move(screen);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto name = text.substr(0, text.find('='));
    if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "XDG_DATA_HOME" &&
        name != "QT_QPA_PLATFORM" && name != "LC_ALL" && name != "LANG") {
      settings.emplace_back(text);
    }
  }
  settings.push_back("XDG_DATA_HOME=" + dataHome.path().string());
  settings.push_back("LC_ALL=C.UTF-8");
  std::vector<char*> envp;
  for (auto& s : settings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string executable = KOVA_EXECUTABLE;
  std::vector<char*> argv{executable.data()};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  m_pid = fork();
  if (m_pid < 0) Fail("fork");
  if (m_pid == 0) {
    // A test that dies must not leave the program holding the query port.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const rlimit limit{descriptorLimit, descriptorLimit};
    if (descriptorLimit > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
    // Started as from a terminal, whatever the test runner ignores.
    signal(SIGHUP, SIG_DFL);
    int devNull = ::open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    execve(argv[0], argv.data(), envp.data());
    std::perror(argv[0]);
    _exit(127);
  }
}

Program::~Program() {
  if (running()) {
    kill(m_pid, SIGKILL);
    reap(5s);
  }
}

std::optional<int> Program::reap(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!m_status) {
    int status = 0;
    pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(10ms);
  }
  return m_status;
}

bool Program::running() { return !reap(0ms); }

bool Program::waitUntilListening(std::chrono::milliseconds timeout) {
  return Eventually(timeout, [this] {
    if (!running()) return true;
    QueryClient probe;
    return probe.connect(200ms);
  }) && running();
}

std::optional<int> Program::stop(std::chrono::milliseconds timeout, int signal) {
  if (running()) kill(m_pid, signal);
  if (auto status = reap(timeout)) return status;
  kill(m_pid, SIGKILL);
  reap(5s);
  return std::nullopt;
}

std::chrono::nanoseconds Program::cpuTime() const {
  std::ifstream file("/proc/" + std::to_string(m_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The fields after the command name, which may itself hold spaces and parentheses.
  auto end = text.rfind(')');
  if (end == std::string::npos) return {};
  unsigned long long userTicks = 0;
  unsigned long long systemTicks = 0;
  if (std::sscanf(text.c_str() + end + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &userTicks,
                  &systemTicks) != 2) {
    return {};
  }
  const auto ticksPerSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
  return std::chrono::nanoseconds((userTicks + systemTicks) * 1'000'000'000ULL / ticksPerSecond);
}

QueryClient::~QueryClient() {
  if (m_fd >= 0) ::close(m_fd);
}

bool QueryClient::connect(std::chrono::milliseconds timeout) {
  m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kQueryPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd done{m_fd, POLLOUT, 0};
  int error = 0;
  socklen_t size = sizeof error;
  return poll(&done, 1, static_cast<int>(timeout.count())) == 1 &&
         getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

std::optional<std::string> QueryClient::ask(std::string_view request,
                                            std::chrono::milliseconds timeout) {
  if (m_fd < 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  while (!request.empty()) {
    ssize_t n = send(m_fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (n > 0) {
      request.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
    pollfd room{m_fd, POLLOUT, 0};
    if (poll(&room, 1, MillisecondsLeft(deadline)) <= 0) return std::nullopt;
  }
  while (true) {
    if (auto end = m_pending.find("\r\n"); end != std::string::npos) {
      std::string line = m_pending.substr(0, end);
      m_pending.erase(0, end + 2);
      return line;
    }
    pollfd ready{m_fd, POLLIN, 0};
    if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) return std::nullopt;
    char chunk[512];
    ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return std::nullopt;
    if (n > 0) m_pending.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<std::string> Query(std::string_view request, std::chrono::milliseconds timeout) {
  QueryClient client;
  if (!client.connect(timeout)) return std::nullopt;
  return client.ask(request, timeout);
}

}  // namespace kova::e2e
