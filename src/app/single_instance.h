#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>

class QLocalServer;

namespace cordavelle {

class Clock;

// One helper per user and settings folder: the first launch listens on a private local socket;
// a later launch tells it to reopen and ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `socketPath` is the full path of the socket; a lock file beside it orders launches that
    // come at the same moment.
    explicit SingleInstance(QString socketPath, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket of the helper that keeps its settings in `preferencesFolder`: in the user's
    // private runtime folder, named after that folder so that helpers with separate homes (tests)
    // never meet.
    static QString socketPathFor(const QString &preferencesFolder);

    // True when this process is now the one instance. Otherwise the running one was asked to
    // reopen (or could not be reached) and false is returned.
    bool claim();

    // Waits until the process `pid` has ended, or `limit` has passed; true when it has ended.
    static QCoro::Task<bool> waitForProcessToEnd(qint64 pid, std::chrono::milliseconds limit, Clock &clock);

Q_SIGNALS:
    // Another launch asked for the program.
    void reopenRequested();

private:
    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};

} // namespace cordavelle
