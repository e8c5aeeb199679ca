#pragma once

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

// How the program is to run; every value defaults to what it does without arguments.
struct Options {
  // COM1, COM2 ... in this order; empty: the ports folder or the host's serial devices.
  std::vector<std::string> devices{};
  // 0: the scan tries the common speeds.
  int baud = 0;
  // The query port's address; empty: every address.
  std::string listenAddress{};
  // The TCP port that passes the receiver's sentences on; 0: none is opened.
  int nmeaPort = 0;
  // One line per probed port on standard error.
  bool verbose = false;

  bool operator==(const Options&) const = default;
};

// Answers --version and --help (-h), refuses a wrong argument with one line on err, so that none
// reaches Qt; or gives the options to run with. The exit status when the program is to end here.
std::variant<int, Options> ReadCommandLine(int argc, const char* const argv[], std::FILE* out,
                                           std::FILE* err);
