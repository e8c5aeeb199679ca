#pragma once

#include <functional>

#include <QSocketNotifier>

#include "platform/readable_watch.h"

namespace kova {

// A QSocketNotifier on the Qt event loop. One notifier serves every descriptor watched, so it is
// never deleted under its own signal.
class QtReadableWatch : public ReadableWatch {
 public:
  QtReadableWatch();

  void setDescriptor(int fd) override;
  void setEnabled(bool enabled) override;
  void setOnReadable(std::function<void()> handler) override;

 private:
  QSocketNotifier m_notifier{QSocketNotifier::Read};
  std::function<void()> m_onReadable;
};

}  // namespace kova
