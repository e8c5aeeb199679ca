#pragma once

#include <sys/types.h>

#include <filesystem>
#include <vector>

namespace kova {

// Where other programs' hold on a device shows.
struct DeviceUseSources {
  // One folder per process, each with an fd folder of links to what it has open.
  std::filesystem::path processes = "/proc";
  // Where serial programs leave their LCK..<device name> files, holding the locker's process id.
  std::vector<std::filesystem::path> lockFolders = {"/run/lock", "/var/lock"};
};

// True when a process other than self has the character device at path open, or a lock file
// for it names a live process other than self. Processes whose descriptors cannot be looked at
// are passed over; a path that is not a character device is held by nobody. Without a free
// descriptor to look with, the device counts as held. holder, when given, gets the process
// found.
bool DeviceHeldElsewhere(const std::filesystem::path& path, pid_t self,
                         const DeviceUseSources& sources, pid_t* holder = nullptr);

}  // namespace kova
