#include "bench/soak_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova::soak {
namespace {

struct SentencesCase {
  const char* name;
  std::string log;
  std::vector<std::string> sentences;
};

TEST(AppendSentencesTest, EndsEveryLineWithCrLfAndLeavesOutEmptyOnes) {
  const SentencesCase cases[] = {
      {"CR LF", "$GPGGA,1*00\r\n$GPRMC,2*00\r\n", {"$GPGGA,1*00\r\n", "$GPRMC,2*00\r\n"}},
      {"LF alone", "$GPGGA,1*00\n$GPRMC,2*00\n", {"$GPGGA,1*00\r\n", "$GPRMC,2*00\r\n"}},
      {"no line end at the end", "$GPGSA,1\n$GPRMC", {"$GPGSA,1\r\n", "$GPRMC\r\n"}},
      {"empty lines", "\r\n$GPGSA\r\n\r\n\n$GPGSV\n\n", {"$GPGSA\r\n", "$GPGSV\r\n"}},
      {"extra CRs at the end", "$GPGGA\r\r\n", {"$GPGGA\r\n"}},
      {"a CR inside stays", "$GP\rGGA\n", {"$GP\rGGA\r\n"}},
      {"a NUL byte stays",
       std::string("$GPGGA\r\n\0", 9),
       {"$GPGGA\r\n", std::string("\0\r\n", 3)}},
      {"nothing", "", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> sentences;
    AppendSentences(c.log, sentences);
    EXPECT_EQ(sentences, c.sentences) << c.name;
  }
}

TEST(AppendSentencesTest, AddsToWhatIsThere) {
  std::vector<std::string> sentences = {"$GPGGA\r\n"};
  AppendSentences("$GPRMC\n", sentences);
  EXPECT_EQ(sentences, (std::vector<std::string>{"$GPGGA\r\n", "$GPRMC\r\n"}));
}

TEST(StartAtReceiverMarkTest, TheLoopStartsWithTheFirstSentenceTheScanKnows) {
  std::vector<std::string> sentences = {"PuTTY log\r\n", "$GPRMC,1\r\n", "$GPGSV,2\r\n",
                                        "$GPGGA,3\r\n"};
  ASSERT_TRUE(StartAtReceiverMark(sentences));
  EXPECT_EQ(sentences, (std::vector<std::string>{"$GPGSV,2\r\n", "$GPGGA,3\r\n",
                                                 "PuTTY log\r\n", "$GPRMC,1\r\n"}));

  std::vector<std::string> none = {"$GPRMC,1\r\n", "$GNGGA,2\r\n", " $GPGGA\r\n"};
  EXPECT_FALSE(StartAtReceiverMark(none));
}

struct ShapeCase {
  const char* name;
  const char* request;
  const char* reply;
  bool wellFormed;
};

TEST(WellFormedReplyTest, HoldsTheFieldsAskedForInOrderAndNothingElse) {
  const ShapeCase cases[] = {
      {"all six", "pvahsm",
       "KOVA,P=48.117302 -11.516667,V=0.000000,A=545.400024,H=84.400002,S=1,M=3\r\n", true},
      {"letters in any order", "MP", "KOVA,P=0.000000 0.000000,M=0\r\n", true},
      {"no letter", "xyz", "KOVA\r\n", true},
      {"HELP asks P and H", "HELP", "KOVA,P=1.000000 2.000000,H=3.500000\r\n", true},
      {"negative whole number", "s", "KOVA,S=-3\r\n", true},
      {"field order swapped", "PM", "KOVA,M=3,P=1.000000 2.000000\r\n", false},
      {"field not asked for", "P", "KOVA,P=1.000000 2.000000,M=3\r\n", false},
      {"field missing", "PV", "KOVA,P=1.000000 2.000000\r\n", false},
      {"field twice", "Pp", "KOVA,P=1.000000 2.000000,P=1.000000 2.000000\r\n", false},
      {"one coordinate only", "P", "KOVA,P=1.000000\r\n", false},
      {"two spaces", "P", "KOVA,P=1.000000  2.000000\r\n", false},
      {"negative zero", "V", "KOVA,V=-0.000000\r\n", false},
      {"negative zero whole", "M", "KOVA,M=-0\r\n", false},
      {"five decimals", "A", "KOVA,A=1.00000\r\n", false},
      {"seven decimals", "A", "KOVA,A=1.0000000\r\n", false},
      {"leading zero", "H", "KOVA,H=01.000000\r\n", false},
      {"no integer digit", "H", "KOVA,H=.500000\r\n", false},
      {"decimals on a whole number", "S", "KOVA,S=1.0\r\n", false},
      {"comma as separator", "V", "KOVA,V=1,500000\r\n", false},
      {"lower-case field", "v", "KOVA,v=1.500000\r\n", false},
      {"no CR LF", "", "KOVA", false},
      {"LF alone", "", "KOVA\n", false},
      {"a second reply behind", "", "KOVA\r\nKOVA\r\n", false},
      {"wrong prefix", "", "KOVB\r\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WellFormedReply(c.request, c.reply), c.wellFormed) << c.name;
  }
}

PositionState At(float latitude, std::int16_t fixMode = 3) {
  PositionState state;
  state.Latitude = latitude;
  state.FixMode = fixMode;
  return state;
}

// Prefix 0 at 0 N, then sentences 1 to 5: 10, 10, 20, 10 and (only the fix mode changed) 10.
PrefixHistory FiveSentences() {
  PrefixHistory history(PositionState{});
  for (const auto& state : {At(10), At(10), At(20), At(10), At(10, 2)}) history.append(state);
  return history;
}

struct MatchCase {
  const char* name;
  const char* request;
  const char* reply;
  std::uint64_t from;
  std::optional<std::uint64_t> prefix;
};

TEST(PrefixHistoryTest, FindsTheFirstPrefixFromTheClientsLastThatGivesTheReply) {
  const MatchCase cases[] = {
      {"before any sentence", "P", "KOVA,P=0.000000 0.000000\r\n", 0, 0},
      {"first sentence", "P", "KOVA,P=10.000000 0.000000\r\n", 0, 1},
      {"same state after the next", "P", "KOVA,P=10.000000 0.000000\r\n", 2, 2},
      {"later, back at the same place", "P", "KOVA,P=10.000000 0.000000\r\n", 3, 4},
      {"a field the request leaves out changed", "P", "KOVA,P=10.000000 0.000000\r\n", 5, 5},
      {"back in time", "P", "KOVA,P=0.000000 0.000000\r\n", 1, std::nullopt},
      {"back before the client's last", "P", "KOVA,P=20.000000 0.000000\r\n", 4, std::nullopt},
      {"a state never written", "P", "KOVA,P=30.000000 0.000000\r\n", 0, std::nullopt},
      {"fix mode of the newest", "M", "KOVA,M=2\r\n", 0, 5},
      {"all fields of the newest", "pvahsm",
       "KOVA,P=10.000000 0.000000,V=0.000000,A=0.000000,H=0.000000,S=0,M=2\r\n", 0, 5},
      {"reply without CR LF", "P", "KOVA,P=10.000000 0.000000", 0, std::nullopt},
  };
  const PrefixHistory history = FiveSentences();
  ASSERT_EQ(history.newest(), 5u);
  for (const auto& c : cases) {
    EXPECT_EQ(history.match(c.request, c.reply, c.from), c.prefix) << c.name;
  }
}

TEST(PrefixHistoryTest, SentencesThatChangeNothingShareOneState) {
  PrefixHistory history(PositionState{});
  for (int i = 0; i < 1000; ++i) history.append(At(10));
  EXPECT_EQ(history.newest(), 1000u);
  EXPECT_EQ(history.statesKept(), 2u);
  EXPECT_EQ(history.match("P", "KOVA,P=10.000000 0.000000\r\n", 700), 700u);
}

TEST(PrefixHistoryTest, ForgettingKeepsEverythingFromThePrefixOn) {
  PrefixHistory history = FiveSentences();
  history.forgetBefore(4);
  // Prefix 4 starts the run back at 10 N; it and the newest stay.
  EXPECT_EQ(history.statesKept(), 2u);
  EXPECT_EQ(history.match("P", "KOVA,P=10.000000 0.000000\r\n", 4), 4u);
  EXPECT_EQ(history.match("M", "KOVA,M=2\r\n", 4), 5u);
  EXPECT_EQ(history.match("P", "KOVA,P=20.000000 0.000000\r\n", 4), std::nullopt);
  EXPECT_EQ(history.newestState().FixMode, 2);
}

}  // namespace
}  // namespace kova::soak
