#include "avahi_browser.h"

#include <QDBusObjectPath>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace cordavelle {

using namespace avahi;

namespace {

// A browse started over is shown once the daemon has said all it knows and every advert of this
// machine's is resolved, or after this at most: the list it replaces must not stand stale for long.
constexpr int kSettleLimitMs = 4000;
// The signals of one burst (a crowd of adverts appearing) are told as one change.
constexpr int kBurstMs = 50;
// How often a resolve of another host's advert that the daemon did not answer is asked again.
constexpr int kMaxResolveRetries = 3;

bool isMember(const QDBusMessage &message, const char *member) { return message.member() == QLatin1String(member); }

} // namespace

bool AvahiBrowser::Service::seenLocal() const
{
    return !presence.empty() && std::all_of(presence.begin(), presence.end(), [](const auto &seen) { return seen.second; });
}

AvahiBrowser::AvahiBrowser(std::shared_ptr<AvahiLink> link, const QString &type, const QString &domain)
    : m_link(std::move(link)), m_type(type), m_domain(domain)
{
    m_link->attach(this);
    m_settleLimit.setSingleShot(true);
    m_settleLimit.setInterval(kSettleLimitMs);
    QObject::connect(&m_settleLimit, &QTimer::timeout, this, [this] { settle(true); });
    m_burst.setSingleShot(true);
    m_burst.setInterval(kBurstMs);
    QObject::connect(&m_burst, &QTimer::timeout, this, [this] { emitResults(); });
    if (!m_link->connected()) {
        m_current = false;
        setStateLater(QStringLiteral("failed(%1)").arg(kNoBus));
        return;
    }
    start();
}

AvahiBrowser::~AvahiBrowser()
{
    m_link->detach(this);
    m_link->free(m_path, kServiceBrowser);
    for (const auto &[path, id] : m_resolvers) {
        m_link->free(path, kServiceResolver);
    }
}

QList<BonjourBrowseResult> AvahiBrowser::results() const
{
    QList<BonjourBrowseResult> out;
    for (const auto &service : m_shown) {
        if (service.resolved) {
            out.append({service.name, service.type, service.domain, service.txt, service.host, service.isLocal()});
        }
    }
    return out;
}

void AvahiBrowser::daemonGone(const QString &reason)
{
    m_path.clear();
    m_settlingName = false;
    ++m_attempt;
    m_replacing = false;
    m_found.clear();
    // Its resolvers went with it; what they found last stays listed, as not current.
    m_resolvers.clear();
    for (Service &service : m_shown) {
        service.followed = false;
        service.resolverPath.clear();
    }
    m_settleLimit.stop();
    unavailable(reason);
}

void AvahiBrowser::daemonBack()
{
    // What the daemon lists now replaces what it listed before as a whole, once it is known.
    m_replacing = true;
    m_found.clear();
    m_allForNow = false;
    start();
}

void AvahiBrowser::serverNotRunning(const QString &reason)
{
    if (!m_path.isEmpty() && !m_replacing) {
        m_settlingName = true;
        unavailable(reason);
    }
}

void AvahiBrowser::serverRunning()
{
    if (std::exchange(m_settlingName, false) && !m_path.isEmpty() && !m_replacing && !m_current) {
        m_current = true;
        Q_EMIT stateChanged(QStringLiteral("ready"));
    }
}

void AvahiBrowser::signalArrived(const QDBusMessage &message)
{
    if (message.interface() == kServiceResolver) {
        resolverSignal(message);
        return;
    }
    const QVariantList args = message.arguments();
    std::vector<Service> &list = m_replacing ? m_found : m_shown;
    if (isMember(message, "ItemNew") && args.size() >= 6) {
        itemNew(list, args);
    } else if (isMember(message, "ItemRemove") && args.size() >= 6) {
        itemRemove(list, args);
    } else if (isMember(message, "AllForNow")) {
        m_allForNow = true;
    } else if (isMember(message, "Failure")) {
        m_link->release(std::exchange(m_path, QString()));
        m_current = false;
        Q_EMIT stateChanged(QStringLiteral("failed(%1)").arg(args.value(0).toString()));
        return;
    }
    changed();
}

