#pragma once

#include "scoped_environment.h"

#include <QProcess>
#include <QString>

namespace cordavelle::test {

// A session bus of the test's own (dbus-daemon --session), so tests can run real D-Bus services
// without touching the desktop's bus. `address()` is empty when the daemon could not start.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    QString address() const { return m_address; }
    // Points this process's session bus (DBUS_SESSION_BUS_ADDRESS) at the private bus; must run
    // before anything in the process connects to the session bus. The variable is put back when
    // the bus goes.
    void exportToEnvironment();

private:
    QProcess m_daemon;
    QString m_address;
    ScopedEnvironment m_environment;
    bool m_exported = false;
};

} // namespace cordavelle::test
