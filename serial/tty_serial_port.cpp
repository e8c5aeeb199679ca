#include "serial/tty_serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "serial/com_ports.h"

namespace kova {

namespace {

// Past this many unread characters the port stops taking more from the device, whose own
// buffer then overflows as a UART's does; memory stays bounded if nobody reads.
constexpr size_t kReceivedLimit = 64 * 1024;

bool SetLineSettings(int fd, termios mode, speed_t speed) {
  cfmakeraw(&mode);
  mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  mode.c_cflag |= CS8 | CLOCAL | CREAD;
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // With at least one character asked for, a non-blocking read tells "nothing yet" (EAGAIN)
  // from a hang-up (0).
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  return cfsetispeed(&mode, speed) == 0 && cfsetospeed(&mode, speed) == 0 &&
         tcsetattr(fd, TCSANOW, &mode) == 0;
}

OpenFailure FailureOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return OpenFailure::PermissionDenied;
    case ENOENT:
    case ENXIO:
    case ENODEV: return OpenFailure::NoDevice;
    case EBUSY:
    case EWOULDBLOCK: return OpenFailure::InUse;
    case ENOTTY: return OpenFailure::NotATerminal;
    default: return OpenFailure::Refused;
  }
}

}  // namespace

TtySerialPort::TtySerialPort(DescriptorReserve& reserve, ReadableWatch& watch,
                             std::vector<std::string> devices, std::filesystem::path processes,
                             std::function<std::vector<std::filesystem::path>()> lockFolders)
    : m_reserve(reserve),
      m_watch(watch),
      m_survey(std::move(processes), getpid()),
      m_lockFolders(std::move(lockFolders)),
      m_devices(std::move(devices)) {
  m_watch.setOnReadable([this] { onReadable(); });
}

void TtySerialPort::setSpeed(int baud) {
  for (const Speed& speed : Speeds)
    if (speed.baud == baud) m_speed = speed.code;
}

TtySerialPort::~TtySerialPort() {
  close();
  m_watch.setOnReadable({});
}

bool TtySerialPort::isOpen() const { return m_fd >= 0; }

bool TtySerialPort::open(int comPort) {
  if (isOpen()) return false;
  m_reserve.release();
  m_lastOpen = {};
  // The ports folder is read at every open, so a receiver pinned meanwhile is found.
  std::optional<std::filesystem::path> device;
  const ComPortSources sources = ComPortSources::FromEnvironment();
  if (m_devices.empty())
    device = ComPortDevice(comPort, sources);
  else if (comPort >= 1 && static_cast<std::size_t>(comPort) <= m_devices.size())
    device = m_devices[static_cast<std::size_t>(comPort - 1)];
  if (!device) {
    m_lastOpen.failure = OpenFailure::NoSuchPort;
    if (m_devices.empty()) m_lastOpen.note = NoComPortsAdvice(sources);
  }
  const bool opened = device && openFree(device->string());
  m_reserve.refill();
  return opened;
}

bool TtySerialPort::openDevice(const std::string& path) {
  if (isOpen()) return false;
  m_reserve.release();
  m_lastOpen = {};
  const bool opened = openFree(path);
  m_reserve.refill();
  return opened;
}

bool TtySerialPort::surveyHolders(const std::function<bool()>& outOfTime) {
  if (!m_surveying) m_survey.restart();
  m_reserve.release();
  const bool complete = m_survey.advance(outOfTime);
  m_reserve.refill();
  m_surveying = !complete;
  return complete;
}

DeviceUse TtySerialPort::heldElsewhere(const std::string& path) const {
  return DeviceHeldElsewhere(path, m_lockFolders(), m_survey);
}

void TtySerialPort::addNote(const std::string& note) {
  if (note.empty() || m_lastOpen.note.find(note) != std::string::npos) return;
  if (!m_lastOpen.note.empty()) m_lastOpen.note += "; ";
  m_lastOpen.note += note;
}

bool TtySerialPort::heldBy(const DeviceUse& use) {
  addNote(use.reason);
  if (use.held) {
    m_lastOpen.failure = OpenFailure::InUse;
    m_lastOpen.holder = use.holder;
  }
  return use.held;
}

