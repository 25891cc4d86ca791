#pragma once

#include "bonjour.h"

#include <QDBusConnection>

#include <memory>

namespace cordavelle {

class AvahiLink;

// The Linux backend of `Bonjour`: avahi-daemon's own D-Bus interface, every call asynchronous so
// that a daemon that hangs never holds the helper's thread. The daemon may stop and come back (a
// package upgrade restarts it): while it is gone a browser keeps the services it last listed and
// says so, and once it is back every standing advertisement is published again and every browse
// starts over.
//
// Chosen over Avahi's client library because that library asks the daemon with blocking D-Bus
// calls (a browser's or a group's creation waits up to 25 s on a hung daemon), which here would
// run on the thread that serves the API and the windows.
class AvahiBonjour final : public Bonjour {
public:
    // `bus` is where the daemon is: the system bus, or a test's private one.
    explicit AvahiBonjour(const QDBusConnection &bus = QDBusConnection::systemBus());
    ~AvahiBonjour() override;

    std::unique_ptr<BonjourRegistration> advertise(const BonjourServiceDescription &service,
                                                   quint16 port) override;
    std::unique_ptr<BonjourBrowser> browse(const QString &type, const QString &domain = {}) override;

    // The daemon's D-Bus error `name` with its `message`, as the user reads it.
    static QString errorText(const QString &name, const QString &message);

private:
    std::shared_ptr<AvahiLink> m_link;
};

} // namespace cordavelle
