#include "serial/device_in_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kova {

namespace {

// The largest process id Linux hands out.
constexpr pid_t MaxProcessId = 4'194'304;
// Where the devices that processes hold are opened from.
constexpr std::string_view DeviceFolder = "/dev/";
// Lock files are a line long; a larger file is judged by its start.
constexpr std::size_t LockReadLimit = 128;

// A process id written as text, as lock files and /proc entries hold it; 0 for anything else.
pid_t ProcessIdFrom(std::string_view text) {
  pid_t pid = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || pid > MaxProcessId) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid <= MaxProcessId ? pid : 0;
}

// One that may not be signalled (another user's) is alive all the same.
bool IsAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Whether a folder or file would not open for want of a descriptor: the device may then be held
// for all the check can tell.
bool OutOfDescriptors() { return errno == EMFILE || errno == ENFILE; }

// The locker a lock file's contents name, 0 for none. Serial programs write the id as text,
// right-aligned in ten characters with a newline, some with more words after it or with CR LF;
// old ones wrote it as a 4-byte binary number, which as text would be far above any process id.
pid_t LockerIn(std::string_view text) {
  if (text.size() == sizeof(std::int32_t)) {
    std::int32_t binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    if (binary > 0 && binary <= MaxProcessId) return binary;
  }
  const auto start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return 0;
  text.remove_prefix(start);
  const auto digits = std::min(text.find_first_not_of("0123456789"), text.size());
  const std::string_view after = text.substr(digits);
  if (!after.empty() && after[0] != '\n' && after[0] != ' ' && !after.starts_with("\r\n")) return 0;
  return ProcessIdFrom(text.substr(0, digits));
}

struct LockRead {
  pid_t locker = 0;
  // Why the file names no locker, when it exists.
  std::string problem;
  bool noDescriptor = false;
  uid_t owner = 0;
};

// Anyone may write to the lock folders, so the file may be a FIFO that would block an open
// or read for ever, or a link to anything: neither is followed nor trusted.
LockRead ReadLock(const std::filesystem::path& file) {
  const int lock = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (lock < 0) {
    if (errno == ENOENT) return {};
    if (errno == ELOOP) return {0, "a symbolic link, not trusted"};
    if (OutOfDescriptors()) return {0, {}, true};
    return {0, std::string("cannot be read: ") + std::strerror(errno)};
  }
  struct stat kind {};
  char text[LockReadLimit];
  ssize_t size = -1;
  if (fstat(lock, &kind) == 0 && S_ISREG(kind.st_mode)) size = ::read(lock, text, sizeof text);
  ::close(lock);
  if (size < 0) return {0, "not a regular file, not trusted"};
  const pid_t locker = LockerIn(std::string_view(text, static_cast<std::size_t>(size)));
  if (locker == 0) return {0, "holds no process id, not trusted"};
  return {locker, {}, false, kind.st_uid};
}

// The users a process acts as (real, effective, saved, file system); empty when it is hidden.
std::vector<uid_t> ProcessUsers(const std::filesystem::path& status) {
  std::ifstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream fields(line.substr(4));
    std::vector<uid_t> users;
    for (uid_t user = 0; fields >> user;) users.push_back(user);
    return users;
  }
  return {};
}

// Anyone may plant a lock naming someone else's process, such as 1, to keep a port from the
// scan for ever: a lock counts only when root or a user the named process acts as wrote it (a
// setuid dialer writes as its effective user). A process hidden from this user gets the
// benefit of the doubt. Empty when the lock is trusted.
std::string Distrust(const LockRead& lock, const std::filesystem::path& processes) {
  if (lock.owner == 0) return {};
  const auto users = ProcessUsers(processes / std::to_string(lock.locker) / "status");
  if (users.empty() || std::find(users.begin(), users.end(), lock.owner) != users.end()) return {};
  return "not trusted: owned by user " + std::to_string(lock.owner) + ", process " +
         std::to_string(lock.locker) + " runs as user " + std::to_string(users.front());
}

void AddNote(std::string& reason, const std::filesystem::path& file, std::string_view note) {
  if (!reason.empty()) reason += "; ";
  reason += file.string() + ": ";
  reason += note;
}

