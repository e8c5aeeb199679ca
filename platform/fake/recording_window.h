#pragma once

#include <array>
#include <deque>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace kova {

// Remembers what the window was told: each label's text and repaint requests, the log, newest
// first, and how much of the log the last finishBurst() showed.
class RecordingWindow : public Window {
 public:
  void setLabel(Label label, std::string_view text, bool repaintNow) override {
    auto& slot = m_labels[static_cast<std::size_t>(label)];
    slot.text = text;
    if (repaintNow) ++slot.repaints;
  }
  void prependLog(std::string_view line) override { m_log.emplace_front(line); }
  void finishBurst() override { m_logShown = m_log.size(); }

  const std::string& label(Label label) const { return m_labels[static_cast<std::size_t>(label)].text; }
  int repaints(Label label) const { return m_labels[static_cast<std::size_t>(label)].repaints; }
  const std::deque<std::string>& log() const { return m_log; }
  std::size_t logShown() const { return m_logShown; }

 private:
  struct LabelRecord {
    std::string text;
    int repaints = 0;
  };
  std::array<LabelRecord, 4> m_labels{};
  std::deque<std::string> m_log;
  std::size_t m_logShown = 0;
};

}  // namespace kova
