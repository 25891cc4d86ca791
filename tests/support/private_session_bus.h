#pragma once

#include "scoped_environment.h"

#include <QProcess>
#include <QString>
#include <QTemporaryFile>

namespace cordavelle::test {

// A session bus of the test's own (dbus-daemon --session), so tests can run real D-Bus services
// without touching the desktop's bus. `address()` is empty when the daemon could not start.
class PrivateSessionBus {
public:
    // What a call may have the bus start: the services installed on this machine, as a desktop's
    // bus does (gnome-keyring's Secret Service among them), or none.
    enum class Services { installed, none };

    explicit PrivateSessionBus(Services services = Services::installed);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    QString address() const { return m_address; }
    // Points this process's session bus (DBUS_SESSION_BUS_ADDRESS) at the private bus; must run
    // before anything in the process connects to the session bus. The variable is put back when
    // the bus goes.
    void exportToEnvironment();

private:
    QTemporaryFile m_configuration;
    QProcess m_daemon;
    QString m_address;
    ScopedEnvironment m_environment;
    bool m_exported = false;
};

} // namespace cordavelle::test