bool TtySerialPort::openFree(const std::string& path) {
  // Linux opens a tty whoever holds it, and opening alone may already disturb the holder, so
  // the holders that leave traces are looked for first.
  m_lastOpen.device = path;
  std::error_code error;
  if (std::filesystem::is_symlink(path, error))
    m_lastOpen.target = std::filesystem::weakly_canonical(path, error).string();
  if (heldBy(heldElsewhere(path))) return false;
  // TIOCEXCL set by a holder fails the open with EBUSY; root opens past it, so it is asked for
  // after the open as well.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    m_lastOpen.failure = FailureOf(errno);
    if (m_lastOpen.failure == OpenFailure::PermissionDenied) noteOwnership(path);
    return false;
  }
  int exclusive = 0;
  const bool flagFound = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  // A flag that no process holding the device, and no live lock, accounts for was left by a
  // program that ended without clearing it (killed, crashed); only a look that saw every
  // process can tell.
  if (flagFound && !m_survey.sawEveryProcess()) {
    m_lastOpen.failure = OpenFailure::InUse;
    ::close(fd);
    return false;
  }
  if (flagFound) addNote("exclusive flag with no holder cleared");
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    m_lastOpen.failure = FailureOf(errno);
    ::close(fd);
    return false;
  }
  // flock keeps out other programs that lock, TIOCEXCL those that open from now on (and are not
  // root). One that locked or opened it since the first look keeps it, its settings untouched.
  if (heldBy(heldElsewhere(path))) {
    backOut(fd, path, !flagFound, m_lastOpen.holder);
    return false;
  }
  const bool found = tcgetattr(fd, &m_foundMode) == 0;
  if (!found || !SetLineSettings(fd, m_foundMode, m_speed)) {
    m_lastOpen.failure = FailureOf(errno);
    if (found) tcsetattr(fd, TCSANOW, &m_foundMode);
    backOut(fd, path, !flagFound, 0);
    return false;
  }
  m_fd = fd;
  m_gone = false;
  m_received.clear();
  m_watch.setDescriptor(fd);
  watch(m_threshold > 0);
  return true;
}

void TtySerialPort::noteOwnership(const std::string& path) {
  struct stat device {};
  if (stat(path.c_str(), &device) != 0) return;
  const passwd* owner = getpwuid(device.st_uid);
  const group* group = getgrgid(device.st_gid);
  m_lastOpen.owner = owner != nullptr ? owner->pw_name : std::to_string(device.st_uid);
  m_lastOpen.group = group != nullptr ? group->gr_name : std::to_string(device.st_gid);
  m_lastOpen.mode = device.st_mode;
}

void TtySerialPort::backOut(int fd, const std::string& path, bool flagOurs, pid_t holder) {
  // A holder that opened the device since (as root, past the flag) may have set the flag too.
  if (flagOurs && (holder == 0 || !ProcessHasOpen(m_survey.processes(), holder, path)))
    ioctl(fd, TIOCNXCL);
  ::close(fd);
}

void TtySerialPort::close() {
  if (!isOpen()) return;
  m_watch.setEnabled(false);
  // The port is left as it was found, for whatever program uses it next.
  tcsetattr(m_fd, TCSANOW, &m_foundMode);
  ioctl(m_fd, TIOCNXCL);
  ::close(m_fd);
  m_fd = -1;
  m_gone = false;
  m_received.clear();
}

void TtySerialPort::readAll(std::string& text) {
  drainDevice();
  text += m_received;
  m_received.clear();
  watch(m_threshold > 0);
}

void TtySerialPort::setReceiveThreshold(int characters) {
  m_threshold = characters;
  watch(m_threshold > 0);
}

void TtySerialPort::setOnComm(std::function<void()> handler) { m_onComm = std::move(handler); }

void TtySerialPort::onReadable() {
  drainDevice();
  watch(m_threshold > 0);
  if (m_threshold > 0 && (m_gone || m_received.size() >= static_cast<size_t>(m_threshold)) &&
      m_onComm) {
    m_onComm();
  }
}

void TtySerialPort::drainDevice() {
  if (!isOpen() || m_gone) return;
  char chunk[4096];
  while (m_received.size() < kReceivedLimit) {
    const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
    if (n > 0) {
      m_received.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // End of file or an error: the device has gone (a receiver unplugged, a pty whose other
    // side closed). It is no longer watched, since it would read as ready forever.
    m_gone = true;
    return;
  }
}

void TtySerialPort::watch(bool on) {
  if (isOpen()) m_watch.setEnabled(on && !m_gone && m_received.size() < kReceivedLimit);
}

}  // namespace kova
