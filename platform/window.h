#pragma once

#include <string_view>

namespace kova {

enum class Label { Status, Pos, HV, Fix };

// The few operations of the main window that the decoder and the scan use.
class Window {
 public:
  virtual ~Window() = default;
  // Sets a label's text (UTF-8); with repaintNow the label is redrawn before this returns.
  virtual void setLabel(Label label, std::string_view text, bool repaintNow) = 0;
  // Puts a received line at the top of the log box. The line carries its own CR LF and is
  // taken one character per byte.
  virtual void prependLog(std::string_view line) = 0;
};

}  // namespace kova
