#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova {

// Where other programs' hold on a device shows.
struct DeviceUseSources {
  // One folder per process, each with an fd folder of links to what it has open.
  std::filesystem::path processes = "/proc";
  // Where serial programs leave their LCK..<device name> files, holding the locker's process id.
  std::vector<std::filesystem::path> lockFolders = {"/run/lock", "/var/lock"};
};

// What the in-use check found.
struct DeviceUse {
  bool held = false;
  // The process seen holding the device; 0 when none or not known.
  pid_t holder = 0;
  // For a person: why the device counts as held, or which lock files were passed over and why
  // ("/run/lock/LCK..ttyUSB0: not a regular file, not trusted"); empty when there is nothing to
  // say.
  std::string reason;
};

// One look at the devices that other processes have open, taken in parts so that a host whose
// processes hold many thousands of files costs no long pause. Between parts it holds no
// descriptor. It goes by the names the descriptors were opened under and never looks through
// one: a file of a hung file system mounted anywhere, /dev/shm included, would block for good.
class HolderSurvey {
 public:
  HolderSurvey(std::filesystem::path processes, pid_t self);

  // Forgets what an earlier look found and starts a new one.
  void restart();
  // Looks further, one open file at a time, until outOfTime() says stop; true once the look is
  // complete. Processes whose descriptors cannot be looked at are passed over, and so is every
  // open file not opened from /dev.
  bool advance(const std::function<bool()>& outOfTime);

  pid_t self() const { return m_self; }
  const std::filesystem::path& processes() const { return m_processes; }
  // The finished look's verdict on the device whose real path (links resolved) is given: who
  // holds it, or held for all the look could tell when it ran out of descriptors.
  DeviceUse use(const std::string& realPath) const;
  // Whether a look has completed that saw every other process's descriptors.
  bool sawEveryProcess() const { return m_complete && !m_blind && !m_hidden; }

 private:
  bool listProcesses();
  // Reads the current process's descriptors from where the last part stopped.
  bool readDescriptors(const std::function<bool()>& outOfTime);

  std::filesystem::path m_processes;
  pid_t m_self;
  bool m_listed = false;
  bool m_complete = false;
  bool m_blind = false;
  // Some process's descriptors could not be looked at (another user's, to a user not root).
  bool m_hidden = false;
  // Processes not yet looked at, the next one last.
  std::vector<pid_t> m_pending;
  // Where the current process's descriptor folder is to be read on; -1 before it is opened.
  off_t m_offset = -1;
  // The device names that other processes' descriptors were opened under.
  std::unordered_map<std::string, pid_t> m_holders;
};

// Whether process pid has a descriptor opened under the real path of the device at path.
bool ProcessHasOpen(const std::filesystem::path& processes, pid_t pid,
                    const std::filesystem::path& path);

// Whether a process other than self holds the character device at path: the survey saw it
// open, or a lock file for it names a live process. Lock files are read without blocking and
// without following links; one that is not a regular file holding a process id, or that neither
// root nor the named process's user owns, is not trusted.
// A path that is not a character device is held by nobody. Without a free descriptor to look
// with, the device counts as held.
DeviceUse DeviceHeldElsewhere(const std::filesystem::path& path,
                              const std::vector<std::filesystem::path>& lockFolders,
                              const HolderSurvey& survey);

}  // namespace kova
