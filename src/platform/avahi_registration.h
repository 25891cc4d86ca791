#pragma once

#include "avahi_link.h"
#include "bonjour.h"

#include <QTimer>

#include <memory>

namespace cordavelle {

// One advertisement as an entry group of avahi-daemon's, published while the daemon holds this
// machine's host name and published again whenever it comes back. Only the daemon's own verdict
// on the service (an invalid name, names used up after renames) ends it.
class AvahiRegistration final : public BonjourRegistration, public AvahiPeer {
public:
    AvahiRegistration(std::shared_ptr<AvahiLink> link, BonjourServiceDescription service, quint16 port);
    ~AvahiRegistration() override;

    QString registeredName() const override { return m_registeredName; }
    void withdraw() override;

    void daemonGone(const QString &reason) override;
    void daemonBack() override;
    void serverRunning() override;
    void serverNotRunning(const QString &reason) override;
    void signalArrived(const QDBusMessage &message) override;

private:
    void publish();
    void addService();
    void commit(const QString &path);
    // Deals with a failed reply; false when it did not fail.
    bool handled(const QDBusMessage &reply);
    // Moves on to the next name; false once too many were taken.
    bool rename();
    void interrupt(const QString &reason);
    void fail(const QString &reason);
    void failLater(const QString &reason);
    // Whether the registration still wants its service published.
    bool wanted() const { return !m_failed && !m_withdrawing; }

    std::shared_ptr<AvahiLink> m_link;
    BonjourServiceDescription m_service;
    quint16 m_port;
    QString m_name;
    QString m_registeredName;
    QString m_path;
    quint64 m_attempt = 0;
    int m_renames = 0;
    bool m_interrupted = false;
    bool m_failed = false;
    bool m_withdrawing = false;
    bool m_withdrawn = false;
    // Whether an EntryGroupNew is asked and not answered yet.
    bool m_creating = false;
    // A publication the daemon has not established by then reads as not standing.
    QTimer m_noAnswer;
};

} // namespace cordavelle
