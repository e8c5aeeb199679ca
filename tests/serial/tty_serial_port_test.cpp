// The serial port against real pseudo-terminals, driven by a real Qt event loop.

#include "serial/tty_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <utility>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "platform/qt/qt_readable_watch.h"
#include "server/descriptor_reserve.h"
#include "tests/another_user.h"
#include "tests/e2e/harness.h"

namespace kova {
namespace {

using e2e::PtyReceiver;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs the event loop until done() holds or a second has passed; returns done().
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 1000) {
  QElapsedTimer elapsed;
  elapsed.start();
  // The ticks wake the waiting loop so that done() is looked at without busy polling.
  QTimer tick;
  tick.start(10);
  while (!done() && elapsed.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return done();
}

void RunFor(int ms) {
  RunUntil([] { return false; }, ms);
}

// Whether another user (not root, whom an exclusive tty lets in) may open the device now.
bool OpensAsAnotherUser(const std::string& path) {
  if (chown(path.c_str(), AnotherUser, static_cast<gid_t>(-1)) != 0) return false;
  return AsAnotherUser([&] {
           const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
           return fd >= 0 ? 1 : 0;
         }) == 1;
}

std::chrono::microseconds ProcessCpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) { return t.tv_sec * 1'000'000L + t.tv_usec; };
  return std::chrono::microseconds(micros(usage.ru_utime) + micros(usage.ru_stime));
}

DevNullReserve spare{TtySerialPort::DescriptorsToOpen};

// A port with a watch of its own on Qt's event loop.
struct WatchedPort : QtReadableWatch, TtySerialPort {
  using Locks = std::vector<fs::path>;
  explicit WatchedPort(std::vector<std::string> devices = {}, std::string processes = "/proc",
                       std::function<std::vector<fs::path>()> locks = [] { return Locks{}; })
      : TtySerialPort(spare, *this, std::move(devices), processes, std::move(locks)) {}
};

struct Counted {
  WatchedPort port;
  int notifications = 0;
  Counted() {
    port.setOnComm([this] { ++notifications; });
  }
};

