#include "link/line_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace kova {
namespace {

using Lines = std::vector<std::string>;

// Feeds each chunk as one notification's worth of characters and frames after each.
struct Framer {
  std::string rxBuffer;
  Lines lines;
  std::vector<std::size_t> bufferSeenByDecoder;
  void notify(std::string_view chunk) {
    rxBuffer += chunk;
    FrameLines(rxBuffer, [this](std::string_view line) {
      lines.emplace_back(line);
      bufferSeenByDecoder.push_back(rxBuffer.size());
    });
  }
};

TEST(FrameLines, CutsEveryCompleteCrLfLineInOrderExactlyAsReceived) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines lines;
    std::string rest;
  };
  const Case cases[] = {
      {"one sentence", {"$GPGSA,A,3,,*30\r\n"}, {"$GPGSA,A,3,,*30\r\n"}, ""},
      {"several sentences in one read",
       {"$GPRMC,1\r\n$GPGGA,2\r\n$GPGSA,3\r\n$GPG"},
       {"$GPRMC,1\r\n", "$GPGGA,2\r\n", "$GPGSA,3\r\n"},
       "$GPG"},
      {"CR and LF split across reads", {"$GPGGA,1\r", "\n$GP"}, {"$GPGGA,1\r\n"}, "$GP"},
      {"sentence split mid-text", {"$GPG", "GA,1", "\r\n"}, {"$GPGGA,1\r\n"}, ""},
      {"finished sentence framed by a notification bringing nothing",
       {"*1E\r\n$GPR", ""},
       {"*1E\r\n"},
       "$GPR"},
      {"lone CR ends nothing", {"$GPGGA,1\r$GPGGA,2\r"}, {}, "$GPGGA,1\r$GPGGA,2\r"},
      {"lone LF ends nothing", {"$GPGGA,1\n$GPGGA,2\n"}, {}, "$GPGGA,1\n$GPGGA,2\n"},
      {"CR CR LF keeps the extra CR", {"a\r\r\nb"}, {"a\r\r\n"}, "b"},
      {"LF CR LF ends after the CR LF", {"a\n\r\nb"}, {"a\n\r\n"}, "b"},
      {"empty lines", {"\r\n\r\n"}, {"\r\n", "\r\n"}, ""},
      {"NUL and high bytes pass through",
       {std::string("$GP\0\xff\r\n\0", 8)},
       {std::string("$GP\0\xff\r\n", 7)},
       std::string(1, '\0')},
  };
  for (const auto& c : cases) {
    Framer framer;
    for (const auto& chunk : c.chunks) framer.notify(chunk);
    EXPECT_EQ(framer.lines, c.lines) << c.name;
    EXPECT_EQ(framer.rxBuffer, c.rest) << c.name;
  }
}

TEST(FrameLines, RxBufferHoldsOnlyTheRestBeforeTheFirstLineReachesTheDecoder) {
  Framer framer;
  framer.notify("$GPRMC,1\r\n$GPGGA,2\r\n$GPGS");
  EXPECT_EQ(framer.bufferSeenByDecoder, (std::vector<std::size_t>{5, 5}));
}

TEST(FrameLines, CapKeepsTheNewestCharactersWhenNoLineEnds) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    Lines lines;
    std::string restStart;
    std::size_t restSize;
  };
  const std::size_t cap = 4096;
  const std::string lfOnly = "$GPGGA,1\n";  // 9 characters
  std::string lfBurst;
  while (lfBurst.size() < 2 * cap) lfBurst += lfOnly;
  const std::string atCap(cap, 'x');
  // 60,000 characters in 15 reads, each of its own letter: the newest capped rest and the last
  // read make the line.
  std::vector<std::string> longLine;
  for (char letter = 'a'; letter < 'a' + 15; ++letter) longLine.emplace_back(4000, letter);
  longLine.back() += "\r\n$GPGGA,2\r\n";
  const Case cases[] = {
      {"exactly the cap is kept whole", {atCap}, {}, "x", cap},
      {"one past the cap drops the oldest", {"y" + atCap}, {}, "x", cap},
      {"LF-only receiver", {lfBurst}, {}, lfBurst.substr(lfBurst.size() - cap, 8),
       cap},
      {"a CR kept at the cap still pairs with the next LF",
       {atCap + "\r", "\n$GP"},
       {atCap.substr(1) + "\r\n"},
       "$GP",
       3},
      {"a line after an overflow is framed whole",
       {atCap + "y", "\r\n$GPGGA,2\r\n"},
       {atCap.substr(1) + "y\r\n", "$GPGGA,2\r\n"},
       "",
       0},
      {"a 60,000-character line cut across notifications",
       longLine,
       {std::string(96, 'm') + std::string(4000, 'n') + std::string(4000, 'o') + "\r\n",
        "$GPGGA,2\r\n"},
       "",
       0},
      {"the rest after a line is capped too",
       {"$GPGGA,1\r\n" + atCap + "zz"},
       {"$GPGGA,1\r\n"},
       "x",
       cap},
  };
  for (const auto& c : cases) {
    Framer framer;
    for (const auto& chunk : c.chunks) framer.notify(chunk);
    EXPECT_EQ(framer.lines, c.lines) << c.name;
    EXPECT_EQ(framer.rxBuffer.size(), c.restSize) << c.name;
    EXPECT_EQ(framer.rxBuffer.substr(0, c.restStart.size()), c.restStart) << c.name;
  }
}

TEST(FrameLines, ALargeBurstArrivesWholeAndInOrder) {
  std::string burst;
  Lines sent;
  for (int i = 0; i < 20000; ++i) {
    sent.push_back("$GPGSV," + std::to_string(i) + "*00\r\n");
    burst += sent.back();
  }
  Framer framer;
  framer.notify(burst + "$GPR");
  EXPECT_EQ(framer.lines, sent);
  EXPECT_EQ(framer.rxBuffer, "$GPR");
}

}  // namespace
}  // namespace kova
