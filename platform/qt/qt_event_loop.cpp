#include "platform/qt/qt_event_loop.h"

#include <chrono>
#include <utility>

#include <QCoreApplication>
#include <QTimer>

namespace kova {

namespace {
constexpr auto MaxWait = std::chrono::milliseconds(10);
}

void QtEventLoop::yield() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  // Waiting for more events would block until the next one, however far off; the guard's
  // own timeout is an event, so the wait ends after MaxWait at the latest. Waiting rather than
  // polling keeps a probe loop from spinning a core.
  QTimer guard;
  guard.setSingleShot(true);
  guard.setTimerType(Qt::PreciseTimer);
  guard.start(MaxWait);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventLoop::post(std::function<void()> task) {
  // A queued call waits behind the events already posted; one posted while they are delivered
  // waits for the next pass, so a task that posts itself again still lets the sockets in.
  QMetaObject::invokeMethod(&m_context, std::move(task), Qt::QueuedConnection);
}

}  // namespace kova
