#pragma once

#include <string_view>

namespace kova {

enum class Label { Status, Pos, HV, Fix };

// The few operations of the main window that the decoder and the scan use.
class Window {
 public:
  virtual ~Window() = default;
  // Sets a label's text (UTF-8); with repaintNow the label is redrawn by the next finishBurst(),
  // before any other event runs.
  virtual void setLabel(Label label, std::string_view text, bool repaintNow) = 0;
  // Puts a received line at the top of the log box, shown by the next finishBurst(). The line
  // carries its own CR LF and is taken one character per byte.
  virtual void prependLog(std::string_view line) = 0;
  // Ends a burst of received lines: the log takes their rows in one update and each label set
  // with repaintNow is redrawn once. No event runs between the lines of a burst, so this looks
  // the same as showing every line as it came.
  virtual void finishBurst() = 0;
};

}  // namespace kova
