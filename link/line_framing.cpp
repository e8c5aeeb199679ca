#include "link/line_framing.h"

#include <utility>

namespace kova {

bool FrameLines(std::string& rxBuffer, const LineSink& procLine,
                const std::function<bool()>& outOfTime) {
  static constexpr std::string_view CrLf = "\r\n";
  const auto lastCrLf = rxBuffer.rfind(CrLf);
  std::string framed;
  if (lastCrLf != std::string::npos) {
    // One cut for the whole burst: the lines move out, the unfinished rest stays.
    const auto end = lastCrLf + CrLf.size();
    framed = std::move(rxBuffer);
    rxBuffer.assign(framed, end);
    framed.resize(end);
  }
  if (rxBuffer.size() > RxBufferCap) rxBuffer.erase(0, rxBuffer.size() - RxBufferCap);

  std::string_view rest = framed;
  while (!rest.empty()) {
    const auto end = rest.find(CrLf) + CrLf.size();
    procLine(rest.substr(0, end));
    rest.remove_prefix(end);
    if (!rest.empty() && outOfTime && outOfTime()) break;
  }
  if (rest.empty()) return false;
  framed.erase(0, framed.size() - rest.size());
  rxBuffer.insert(0, framed);
  return true;
}

}  // namespace kova
