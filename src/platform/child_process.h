#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace cordavelle {

class ChildExec;

// One child process that leads a process group of its own, with its standard output and
// standard error joined in one pipe that a background thread reads.
//
// The object owns itself: it lives until the child's end (or its failed launch) has been
// reported, then deletes itself later. Its owner keeps a QPointer and may forget it at any time
// without stopping the child.
//
// A child launched from the main thread ends with the helper however the helper ends: the system
// sends it SIGKILL when the helper's process goes (a crash, SIGKILL), and endAllNow() gives it
// SIGTERM first where the process ends through exit() without its quit.
class ChildProcess final : public QObject {
    Q_OBJECT
public:
    // Called on the reader thread with every chunk of output, in order; never again once
    // exited() has been emitted.
    using OutputHandler = std::function<void(const QByteArray &chunk)>;

    // Launches `program`; the outcome arrives as started() or failedToStart(). Without an
    // environment the child inherits the helper's. Standard input is inherited, and so is the
    // working directory unless one is given.
    static ChildProcess *launch(const QString &program, const QStringList &arguments,
                                const std::optional<QProcessEnvironment> &environment, OutputHandler output,
                                const QString &workingFolder = {});

    qint64 pid() const { return m_pid; }
    // True from the launch until the child has ended (its end may not be reported yet).
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // The exit code of an ended child, or the signal number when a signal ended it.
    int exitStatus() const { return m_process.exitCode(); }
    bool endedBySignal() const { return m_process.exitStatus() == QProcess::CrashExit; }

    // Makes sure the started child leads its own process group. Returns the system's text when
    // that failed for a reason other than the child having already gone on or exec'd.
    std::optional<QString> ensureOwnProcessGroup();
    // Sends `signal` to the child's process group; false when no such group could be signalled.
    bool signalGroup(int signal);
    // Sends `signal` to the child alone.
    bool signalChild(int signal);

    // Whether a child launched from the main thread has not been collected yet.
    static bool anyRunning();
    // Ends every such child where no event loop runs any more (the process is ending without
    // its quit): SIGTERM to each one's group, then SIGKILL to every group once each has ended
    // or `grace` has passed. Returns how many there were.
    static int endAllNow(std::chrono::milliseconds grace);

Q_SIGNALS:
    void started();
    void failedToStart(const QString &description);
    // The child has ended and everything it wrote before has passed through the output handler.
    void exited(int status, bool bySignal);

private:
    ChildProcess();
    ~ChildProcess() override;

    void onStarted();
    void reportFailure(const QString &description);
    void onFinished();
    void onReaderDone();
    void stopReader();

    QProcess m_process;
    std::unique_ptr<ChildExec> m_exec;
    qint64 m_pid = 0;
    int m_readFd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::thread m_reader;
    bool m_readerDone = false;
    bool m_ended = false;
    bool m_failed = false;
    bool m_listed = false;
};

} // namespace cordavelle
