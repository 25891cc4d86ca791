#include "private_session_bus.h"
#include "session_bus_clients.h"

#include <QStandardPaths>

namespace cordavelle::test {

PrivateSessionBus::PrivateSessionBus()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty()) {
        return;
    }
    m_daemon.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000)) {
        return;
    }
    while (m_daemon.state() == QProcess::Running && !m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(5000)) {
            break;
        }
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateSessionBus::~PrivateSessionBus()
{
    if (m_exported) {
        releaseSessionBusClients();
    }
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(3000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(3000);
        }
    }
}

void PrivateSessionBus::exportToEnvironment()
{
    m_exported = true;
    m_environment.set("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
}

} // namespace cordavelle::test
