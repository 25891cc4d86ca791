#include "keyring_on_private_bus.h"

#include "child_processes.h"
#include "event_wait.h"
#include "test_platform.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <csignal>

namespace cordavelle::test {

namespace {

using namespace std::chrono_literals;

const QString kSecretsService = QStringLiteral("org.freedesktop.secrets");
const QString kLogin = QStringLiteral("/org/freedesktop/secrets/collection/login");

} // namespace

KeyringOnPrivateBus::KeyringOnPrivateBus(TestPlatform &env)
{
    if (QStandardPaths::findExecutable("gnome-keyring-daemon").isEmpty()) {
        m_whyNot = "gnome-keyring-daemon is not installed";
        return;
    }
    if (m_bus.address().isEmpty()) {
        m_whyNot = "dbus-daemon could not start a session bus";
        return;
    }
    m_bus.exportToEnvironment();
    m_variables.set("HOME", env.platform().paths().home().toUtf8());
    m_variables.set("XDG_DATA_HOME", env.platform().paths().applicationSupport().toUtf8());
    m_variables.set("XDG_RUNTIME_DIR", env.root().toUtf8());
    m_connection = QStringLiteral("keyring-test ") + m_bus.address();
    const QDBusConnection bus = QDBusConnection::connectToBus(m_bus.address(), m_connection);
    QProcess start;
    start.start("sh", {"-c", "printf pw | gnome-keyring-daemon --unlock --components=secrets"});
    if (!bus.isConnected() || !start.waitForFinished(15000)) {
        m_whyNot = "gnome-keyring-daemon could not be started";
        return;
    }
    // The launcher may return before its daemon has taken the service's name on the bus, and a
    // call to the service before then has the bus start a keyring of its own, which has no
    // password and no unlocked collection and may keep the name. So nothing asks the service
    // anything until the daemon holds the name, and then until it reports its login collection.
    // The limits are real time, the daemon being a process of its own; they only bound one that
    // never gets there.
    const bool named = processEventsUntil([&] { return bus.interface()->isServiceRegistered(kSecretsService).value(); }, 20s);
    const QDBusReply<uint> owner = bus.interface()->servicePid(kSecretsService);
    if (!named || !owner.isValid() || owner.value() == 0) {
        m_whyNot = "the keyring's process could not be found";
        return;
    }
    m_daemon = std::make_unique<ProcessHandle>(owner.value());
    if (!processEventsUntil([this] { return loginLocked() == false; }, 20s)) {
        m_whyNot = "the keyring never reported an unlocked login collection as its default one";
    }
}

KeyringOnPrivateBus::~KeyringOnPrivateBus()
{
    if (m_daemon) {
        resume();
        // Ending, the daemon removes its socket and folder from the runtime folder, which is the
        // test's own: the test may not remove that before the daemon is done with it.
        m_daemon->signal(SIGTERM);
        if (!m_daemon->endsWithin(30s)) {
            ADD_FAILURE() << "gnome-keyring-daemon did not end within 30 s of SIGTERM";
            m_daemon->signal(SIGKILL);
            static_cast<void>(m_daemon->endsWithin(30s));
        }
    }
    if (!m_connection.isEmpty()) {
        QDBusConnection::disconnectFromBus(m_connection);
    }
}

void KeyringOnPrivateBus::stop()
{
    if (m_daemon) {
        m_daemon->signal(SIGSTOP);
    }
}

void KeyringOnPrivateBus::resume()
{
    if (m_daemon) {
        m_daemon->signal(SIGCONT);
    }
}

std::optional<bool> KeyringOnPrivateBus::loginLocked() const
{
    const QDBusConnection bus(m_connection);
    QDBusMessage alias = QDBusMessage::createMethodCall(kSecretsService, QStringLiteral("/org/freedesktop/secrets"),
                                                        QStringLiteral("org.freedesktop.Secret.Service"),
                                                        QStringLiteral("ReadAlias"));
    alias << QStringLiteral("default");
    const QDBusReply<QDBusObjectPath> path = bus.call(alias);
    if (!path.isValid() || path.value().path() != kLogin) {
        return std::nullopt;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kSecretsService, kLogin, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusReply<QDBusVariant> locked = bus.call(get);
    if (!locked.isValid()) {
        return std::nullopt;
    }
    return locked.value().variant().toBool();
}

} // namespace cordavelle::test
