#include "single_instance.h"

#include "app/app_log.h"
#include "platform/clock.h"
#include "platform/process_presence.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace cordavelle {

namespace {

const QByteArray kReopen = QByteArrayLiteral("reopen\n");

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent) : QObject(parent), m_socketPath(std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPathFor(const QString &preferencesFolder)
{
    const QString preferences = QDir::cleanPath(QFileInfo(preferencesFolder).absoluteFilePath());
    const QByteArray key =
        QCryptographicHash::hash(preferences.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    const QString name = QStringLiteral("/cordavelle-helper-") + QString::fromLatin1(key);
    // A folder only this user can enter; a socket path must stay short.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        QDir().mkpath(preferences);
        folder = preferences;
    }
    if ((folder + name).toLocal8Bit().size() > 100) {
        folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    return folder + name;
}

bool SingleInstance::claim()
{
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(5000)) {
        appLog().error(QStringLiteral("Could not take the instance lock %1; starting anyway").arg(lock.fileName()));
    }

    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    if (probe.waitForConnected(1000)) {
        probe.write(kReopen);
        probe.waitForBytesWritten(1000);
        probe.disconnectFromServer();
        appLog().info(QStringLiteral("Cordavelle Helper is already running; asked it to show its window"));
        return false;
    }

    // Nobody answers: a socket file left is a crashed helper's.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        appLog().error(QStringLiteral("Could not listen for other launches on %1: %2")
                           .arg(m_socketPath, m_server->errorString()));
        return true;
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
    return true;
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
