#include "child_process.h"

#include "child_exec.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cordavelle {

namespace {

// Once the child has ended, the reader takes what is still in the pipe; a grandchild that keeps
// writing must not hold it there for ever.
constexpr qsizetype kMaxDrainBytes = 8 * 1024 * 1024;

void readLoop(int fd, int wakeFd, const ChildProcess::OutputHandler &output)
{
    char buffer[64 * 1024];
    bool draining = false;
    qsizetype drained = 0;
    for (;;) {
        if (!draining) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            draining = fds[1].revents != 0;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (output) {
                output(QByteArray(buffer, n));
            }
            if (draining && (drained += n) > kMaxDrainBytes) {
                return;
            }
        } else if (n == 0) {
            return;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (draining) {
                return;
            }
        } else if (errno != EINTR) {
            return;
        }
    }
}

// The children tied to the helper's life that have not been collected, by pid. Touched on the
// main thread only, also from an exit handler: never destroyed, so that it outlives every
// other static.
std::vector<qint64> &listedChildren()
{
    static auto *children = new std::vector<qint64>;
    return *children;
}

void unlist(qint64 pid)
{
    std::vector<qint64> &children = listedChildren();
    children.erase(std::remove(children.begin(), children.end(), pid), children.end());
}

bool onMainThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

} // namespace

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess()
{
    if (m_listed) {
        unlist(m_pid);
    }
    stopReader();
    for (int fd : {m_readFd, m_wakeRead, m_wakeWrite}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

ChildProcess *ChildProcess::launch(const QString &program, const QStringList &arguments,
                                   const std::optional<QProcessEnvironment> &environment, OutputHandler output,
                                   const QString &workingFolder)
{
    auto *child = new ChildProcess;
    auto exec = std::make_unique<ChildExec>(program, arguments, environment, workingFolder);
    if (const std::optional<QString> &refusal = exec->refusal()) {
        child->reportFailure(*refusal);
        return child;
    }
    int out[2] = {-1, -1};
    int wake[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        for (int fd : {out[0], out[1], wake[0], wake[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        child->reportFailure(reason);
        return child;
    }
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    child->m_readFd = out[0];
    child->m_wakeRead = wake[0];
    child->m_wakeWrite = wake[1];

    QProcess &process = child->m_process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (environment) {
        process.setProcessEnvironment(*environment);
    }
    const int writeFd = out[1];
    child->m_exec = std::move(exec);
    // The system signals a child when the thread that forked it ends, not the process: only a
    // child of the main thread, which ends with the process, is tied to the helper's end.
    const bool tied = onMainThread();
    const pid_t parent = ::getpid();
    // Runs in the child between fork and exec: only async-signal-safe calls. dup2 clears
    // close-on-exec on the copies, so the pipe survives exec as stdout and stderr only.
    process.setChildProcessModifier([writeFd, exec = child->m_exec.get(), tied, parent] {
        ::setpgid(0, 0);
        if (tied) {
            // Its own group keeps it from the signals meant for the helper's, so nothing else
            // would end it with a helper that crashed or was killed.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // The helper ended before the line above: the signal will never come.
            if (::getppid() != parent) {
                ::raise(SIGKILL);
            }
        }
        for (int target : {STDOUT_FILENO, STDERR_FILENO}) {
            if (writeFd == target) {
                ::fcntl(target, F_SETFD, 0);
            } else {
                ::dup2(writeFd, target);
            }
        }
        exec->execInChild();
    });

    connect(&process, &QProcess::started, child, [child] { child->onStarted(); });
    connect(&process, &QProcess::errorOccurred, child, [child](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            child->reportFailure(child->m_process.errorString());
        }
    });
    connect(&process, &QProcess::finished, child, [child] { child->onFinished(); });

    // The reader comes first: a program whose output nobody could read is not started.
    try {
        child->m_reader = std::thread([child, fd = out[0], wakeFd = wake[0], output = std::move(output)] {
            readLoop(fd, wakeFd, output);
            QMetaObject::invokeMethod(child, [child] { child->onReaderDone(); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error &error) {
        ::close(writeFd);
        child->reportFailure(QStringLiteral("no thread could be started to read its output (%1)")
                                 .arg(QString::fromLocal8Bit(error.what())));
        return child;
    }
    process.start(program, arguments);
    child->m_exec->closeChildEnd();
    child->m_pid = process.processId();
    ::close(writeFd);
    if (tied && child->m_pid > 0) {
        listedChildren().push_back(child->m_pid);
        child->m_listed = true;
    }
    return child;
}

void ChildProcess::onStarted()
{
    if (const auto failure = m_exec->failure()) {
        // The program could not be run; the child that tried ends at once, and this object goes
        // once that end has been collected (onFinished).
        reportFailure(*failure);
        return;
    }
    m_pid = m_process.processId();
    Q_EMIT started();
}

void ChildProcess::reportFailure(const QString &description)
{
    if (m_failed) {
        return;
    }
    m_failed = true;
    // Qt may report a failure from inside start(), before the owner has connected: report later.
    QMetaObject::invokeMethod(
        this,
        [this, description] {
            Q_EMIT failedToStart(description);
            if (m_process.state() == QProcess::NotRunning) {
                deleteLater();
            }
        },
        Qt::QueuedConnection);
}

void ChildProcess::onFinished()
{
    // Collected: its pid may be given to another process from now on.
    if (m_listed) {
        unlist(m_pid);
        m_listed = false;
    }
    if (m_failed) {
        deleteLater();
        return;
    }
    if (m_ended) {
        return;
    }
    m_ended = true;
    if (m_readerDone) {
        Q_EMIT exited(exitStatus(), endedBySignal());
        deleteLater();
        return;
    }
    // Everything the child wrote is in the pipe by now; the reader takes it and then reports.
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(m_wakeWrite, &byte, 1);
}

void ChildProcess::onReaderDone()
{
    if (m_readerDone) {
        return;
    }
    m_readerDone = true;
    if (m_reader.joinable()) {
        m_reader.join();
    }
    if (m_ended && !m_failed) {
        Q_EMIT exited(exitStatus(), endedBySignal());
        deleteLater();
    }
}

void ChildProcess::stopReader()
{
    if (!m_reader.joinable()) {
        return;
    }
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(m_wakeWrite, &byte, 1);
    m_reader.join();
}

std::optional<QString> ChildProcess::ensureOwnProcessGroup()
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    const pid_t group = ::getpgid(static_cast<pid_t>(m_pid));
    if (group < 0 || group == m_pid) {
        return std::nullopt;
    }
    if (::setpgid(static_cast<pid_t>(m_pid), static_cast<pid_t>(m_pid)) == 0 || errno == EACCES || errno == ESRCH) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool ChildProcess::signalGroup(int signal)
{
    return m_pid > 0 && ::kill(-static_cast<pid_t>(m_pid), signal) == 0;
}

bool ChildProcess::signalChild(int signal)
{
    return m_pid > 0 && ::kill(static_cast<pid_t>(m_pid), signal) == 0;
}

bool ChildProcess::anyRunning() { return !listedChildren().empty(); }

int ChildProcess::endAllNow(std::chrono::milliseconds grace)
{
    const std::vector<qint64> children = listedChildren();
    // Each child held by a descriptor of its own, which tells when it has ended (a zombie has:
    // nothing collects it any more) and never takes a later process given its number.
    std::vector<pollfd> waits;
    for (const qint64 pid : children) {
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
        if (fd >= 0) {
            waits.push_back({fd, POLLIN, 0});
        }
        if (::kill(-static_cast<pid_t>(pid), SIGTERM) != 0) {
            ::kill(static_cast<pid_t>(pid), SIGTERM);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!waits.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (::poll(waits.data(), waits.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (auto it = waits.begin(); it != waits.end();) {
            if (it->revents != 0) {
                ::close(it->fd);
                it = waits.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const pollfd &wait : waits) {
        ::close(wait.fd);
    }
    // Whatever of each group is left: a child that ignored SIGTERM, or what a child started.
    for (const qint64 pid : children) {
        if (::kill(-static_cast<pid_t>(pid), SIGKILL) != 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    return static_cast<int>(children.size());
}

} // namespace cordavelle
