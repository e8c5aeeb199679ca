// The real program finding a receiver on a pseudo-terminal and following it, observed through
// the query port.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include <fstream>
#include <memory>
#include <thread>
#include <tuple>

#include "tests/e2e/harness.h"

namespace kova::e2e {
namespace {

const std::string kMunichGGA =
    WithChecksum("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,");
const std::string kMunichReply = "KOVA,P=48.117302 11.516667";
const std::string kSouthWestGGA =
    WithChecksum("$GPGGA,123520,4500.000,S,00730.000,W,1,08,0.9,58.0,M,22.0,M,,");
const std::string kSouthWestReply = "KOVA,P=-45.000000 -7.500000";

// Sends the sentences one by one, as a receiver does every second, until the reply to request
// is expected or timeout passes; the last reply seen.
std::string FeedUntilReply(PtyReceiver& receiver, const std::vector<std::string>& sentences,
                           std::string_view request, const std::string& expected,
                           std::chrono::milliseconds timeout) {
  std::string last = "(no reply)";
  Eventually(timeout, [&] {
    for (const auto& sentence : sentences) receiver.write(sentence);
    if (auto reply = Query(request, 1s)) last = *reply;
    return last == expected;
  });
  return last;
}

auto Flags(const termios& mode) {
  return std::tuple(mode.c_iflag, mode.c_oflag, mode.c_cflag, mode.c_lflag);
}

// The line settings of a device, looked at without holding it.
termios ModeOf(const std::string& device) {
  termios mode{};
  const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &mode);
  close(fd);
  return mode;
}

TEST(LinkE2E, ReceiverBehindMissingPortsIsFoundAndFollowed) {
  DataHome home;
  PtyReceiver silent;
  home.linkPort(1, silent.devicePath());
  const termios silentMode = ModeOf(silent.devicePath());
  PtyReceiver receiver;
  home.linkPort(3, receiver.devicePath());
  Program program(home);
  ASSERT_TRUE(program.waitUntilListening());

  EXPECT_EQ(FeedUntilReply(receiver, {kMunichGGA}, "p", kMunichReply, 5s), kMunichReply);
  EXPECT_TRUE(receiver.isOpenedByProgram());
  EXPECT_EQ(Flags(ModeOf(silent.devicePath())), Flags(silentMode)) << "probed, then put back";

  struct Row {
    std::vector<std::string> sentences;
    std::string request;
    std::string expected;
  };
  const Row rows[] = {
      {{WithChecksum("$GPRMC,123521,A,4807.038,N,01131.000,E,022.5,084.5,230394,003.1,W"),
        WithChecksum("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1")},
       "PVAHSM",
       "KOVA,P=48.117302 11.516667,V=22.500000,A=545.500000,H=84.500000,S=1,M=3"},
      {{kSouthWestGGA}, "hp", "KOVA,P=-45.000000 -7.500000,H=84.500000"},
      {{WithChecksum("$GPRMC,123522,V,4500.000,S,00730.000,W,000.0,000.0,230394,,")},
       "vm",
       "KOVA,V=0.000000,M=1"},
      {{WithChecksum("$GPGGA,123523,4807.038,N,01131.000,E,0,00,,,M,,M,,")},
       "SPA",
       "KOVA,P=48.117302 11.516667,A=0.000000,S=0"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FeedUntilReply(receiver, row.sentences, row.request, row.expected, 3s),
              row.expected)
        << row.sentences.front();
  }
  // A final line feed that comes alone is not held back.
  ASSERT_TRUE(receiver.write(kSouthWestGGA.substr(0, kSouthWestGGA.size() - 1)));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(receiver.write("\n"));
  EXPECT_EQ(FeedUntilReply(receiver, {}, "P", kSouthWestReply, 1s), kSouthWestReply);

  EXPECT_EQ(program.stop(), 0);
}

TEST(LinkE2E, PortsThatWillNotOpenAreSkipped) {
  DataHome home;
  // A file and ports held by another program (with a lock, then without), each holding what
  // would pass for a receiver.
  std::ofstream(home.path() / "not-a-tty") << kSouthWestGGA;
  home.linkPort(1, (home.path() / "not-a-tty").string());
  const std::string heldText = kSouthWestGGA + kSouthWestGGA;
  PtyReceiver held[2];
  int holders[2];
  termios heldModes[2];
  for (int i = 0; i < 2; ++i) {
    holders[i] = open(held[i].devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holders[i], 0);
    ASSERT_TRUE(i == 1 || flock(holders[i], LOCK_EX | LOCK_NB) == 0);
    ASSERT_EQ(tcgetattr(holders[i], &heldModes[i]), 0);
    ASSERT_TRUE(held[i].write(heldText));
    home.linkPort(2 + i, held[i].devicePath());
  }
  home.linkPort(4, "/dev/pts/unplugged");
  PtyReceiver receiver;
  home.linkPort(5, receiver.devicePath());
  Program program(home);
  ASSERT_TRUE(program.waitUntilListening());

  EXPECT_EQ(FeedUntilReply(receiver, {kMunichGGA}, "P", kMunichReply, 5s), kMunichReply);
  EXPECT_TRUE(program.running());
  for (int i = 0; i < 2; ++i) {
    termios mode{};
    tcgetattr(holders[i], &mode);
    EXPECT_EQ(Flags(mode), Flags(heldModes[i])) << "holder " << i;
    char text[256];
    const ssize_t got = read(holders[i], text, sizeof text);
    EXPECT_EQ(std::string(text, got > 0 ? static_cast<size_t>(got) : 0), heldText) << "holder " << i;
    close(holders[i]);
  }
  EXPECT_EQ(program.stop(), 0);
}

TEST(LinkE2E, AFifoPlantedAsTheReceiversLockByAnotherUserHoldsNothingUp) {
  if (geteuid() != 0) GTEST_SKIP() << "a lock folder of the test's own needs root";
  // The lock folder is the host's: the test plants into a mount of its own, seen only in its
  // own mount namespace, which the program inherits.
  ASSERT_EQ(unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777"), 0);
  PtyReceiver receiver;
  const std::string lock =
      "/run/lock/LCK.." + std::filesystem::path(receiver.devicePath()).filename().string();
  const pid_t planter = fork();
  if (planter == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    _exit(mkfifo(lock.c_str(), 0666) == 0 ? 0 : 1);
  }
  int planted = -1;
  ASSERT_EQ(waitpid(planter, &planted, 0), planter);
  ASSERT_TRUE(WIFEXITED(planted) && WEXITSTATUS(planted) == 0) << "nobody could not plant it";
  DataHome home;
  home.linkPort(1, receiver.devicePath());
  Program program(home);
  ASSERT_TRUE(program.waitUntilListening());

  EXPECT_EQ(FeedUntilReply(receiver, {kMunichGGA}, "P", kMunichReply, 5s), kMunichReply);
  EXPECT_EQ(program.stop(), 0);
}

TEST(LinkE2E, ReceiverThatFallsSilentIsSearchedForAgainAndOneUnpluggedLosesItsFixAtOnce) {
  DataHome home;
  auto first = std::make_unique<PtyReceiver>();
  home.linkPort(2, first->devicePath());
  Program program(home);
  ASSERT_TRUE(program.waitUntilListening());
  ASSERT_EQ(FeedUntilReply(*first, {kMunichGGA}, "P", kMunichReply, 5s), kMunichReply);
  // The scan that found the receiver has just ended and started the watchdog. A last line about
  // half-way to the first tick is still recent then, so the second tick rescans, some 23 s after
  // it; a watchdog of another interval would rescan well away from that.
  std::this_thread::sleep_for(7s);
  // The last line is read no earlier than this; its reply shows that it was read.
  const auto lastLine = std::chrono::steady_clock::now();
  ASSERT_EQ(FeedUntilReply(*first, {kSouthWestGGA}, "P", kSouthWestReply, 2s), kSouthWestReply);

  // Silent: the program keeps the port until its watchdog rescans, which finds the receiver
  // moved to another device under the same name.
  PtyReceiver second;
  home.linkPort(2, second.devicePath());
  const auto cpuBefore = program.cpuTime();
  ASSERT_TRUE(Eventually(40s, [&] { return second.isOpenedByProgram(); }))
      << "no rescan after the receiver fell silent";
  const auto silence = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - lastLine);
  // A receiver that falls silent is searched for again between 15 and 30 s after its last line.
  EXPECT_GT(silence, 15s) << silence.count() << " ms";
  EXPECT_LT(silence, 30s) << silence.count() << " ms";
  // Waiting on a silent device must not keep the program busy.
  EXPECT_LT(program.cpuTime() - cpuBefore, silence / 5);

  EXPECT_EQ(FeedUntilReply(second, {kMunichGGA}, "P", kMunichReply, 5s), kMunichReply);
  second.unplug();
  EXPECT_TRUE(Eventually(2s, [&] { return Query("M") == "KOVA,M=1"; })) << "M=0 until then";
  EXPECT_EQ(program.stop(), 0);
}

TEST(LinkE2E, ClientsUsingUpTheDescriptorsDoNotKeepALaterReceiverOut) {
  DataHome home;
  Program program(home, {"QT_QPA_PLATFORM=offscreen"}, 64);
  ASSERT_TRUE(program.waitUntilListening());
  // Clients come one by one until one is turned away: the descriptors are then used up.
  std::vector<std::unique_ptr<QueryClient>> clients;
  do {
    clients.push_back(std::make_unique<QueryClient>());
    ASSERT_TRUE(clients.back()->connect()) << clients.size();
  } while (clients.back()->ask("p", 1s));

  // The first scan found no port; the retry 10 s later finds the receiver plugged in since.
  PtyReceiver receiver;
  home.linkPort(1, receiver.devicePath());
  ASSERT_TRUE(Eventually(15s, [&] { return receiver.isOpenedByProgram(); }));
  std::string last;
  Eventually(3s, [&] {
    receiver.write(kMunichGGA);
    last = clients.front()->ask("p", 1s).value_or("(no reply)");
    return last == kMunichReply;
  });
  EXPECT_EQ(last, kMunichReply);
  EXPECT_EQ(program.stop(), 0);
}

}  // namespace
}  // namespace kova::e2e
