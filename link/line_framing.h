#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kova {

// Receives one framed line, CR LF included (the decoder's ProcGPSNMEA).
using LineSink = std::function<void(std::string_view line)>;

// Characters kept after the last complete line: a device that never sends CR LF (LF-only line
// ends, binary protocols) must not grow the buffer without bound. Complete lines waiting their
// turn do not count.
inline constexpr std::size_t RxBufferCap = 4096;

// Cuts complete lines (ending in CR LF; a lone CR or LF ends nothing) from the front of rxBuffer
// and hands each to procLine, in order, exactly as received. Before the first line is handed on,
// rxBuffer keeps only the unfinished rest, at most RxBufferCap characters (the newest). After
// each line outOfTime, when given, may stop the cut; the lines not handed on then go back to the
// front of rxBuffer, in order. Returns whether complete lines are left waiting.
bool FrameLines(std::string& rxBuffer, const LineSink& procLine,
                const std::function<bool()>& outOfTime = {});

}  // namespace kova
