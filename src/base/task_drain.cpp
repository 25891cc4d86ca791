#include "task_drain.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace cordavelle {

void drainTask(const std::function<bool()> &running, std::chrono::milliseconds limit)
{
    QElapsedTimer waited;
    waited.start();
    while (running() && waited.elapsed() < limit.count()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
}

} // namespace cordavelle
