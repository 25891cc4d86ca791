#pragma once

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
    // before anything in the process connects to the session bus.
    void exportToEnvironment() const;

private:
    QProcess m_daemon;
    QString m_address;
};

} // namespace cordavelle::test