int OpenDescriptorFolder(const std::filesystem::path& processes, pid_t pid) {
  const auto folder = processes / std::to_string(pid) / "fd";
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Calls seen with the name of every descriptor in the open fd folder fds that was opened from
// /dev, from offset on (-1: the start), until outOfTime says stop; offset is then where to go
// on. Only the links' text is read: looking through a link at a file of a hung network or FUSE
// file system, which anyone may mount under /dev/shm, would block for good.
bool ReadDeviceNames(int fds, off_t& offset, const std::function<void(std::string_view)>& seen,
                     const std::function<bool()>& outOfTime) {
  // Listing a folder of many thousand descriptors alone takes tens of milliseconds, so it is
  // read a little at a time, going on from where the last part stopped.
  if (offset >= 0 && lseek(fds, offset, SEEK_SET) < 0) return true;
  alignas(dirent64) char entries[16384];
  char name[PATH_MAX];
  ssize_t size = 0;
  while ((size = getdents64(fds, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < size;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      offset = entry->d_off;
      const ssize_t length =
          entry->d_name[0] == '.' ? -1 : readlinkat(fds, entry->d_name, name, sizeof name);
      const std::string_view text(name, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
      if (text.starts_with(DeviceFolder)) seen(text);
      if (outOfTime()) return false;
    }
  }
  return true;
}

// The device's path with every link resolved, as other processes' descriptors name it; empty
// when path is not a character device.
std::filesystem::path RealDevicePath(const std::filesystem::path& path) {
  struct stat device {};
  if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return {};
  std::error_code error;
  auto real = std::filesystem::canonical(path, error);
  return error ? std::filesystem::path() : real;
}

}  // namespace

bool ProcessHasOpen(const std::filesystem::path& processes, pid_t pid,
                    const std::filesystem::path& path) {
  const std::string real = RealDevicePath(path).string();
  const int fds = OpenDescriptorFolder(processes, pid);
  if (real.empty() || fds < 0) return false;
  bool open = false;
  off_t offset = -1;
  ReadDeviceNames(
      fds, offset, [&](std::string_view name) { open = open || name == real; },
      [] { return false; });
  ::close(fds);
  return open;
}

HolderSurvey::HolderSurvey(std::filesystem::path processes, pid_t self)
    : m_processes(std::move(processes)), m_self(self) {}

void HolderSurvey::restart() {
  m_listed = false;
  m_complete = false;
  m_blind = false;
  m_hidden = false;
  m_pending.clear();
  m_offset = -1;
  m_holders.clear();
}

bool HolderSurvey::advance(const std::function<bool()>& outOfTime) {
  if (!m_listed) {
    m_listed = true;
    if (!listProcesses()) return m_complete = true;
    if (outOfTime()) return m_complete = m_pending.empty();
  }
  while (!m_pending.empty()) {
    if (!readDescriptors(outOfTime)) return false;
    m_pending.pop_back();
    m_offset = -1;
    if (outOfTime()) break;
  }
  return m_complete = m_pending.empty();
}

bool HolderSurvey::listProcesses() {
  DIR* all = opendir(m_processes.c_str());
  if (all == nullptr) {
    m_blind = OutOfDescriptors();
    return false;
  }
  while (const dirent* entry = readdir(all)) {
    // Only the numbered folders are processes; "self" is this one under another name.
    const pid_t pid = ProcessIdFrom(entry->d_name);
    if (pid > 0 && pid != m_self) m_pending.push_back(pid);
  }
  closedir(all);
  return true;
}

bool HolderSurvey::readDescriptors(const std::function<bool()>& outOfTime) {
  const pid_t pid = m_pending.back();
  const int fds = OpenDescriptorFolder(m_processes, pid);
  // Another user's process, or one that has just ended, is passed over.
  if (fds < 0) {
    m_blind = m_blind || OutOfDescriptors();
    m_hidden = m_hidden || (errno != ENOENT && errno != ESRCH);
    return true;
  }
  const bool complete = ReadDeviceNames(
      fds, m_offset, [&](std::string_view name) { m_holders.try_emplace(std::string(name), pid); },
      outOfTime);
  ::close(fds);
  return complete;
}

DeviceUse HolderSurvey::use(const std::string& realPath) const {
  if (m_blind) return {true, 0, "no descriptor free to look at other processes"};
  const auto holder = m_holders.find(realPath);
  if (holder == m_holders.end()) return {};
  return {true, holder->second, "in use by process " + std::to_string(holder->second)};
}

DeviceUse DeviceHeldElsewhere(const std::filesystem::path& path,
                              const std::vector<std::filesystem::path>& lockFolders,
                              const HolderSurvey& survey) {
  const std::filesystem::path real = RealDevicePath(path);
  if (real.empty()) return {};
  DeviceUse use = survey.use(real.string());
  if (use.held) return use;
  // A ports-folder link is locked under the name of the device it leads to.
  const auto name = real.filename().string();
  for (const auto& folder : lockFolders) {
    const auto file = folder / ("LCK.." + name);
    const LockRead lock = ReadLock(file);
    if (lock.noDescriptor) return {true, 0, "no descriptor free to read " + file.string()};
    if (!lock.problem.empty()) {
      AddNote(use.reason, file, lock.problem);
    } else if (lock.locker == survey.self()) {
      continue;
    } else if (lock.locker > 0 && IsAlive(lock.locker)) {
      const std::string distrust = Distrust(lock, survey.processes());
      if (distrust.empty()) {
        return {true, lock.locker,
                "locked by process " + std::to_string(lock.locker) + " (" + file.string() + ")"};
      }
      AddNote(use.reason, file, distrust);
    } else if (lock.locker > 0) {
      AddNote(use.reason, file,
              "left by process " + std::to_string(lock.locker) + ", which has ended");
    }
  }
  return use;
}

}  // namespace kova
