#include "serial/com_ports.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace kova {

namespace {

bool IsUsbReceiver(std::string_view name) {
  return name.starts_with("ttyACM") || name.starts_with("ttyUSB");
}

// Compares names so that runs of digits count as numbers: ttyS2 before ttyS10.
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (digitA && digitB) {
      size_t endA = i;
      size_t endB = j;
      while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
      while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
      auto numberA = a.substr(i, endA - i);
      auto numberB = b.substr(j, endB - j);
      while (numberA.size() > 1 && numberA.front() == '0') numberA.remove_prefix(1);
      while (numberB.size() > 1 && numberB.front() == '0') numberB.remove_prefix(1);
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
      if (numberA != numberB) return numberA < numberB;
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// Serial ports without hardware behind them still have tty class entries; their port type
// reads 0 (unknown).
bool IsPlaceholder(const std::filesystem::path& entry) {
  std::ifstream type(entry / "type");
  int value = -1;
  return type >> value && value == 0;
}

// The devices the kernel writes its console to ("tty0 ttyS0"): a serial console belongs to the
// administrator, and probing it would garble what it shows.
std::vector<std::string> ConsoleDevices(const std::filesystem::path& ttyClasses) {
  std::ifstream active(ttyClasses / "console" / "active");
  std::vector<std::string> names;
  for (std::string name; active >> name;) names.push_back(name);
  return names;
}

}  // namespace

std::filesystem::path PortsFolderFor(const char* xdgDataHome, const char* home) {
  std::filesystem::path dataHome;
  // The data folder must be absolute; anything else is ignored, as for an unset one.
  if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
    dataHome = xdgDataHome;
  } else if (home != nullptr && home[0] == '/') {
    dataHome = std::filesystem::path(home) / ".local" / "share";
  } else {
    return {};  // no data folder, so no ports folder
  }
  return dataHome / "simple-kova" / "ports";
}

ComPortSources ComPortSources::FromEnvironment() {
  ComPortSources sources;
  sources.portsFolder = PortsFolderFor(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  return sources;
}

std::vector<std::string> OrderSerialDevices(std::vector<std::string> names) {
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const bool usbA = IsUsbReceiver(a);
    const bool usbB = IsUsbReceiver(b);
    if (usbA != usbB) return usbA;
    return NaturalLess(a, b);
  });
  return names;
}

std::vector<std::string> HostSerialDevices(const std::filesystem::path& ttyClasses) {
  const auto consoles = ConsoleDevices(ttyClasses);
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ttyClasses, error)) {
    std::error_code missing;
    auto name = entry.path().filename().string();
    if (std::filesystem::exists(entry.path() / "device", missing) && !IsPlaceholder(entry.path()) &&
        std::find(consoles.begin(), consoles.end(), name) == consoles.end()) {
      names.push_back(std::move(name));
    }
  }
  return OrderSerialDevices(std::move(names));
}

std::optional<std::filesystem::path> ComPortDevice(int comPort, const ComPortSources& sources) {
  if (comPort < 1) return std::nullopt;
  const std::string name = "COM" + std::to_string(comPort);
  std::error_code error;
  if (std::filesystem::is_directory(sources.portsFolder, error)) {
    const auto entry = sources.portsFolder / name;
    // A link to a device that is not there yet still names the port; opening it fails.
    if (std::filesystem::is_symlink(entry, error) || std::filesystem::exists(entry, error)) {
      return entry;
    }
    return std::nullopt;
  }
  const auto devices = HostSerialDevices(sources.ttyClasses);
  if (static_cast<size_t>(comPort) > devices.size()) return std::nullopt;
  return sources.devices / devices[static_cast<size_t>(comPort) - 1];
}

std::string NoComPortsAdvice(const ComPortSources& sources) {
  const std::string device = "or give the receiver's device with --device PATH";
  if (sources.portsFolder.empty())
    return "the host lists no serial device: plug the receiver in, " + device;
  const std::string folder = sources.portsFolder.string();
  std::error_code error;
  if (std::filesystem::is_directory(sources.portsFolder, error))
    return folder + " holds no COM1 to COM32: link the receiver's device there as COM1, " + device;
  return "the host lists no serial device and " + folder +
         " does not exist: plug the receiver in, link its device as " + folder + "/COM1, " +
         device;
}

}  // namespace kova