void AvahiBrowser::itemNew(std::vector<Service> &list, const QVariantList &args)
{
    const Where where{args.at(0).toInt(), args.at(1).toInt()};
    const QString name = args.at(2).toString();
    const QString type = args.at(3).toString();
    const QString domain = args.at(4).toString();
    const bool local = (args.at(5).toUInt() & kResultLocal) != 0;
    auto service = std::find_if(list.begin(), list.end(), [&](const Service &s) {
        return s.name == name && s.type.compare(type, Qt::CaseInsensitive) == 0 && s.domain.compare(domain, Qt::CaseInsensitive) == 0;
    });
    const bool isNew = service == list.end();
    if (isNew) {
        list.push_back({.name = name, .type = type, .domain = domain, .id = ++m_lastServiceId});
        service = std::prev(list.end());
    }
    service->presence[where] = local;
    if (local && !service->followed) {
        follow(*service, where);
    } else if (isNew && !local) {
        resolveOnce(*service, where);
    }
}

void AvahiBrowser::itemRemove(std::vector<Service> &list, const QVariantList &args)
{
    const Where where{args.at(0).toInt(), args.at(1).toInt()};
    const QString name = args.at(2).toString();
    const QString type = args.at(3).toString();
    const QString domain = args.at(4).toString();
    const auto service = std::find_if(list.begin(), list.end(), [&](const Service &s) {
        return s.name == name && s.type.compare(type, Qt::CaseInsensitive) == 0 && s.domain.compare(domain, Qt::CaseInsensitive) == 0;
    });
    if (service == list.end()) {
        return;
    }
    service->presence.erase(where);
    if (service->presence.empty()) {
        dropResolver(*service);
        list.erase(service);
    }
}

void AvahiBrowser::follow(Service &service, Where where)
{
    service.followed = true;
    const quint64 attempt = m_attempt;
    const quint64 id = service.id;
    const QVariantList arguments{where.first, where.second, service.name, service.type, service.domain, kAnyProtocol, kLookupNoAddress};
    m_link->create(this, QStringLiteral("ServiceResolverNew"), arguments, Lane::own, [this, attempt, id, where](const QDBusMessage &reply) {
        Service *service = attempt == m_attempt ? find(id) : nullptr;
        if (!service || !service->followed || !service->resolverPath.isEmpty()) {
            return false; // the advert went meanwhile, or is followed already: the link frees this one
        }
        const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
        if (failureOf(reply) != Failure::none || path.isEmpty()) {
            resolveFailed(*service, where);
            return false;
        }
        service->resolverPath = path;
        m_resolvers[path] = id;
        // Found may have come before this reply.
        m_link->claim(path, this);
        return true;
    });
}

void AvahiBrowser::resolveOnce(const Service &service, Where where)
{
    const quint64 attempt = m_attempt;
    const quint64 id = service.id;
    const QVariantList arguments{where.first, where.second, service.name, service.type, service.domain, kAnyProtocol, kLookupNoAddress};
    m_link->call(
        this, QStringLiteral("/"), kServer, QStringLiteral("ResolveService"), arguments, Lane::others,
        [this, attempt, id](const QDBusMessage &reply) {
            Service *service = attempt == m_attempt ? find(id) : nullptr;
            // Followed meanwhile: its resolver has the word.
            if (!service || service->followed || failureOf(reply) == Failure::absent) {
                return;
            }
            if (failureOf(reply) == Failure::none) {
                apply(*service, reply.arguments());
            }
            // A service that could not be resolved is listed without a TXT record.
            service->resolved = true;
            changed();
        },
        kMaxResolveRetries);
}

void AvahiBrowser::resolverSignal(const QDBusMessage &message)
{
    const auto resolver = m_resolvers.find(message.path());
    Service *service = resolver != m_resolvers.end() ? find(resolver->second) : nullptr;
    if (!service) {
        return;
    }
    if (isMember(message, "Found")) {
        service->failedResolves = 0;
        apply(*service, message.arguments());
        service->resolved = true;
        changed();
    } else if (isMember(message, "Failure")) {
        const Where where = service->presence.empty() ? Where{kAnyInterface, kAnyProtocol} : service->presence.begin()->first;
        dropResolver(*service);
        resolveFailed(*service, where);
    }
}

void AvahiBrowser::apply(Service &service, const QVariantList &found)
{
    if (found.size() < 11) {
        return;
    }
    service.txt = txtRecord(byteArrays(found.at(9)));
    service.host = found.at(5).toString();
    service.resolvedLocal = (found.at(10).toUInt() & kResultLocal) != 0;
}

