#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>

class QLocalServer;

namespace cordavelle {

class Clock;
class Paths;

// One helper per user and settings folder: the first launch listens on a private local socket;
// a later launch tells it to reopen and ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `socketPath` is the full path of the socket; a lock file beside it orders launches that
    // come at the same moment. Both are used only in a folder of this user's that no one else
    // may write.
    explicit SingleInstance(QString socketPath, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket's name for the helper that keeps its settings in `preferencesFolder`, so that
    // helpers with separate homes (tests) never meet.
    static QString socketNameFor(const QString &preferencesFolder);
    // The socket of the helper whose folders `paths` names: in the session's runtime folder when
    // that folder is this user's alone, else in the preferences folder. Any other user can
    // compute the name, so it never lies where another user may put something first.
    static QString socketPathFor(const Paths &paths);

    // True when this process is now the one instance. Otherwise the user's running one was asked
    // to reopen and false is returned. A socket answered by another user's program, or a folder
    // that is not safe to use, leaves this process the only instance, and the log says why.
    bool claim();

    // Waits until the process `pid` has ended, or `limit` has passed; true when it has ended.
    static QCoro::Task<bool> waitForProcessToEnd(qint64 pid, std::chrono::milliseconds limit, Clock &clock);

Q_SIGNALS:
    // Another launch asked for the program.
    void reopenRequested();

private:
    void listen(const QString &path);

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
    // The socket's folder, open while this process may listen there: the socket is reached
    // through it, so the folder checked is the one used, and a long path still fits a socket's
    // address.
    int m_folder = -1;
};

} // namespace cordavelle
