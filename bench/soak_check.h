#pragma once

// What the soak test holds every query reply against: the reply's shape, and the replies the
// program may give after some prefix of the sentences written on its receiver line.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/position_state.h"

namespace kova::soak {

// Appends every line of a receiver log to sentences as a receiver sends it: ended with CR LF
// whether the log has CR LF, LF alone or extra CRs, empty lines left out, all other bytes kept.
void AppendSentences(std::string_view log, std::vector<std::string>& sentences);

// Turns the loop of sentences so that it starts with the first one that begins with "$GPG", the
// text the scan looks for; false when none does.
bool StartAtReceiverMark(std::vector<std::string>& sentences);

// True when reply is exactly "KOVA", the field of each letter P, V, A, H, S, M that request
// holds (either case), in that order, and CR LF: "0.000000" numbers for P (two, one space
// between), V, A and H, whole numbers for S and M, never "-0", no leading zeros.
bool WellFormedReply(std::string_view request, std::string_view reply);

// The position state after each prefix of the sentences written so far (prefix 0: none yet).
// Prefixes that leave the state unchanged share one entry, and the oldest can be forgotten once
// no client can go back to them.
class PrefixHistory {
 public:
  explicit PrefixHistory(const PositionState& initial);

  // The state after one more sentence.
  void append(const PositionState& state);
  // The number of sentences appended, i.e. the longest prefix.
  std::uint64_t newest() const { return m_newest; }
  const PositionState& newestState() const { return m_runs.back().state; }
  // The smallest prefix k, from <= k <= newest(), whose state gives reply to request.
  std::optional<std::uint64_t> match(std::string_view request, std::string_view reply,
                                     std::uint64_t from) const;
  // Drops what only prefixes below prefix need; match() must then not be asked below it.
  void forgetBefore(std::uint64_t prefix);
  // Distinct states kept, which bounds the memory of the history.
  std::size_t statesKept() const { return m_runs.size(); }

 private:
  struct Run {
    std::uint64_t first;  // the first prefix with this state; it lasts until the next run's
    PositionState state;
  };
  std::deque<Run> m_runs;
  std::uint64_t m_newest = 0;
};

}  // namespace kova::soak