void AvahiBrowser::resolveFailed(Service &service, Where where)
{
    // Listed without a TXT record until a resolve finds one; asked again while the advert stands.
    if (!service.resolved) {
        service.resolved = true;
        changed();
    }
    service.followed = false;
    const int pause = std::min(AvahiLink::kLongestRetryMs, AvahiLink::kFirstRetryMs << std::min(service.failedResolves++, 8));
    const quint64 attempt = m_attempt;
    const quint64 id = service.id;
    QTimer::singleShot(pause, this, [this, attempt, id, where] {
        Service *again = attempt == m_attempt ? find(id) : nullptr;
        if (again && !again->followed && again->seenLocal()) {
            follow(*again, again->presence.contains(where) ? where : again->presence.begin()->first);
        }
    });
}

void AvahiBrowser::dropResolver(Service &service)
{
    service.followed = false;
    if (service.resolverPath.isEmpty()) {
        return;
    }
    m_resolvers.erase(service.resolverPath);
    m_link->release(service.resolverPath);
    m_link->free(std::exchange(service.resolverPath, QString()), kServiceResolver);
}

AvahiBrowser::Service *AvahiBrowser::find(quint64 id)
{
    for (std::vector<Service> *list : {&m_shown, &m_found}) {
        const auto found = std::find_if(list->begin(), list->end(), [id](const Service &s) { return s.id == id; });
        if (found != list->end()) {
            return &*found;
        }
    }
    return nullptr;
}

void AvahiBrowser::changed()
{
    if (m_replacing) {
        settle(false);
        return;
    }
    if (!m_burst.isActive()) {
        m_burst.start();
    }
}

void AvahiBrowser::emitResults()
{
    QList<BonjourBrowseResult> after = results();
    if (after != m_told) {
        m_told = after;
        Q_EMIT resultsChanged(after);
    }
}

void AvahiBrowser::start()
{
    const quint64 attempt = ++m_attempt;
    const QVariantList arguments{kAnyInterface, kAnyProtocol, m_type, m_domain, uint(0)};
    m_link->create(this, QStringLiteral("ServiceBrowserNew"), arguments, Lane::own, [this, attempt](const QDBusMessage &reply) {
        if (attempt != m_attempt) {
            return false;
        }
        switch (failureOf(reply)) {
        case Failure::none: break;
        case Failure::absent: unavailable(kNotRunning); return false;
        case Failure::noAnswer:
            QTimer::singleShot(AvahiLink::kLongestRetryMs, this, [this, attempt] {
                if (attempt == m_attempt) {
                    daemonBack();
                }
            });
            unavailable(kNoAnswer);
            return false;
        case Failure::collision:
        case Failure::other:
            m_current = false;
            Q_EMIT stateChanged(QStringLiteral("failed(%1)").arg(replyErrorText(reply)));
            return false;
        }
        m_path = reply.arguments().value(0).value<QDBusObjectPath>().path();
        if (m_replacing) {
            m_settleLimit.start();
        } else {
            m_current = true;
            QPointer<AvahiBrowser> self = this;
            Q_EMIT stateChanged(QStringLiteral("ready"));
            if (!self) {
                return true;
            }
        }
        // Signals that came before this reply are handed over now.
        m_link->claim(m_path, this);
        return true;
    });
}

void AvahiBrowser::settle(bool timedOut)
{
    if (!m_replacing || m_path.isEmpty()) {
        return;
    }
    // Other hosts' adverts decide nothing: a crowd of them, each waiting for its resolve, holds
    // back no list.
    const bool resolved = std::all_of(m_found.begin(), m_found.end(), [](const Service &s) { return s.resolved || !s.seenLocal(); });
    if (!timedOut && !(m_allForNow && resolved)) {
        return;
    }
    m_settleLimit.stop();
    m_shown = std::exchange(m_found, {});
    m_replacing = false;
    m_current = true;
    QPointer<AvahiBrowser> self = this;
    Q_EMIT stateChanged(QStringLiteral("ready"));
    if (!self) {
        return;
    }
    m_burst.stop();
    emitResults();
}

void AvahiBrowser::unavailable(const QString &reason)
{
    const bool wasCurrent = std::exchange(m_current, false);
    const QString state = QStringLiteral("unavailable(%1)").arg(reason);
    if (wasCurrent || state != m_lastUnavailable) {
        m_lastUnavailable = state;
        Q_EMIT stateChanged(state);
    }
}

void AvahiBrowser::setStateLater(const QString &state)
{
    QMetaObject::invokeMethod(this, [this, state] { Q_EMIT stateChanged(state); }, Qt::QueuedConnection);
}

} // namespace cordavelle
