#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// --device /dev/ttyS0, count times.
std::vector<const char*> Devices(int count) {
  std::vector<const char*> arguments;
  for (int i = 0; i < count; ++i) arguments.insert(arguments.end(), {"--device", "/dev/ttyS0"});
  return arguments;
}

// -1: the program runs with options.
TEST(ReadCommandLine, TakesEachOptionOrEndsWithAnAnswerOrOneLineOfRefusal) {
  const struct {
    std::vector<const char*> arguments;
    int status;
    Options options;
    const char* printed;  // standard output for status 0, standard error for status 2
  } rows[] = {
      {{}, -1, {}, ""},
      {{"--device", "/dev/ttyUSB1", "--device", "/dev/ttyS0"}, -1,
       {.devices = {"/dev/ttyUSB1", "/dev/ttyS0"}}, ""},
      {Devices(32), -1, {.devices = std::vector<std::string>(32, "/dev/ttyS0")}, ""},
      {Devices(33), 2, {}, "more than 32 devices"},
      {{"--baud", "9600"}, -1, {.baud = 9600}, ""},
      {{"--listen", "127.0.0.1"}, -1, {.listenAddress = "127.0.0.1"}, ""},
      {{"--listen", "::1"}, -1, {.listenAddress = "::1"}, ""},
      {{"--nmea-port", "10110"}, -1, {.nmeaPort = 10110}, ""},
      {{"--verbose"}, -1, {.verbose = true}, ""},
      {{"--baud=9600", "--listen=::1"}, -1, {.baud = 9600, .listenAddress = "::1"}, ""},
      {{"--verbose", "--"}, -1, {.verbose = true}, ""},
      {{"--", "--verbose"}, 2, {}, "unexpected argument '--verbose'"},
      {{"--verbose=yes"}, 2, {}, "--verbose takes no value"},
      {{"--device="}, 2, {}, "--device needs a path"},
      {{"-h"}, 0, {}, "  --baud N "},
      {{"--device"}, 2, {}, "--device needs a value"},
      {{"--device", ""}, 2, {}, "--device needs a path"},
      {{"--baud", "1200"}, 2, {}, "--baud '1200' is not one of 4800, 9600"},
      {{"--listen", "localhost"}, 2, {}, "--listen 'localhost' is not an IPv4 or IPv6 address"},
      {{"--nmea-port", "2947"}, 2, {}, "--nmea-port '2947' is not a TCP port from 1 to 65535"},
      {{"--nmea-port", "65536"}, 2, {}, "--nmea-port '65536' is not"},
      {{"--nmea-port", "0"}, 2, {}, "--nmea-port '0' is not"},
      {{"--nmea-port", "10110x"}, 2, {}, "--nmea-port '10110x' is not"},
      {{"--verbose", "yes"}, 2, {}, "unexpected argument 'yes'"},
      {{"--help", "--verbose"}, 2, {}, "unexpected argument '--verbose'"},
  };
  for (auto row : rows) {
    SCOPED_TRACE(row.arguments.empty() ? "(none)" : row.arguments.back());
    row.arguments.insert(row.arguments.begin(), "simple-kova");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const auto result = ReadCommandLine(static_cast<int>(row.arguments.size()),
                                        row.arguments.data(), out, err);
    std::string printed[2];
    for (int i = 0; i < 2; ++i) {
      std::rewind(i == 0 ? out : err);
      for (int c; (c = std::fgetc(i == 0 ? out : err)) != EOF;) printed[i] += static_cast<char>(c);
    }
    std::fclose(out);
    std::fclose(err);
    const int status = std::holds_alternative<int>(result) ? std::get<int>(result) : -1;
    EXPECT_EQ(status, row.status);
    if (status == -1) {
      EXPECT_EQ(std::get<Options>(result), row.options);
    }
    EXPECT_EQ(printed[status == 2 ? 0 : 1], "") << "the other stream stays empty";
    const std::string& text = printed[status == 2 ? 1 : 0];
    EXPECT_NE(text.find(row.printed), std::string::npos) << text;
    if (status == 2) {
      EXPECT_TRUE(text.starts_with("simple-kova: ")) << text;
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
  }
}

}  // namespace
