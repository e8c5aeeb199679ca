#pragma once

#include <functional>
#include <utility>

#include "platform/readable_watch.h"

namespace kova {

// Remembers what it watches; fire() plays the loop's call when the descriptor is readable.
class FakeReadableWatch : public ReadableWatch {
 public:
  void setDescriptor(int fd) override { m_fd = fd; }
  void setEnabled(bool enabled) override { m_enabled = enabled; }
  void setOnReadable(std::function<void()> handler) override { m_onReadable = std::move(handler); }

  int descriptor() const { return m_fd; }
  bool enabled() const { return m_enabled; }
  void fire() {
    if (m_enabled && m_onReadable) m_onReadable();
  }

 private:
  int m_fd = -1;
  bool m_enabled = false;
  std::function<void()> m_onReadable;
};

}  // namespace kova
