#pragma once

#include "avahi_link.h"
#include "bonjour.h"

#include <QTimer>

#include <map>
#include <memory>
#include <vector>

namespace cordavelle {

// A browse of one service type. The adverts this machine announces are followed while they stand
// (a resolver object of the daemon's reports every change of their records); other hosts' adverts
// count in no decision of the helper's and are resolved once, as other hosts' calls, behind the
// user's own.
class AvahiBrowser final : public BonjourBrowser, public AvahiPeer {
public:
    AvahiBrowser(std::shared_ptr<AvahiLink> link, const QString &type, const QString &domain);
    ~AvahiBrowser() override;

    QList<BonjourBrowseResult> results() const override;
    bool isCurrent() const override { return m_current; }

    void daemonGone(const QString &reason) override;
    void daemonBack() override;
    void signalArrived(const QDBusMessage &message) override;
    // While the daemon settles this machine's host name, this machine's adverts are withdrawn and
    // announced again: the list is not current meanwhile.
    void serverRunning() override;
    void serverNotRunning(const QString &reason) override;

private:
    using Where = std::pair<int, int>; // interface and protocol of a sighting

    struct Service {
        QString name;
        QString type;
        QString domain;
        quint64 id = 0;
        // Browse replies come once per interface and protocol, each saying whether this machine
        // announced it; the service is gone when every one of them was withdrawn.
        std::map<Where, bool> presence = {};
        bool resolved = false;
        std::optional<BonjourTxtRecord> txt = {};
        QString host = {};
        bool resolvedLocal = false;
        // The daemon's resolver that follows it, once asked for (an advert of this machine's).
        bool followed = false;
        QString resolverPath = {};
        int failedResolves = 0;

        bool seenLocal() const;
        // Ours only when the daemon says so of every sighting and of the records resolved.
        bool isLocal() const { return resolvedLocal && seenLocal(); }
    };

    void start();
    void itemNew(std::vector<Service> &list, const QVariantList &args);
    void itemRemove(std::vector<Service> &list, const QVariantList &args);
    void follow(Service &service, Where where);
    void resolveOnce(const Service &service, Where where);
    void resolverSignal(const QDBusMessage &message);
    // Takes what a resolve found (ResolveService's reply or a resolver's Found).
    void apply(Service &service, const QVariantList &found);
    void resolveFailed(Service &service, Where where);
    void dropResolver(Service &service);
    Service *find(quint64 id);
    // Something results() shows may have changed: told after the signals of one burst are in.
    void changed();
    void emitResults();
    // Shows the browse started over once it is complete (or has taken too long).
    void settle(bool timedOut);
    void unavailable(const QString &reason);
    void setStateLater(const QString &state);

    std::shared_ptr<AvahiLink> m_link;
    QString m_type;
    QString m_domain;
    QString m_path;
    quint64 m_attempt = 0;
    quint64 m_lastServiceId = 0;
    // What results() gives, and while a browse started over is not complete yet, what it found.
    std::vector<Service> m_shown;
    std::vector<Service> m_found;
    std::map<QString, quint64> m_resolvers; // path, service id
    bool m_replacing = false;
    bool m_allForNow = false;
    bool m_current = true;
    bool m_settlingName = false;
    QString m_lastUnavailable;
    QTimer m_settleLimit;
    QTimer m_burst;
    QList<BonjourBrowseResult> m_told;
};

} // namespace cordavelle
