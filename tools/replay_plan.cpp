#include "tools/replay_plan.h"

#include <optional>

namespace kova {

namespace {

struct Stamp {
  std::string_view kind;
  std::string_view time;
};

std::optional<Stamp> StampOf(std::string_view line) {
  // The GNSS talker of multi-constellation receivers stamps the second as the GPS one does.
  if (!line.starts_with("$GPRMC,") && !line.starts_with("$GPGGA,") &&
      !line.starts_with("$GNRMC,") && !line.starts_with("$GNGGA,"))
    return std::nullopt;
  std::string_view rest = line.substr(7);
  return Stamp{line.substr(0, 6), rest.substr(0, rest.find_first_of(",*"))};
}

}  // namespace

std::vector<std::string> PlanBursts(std::string_view log) {
  std::vector<std::string> bursts;
  // Empty until a stamped line opens the burst's second.
  std::optional<std::string> burstTime;
  std::vector<std::string_view> burstKinds;
  while (!log.empty()) {
    const size_t end = log.find('\n');
    std::string_view line = log.substr(0, end);
    log.remove_prefix(end == std::string_view::npos ? log.size() : end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;

    const auto stamp = StampOf(line);
    bool startsBurst = bursts.empty();
    if (stamp) {
      bool kindSeen = false;
      for (auto kind : burstKinds) kindSeen = kindSeen || kind == stamp->kind;
      if (kindSeen || (burstTime && *burstTime != stamp->time)) startsBurst = true;
    }
    if (startsBurst) {
      bursts.emplace_back();
      burstTime.reset();
      burstKinds.clear();
    }
    if (stamp) {
      burstTime = std::string(stamp->time);
      burstKinds.push_back(stamp->kind);
    }
    bursts.back().append(line).append("\r\n");
  }
  return bursts;
}

}  // namespace kova
