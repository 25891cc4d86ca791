#pragma once

#include "signal_wait.h"

#include <QProcess>

#include <stop_token>

namespace cordavelle::async {

// Resumes once `process` has finished or failed to start (true), or early when `stop` is
// requested (false). Build it before starting the process, so that an end reported from inside
// start() is not missed.
class ProcessEnd : public SignalWait {
public:
    explicit ProcessEnd(QProcess &process, std::stop_token stop = {}) : SignalWait(std::move(stop))
    {
        Wakeup *state = wakeup();
        QObject::connect(&process, &QProcess::finished, receiver(), [state] { state->finish(true); });
        QObject::connect(&process, &QProcess::errorOccurred, receiver(), [state](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                state->finish(true);
            }
        });
    }
};

} // namespace cordavelle::async
