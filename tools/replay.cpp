// simple-kova-replay: plays a recorded NMEA log on a pseudo-terminal at a receiver's pace, so the
// program can be run and tested without a receiver. Prints the device to open, then plays.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

#include "kova_version.h"
#include "tools/replay_plan.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// 4800 baud with a start and a stop bit per character.
constexpr double kCharactersPerSecond = 480.0;
// Written in small pieces so a reader sees characters trickle in as from a serial line.
constexpr size_t kPiece = 16;

constexpr const char* UsageText =
    "usage: simple-kova-replay [--loop] [--speed N] FILE\n"
    "  Plays FILE on a new pseudo-terminal, whose device it prints first.\n"
    "  --loop     start again at the end of the file\n"
    "  --speed N  play N times faster than a receiver (N > 0)\n"
    "  -h, --help this text\n"
    "  --version  the version\n";

int Usage() {
  std::fputs(UsageText, stderr);
  return 2;
}

// Nobody holds the other side open: the characters would only pile up for a later reader,
// whereas a receiver's characters on a closed port are simply lost.
bool NobodyListens(int master) {
  pollfd state{master, POLLOUT, 0};
  return poll(&state, 1, 0) == 1 && (state.revents & POLLHUP) != 0;
}

void Send(int master, std::string_view piece) {
  while (!piece.empty()) {
    const ssize_t n = write(master, piece.data(), piece.size());
    if (n > 0) {
      piece.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // a reader that does not keep up loses characters, as on a real line
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool loop = false;
  double speed = 1.0;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(UsageText, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("simple-kova-replay %d.%d.%d\n", kova::version::Major, kova::version::Minor,
                  kova::version::Revision);
      return 0;
    }
    if (arg == "--loop") {
      loop = true;
    } else if (arg == "--speed" && i + 1 < argc) {
      std::string_view value = argv[++i];
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), speed);
      if (error != std::errc() || end != value.data() + value.size() || !(speed > 0)) {
        return Usage();
      }
    } else if (!arg.starts_with("-") && file == nullptr) {
      file = argv[i];
    } else {
      return Usage();
    }
  }
  if (file == nullptr) return Usage();

  std::ifstream input(file, std::ios::binary);
  if (!input) {
    std::fprintf(stderr, "simple-kova-replay: cannot read %s\n", file);
    return 1;
  }
  const std::string log((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  const auto bursts = kova::PlanBursts(log);
  if (bursts.empty()) {
    std::fprintf(stderr, "simple-kova-replay: %s holds no lines\n", file);
    return 1;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("simple-kova-replay: pseudo-terminal");
    return 1;
  }
  const std::string device = ptsname(master);
  // Raw from the start: the line discipline must not change what a reader gets before it sets
  // its own mode. The mode stays after this descriptor closes.
  const int slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (slave < 0 || tcgetattr(slave, &mode) != 0) {
    std::perror("simple-kova-replay: pseudo-terminal");
    return 1;
  }
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  close(slave);

  std::printf("%s\n", device.c_str());
  std::fflush(stdout);

  const Seconds perCharacter(1.0 / (kCharactersPerSecond * speed));
  const Seconds perBurst(1.0 / speed);
  auto burstStart = Clock::now();
  do {
    for (const auto& burst : bursts) {
      std::string_view rest = burst;
      size_t sent = 0;
      while (!rest.empty()) {
        const auto piece = rest.substr(0, kPiece);
        if (!NobodyListens(master)) Send(master, piece);
        rest.remove_prefix(piece.size());
        sent += piece.size();
        std::this_thread::sleep_until(
            burstStart + std::chrono::duration_cast<Clock::duration>(perCharacter * sent));
      }
      // A burst longer than a second at this pace delays the next one, as on a real line.
      burstStart = std::max(
          burstStart + std::chrono::duration_cast<Clock::duration>(perBurst), Clock::now());
      std::this_thread::sleep_until(burstStart);
    }
  } while (loop);
  close(master);
  return 0;
}
