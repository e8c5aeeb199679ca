#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kova {

// Receives one framed line, CR LF included (the decoder's ProcGPSNMEA).
using LineSink = std::function<void(std::string_view line)>;

// Characters kept when no line ends in them: a device that never sends CR LF (LF-only line
// ends, binary protocols) must not grow the buffer without bound.
inline constexpr std::size_t RxBufferCap = 4096;

// Cuts every complete line (ending in CR LF; a lone CR or LF ends nothing) from the front of
// rxBuffer and hands each to procLine, in order, exactly as received. rxBuffer keeps only the
// unfinished rest, at most RxBufferCap characters (the newest), before the first line is handed
// on.
void FrameLines(std::string& rxBuffer, const LineSink& procLine);

}  // namespace kova
