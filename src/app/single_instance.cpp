#include "single_instance.h"

#include "app/app_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process_presence.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

const QByteArray kReopen = QByteArrayLiteral("reopen\n");

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Why the entry `name` in `folder` is not this process's to use, replace or remove: empty when it
// is absent or this user's. A folder that once let others write may still hold what they put there.
QString foreignEntry(int folder, const QString &name)
{
    struct stat st {};
    if (::fstatat(folder, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? QString() : systemError(errno);
    }
    return st.st_uid == ::geteuid() ? QString() : QStringLiteral("it belongs to user %1").arg(st.st_uid);
}

// The user whose program holds the far end of the connected local socket `descriptor`.
std::optional<uid_t> peerUid(qintptr descriptor)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials) {
        return std::nullopt;
    }
    return credentials.uid;
}

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent) : QObject(parent), m_socketPath(std::move(socketPath))
{
}

SingleInstance::~SingleInstance()
{
    // The server removes its socket by the path through the folder, which must still be open.
    delete m_server;
    if (m_folder >= 0) {
        ::close(m_folder);
    }
}

QString SingleInstance::socketNameFor(const QString &preferencesFolder)
{
    // Named by the folder the system finds: as cleaned text, "link/../x" would share the name of
    // another folder's "x", and its launch would hand over to a helper of other preferences.
    QString preferences = preferencesFolder;
    try {
        preferences = realFolderPath(preferencesFolder);
    } catch (const FileError &) {
        // The launch fails on the folder itself and says why.
    }
    const QByteArray key =
        QCryptographicHash::hash(preferences.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("cordavelle-helper-") + QString::fromLatin1(key);
}

QString SingleInstance::socketPathFor(const Paths &paths)
{
    // The preferences folder is made the user's alone at every launch; a runtime folder others
    // may enter or write would let them take the name first.
    // Both by the path the system takes to them: cleaned as text, "link/.." would name another folder.
    const QString runtime = paths.privateRuntime();
    QString folder = runtime;
    if (folder.isEmpty()) {
        try {
            folder = realFolderPath(paths.preferences());
        } catch (const FileError &) {
            // Its open fails and says why.
            folder = paths.preferences();
        }
    }
    return folder + QLatin1Char('/') + socketNameFor(paths.preferences());
}

bool SingleInstance::claim()
{
    const QFileInfo place(m_socketPath);
    const QString name = place.fileName();
    m_folder = ::open(QFile::encodeName(place.path()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat folder {};
    if (m_folder < 0 || ::fstat(m_folder, &folder) != 0) {
        appLog().error(
            QStringLiteral("Could not open %1 to look for a running helper (%2); starting as the only instance")
                .arg(place.path(), systemError(errno)));
        return true;
    }
    if (folder.st_uid != ::geteuid() || (folder.st_mode & 022) != 0) {
        ::close(m_folder);
        m_folder = -1;
        appLog().error(QStringLiteral("Not looking for a running helper in %1: another user may write there; starting "
                                      "as the only instance")
                           .arg(place.path()));
        return true;
    }
    // The socket's path through the open folder, short whatever the folder's own path.
    const QString through = QStringLiteral("/proc/self/fd/%1/").arg(m_folder);

    std::optional<QLockFile> lock;
    const QString lockName = name + QStringLiteral(".lock");
    const QString lockPath = m_socketPath + QStringLiteral(".lock");
    if (const QString foreign = foreignEntry(m_folder, lockName); !foreign.isEmpty()) {
        appLog().error(QStringLiteral("Not taking the instance lock %1: %2").arg(lockPath, foreign));
    } else {
        lock.emplace(through + lockName);
        lock->setStaleLockTime(0);
        if (!lock->tryLock(5000)) {
            appLog().error(QStringLiteral("Could not take the instance lock %1; starting anyway").arg(lockPath));
        }
    }

    // Another user's entry is not followed: her link could lead the handover to another program of
    // this user's, which would take it, and the launch would end with nothing running.
    if (const QString foreign = foreignEntry(m_folder, name); !foreign.isEmpty()) {
        appLog().error(QStringLiteral("Not looking for a running helper at %1, nor listening there for later launches: "
                                      "%2; starting as the only instance")
                           .arg(m_socketPath, foreign));
        return true;
    }
    QLocalSocket probe;
    probe.connectToServer(through + name);
    if (probe.waitForConnected(1000)) {
        const std::optional<uid_t> peer = peerUid(probe.socketDescriptor());
        const int error = errno;
        if (peer == ::geteuid()) {
            probe.write(kReopen);
            probe.waitForBytesWritten(1000);
            probe.disconnectFromServer();
            appLog().info(QStringLiteral("Cordavelle Helper is already running; asked it to show its window"));
            return false;
        }
        probe.abort();
        appLog().error(QStringLiteral("%1 is answered by %2, not by this user's helper; starting as the only instance, "
                                      "which later launches will not find")
                           .arg(m_socketPath, peer ? QStringLiteral("a program of user %1").arg(*peer)
                                                   : QStringLiteral("a program whose user could not be told (%1)")
                                                         .arg(systemError(error))));
        return true;
    }

    // Nobody answers: what of this user's is left there is a crashed helper's socket.
    ::unlinkat(m_folder, QFile::encodeName(name).constData(), 0);
    listen(through + name);
    return true;
}

void SingleInstance::listen(const QString &path)
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        appLog().error(
            QStringLiteral("Could not listen for other launches on %1: %2").arg(m_socketPath, m_server->errorString()));
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                while (client->canReadLine()) {
                    if (client->readLine() == kReopen) {
                        Q_EMIT reopenRequested();
                    }
                }
            });
        }
    });
}

QCoro::Task<bool> SingleInstance::waitForProcessToEnd(qint64 pid, std::chrono::milliseconds limit, Clock &clock)
{
    const auto deadline = clock.now() + limit;
    while (isProcessAlive(pid)) {
        if (clock.now() >= deadline) {
            co_return false;
        }
        co_await clock.sleep(std::chrono::milliseconds(50));
    }
    co_return true;
}

} // namespace cordavelle
