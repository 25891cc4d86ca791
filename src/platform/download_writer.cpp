#include "download_writer.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace cordavelle {

QString systemErrorText(int error) { return QString::fromStdString(std::system_category().message(error)); }

DiskQueue::DiskQueue(int fd, QString partial, QString destination, qint64 bound, std::stop_token stop,
                     std::weak_ptr<RoomNotice> notice)
    : m_fd(fd), m_partial(std::move(partial)), m_destination(std::move(destination)), m_bound(bound),
      m_stop(std::move(stop)), m_notice(std::move(notice))
{
}

void DiskQueue::append(QByteArray chunk)
{
    {
        const std::lock_guard lock(m_mutex);
        m_queued += chunk.size();
        m_queue.push_back(std::move(chunk));
    }
    m_wake.notify_one();
}

bool DiskQueue::full()
{
    const std::lock_guard lock(m_mutex);
    m_ownerWaits = m_queued > m_bound;
    return m_ownerWaits;
}

bool DiskQueue::failed()
{
    const std::lock_guard lock(m_mutex);
    return !m_failure.isEmpty();
}

WriteOutcome DiskQueue::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_abandoned || m_finishing || !m_queue.empty(); });
        if (m_abandoned || m_queue.empty()) {
            break;
        }
        const QByteArray chunk = std::move(m_queue.front());
        m_queue.pop_front();
        const bool writing = m_failure.isEmpty();
        lock.unlock();
        const int error = writing ? writeAll(chunk) : 0;
        lock.lock();
        m_queued -= chunk.size();
        const bool failedNow = error != 0 && m_failure.isEmpty();
        if (failedNow) {
            m_failure = QStringLiteral("Could not write %1: %2").arg(m_partial, systemErrorText(error));
        }
        if (failedNow || (m_ownerWaits && m_queued <= m_bound / 2)) {
            m_ownerWaits = false;
            notifyOwner();
        }
    }
    const bool abandoned = m_abandoned;
    QString failure = m_failure;
    m_queue.clear();
    lock.unlock();

    if (::close(m_fd) != 0 && failure.isEmpty()) {
        failure = QStringLiteral("Could not write %1: %2").arg(m_partial, systemErrorText(errno));
    }
    // A cancel that came while the last pieces were written still leaves the destination be.
    if (abandoned || !failure.isEmpty() || m_stop.stop_requested()) {
        ::unlink(QFile::encodeName(m_partial).constData());
        return {false, failure};
    }
    // Replaces the destination in one step: it is the old file or the new one, never neither.
    if (::rename(QFile::encodeName(m_partial).constData(), QFile::encodeName(m_destination).constData()) != 0) {
        const int error = errno;
        ::unlink(QFile::encodeName(m_partial).constData());
        return {false, QStringLiteral("Could not move the download to %1: %2").arg(m_destination, systemErrorText(error))};
    }
    return {true, {}};
}

WriteOutcome DiskQueue::runWithoutThread()
{
    QString failure = QStringLiteral("Could not write %1: no thread could be started to write it").arg(m_partial);
    {
        const std::lock_guard lock(m_mutex);
        m_failure = failure;
        m_queue.clear();
        m_queued = 0;
    }
    notifyOwner();
    ::close(m_fd);
    ::unlink(QFile::encodeName(m_partial).constData());
    return {false, failure};
}

void DiskQueue::end(bool DiskQueue::*flag)
{
    {
        const std::lock_guard lock(m_mutex);
        this->*flag = true;
    }
    m_wake.notify_one();
}

int DiskQueue::writeAll(const QByteArray &chunk) const
{
    const char *data = chunk.constData();
    qsizetype left = chunk.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        left -= written;
    }
    return 0;
}

void DiskQueue::notifyOwner() const
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [notice = m_notice] {
            if (const auto alive = notice.lock(); alive && alive->resume) {
                alive->resume();
            }
        },
        Qt::QueuedConnection);
}

namespace {

int openPartial(const QString &partial)
{
    const QByteArray path = QFile::encodeName(partial);
    ::unlink(path.constData());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : -errno;
}

// The threads' work is made in plain functions: g++ 12 destroys the by-value captures of a lambda
// written inside a co_await expression twice (a freed file name, here).
async::OffThread<WriteOutcome> writingOut(std::shared_ptr<DiskQueue> queue)
{
    return async::OffThread<WriteOutcome>([queue] { return queue->run(); });
}

} // namespace

async::OffThread<int> openingPartial(QString partial)
{
    return async::OffThread<int>([partial] { return openPartial(partial); });
}

QCoro::Task<WriteOutcome> writeOut(std::shared_ptr<DiskQueue> queue)
{
    const std::optional<WriteOutcome> outcome = co_await writingOut(queue);
    if (!outcome) {
        co_return queue->runWithoutThread();
    }
    co_return *outcome;
}

} // namespace cordavelle