TEST(TtySerialPort, OpensOnlyTerminalsThatExistAndNobodyElseHolds) {
  std::deque<PtyReceiver> ptys(9);
  std::string pattern = "/tmp/kova-not-a-tty-XXXXXX";
  const int file = mkstemp(pattern.data());
  ASSERT_GE(file, 0);
  close(file);
  const fs::path tree = pattern + ".d";
  const std::string link = pattern + "-link";

  // What another user's open of the device meets: shut out while the port has it, let in
  // once the port has closed it.
  enum class Others { Unasked, ShutOut, LetInAfterClose };
  // Who else has a hand on the device: this process with the flag set, hidden among processes
  // the look cannot see; a flag left by a program that ended; a lock that appears between the
  // looks before and after the open, naming a process without the device open or one that has
  // it open (and may have set the flag too); a process holding it with neither lock nor flag;
  // none, but the port runs as another user.
  enum class Holder { None, FlagUnseen, StaleFlag, LockBetween, OpenerLockBetween, Opener, User };
  struct Row {
    std::string path;
    bool opens;
    OpenFailure failure;
    Others others = Others::Unasked;
    Holder holder = Holder::None;
    int flagAfter = -1;  // the exclusive flag once the port has given up; -1: not asked
    std::string note = {};
    std::string target = {};  // the device a link leads to
  };
  const auto pts = [&](std::size_t n) { return ptys[n].devicePath(); };
  const Row rows[] = {
      {pts(0), true, OpenFailure::None},
      {"/dev/pts/does-not-exist", false, OpenFailure::NoDevice},
      {pattern, false, OpenFailure::NotATerminal},
      {"/tmp", false, OpenFailure::NotATerminal},
      {pts(1), true, OpenFailure::None, Others::ShutOut},
      {pts(2), true, OpenFailure::None, Others::LetInAfterClose},
      {pts(3), false, OpenFailure::InUse, Others::Unasked, Holder::FlagUnseen, 1},
      {pts(4), true, OpenFailure::None, Others::LetInAfterClose, Holder::StaleFlag, -1,
       "exclusive flag with no holder cleared"},
      {pts(5), false, OpenFailure::InUse, Others::Unasked, Holder::LockBetween, 0},
      {pts(6), false, OpenFailure::InUse, Others::Unasked, Holder::OpenerLockBetween, 1},
      {pts(7), false, OpenFailure::InUse, Others::Unasked, Holder::Opener, 0},
      {pts(8), false, OpenFailure::PermissionDenied, Others::Unasked, Holder::User},
      {link, true, OpenFailure::None, Others::Unasked, Holder::None, -1, "", pts(0)},
  };
  ASSERT_EQ(symlink(pts(0).c_str(), link.c_str()), 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    fs::create_directories(tree / "proc/1");
    fs::create_directories(tree / "locks");
    const int flagged = open(row.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    const bool unseen = row.holder == Holder::FlagUnseen || row.holder == Holder::StaleFlag;
    if (unseen) ioctl(flagged, TIOCEXCL);
    if (row.holder == Holder::FlagUnseen) std::ofstream(tree / "proc/1/fd") << "";
    if (row.holder != Holder::FlagUnseen) close(flagged);
    pid_t child = -1;
    const auto holdInChild = [&] {
      if ((child = fork()) == 0) {
        open(row.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        pause();
      }
      ASSERT_TRUE(e2e::Eventually(2s, [&] { return ProcessHasOpen("/proc", child, row.path); }));
    };
    if (row.holder == Holder::Opener) holdInChild();
    int looks = 0;
    const bool between = row.holder == Holder::LockBetween || row.holder == Holder::OpenerLockBetween;
    const auto locks = [&] { return WatchedPort::Locks(between && ++looks == 2, tree / "locks"); };

    OpenAttempt attempt;
    if (row.holder == Holder::User) {
      attempt.failure = static_cast<OpenFailure>(AsAnotherUser([&] {
        WatchedPort port;
        port.openDevice(row.path);
        return static_cast<int>(port.lastOpen().failure);
      }));
    } else {
      WatchedPort port({}, unseen ? (tree / "proc").string() : "/proc", locks);
      while (!port.surveyHolders([] { return false; })) {
      }
      if (row.holder == Holder::OpenerLockBetween) holdInChild();
      std::ofstream(tree / "locks" / ("LCK.." + fs::path(row.path).filename().string()))
          << "  " << (child > 0 ? child : getppid()) << "\n";
      EXPECT_EQ(port.openDevice(row.path), row.opens);
      EXPECT_EQ(port.isOpen(), row.opens);
      attempt = port.lastOpen();
      const int other = open(row.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
      int flag = -1;
      ioctl(other, TIOCGEXCL, &flag);
      if (row.flagAfter >= 0) {
        EXPECT_EQ(flag, row.flagAfter);
      }
      if (row.others == Others::ShutOut) {
        EXPECT_FALSE(OpensAsAnotherUser(row.path));
        EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0) << "the port's lock is exclusive";
      }
      close(other);
    }
    EXPECT_EQ(attempt.failure, row.failure);
    EXPECT_EQ(attempt.target, row.target);
    EXPECT_NE(attempt.note.find(row.note), std::string::npos) << attempt.note;
    if (row.holder == Holder::Opener) {
      EXPECT_EQ(attempt.holder, child);
    }
    if (row.others == Others::LetInAfterClose) {
      EXPECT_TRUE(OpensAsAnotherUser(row.path));
    }
    if (row.holder == Holder::FlagUnseen) close(flagged);
    if (child > 0 && kill(child, SIGKILL) == 0) waitpid(child, nullptr, 0);
    fs::remove_all(tree);
  }
  unlink(pattern.c_str());
  unlink(link.c_str());
}

TEST(TtySerialPort, PortHeldByAnotherOpenerIsInUse) {
  PtyReceiver receiver;
  WatchedPort first;
  WatchedPort second;
  ASSERT_TRUE(first.openDevice(receiver.devicePath()));

  EXPECT_FALSE(second.openDevice(receiver.devicePath()));
  EXPECT_EQ(second.lastOpen().failure, OpenFailure::InUse);
  first.close();
  EXPECT_TRUE(second.openDevice(receiver.devicePath()));
}

TEST(TtySerialPort, GivenDevicesAreTheComPortsInTheirOrder) {
  PtyReceiver receiver;
  WatchedPort port{{"/dev/pts/does-not-exist", receiver.devicePath()}};
  EXPECT_TRUE(port.open(2));
  port.close();
  EXPECT_FALSE(port.open(3));
  EXPECT_EQ(port.lastOpen().failure, OpenFailure::NoSuchPort);
}

TEST(TtySerialPort, SetsTheReceiverLine) {
  if (geteuid() != 0) GTEST_SKIP() << "reading the settings of an exclusive tty needs root";
  PtyReceiver receiver;
  WatchedPort port;
  ASSERT_TRUE(port.openDevice(receiver.devicePath()));

  const int look = open(receiver.devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(look, 0);
  termios mode{};
  ASSERT_EQ(tcgetattr(look, &mode), 0);
  close(look);
  EXPECT_EQ(cfgetispeed(&mode), B4800);
  EXPECT_EQ(mode.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(mode.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(mode.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(mode.c_iflag & (ICRNL | IXON | ISTRIP), 0u);

  // Another speed, as the command line may give.
  WatchedPort fast;
  fast.setSpeed(115200);
  port.close();
  ASSERT_TRUE(fast.openDevice(receiver.devicePath()));
  const int again = open(receiver.devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(tcgetattr(again, &mode), 0);
  close(again);
  EXPECT_EQ(cfgetispeed(&mode), B115200);
}

TEST(TtySerialPort, ReadsEveryByteAsSentWithoutNotifyingAtThresholdZero) {
  PtyReceiver receiver;
  Counted counted;
  ASSERT_TRUE(counted.port.openDevice(receiver.devicePath()));
  const std::string sent("$GPGGA,1\r\n\r\x00\xff\x80z", 15);
  ASSERT_TRUE(receiver.write(sent));

  std::string text = "kept:";
  RunUntil([&] {
    counted.port.readAll(text);
    return text.size() >= 5 + sent.size();
  });

  EXPECT_EQ(text, "kept:" + sent);
  EXPECT_EQ(counted.notifications, 0);
}

TEST(TtySerialPort, NotifiesOnceTwoCharactersWaitAtThresholdTwo) {
  PtyReceiver receiver;
  Counted counted;
  ASSERT_TRUE(counted.port.openDevice(receiver.devicePath()));
  counted.port.setReceiveThreshold(2);

  ASSERT_TRUE(receiver.write("$"));
  RunFor(100);
  EXPECT_EQ(counted.notifications, 0) << "one character waiting";

  ASSERT_TRUE(receiver.write("G"));
  EXPECT_TRUE(RunUntil([&] { return counted.notifications > 0; })) << "two characters waiting";
  std::string text;
  counted.port.readAll(text);
  EXPECT_EQ(text, "$G");

  counted.port.setReceiveThreshold(0);
  ASSERT_TRUE(receiver.write("PGGA"));
  const int before = counted.notifications;
  RunFor(100);
  EXPECT_EQ(counted.notifications, before) << "threshold back at 0";
  text.clear();
  counted.port.readAll(text);
  EXPECT_EQ(text, "PGGA");
}

TEST(TtySerialPort, ClosingDropsWhatWasNotRead) {
  PtyReceiver receiver;
  WatchedPort port;
  port.setReceiveThreshold(2);
  ASSERT_TRUE(port.openDevice(receiver.devicePath()));
  ASSERT_TRUE(receiver.write("old text"));
  RunFor(100);

  port.close();
  EXPECT_FALSE(port.isOpen());
  ASSERT_TRUE(port.openDevice(receiver.devicePath()));
  ASSERT_TRUE(receiver.write("new"));
  std::string text;
  RunUntil([&] {
    port.readAll(text);
    return text.size() >= 3;
  });
  EXPECT_EQ(text, "new");
}

TEST(TtySerialPort, DeviceThatGoesAwayReadsEmptyAndIsLeftAlone) {
  for (int threshold : {0, 2}) {
    PtyReceiver receiver;
    Counted counted;
    counted.port.setReceiveThreshold(threshold);
    ASSERT_TRUE(counted.port.openDevice(receiver.devicePath()));
    ASSERT_TRUE(receiver.write("last words"));
    std::string text;
    RunUntil([&] {
      counted.port.readAll(text);
      return text.size() >= 10;
    });
    ASSERT_EQ(text, "last words") << "threshold " << threshold;
    receiver.unplug();

    // A hung-up device stays readable for poll; watching it would spin the loop.
    const auto cpuBefore = ProcessCpuTime();
    RunFor(300);
    EXPECT_LT(ProcessCpuTime() - cpuBefore, 150ms) << "threshold " << threshold;
    text.clear();
    counted.port.readAll(text);
    EXPECT_EQ(text, "") << "threshold " << threshold;
    EXPECT_TRUE(counted.port.isOpen()) << "left for the next scan to close";
  }
}

TEST(TtySerialPort, UnreadTextStopsGrowingAtItsLimit) {
  PtyReceiver receiver;
  WatchedPort port;
  port.setReceiveThreshold(2);
  ASSERT_TRUE(port.openDevice(receiver.devicePath()));
  const std::string burst(4000, 'x');

  // Nobody reads: the port stops taking characters and the device's own buffer fills, so the
  // writer eventually meets a full line.
  bool full = false;
  for (int i = 0; i < 100 && !full; ++i) {
    full = !receiver.write(burst);
    RunFor(5);
  }
  EXPECT_TRUE(full);
  std::string text;
  port.readAll(text);
  EXPECT_GE(text.size(), 64u * 1024);
  EXPECT_LT(text.size(), 100u * 4000);
}

}  // namespace
}  // namespace kova
