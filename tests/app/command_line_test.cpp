#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Answer {
  std::variant<int, Options> result;
  std::string out, err;
};

Answer Read(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "simple-kova");
  char* outText = nullptr;
  char* errText = nullptr;
  std::size_t outSize = 0, errSize = 0;
  std::FILE* out = open_memstream(&outText, &outSize);
  std::FILE* err = open_memstream(&errText, &errSize);
  Answer answer{ReadCommandLine(static_cast<int>(arguments.size()), arguments.data(), out, err),
                {}, {}};
  std::fclose(out);
  std::fclose(err);
  answer.out = outText;
  answer.err = errText;
  std::free(outText);
  std::free(errText);
  return answer;
}

TEST(ReadCommandLine, TakesEachOptionAndKeepsTheDefaultsOfTheOthers) {
  const struct {
    std::vector<const char*> arguments;
    Options options;
  } rows[] = {
      {{}, {}},
      {{"--device", "/dev/ttyUSB1", "--device", "/dev/ttyS0"},
       {.devices = {"/dev/ttyUSB1", "/dev/ttyS0"}}},
      {{"--baud", "9600"}, {.baud = 9600}},
      {{"--baud", "115200"}, {.baud = 115200}},
      {{"--listen", "127.0.0.1"}, {.listenAddress = "127.0.0.1"}},
      {{"--listen", "::1"}, {.listenAddress = "::1"}},
      {{"--verbose"}, {.verbose = true}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.empty() ? "(none)" : row.arguments[0]);
    const Answer answer = Read(row.arguments);
    ASSERT_TRUE(std::holds_alternative<Options>(answer.result)) << answer.err;
    EXPECT_EQ(std::get<Options>(answer.result), row.options);
    EXPECT_EQ(answer.out + answer.err, "");
  }
}

TEST(ReadCommandLine, AnswersHelpOnStandardOutputAndRefusesWrongValuesWithOneLine) {
  const struct {
    std::vector<const char*> arguments;
    int status;
    const char* outHas;
    const char* errHas;
  } rows[] = {
      {{"-h"}, 0, "--baud N", ""},
      {{"--device"}, 2, "", "--device needs a value"},
      {{"--device", ""}, 2, "", "--device needs a path"},
      {{"--baud", "1200"}, 2, "", "--baud '1200' is not one of 4800, 9600"},
      {{"--baud", "9600x"}, 2, "", "--baud '9600x'"},
      {{"--baud"}, 2, "", "--baud needs a value"},
      {{"--listen", "localhost"}, 2, "", "--listen 'localhost' is not an IPv4 or IPv6 address"},
      {{"--listen", "127.0.0.1:2947"}, 2, "", "--listen '127.0.0.1:2947'"},
      {{"--verbose", "yes"}, 2, "", "unexpected argument 'yes'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.back());
    const Answer answer = Read(row.arguments);
    ASSERT_TRUE(std::holds_alternative<int>(answer.result));
    EXPECT_EQ(std::get<int>(answer.result), row.status);
    EXPECT_NE(answer.out.find(row.outHas), std::string::npos) << answer.out;
    EXPECT_NE(answer.err.find(row.errHas), std::string::npos) << answer.err;
    if (row.status != 0) {
      EXPECT_EQ(answer.out, "");
      EXPECT_TRUE(answer.err.starts_with("simple-kova: ")) << answer.err;
      EXPECT_EQ(std::count(answer.err.begin(), answer.err.end(), '\n'), 1) << answer.err;
    }
  }
}

}  // namespace
