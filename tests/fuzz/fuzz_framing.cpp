// Arbitrary bytes in arbitrary chunks through the line framing. Each chunk is a header byte
// (low six bits: length; top two: repeat the chunk 1, 8, 64 or 512 times, so the buffer cap is
// reached) followed by its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "link/line_framing.h"

namespace {

void Require(bool holds) {
  if (!holds) std::abort();
}

bool IsSubsequence(std::string_view part, std::string_view whole) {
  std::size_t at = 0;
  for (char c : part) {
    at = whole.find(c, at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string rxBuffer;
  std::string sent;
  std::string framed;
  const kova::LineSink collect = [&](std::string_view line) {
    Require(line.size() >= 2);
    Require(line.find("\r\n") == line.size() - 2);
    framed += line;
  };

  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t header = data[pos++];
    const std::size_t length = std::min<std::size_t>(header & 0x3fu, size - pos);
    const std::size_t repeats = std::size_t{1} << (3 * (header >> 6));
    const std::string_view bytes(reinterpret_cast<const char*>(data + pos), length);
    pos += length;

    std::string chunk;
    for (std::size_t i = 0; i < repeats; ++i) chunk += bytes;
    rxBuffer += chunk;
    sent += chunk;
    kova::FrameLines(rxBuffer, collect);

    Require(rxBuffer.size() <= kova::RxBufferCap);
    Require(rxBuffer.find("\r\n") == std::string::npos);
    // The rest is always the newest input.
    Require(std::string_view(sent).ends_with(rxBuffer));
  }
  // Nothing is invented or reordered; only a capped buffer drops characters.
  const std::string kept = framed + rxBuffer;
  if (kept.size() == sent.size()) {
    Require(kept == sent);
  } else {
    Require(kept.size() < sent.size() && IsSubsequence(kept, sent));
  }
  return 0;
}
