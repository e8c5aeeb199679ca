#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kova {

// Where the COM port names come from on this host.
struct ComPortSources {
  // The user's ports folder: when it exists, its entries COM1..COM32 alone define the ports,
  // consoles included.
  std::filesystem::path portsFolder;
  // The host's tty classes (/sys/class/tty) and device folder (/dev), used without the folder.
  std::filesystem::path ttyClasses = "/sys/class/tty";
  std::filesystem::path devices = "/dev";

  // The sources of this process: the ports folder is simple-kova/ports in $XDG_DATA_HOME
  // (~/.local/share when unset, empty or not absolute).
  static ComPortSources FromEnvironment();
};

// $XDG_DATA_HOME/simple-kova/ports for the given environment values (either may be null);
// empty when neither names an absolute folder.
std::filesystem::path PortsFolderFor(const char* xdgDataHome, const char* home);

// The host's serial devices in COM order: USB receivers (ttyACM*, ttyUSB*) first, then the
// others, each group in natural order (ttyS2 before ttyS10).
std::vector<std::string> OrderSerialDevices(std::vector<std::string> names);

// The serial devices the host lists: tty class entries backed by a device, without the
// placeholders of serial ports that have no hardware and without the kernel's consoles.
std::vector<std::string> HostSerialDevices(const std::filesystem::path& ttyClasses);

// For a person, when no COM port exists: where they would come from, and what to do.
std::string NoComPortsAdvice(const ComPortSources& sources);

// The device of COMn, read afresh on every call; std::nullopt when COMn does not exist.
std::optional<std::filesystem::path> ComPortDevice(int comPort, const ComPortSources& sources);

}  // namespace kova
