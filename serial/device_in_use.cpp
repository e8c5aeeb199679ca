#include "serial/device_in_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <string_view>

namespace kova {

namespace {

// A process id written as text, as lock files and /proc entries hold it; 0 for anything else.
pid_t ProcessIdFrom(std::string_view text) {
  pid_t pid = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || pid > 100'000'000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool IsAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Whether a folder or file would not open for want of a descriptor: the device may then be held
// for all the check can tell.
bool OutOfDescriptors() { return errno == EMFILE || errno == ENFILE; }

bool HasOpen(const std::filesystem::path& processFolder, dev_t device) {
  DIR* folder = opendir((processFolder / "fd").c_str());
  // Another user's process, or one that has just ended, is passed over.
  if (folder == nullptr) return OutOfDescriptors();
  bool found = false;
  while (const dirent* entry = readdir(folder)) {
    struct stat target {};
    if (entry->d_name[0] != '.' && fstatat(dirfd(folder), entry->d_name, &target, 0) == 0 &&
        S_ISCHR(target.st_mode) && target.st_rdev == device) {
      found = true;
      break;
    }
  }
  closedir(folder);
  return found;
}

bool OpenedElsewhere(dev_t device, pid_t self, const std::filesystem::path& processes,
                     pid_t* holder) {
  DIR* all = opendir(processes.c_str());
  if (all == nullptr) return OutOfDescriptors();
  bool found = false;
  while (const dirent* entry = readdir(all)) {
    // Only the numbered folders are processes; "self" is this one under another name.
    const pid_t pid = ProcessIdFrom(entry->d_name);
    if (pid > 0 && pid != self && HasOpen(processes / entry->d_name, device)) {
      found = true;
      if (holder != nullptr) *holder = pid;
      break;
    }
  }
  closedir(all);
  return found;
}

bool LockedElsewhere(const std::string& name, pid_t self,
                     const std::vector<std::filesystem::path>& folders, pid_t* holder) {
  for (const auto& folder : folders) {
    const int lock = ::open((folder / ("LCK.." + name)).c_str(), O_RDONLY | O_CLOEXEC);
    if (lock < 0) {
      if (OutOfDescriptors()) return true;
      continue;
    }
    char text[32];
    const ssize_t size = ::read(lock, text, sizeof text);
    ::close(lock);
    // The usual form is the id right-aligned in ten characters and a newline. A lock that
    // names no live process was left behind by one that ended.
    std::string_view id(text, size > 0 ? static_cast<size_t>(size) : 0);
    id.remove_prefix(std::min(id.find_first_not_of(' '), id.size()));
    id = id.substr(0, id.find('\n'));
    const pid_t pid = ProcessIdFrom(id);
    if (pid > 0 && pid != self && IsAlive(pid)) {
      if (holder != nullptr) *holder = pid;
      return true;
    }
  }
  return false;
}

}  // namespace

bool DeviceHeldElsewhere(const std::filesystem::path& path, pid_t self,
                         const DeviceUseSources& sources, pid_t* holder) {
  struct stat device {};
  if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  // A ports-folder link is locked under the name of the device it leads to.
  std::error_code error;
  const auto name = std::filesystem::canonical(path, error).filename().string();
  return (!error && LockedElsewhere(name, self, sources.lockFolders, holder)) ||
         OpenedElsewhere(device.st_rdev, self, sources.processes, holder);
}

}  // namespace kova
