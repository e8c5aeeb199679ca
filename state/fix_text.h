#pragma once

#include <cstdint>
#include <string_view>

namespace kova {

// The fix line's text for a fix mode; empty for a mode that leaves the line as it was.
constexpr std::string_view FixText(std::int16_t fixMode) {
  switch (fixMode) {
    case 0:
    case 1: return "No GPS Fix";
    case 2: return "2D Fix";
    case 3: return "3D Fix";
    default: return {};
  }
}

}  // namespace kova
