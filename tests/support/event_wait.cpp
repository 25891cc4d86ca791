#include "event_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

namespace cordavelle::test {

bool processEventsUntil(const std::function<bool()> &done, std::chrono::milliseconds realLimit)
{
    QElapsedTimer real;
    real.start();
    // Ends each wait for events below at the latest after this, for conditions no event announces.
    // (processEvents() with a time limit never waits: it would spin and take a core from the
    // processes the test waits for.)
    QTimer tick;
    tick.start(std::chrono::milliseconds(10));
    while (!done()) {
        if (real.elapsed() > realLimit.count()) {
            return false;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void processEventsFor(std::chrono::milliseconds realTime)
{
    static_cast<void>(processEventsUntil([] { return false; }, realTime));
}

} // namespace cordavelle::test
