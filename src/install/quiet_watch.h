#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace cordavelle {

class Clock;

// Tells, while a transfer runs, when `kQuietLimit` has passed without a byte from its server, so
// that a slow answer reads as waiting rather than as a bar stuck at its start; and when bytes
// come again. The transfer's own time limit for silence stays as it is.
class QuietWatch {
public:
    static constexpr std::chrono::seconds kQuietLimit{10};

    // `onChange` gets "Waiting for <host>…" once the server has been quiet that long, and an
    // empty text when it is heard from again.
    QuietWatch(Clock &clock, std::function<void(const QString &)> onChange);
    // Stops watching.
    ~QuietWatch();
    QuietWatch(const QuietWatch &) = delete;
    QuietWatch &operator=(const QuietWatch &) = delete;

    // Starts watching the transfer from `server`; the previous one is no longer watched.
    void begin(const QUrl &server);
    // A byte came.
    void heard();
    // The transfer has ended, however it ended.
    void end();

private:
    struct Watch;
    static QCoro::Task<void> run(Clock &clock, std::shared_ptr<Watch> watch, std::stop_token stop);

    Clock &m_clock;
    std::function<void(const QString &)> m_onChange;
    std::shared_ptr<Watch> m_watch;
};

} // namespace cordavelle
