#include "platform/qt/qt_readable_watch.h"

namespace kova {

QtReadableWatch::QtReadableWatch() {
  QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] {
    if (m_onReadable) m_onReadable();
  });
}

void QtReadableWatch::setDescriptor(int fd) { m_notifier.setSocket(fd); }

void QtReadableWatch::setEnabled(bool enabled) {
  if (m_notifier.isValid()) m_notifier.setEnabled(enabled);
}

void QtReadableWatch::setOnReadable(std::function<void()> handler) {
  m_onReadable = std::move(handler);
}

}  // namespace kova
