#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kova {

// A text as a message: control and non-ASCII bytes as escapes.
inline std::string Shown(std::string_view text) {
  std::string out = "input \"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace kova
