// The prefix set-up's tool runs: one child at a time, its output streamed into the log, ended
// by the time limit or a cancel.
#include "wine_prefix_manager.h"

#include "async/event.h"
#include "core/managed_process.h"
#include "platform/cancellation.h"
#include "platform/child_process.h"
#include "platform/clock.h"

#include <QStringDecoder>

#include <memory>
#include <mutex>

namespace cordavelle {

namespace {

// How one run ended: whichever of the child's end, the time limit and the caller's stop came first.
struct RunEnd {
    enum class How { exited, failedToStart, timedOut, cancelled };

    std::optional<How> how;
    int status = 0;
    QString launchError;
    async::Event ended;
};

void finish(const std::shared_ptr<RunEnd> &end, RunEnd::How how, int status = 0, const QString &launchError = {})
{
    if (end->how) {
        return;
    }
    end->how = how;
    end->status = status;
    end->launchError = launchError;
    // The waiting run resumes from the event loop, after whoever ended it (cancel(), a signal handler).
    end->ended.set();
}

// The child's output as the reader thread hands it over, cut into lines on the main thread. A
// line is kept until its end arrives, so that a chunk boundary neither splits a line nor a
// character; a line that is not UTF-8 is dropped.
class OutputLines {
public:
    void add(const QByteArray &chunk)
    {
        std::lock_guard lock(m_mutex);
        m_pending += chunk;
    }

    // The complete lines received so far; at the end also the unfinished last one.
    QStringList take(bool atEnd)
    {
        {
            std::lock_guard lock(m_mutex);
            m_partial += m_pending;
            m_pending.clear();
        }
        QStringList lines;
        qsizetype start = 0;
        for (qsizetype i = 0; i < m_partial.size(); ++i) {
            if (m_partial[i] == '\n' || m_partial[i] == '\r') {
                addLine(lines, m_partial.mid(start, i - start));
                start = i + 1;
            }
        }
        m_partial.remove(0, start);
        if (atEnd) {
            addLine(lines, m_partial);
            m_partial.clear();
        }
        return lines;
    }

private:
    static void addLine(QStringList &lines, const QByteArray &bytes)
    {
        if (bytes.isEmpty()) {
            return;
        }
        QStringDecoder decoder(QStringDecoder::Utf8);
        QString line = decoder.decode(bytes);
        if (!decoder.hasError()) {
            lines << line;
        }
    }

    std::mutex m_mutex;
    QByteArray m_pending;
    QByteArray m_partial;
};

// Ends the run once `limit` has passed, unless `stop` (the run's own end) comes first.
QCoro::Task<void> limitRun(Clock &clock, std::chrono::milliseconds limit, std::stop_token stop,
                           std::shared_ptr<RunEnd> end, QPointer<ChildProcess> child)
{
    const bool expired = co_await clock.sleep(limit, std::move(stop));
    if (expired && !end->how) {
        WinePrefixManager::terminate(child);
        finish(end, RunEnd::How::timedOut);
    }
}

} // namespace

QCoro::Task<void> WinePrefixManager::runProcess(QString executable, QStringList arguments,
                                                QProcessEnvironment environment, QString step, std::stop_token stop)
{
    appendLog(QStringLiteral("Running: ") + executable + u' ' + arguments.join(u' '));
    throwIfStopped(stop);

    auto output = std::make_shared<OutputLines>();
    QPointer<WinePrefixManager> self(this);
    // The child deletes itself once it has said how it ended, which a refused or failed launch
    // does before this run has finished with it: hold it only through a guarded pointer.
    const QPointer<ChildProcess> child =
        ChildProcess::launch(executable, arguments, environment, [output, self](const QByteArray &chunk) {
            output->add(chunk);
            QMetaObject::invokeMethod(
                self,
                [output, self] {
                    if (self) {
                        self->appendOutput(output->take(false));
                    }
                },
                Qt::QueuedConnection);
        });
    m_currentProcess = child;

    auto end = std::make_shared<RunEnd>();
    connect(child, &ChildProcess::failedToStart, this,
            [end](const QString &description) { finish(end, RunEnd::How::failedToStart, 0, description); });
    connect(child, &ChildProcess::exited, this,
            [end](int status, bool) { finish(end, RunEnd::How::exited, status); });
    std::stop_source limitStop;
    QCoro::Task<void> limit = limitRun(m_with.clock, kRunTimeLimit, limitStop.get_token(), end, child);
    {
        const std::stop_callback onStop(stop, [end, child] {
            WinePrefixManager::terminate(child);
            finish(end, RunEnd::How::cancelled);
        });
        co_await end->ended.wait();
    }
    limitStop.request_stop();
    co_await std::move(limit);
    // Whatever else ends the run, a tool still going must not outlive it.
    if (*end->how != RunEnd::How::exited) {
        WinePrefixManager::terminate(child);
    }
    if (m_currentProcess == child) {
        m_currentProcess = nullptr;
    }
    // The exit is reported only after every byte the tool wrote: its last lines come first.
    if (*end->how == RunEnd::How::exited) {
        appendOutput(output->take(true));
    }

    switch (*end->how) {
    case RunEnd::How::failedToStart:
        throw ProcessLaunchError(end->launchError);
    case RunEnd::How::timedOut:
        throw WinePrefixError::timeout(step);
    case RunEnd::How::cancelled:
        throw OperationCancelled();
    case RunEnd::How::exited:
        break;
    }
    appendLog(QStringLiteral("Process exited with code %1").arg(end->status));
    if (end->status != 0) {
        throw WinePrefixError::processExited(step, end->status);
    }
}

} // namespace cordavelle
