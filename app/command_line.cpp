#include "app/command_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "kova_version.h"
#include "serial/tty_serial_port.h"
#include "server/epoll_listener.h"

namespace {

constexpr int StatusUsage = 2;

constexpr const char* Help =
    "Usage: simple-kova [--device PATH]... [--baud N] [--listen ADDRESS] [--nmea-port PORT]\n"
    "                   [--verbose]\n"
    "       simple-kova --help | -h | --version\n"
    "Finds a GPS receiver on a serial port (COM1 to COM32), shows its position in a small\n"
    "window and answers position queries on TCP port 2947. COMn is the device that the link\n"
    "$XDG_DATA_HOME/simple-kova/ports/COMn points to (~/.local/share by default); without that\n"
    "folder, the host's serial devices in turn. Without a display it runs headless.\n"
    "\n"
    "  --device PATH     COM1, COM2 ... are the devices given, in this order (may be repeated)\n"
    "  --baud N          the only speed the scan opens ports at: 4800, 9600, 19200, 38400,\n"
    "                    57600 or 115200\n"
    "  --listen ADDRESS  the address port 2947 (and the --nmea-port) listens on (default:\n"
    "                    all); 127.0.0.1 or ::1 keeps the position on this machine\n"
    "  --nmea-port PORT  also passes the receiver's NMEA sentences, as received, to every\n"
    "                    client of TCP port PORT (1 to 65535, not 2947; on the --listen\n"
    "                    address), e.g. --nmea-port 10110 for NMEA-over-TCP clients\n"
    "  --verbose         one line per probe on standard error: the device, the speed, and\n"
    "                    why it is not the receiver\n"
    "  -h, --help        this text\n"
    "  --version         the version\n"
    "Without --baud the scan tries 4800 baud first; when no port shows a receiver there, the\n"
    "ports that sent characters are tried at 9600, 38400, 115200, 19200 and 57600. An option's\n"
    "value may also follow it as --option=value; -- ends the options.\n"
    "See simple-kova(1).\n";

int Refuse(std::FILE* err, const std::string& why) {
  std::fprintf(err, "simple-kova: %s (simple-kova --help lists the arguments it takes)\n",
               why.c_str());
  return StatusUsage;
}

bool IsSpeed(std::string_view text, int& baud) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), baud);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  for (const auto& speed : kova::TtySerialPort::Speeds)
    if (speed.baud == baud) return true;
  return false;
}

bool IsNmeaPort(std::string_view text, int& port) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535 &&
         port != kova::EpollListener::QueryPort;
}

bool IsAddress(const std::string& text) {
  in6_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1 ||
         inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

}  // namespace

std::variant<int, Options> ReadCommandLine(int argc, const char* const argv[], std::FILE* out,
                                           std::FILE* err) {
  const std::string_view first = argc > 1 ? argv[1] : "";
  if (argc == 2 && first == "--version") {
    std::fprintf(out, "simple-kova %d.%d.%d\n", kova::version::Major, kova::version::Minor,
                 kova::version::Revision);
    return 0;
  }
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::fputs(Help, out);
    return 0;
  }
  // A question is answered alone; the argument after it is the one that does not belong.
  if (first == "--version" || first == "--help" || first == "-h")
    return Refuse(err, "unexpected argument '" + std::string(argv[2]) + "'");
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view name = argv[i];
    // "--" ends the options, and the program takes no other arguments.
    if (name == "--") {
      if (i + 1 < argc)
        return Refuse(err, "unexpected argument '" + std::string(argv[i + 1]) + "'");
      break;
    }
    std::optional<std::string> joined;  // the value of --option=value
    if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      joined = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (name == "--verbose") {
      if (joined) return Refuse(err, "--verbose takes no value");
      options.verbose = true;
      continue;
    }
    const bool takesValue =
        name == "--device" || name == "--baud" || name == "--listen" || name == "--nmea-port";
    if (!takesValue) return Refuse(err, "unexpected argument '" + std::string(argv[i]) + "'");
    if (!joined && i + 1 == argc) return Refuse(err, std::string(name) + " needs a value");
    const std::string value = joined ? *joined : argv[++i];
    if (name == "--device") {
      if (value.empty()) return Refuse(err, "--device needs a path");
      options.devices.push_back(value);
    } else if (name == "--baud") {
      if (!IsSpeed(value, options.baud))
        return Refuse(err, "--baud '" + value +
                               "' is not one of 4800, 9600, 19200, 38400, 57600, 115200");
    } else if (name == "--nmea-port") {
      if (!IsNmeaPort(value, options.nmeaPort))
        return Refuse(err, "--nmea-port '" + value +
                               "' is not a TCP port from 1 to 65535 other than 2947");
    } else {
      if (!IsAddress(value))
        return Refuse(err, "--listen '" + value + "' is not an IPv4 or IPv6 address");
      options.listenAddress = value;
    }
  }
  if (options.devices.size() > 32) return Refuse(err, "more than 32 devices (COM1 to COM32)");
  return options;
}
