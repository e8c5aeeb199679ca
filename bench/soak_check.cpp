#include "bench/soak_check.h"

#include <algorithm>
#include <bit>

#include "server/query_reply.h"

namespace kova::soak {

namespace {

bool Asks(std::string_view request, char letter) {
  const char lower = static_cast<char>(letter - 'A' + 'a');
  return request.find(letter) != std::string_view::npos ||
         request.find(lower) != std::string_view::npos;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Takes one number of the pattern from the front of text: an optional "-", the integer digits
// (a lone 0 or no leading zero), and with decimals > 0 a "." and exactly that many digits.
bool TakeNumber(std::string_view& text, int decimals) {
  std::size_t at = 0;
  const bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  const std::size_t integerStart = at;
  while (at < text.size() && IsDigit(text[at])) ++at;
  const std::size_t integerDigits = at - integerStart;
  if (integerDigits == 0 || (integerDigits > 1 && text[integerStart] == '0')) return false;
  if (decimals > 0) {
    if (at >= text.size() || text[at] != '.') return false;
    ++at;
    const std::size_t fractionStart = at;
    while (at < text.size() && IsDigit(text[at])) ++at;
    if (at - fractionStart != static_cast<std::size_t>(decimals)) return false;
  }
  if (negative) {
    const auto shown = text.substr(integerStart, at - integerStart);
    if (shown.find_first_not_of("0.") == std::string_view::npos) return false;
  }
  text.remove_prefix(at);
  return true;
}

bool Take(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

bool SameState(const PositionState& a, const PositionState& b) {
  const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
  return bits(a.Latitude) == bits(b.Latitude) && bits(a.Longitude) == bits(b.Longitude) &&
         bits(a.Altitude) == bits(b.Altitude) && bits(a.Heading) == bits(b.Heading) &&
         bits(a.Speed) == bits(b.Speed) && bits(a.FixQuality) == bits(b.FixQuality) &&
         a.FixMode == b.FixMode;
}

}  // namespace

void AppendSentences(std::string_view log, std::vector<std::string>& sentences) {
  while (!log.empty()) {
    const auto end = log.find('\n');
    std::string_view line = log.substr(0, end);
    log.remove_prefix(end == std::string_view::npos ? log.size() : end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) sentences.push_back(std::string(line) + "\r\n");
  }
}

bool StartAtReceiverMark(std::vector<std::string>& sentences) {
  const auto first = std::find_if(sentences.begin(), sentences.end(),
                                  [](const std::string& s) { return s.starts_with("$GPG"); });
  if (first == sentences.end()) return false;
  std::rotate(sentences.begin(), first, sentences.end());
  return true;
}

bool WellFormedReply(std::string_view request, std::string_view reply) {
  if (!Take(reply, "KOVA")) return false;
  for (char letter : std::string_view("PVAHSM")) {
    if (!Asks(request, letter)) continue;
    const char field[] = {',', letter, '='};
    if (!Take(reply, std::string_view(field, sizeof field))) return false;
    const int decimals = letter == 'S' || letter == 'M' ? 0 : 6;
    if (!TakeNumber(reply, decimals)) return false;
    if (letter == 'P' && !(Take(reply, " ") && TakeNumber(reply, decimals))) return false;
  }
  return reply == "\r\n";
}

PrefixHistory::PrefixHistory(const PositionState& initial) { m_runs.push_back({0, initial}); }

void PrefixHistory::append(const PositionState& state) {
  ++m_newest;
  if (!SameState(m_runs.back().state, state)) m_runs.push_back({m_newest, state});
}

std::optional<std::uint64_t> PrefixHistory::match(std::string_view request,
                                                  std::string_view reply,
                                                  std::uint64_t from) const {
  // The run holding prefix `from`: the last one that starts at or before it.
  auto run = std::upper_bound(m_runs.begin(), m_runs.end(), from,
                              [](std::uint64_t prefix, const Run& r) { return prefix < r.first; });
  if (run != m_runs.begin()) --run;
  char expected[QueryReplyCapacity];
  for (; run != m_runs.end(); ++run) {
    const std::size_t length = BuildQueryReply(request, run->state, expected);
    if (std::string_view(expected, length) == reply) return std::max(run->first, from);
  }
  return std::nullopt;
}

void PrefixHistory::forgetBefore(std::uint64_t prefix) {
  while (m_runs.size() > 1 && m_runs[1].first <= prefix) m_runs.pop_front();
}

}  // namespace kova::soak
