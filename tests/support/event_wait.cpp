#include "event_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>

namespace cordavelle::test {

bool processEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds realLimit)
{
    QElapsedTimer real;
    real.start();
    while (!done()) {
        if (real.elapsed() > realLimit.count()) {
            return false;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

void processEventsFor(std::chrono::milliseconds realTime)
{
    processEventsUntil([] { return false; }, realTime);
}

} // namespace cordavelle::test
