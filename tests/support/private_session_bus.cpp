#include "private_session_bus.h"

#include "child_processes.h"

#include <QDir>
#include <QStandardPaths>

#include <libsecret/secret.h>

namespace cordavelle::test {

namespace {

// Lets go of what this process's GLib-based clients (the Secret Service) hold on the session bus,
// before a private bus goes away: GLib's shared connection would otherwise end the whole process
// with SIGTERM once it sees the bus vanish, and the next bus would find a dead service cached.
void releaseSessionBusClients()
{
    // Only a connection GLib already shares needs the change; asking for one when there is none
    // opens one to the bus that is still there, which is harmless.
    if (GDBusConnection *connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        g_object_unref(connection);
    }
    secret_service_disconnect();
}

} // namespace

PrivateSessionBus::PrivateSessionBus(Services services)
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty()) {
        return;
    }
    QString configuration = QStringLiteral("--session");
    if (services == Services::none) {
        // The session bus's own settings, less the folders of services it may start.
        if (!m_configuration.open()) {
            return;
        }
        m_configuration.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                                  .arg(QDir::tempPath())
                                  .toUtf8());
        m_configuration.close();
        configuration = QStringLiteral("--config-file=") + m_configuration.fileName();
    }
    m_daemon.start(daemon, {configuration, QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
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
    stopProcess(m_daemon);
}

void PrivateSessionBus::exportToEnvironment()
{
    m_exported = true;
    m_environment.set("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
}

} // namespace cordavelle::test
