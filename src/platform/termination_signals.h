#pragma once

#include <QObject>

class QSocketNotifier;

namespace cordavelle {

// Delivers SIGINT and SIGTERM to the event loop as `received`, so that a signal ends the helper
// the way a quit does instead of killing it outright. One instance at a time; while it exists the
// two signals no longer end the process by themselves.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    // Puts the signals' previous handling back.
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readPending();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cordavelle
