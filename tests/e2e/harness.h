#pragma once

// The tests' and benchmarks' shared helpers: the real program started in a sandbox of its own, a
// pseudo-terminal that plays the receiver, a TCP client for the query port, and the descriptor
// limit.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kova::e2e {

using namespace std::chrono_literals;

// Appends the NMEA checksum ("*hh") and CR LF to a sentence given as "$GPGGA,...".
std::string WithChecksum(std::string_view sentence);

// Raises this process's open-files limit to its hard limit, for thousands of clients.
void RaiseDescriptorLimit();

// Calls step about every 20 ms until it returns true or timeout passes; true when it did.
bool Eventually(std::chrono::milliseconds timeout, const std::function<bool()>& step);

// A receiver on a pseudo-terminal: the program opens its device, the test writes to it.
class PtyReceiver {
 public:
  PtyReceiver();
  ~PtyReceiver();
  PtyReceiver(const PtyReceiver&) = delete;
  PtyReceiver& operator=(const PtyReceiver&) = delete;

  const std::string& devicePath() const { return m_path; }
  // Writes all of text, waiting up to a second for room; false when it could not.
  bool write(std::string_view text);
  // Writes what the line has room for now, without waiting; returns how many characters.
  std::size_t writeSome(std::string_view text);
  // True while some program holds the device open.
  bool isOpenedByProgram() const;
  // The speed the program set on the line, in baud (a pseudo-terminal carries any); 0 for an
  // uncommon one.
  int lineSpeed() const;
  // Ends the device as an unplugged receiver does: the program's reads see a hang-up.
  void unplug();

 private:
  int m_master = -1;
  std::string m_path;
};

// A temporary user data folder ($XDG_DATA_HOME) holding the simple-kova/ports folder.
class DataHome {
 public:
  DataHome();
  ~DataHome();
  DataHome(const DataHome&) = delete;
  DataHome& operator=(const DataHome&) = delete;

  const std::filesystem::path& path() const { return m_root; }
  std::filesystem::path portsFolder() const { return m_root / "simple-kova" / "ports"; }
  // Makes COMn point to device (replacing an earlier link), as a user pins a receiver.
  void linkPort(int comPort, const std::string& device);

 private:
  std::filesystem::path m_root;
};

// The real executable, started with the given data folder, no display and the C locale.
// Killed by the destructor if still running.
class Program {
 public:
  // screen: the environment entries that say where to draw; by default the offscreen platform,
  // empty to let the program choose by itself. descriptorLimit: the program's open-files
  // limit, soft and hard alike; 0 keeps the test's own. arguments: its command line.
  explicit Program(const DataHome& dataHome,
                   std::vector<std::string> screen = {"QT_QPA_PLATFORM=offscreen"},
                   unsigned descriptorLimit = 0, std::vector<std::string> arguments = {});
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return m_pid; }
  // Waits until the query port accepts connections; false after timeout or if the program ended.
  bool waitUntilListening(std::chrono::milliseconds timeout = 5s);
  // True while the process has not ended.
  bool running();
  // Sends signal and waits up to timeout; the exit code, or -signal when a signal ended it,
  // or std::nullopt when it did not end in time (it is then killed).
  std::optional<int> stop(std::chrono::milliseconds timeout = 5s, int signal = SIGTERM);
  // User plus system CPU time the process has used so far.
  std::chrono::nanoseconds cpuTime() const;

 private:
  std::optional<int> reap(std::chrono::milliseconds timeout);

  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// One TCP connection to 127.0.0.1:2947.
class QueryClient {
 public:
  QueryClient() = default;
  ~QueryClient();
  QueryClient(const QueryClient&) = delete;
  QueryClient& operator=(const QueryClient&) = delete;

  bool connect(std::chrono::milliseconds timeout = 1s);
  // Sends request and returns the one reply line without its CR LF; std::nullopt when the
  // connection failed or no complete line came within timeout.
  std::optional<std::string> ask(std::string_view request, std::chrono::milliseconds timeout = 2s);

 private:
  int m_fd = -1;
  std::string m_pending;
};

// One request on a fresh connection.
std::optional<std::string> Query(std::string_view request, std::chrono::milliseconds timeout = 2s);

inline constexpr std::uint16_t kQueryPort = 2947;

}  // namespace kova::e2e
