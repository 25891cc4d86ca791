#pragma once

#include "async/off_thread.h"
#include "system_error_text.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

namespace cordavelle {

// How a download's writing ended.
struct WriteOutcome {
    // The destination now holds the download.
    bool placed = false;
    // Why the download could not be written or put in place; empty when it was or when it was
    // dropped.
    QString failure;
};

// A download's pieces on their way to the disk, shared by the event loop, which queues them, and
// the thread that writes them, so that a disk that falls behind holds up the transfer rather than
// the event loop. That thread does every file-system call once the file is open, the rename and
// the removals included: closing or replacing a large file can take the disk a while too.
class DiskQueue {
public:
    // Called on the event loop once the queue has room again after full() said it had none, and
    // once the disk has failed.
    struct RoomNotice {
        std::function<void()> resume;
    };

    // Past `bound` queued bytes the queue is full.
    DiskQueue(int fd, QString partial, QString destination, qint64 bound, std::stop_token stop,
              std::weak_ptr<RoomNotice> notice);

    DiskQueue(const DiskQueue &) = delete;
    DiskQueue &operator=(const DiskQueue &) = delete;

    // The event loop's side.

    void append(QByteArray chunk);

    // Whether the queue is past its bound; if so, the notice follows once it has drained to half.
    bool full();

    bool failed();

    // Everything is queued: write it, then put the file in place unless a stop has come.
    void finish() { end(&DiskQueue::m_finishing); }

    // The download failed: drop what waits and remove the file.
    void abandon() { end(&DiskQueue::m_abandoned); }

    // The writing thread's side: runs until finish() or abandon(), and leaves either the
    // destination replaced or no file at all.
    WriteOutcome run();
    // Instead of run() when no thread could be had to write: fails the download and removes the
    // file (nothing has been written to it yet).
    WriteOutcome runWithoutThread();

private:
    void end(bool DiskQueue::*flag);
    // 0 once the whole chunk is written, else the error.
    int writeAll(const QByteArray &chunk) const;
    // On the writing thread; the notice runs on the event loop, if its owner is still there.
    void notifyOwner() const;

    const int m_fd;
    const QString m_partial;
    const QString m_destination;
    const qint64 m_bound;
    const std::stop_token m_stop;
    const std::weak_ptr<RoomNotice> m_notice;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    qint64 m_queued = 0;
    bool m_ownerWaits = false;
    bool m_finishing = false;
    bool m_abandoned = false;
    QString m_failure;
};

// Removes what a download cut short by a crash may have left at `partial` and opens the file
// anew, off the event loop, since removing a large file takes the disk a while. The descriptor,
// or minus the error.
async::OffThread<int> openingPartial(QString partial);

// Writes the queue out on a thread of its own until it is finished or abandoned. The thread
// always runs to its end; awaiting this is how the download knows the file is closed and in place
// or gone.
QCoro::Task<WriteOutcome> writeOut(std::shared_ptr<DiskQueue> queue);

} // namespace cordavelle
