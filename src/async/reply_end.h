#pragma once

#include "signal_wait.h"

#include <QNetworkReply>

#include <stop_token>

namespace cordavelle::async {

// Resumes once `reply` has finished (true), or early when `stop` is requested (false). Like every
// wait of this folder it resumes from the event loop, so the continuation may delete the reply.
class ReplyEnd : public SignalWait {
public:
    explicit ReplyEnd(QNetworkReply &reply, std::stop_token stop = {}) : SignalWait(std::move(stop))
    {
        Wakeup *state = wakeup();
        if (reply.isFinished()) {
            state->finish(true);
        } else {
            QObject::connect(&reply, &QNetworkReply::finished, receiver(), [state] { state->finish(true); });
        }
    }
};

} // namespace cordavelle::async
