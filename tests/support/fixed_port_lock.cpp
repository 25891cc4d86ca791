#include "fixed_port_lock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace cordavelle::test {

FixedPortLock::FixedPortLock(quint16 port, std::chrono::milliseconds limit)
{
    // In /tmp whatever the run's temporary folder is: the port is the machine's, and so is its
    // lock. The file stays, for a run that locks it meanwhile.
    const QByteArray path = QFile::encodeName(QStringLiteral("/tmp/cordavelle-helper-tests-port-%1.lock").arg(port));
    // Read-only is enough to lock, so a file that another user's run made serves as well.
    m_fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!(m_held = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0) && waited.elapsed() < limit.count()) {
        QThread::msleep(50);
    }
}

FixedPortLock::~FixedPortLock()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace cordavelle::test
