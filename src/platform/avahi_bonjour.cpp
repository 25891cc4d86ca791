#include "avahi_bonjour.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace cordavelle {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Avahi");
const QString kServer = QStringLiteral("org.freedesktop.Avahi.Server");
const QString kEntryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
const QString kServiceBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");

// Avahi's own numbers (avahi-common/defs.h).
constexpr int kAnyInterface = -1;
constexpr int kAnyProtocol = -1;
constexpr uint kLookupNoAddress = 8;      // a lookup flag: resolve the SRV and TXT records only
constexpr uint kResultLocal = 8;          // a result flag: announced by this machine
constexpr int kServerRunning = 2;
constexpr int kGroupEstablished = 2;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;

// A hung daemon's call ends after this; it is then tried again.
constexpr int kCallTimeoutMs = 25000;
constexpr int kRetryMs = 1000;
// A browse started over is shown once the daemon has said all it knows and every service found
// is resolved, or after this at most: the list it replaces must not stand stale for long.
constexpr int kSettleLimitMs = 4000;
// A signal for an object whose creation has not been answered yet waits this long for it.
constexpr int kUnclaimedSignalMs = 5000;
// How often one advertisement may be renamed before it gives up; a network with this many
// copies of one name is broken anyway.
constexpr int kMaxRenames = 100;
// How often a resolve the daemon did not answer is asked again.
constexpr int kMaxResolveRetries = 3;

const QString kNotRunning = QStringLiteral("avahi-daemon is not running");
const QString kNoAnswer = QStringLiteral("avahi-daemon does not answer");
const QString kRenaming = QStringLiteral("avahi-daemon is settling this machine's host name");

enum class Failure { none, absent, noAnswer, collision, other };

Failure failureNamed(const QString &name)
{
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QLatin1String("org.freedesktop.Avahi.DisconnectedError")) {
        return Failure::absent;
    }
    // An object of ours the daemon no longer has is made anew as after no answer.
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1String("org.freedesktop.DBus.Error.TimedOut")) {
        return Failure::noAnswer;
    }
    if (name == QLatin1String("org.freedesktop.Avahi.CollisionError")) {
        return Failure::collision;
    }
    return Failure::other;
}

Failure failureOf(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ErrorMessage ? failureNamed(reply.errorName()) : Failure::none;
}

QString replyErrorText(const QDBusMessage &reply) { return AvahiBonjour::errorText(reply.errorName(), reply.errorMessage()); }

QByteArrayList byteArrays(const QVariant &value)
{
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<QByteArrayList>(value.value<QDBusArgument>());
    }
    return value.value<QByteArrayList>();
}

QVariant txtArgument(const BonjourTxtRecord &txt)
{
    QByteArrayList strings;
    for (const auto &entry : txt.entries()) {
        strings << (entry.value ? entry.key.toUtf8() + '=' + *entry.value : entry.key.toUtf8());
    }
    return QVariant::fromValue(strings);
}

BonjourTxtRecord txtRecord(const QByteArrayList &strings)
{
    QByteArray wire;
    for (const QByteArray &string : strings) {
        if (string.size() > 255) {
            continue;
        }
        wire += char(quint8(string.size()));
        wire += string;
    }
    return BonjourTxtRecord::decode(wire);
}

} // namespace

// What a publication or a browse hears from the daemon beside its own calls' replies.
class AvahiPeer {
public:
    virtual ~AvahiPeer() = default;
    // The daemon stopped: every object of ours it held is gone with it.
    virtual void daemonGone(const QString &reason) = 0;
    // A daemon took the name (again): start over with it.
    virtual void daemonBack() = 0;
    // A signal of the object at a path this peer claimed.
    virtual void signalArrived(const QDBusMessage &message) = 0;
    // The daemon holds this machine's host name (again), or no longer does for now (it is
    // registering it, or renaming the machine after another host claimed it): a service's record
    // names the host name it was added under, so services are published only while it holds it.
    virtual void serverRunning() {}
    virtual void serverNotRunning(const QString &) {}
};

// One connection to the daemon for every publication and browse: it follows the daemon's name on
// the bus and hands each object's signals to the peer that made it.
class AvahiLink final : public QObject {
    Q_OBJECT
public:
    explicit AvahiLink(const QDBusConnection &bus) : m_bus(bus)
    {
        qDBusRegisterMetaType<QByteArrayList>();
        if (!m_bus.isConnected()) {
            return;
        }
        m_watcher = new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &AvahiLink::ownerChanged);
        // Every signal of our objects, whatever their path: a browser's first items may come before
        // the reply that names it.
        for (const char *member : {"ItemNew", "ItemRemove", "Failure", "AllForNow", "CacheExhausted"}) {
            m_bus.connect(kService, QString(), kServiceBrowser, QString::fromLatin1(member), this,
                          SLOT(signalArrived(QDBusMessage)));
        }
        m_bus.connect(kService, QString(), kEntryGroup, QStringLiteral("StateChanged"), this,
                      SLOT(signalArrived(QDBusMessage)));
        m_bus.connect(kService, QStringLiteral("/"), kServer, QStringLiteral("StateChanged"), this,
                      SLOT(serverStateChanged(QDBusMessage)));
        askServerState();
    }

    bool connected() const { return m_bus.isConnected(); }
    bool serverRunning() const { return m_serverState == kServerRunning; }
    quint64 generation() const { return m_generation; }

    void attach(AvahiPeer *peer) { m_peers.push_back(peer); }
    void detach(AvahiPeer *peer)
    {
        std::erase(m_peers, peer);
        std::erase_if(m_claims, [peer](const auto &claim) { return claim.second == peer; });
    }

    // Routes the signals of the object at `path` to `peer`, those already come first.
    void claim(const QString &path, AvahiPeer *peer)
    {
        m_claims[path] = peer;
        const auto waiting = m_unclaimed.find(path);
        if (waiting == m_unclaimed.end()) {
            return;
        }
        const std::vector<QDBusMessage> messages = std::move(waiting->second);
        m_unclaimed.erase(waiting);
        for (const QDBusMessage &message : messages) {
            if (!isClaimedBy(path, peer)) {
                return;
            }
            peer->signalArrived(message);
        }
    }
    void release(const QString &path) { m_claims.erase(path); }

    // Asks the daemon without waiting for it. `done` gets the reply, unless `owner` is gone by then
    // or the daemon changed meanwhile (the peers then start over anyway).
    void call(QObject *owner, const QString &path, const QString &interface, const QString &method,
              const QVariantList &arguments, std::function<void(const QDBusMessage &)> done)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(arguments);
        // A system daemon is started by the system, never on a user program's behalf.
        message.setAutoStartService(false);
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kCallTimeoutMs), owner);
        const quint64 generation = m_generation;
        connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                [this, generation, done = std::move(done)](QDBusPendingCallWatcher *finished) {
                    finished->deleteLater();
                    if (generation == m_generation) {
                        done(finished->reply());
                    }
                });
    }

    // Frees an object of ours that nobody waits for any more; its answer does not matter.
    void free(const QString &path, const QString &interface)
    {
        if (path.isEmpty() || !m_bus.isConnected()) {
            return;
        }
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, QStringLiteral("Free"));
        message.setAutoStartService(false);
        m_bus.asyncCall(message, kCallTimeoutMs);
    }

private Q_SLOTS:
    void serverStateChanged(const QDBusMessage &message)
    {
        if (!message.arguments().isEmpty()) {
            setServerState(message.arguments().constFirst().toInt());
        }
    }

    void signalArrived(const QDBusMessage &message)
    {
        const QString path = message.path();
        const auto claimed = m_claims.find(path);
        if (claimed != m_claims.end()) {
            claimed->second->signalArrived(message);
            return;
        }
        auto &waiting = m_unclaimed[path];
        waiting.push_back(message);
        if (waiting.size() > 1) {
            return;
        }
        // Nobody claimed it in time: an object whose creation's answer came too late for us.
        const QString interface = message.interface();
        QTimer::singleShot(kUnclaimedSignalMs, this, [this, path, interface] {
            if (m_unclaimed.erase(path) > 0 && !m_claims.contains(path)) {
                free(path, interface);
            }
        });
    }

    void ownerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
    {
        ++m_generation;
        m_claims.clear();
        m_unclaimed.clear();
        // A new daemon first registers the host name; services wait for it (serverRunning).
        m_serverState = -1;
        const QString reason = newOwner.isEmpty() ? kNotRunning : QStringLiteral("avahi-daemon restarted");
        if (!oldOwner.isEmpty()) {
            forEachPeer([&reason](AvahiPeer *peer) { peer->daemonGone(reason); });
        }
        if (!newOwner.isEmpty()) {
            askServerState();
            forEachPeer([](AvahiPeer *peer) { peer->daemonBack(); });
        }
    }

private:
    void askServerState()
    {
        QObject *owner = this;
        call(owner, QStringLiteral("/"), kServer, QStringLiteral("GetState"), {}, [this](const QDBusMessage &reply) {
            switch (failureOf(reply)) {
            case Failure::none: setServerState(reply.arguments().value(0).toInt()); return;
            case Failure::absent:
                // Whoever waits for the daemon learns it is not there; it is asked again once it is.
                forEachPeer([](AvahiPeer *peer) { peer->daemonGone(kNotRunning); });
                return;
            case Failure::noAnswer: {
                const quint64 generation = m_generation;
                QTimer::singleShot(kRetryMs, this, [this, generation] {
                    if (generation == m_generation && m_serverState < 0) {
                        askServerState();
                    }
                });
                return;
            }
            case Failure::collision:
            case Failure::other: return;
            }
        });
    }

    void setServerState(int state)
    {
        const bool was = serverRunning();
        m_serverState = state;
        if (serverRunning() && !was) {
            forEachPeer([](AvahiPeer *peer) { peer->serverRunning(); });
        } else if (!serverRunning() && was) {
            forEachPeer([](AvahiPeer *peer) { peer->serverNotRunning(kRenaming); });
        }
    }

    bool isClaimedBy(const QString &path, AvahiPeer *peer) const
    {
        const auto claimed = m_claims.find(path);
        return claimed != m_claims.end() && claimed->second == peer;
    }

    // A peer told may delete itself or another: each is looked up again before it is told.
    void forEachPeer(const std::function<void(AvahiPeer *)> &tell)
    {
        const std::vector<AvahiPeer *> peers = m_peers;
        for (AvahiPeer *peer : peers) {
            if (std::find(m_peers.begin(), m_peers.end(), peer) != m_peers.end()) {
                tell(peer);
            }
        }
    }

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    quint64 m_generation = 0;
    // Avahi's server state (2 running); negative while it is not known.
    int m_serverState = -1;
    std::vector<AvahiPeer *> m_peers;
    std::map<QString, AvahiPeer *> m_claims;
    std::map<QString, std::vector<QDBusMessage>> m_unclaimed;
};

namespace {

const QString kNoBus = QStringLiteral("the system bus can't be reached, so neither can avahi-daemon");

class AvahiRegistration final : public BonjourRegistration, public AvahiPeer {
public:
    AvahiRegistration(std::shared_ptr<AvahiLink> link, BonjourServiceDescription service, quint16 port)
        : m_link(std::move(link)),
          m_service(std::move(service)),
          m_port(port),
          m_name(m_service.name.isEmpty() ? QSysInfo::machineHostName() : m_service.name)
    {
        m_link->attach(this);
        if (!m_service.txt.encode()) {
            failLater(QStringLiteral("the TXT record does not fit in DNS-SD's limits"));
            return;
        }
        if (!m_link->connected()) {
            failLater(kNoBus);
            return;
        }
        if (m_link->serverRunning()) {
            publish();
        }
    }

    ~AvahiRegistration() override
    {
        m_link->detach(this);
        m_link->free(m_path, kEntryGroup);
    }

    QString registeredName() const override { return m_registeredName; }

    void daemonGone(const QString &reason) override
    {
        m_path.clear();
        ++m_attempt;
        if (!m_failed) {
            interrupt(reason);
        }
    }

    void daemonBack() override
    {
        if (!m_failed && m_link->serverRunning()) {
            publish();
        }
    }

    void serverRunning() override
    {
        if (!m_failed) {
            publish();
        }
    }

    void serverNotRunning(const QString &reason) override
    {
        if (m_failed) {
            return;
        }
        // Withdrawn whole: added again once the name is settled, it names the host name then.
        m_link->release(m_path);
        m_link->free(std::exchange(m_path, QString()), kEntryGroup);
        ++m_attempt;
        interrupt(reason);
    }

    void signalArrived(const QDBusMessage &message) override
    {
        if (message.member() != QLatin1String("StateChanged") || message.arguments().size() < 2) {
            return;
        }
        const int state = message.arguments().at(0).toInt();
        if (state == kGroupEstablished) {
            if (m_registeredName != m_name || m_interrupted) {
                m_interrupted = false;
                m_registeredName = m_name;
                Q_EMIT registered(m_name);
            }
        } else if (state == kGroupCollision) {
            // Another host holds the name: the next one in our numbering, in the same group.
            if (!rename()) {
                fail(QStringLiteral("the name is already taken"));
                return;
            }
            m_link->call(this, m_path, kEntryGroup, QStringLiteral("Reset"), {}, [](const QDBusMessage &) {});
            addService();
        } else if (state == kGroupFailure) {
            const QString error = message.arguments().at(1).toString();
            fail(error.isEmpty() ? QStringLiteral("avahi-daemon could not publish the service") : error);
        }
    }

private:
    void publish()
    {
        m_link->free(std::exchange(m_path, QString()), kEntryGroup);
        const quint64 attempt = ++m_attempt;
        m_link->call(this, QStringLiteral("/"), kServer, QStringLiteral("EntryGroupNew"), {},
                     [this, attempt](const QDBusMessage &reply) {
                         if (attempt != m_attempt) {
                             return;
                         }
                         if (handled(reply)) {
                             return;
                         }
                         m_path = reply.arguments().value(0).value<QDBusObjectPath>().path();
                         if (m_path.isEmpty()) {
                             fail(QStringLiteral("avahi-daemon gave no entry group"));
                             return;
                         }
                         m_link->claim(m_path, this);
                         addService();
                     });
    }

    void addService()
    {
        const quint64 attempt = m_attempt;
        const QString path = m_path;
        const QVariantList arguments{kAnyInterface,
                                     kAnyProtocol,
                                     uint(0),
                                     m_name,
                                     m_service.type,
                                     m_service.domain,
                                     QString(),
                                     QVariant::fromValue(m_port),
                                     txtArgument(m_service.txt)};
        m_link->call(this, path, kEntryGroup, QStringLiteral("AddService"), arguments,
                     [this, attempt, path](const QDBusMessage &reply) {
                         if (attempt != m_attempt || path != m_path) {
                             return;
                         }
                         // A name another service of this machine holds is refused at once.
                         if (failureOf(reply) == Failure::collision) {
                             if (rename()) {
                                 addService();
                             } else {
                                 fail(replyErrorText(reply));
                             }
                             return;
                         }
                         if (handled(reply)) {
                             return;
                         }
                         m_link->call(this, path, kEntryGroup, QStringLiteral("Commit"), {},
                                      [this, attempt](const QDBusMessage &committed) {
                                          if (attempt == m_attempt) {
                                              handled(committed);
                                          }
                                      });
                     });
    }

    // Deals with a failed reply; false when it did not fail.
    bool handled(const QDBusMessage &reply)
    {
        switch (failureOf(reply)) {
        case Failure::none: return false;
        case Failure::absent:
            // Published again once a daemon takes the name.
            m_link->release(std::exchange(m_path, QString()));
            interrupt(kNotRunning);
            return true;
        case Failure::noAnswer: {
            // Set before the signal, whose receiver may end this registration.
            const quint64 attempt = m_attempt;
            QTimer::singleShot(kRetryMs, this, [this, attempt] {
                if (attempt == m_attempt && !m_failed) {
                    publish();
                }
            });
            interrupt(kNoAnswer);
            return true;
        }
        case Failure::collision:
        case Failure::other: fail(replyErrorText(reply)); return true;
        }
        return true;
    }

    // Moves on to the next name; false once too many were taken.
    bool rename()
    {
        if (++m_renames > kMaxRenames) {
            return false;
        }
        m_name = nextBonjourServiceName(m_name);
        return true;
    }

    void interrupt(const QString &reason)
    {
        if (m_interrupted) {
            return;
        }
        m_interrupted = true;
        Q_EMIT interrupted(reason);
    }

    void fail(const QString &reason)
    {
        m_failed = true;
        ++m_attempt;
        m_link->release(m_path);
        m_link->free(std::exchange(m_path, QString()), kEntryGroup);
        m_registeredName.clear();
        Q_EMIT failed(reason);
    }

    void failLater(const QString &reason)
    {
        m_failed = true;
        QMetaObject::invokeMethod(this, [this, reason] { Q_EMIT failed(reason); }, Qt::QueuedConnection);
    }

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
};

class AvahiBrowser final : public BonjourBrowser, public AvahiPeer {
public:
    AvahiBrowser(std::shared_ptr<AvahiLink> link, const QString &type, const QString &domain)
        : m_link(std::move(link)), m_type(type), m_domain(domain)
    {
        m_link->attach(this);
        m_settleLimit.setSingleShot(true);
        m_settleLimit.setInterval(kSettleLimitMs);
        QObject::connect(&m_settleLimit, &QTimer::timeout, this, [this] { settle(true); });
        if (!m_link->connected()) {
            m_current = false;
            setStateLater(QStringLiteral("failed(%1)").arg(kNoBus));
            return;
        }
        start();
    }

    ~AvahiBrowser() override
    {
        m_link->detach(this);
        m_link->free(m_path, kServiceBrowser);
    }

    QList<BonjourBrowseResult> results() const override
    {
        QList<BonjourBrowseResult> out;
        for (const auto &service : m_shown) {
            if (service.resolved) {
                out.append({service.name, service.type, service.domain, service.txt, service.host, service.isLocal()});
            }
        }
        return out;
    }

    bool isCurrent() const override { return m_current; }

    void daemonGone(const QString &reason) override
    {
        m_path.clear();
        ++m_attempt;
        m_replacing = false;
        m_found.clear();
        m_settleLimit.stop();
        unavailable(reason);
    }

    void daemonBack() override
    {
        // What the daemon lists now replaces what it listed before as a whole, once it is known.
        m_replacing = true;
        m_found.clear();
        m_allForNow = false;
        start();
    }

    void signalArrived(const QDBusMessage &message) override
    {
        const QString member = message.member();
        const QVariantList args = message.arguments();
        std::vector<Service> &list = m_replacing ? m_found : m_shown;
        const QList<BonjourBrowseResult> before = results();
        if ((member == QLatin1String("ItemNew") || member == QLatin1String("ItemRemove")) && args.size() >= 6) {
            const std::pair<int, int> where{args.at(0).toInt(), args.at(1).toInt()};
            const QString name = args.at(2).toString();
            const QString type = args.at(3).toString();
            const QString domain = args.at(4).toString();
            const bool local = (args.at(5).toUInt() & kResultLocal) != 0;
            auto service = std::find_if(list.begin(), list.end(), [&](const Service &s) {
                return s.name == name && s.type.compare(type, Qt::CaseInsensitive) == 0 &&
                       s.domain.compare(domain, Qt::CaseInsensitive) == 0;
            });
            if (member == QLatin1String("ItemNew")) {
                if (service == list.end()) {
                    list.push_back({.name = name, .type = type, .domain = domain, .id = ++m_lastServiceId});
                    service = std::prev(list.end());
                    resolve(*service, where);
                }
                service->presence[where] = local;
            } else if (service != list.end()) {
                service->presence.erase(where);
                if (service->presence.empty()) {
                    list.erase(service);
                }
            }
        } else if (member == QLatin1String("AllForNow")) {
            m_allForNow = true;
        } else if (member == QLatin1String("Failure")) {
            m_link->release(std::exchange(m_path, QString()));
            m_current = false;
            Q_EMIT stateChanged(QStringLiteral("failed(%1)").arg(args.value(0).toString()));
            return;
        }
        changed(before);
    }

private:
    struct Service {
        QString name;
        QString type;
        QString domain;
        quint64 id = 0;
        // Browse replies come once per interface and protocol, each saying whether this machine
        // announced it; the service is gone when every one of them was withdrawn.
        std::map<std::pair<int, int>, bool> presence = {};
        bool resolved = false;
        std::optional<BonjourTxtRecord> txt = {};
        QString host = {};
        bool resolvedLocal = false;

        // Ours only when the daemon says so of every sighting and of the records resolved.
        bool isLocal() const
        {
            return resolvedLocal && !presence.empty() &&
                   std::all_of(presence.begin(), presence.end(), [](const auto &seen) { return seen.second; });
        }
    };

    void start()
    {
        const quint64 attempt = ++m_attempt;
        const QVariantList arguments{kAnyInterface, kAnyProtocol, m_type, m_domain, uint(0)};
        m_link->call(this, QStringLiteral("/"), kServer, QStringLiteral("ServiceBrowserNew"), arguments,
                     [this, attempt](const QDBusMessage &reply) {
                         if (attempt != m_attempt) {
                             return;
                         }
                         switch (failureOf(reply)) {
                         case Failure::none: break;
                         case Failure::absent: unavailable(kNotRunning); return;
                         case Failure::noAnswer:
                             QTimer::singleShot(kRetryMs, this, [this, attempt] {
                                 if (attempt == m_attempt) {
                                     daemonBack();
                                 }
                             });
                             unavailable(kNoAnswer);
                             return;
                         case Failure::collision:
                         case Failure::other:
                             m_current = false;
                             Q_EMIT stateChanged(QStringLiteral("failed(%1)").arg(replyErrorText(reply)));
                             return;
                         }
                         m_path = reply.arguments().value(0).value<QDBusObjectPath>().path();
                         if (m_replacing) {
                             m_settleLimit.start();
                         } else {
                             m_current = true;
                             QPointer<AvahiBrowser> self = this;
                             Q_EMIT stateChanged(QStringLiteral("ready"));
                             if (!self) {
                                 return;
                             }
                         }
                         // Signals that came before this reply are handed over now.
                         m_link->claim(m_path, this);
                     });
    }

    void resolve(const Service &service, std::pair<int, int> where, int retries = 0)
    {
        const quint64 attempt = m_attempt;
        const quint64 id = service.id;
        const QVariantList arguments{where.first, where.second, service.name, service.type, service.domain,
                                     kAnyProtocol, kLookupNoAddress};
        m_link->call(this, QStringLiteral("/"), kServer, QStringLiteral("ResolveService"), arguments,
                     [this, attempt, id, where, retries](const QDBusMessage &reply) {
                         if (attempt != m_attempt) {
                             return;
                         }
                         Service *service = find(id);
                         if (!service) {
                             return;
                         }
                         const Failure failure = failureOf(reply);
                         if (failure == Failure::absent) {
                             return;
                         }
                         if (failure == Failure::noAnswer && retries < kMaxResolveRetries) {
                             QTimer::singleShot(kRetryMs, this, [this, attempt, id, where, retries] {
                                 if (Service *again = attempt == m_attempt ? find(id) : nullptr) {
                                     resolve(*again, where, retries + 1);
                                 }
                             });
                             return;
                         }
                         const QList<BonjourBrowseResult> before = results();
                         const QVariantList args = reply.arguments();
                         if (failure == Failure::none && args.size() >= 11) {
                             service->txt = txtRecord(byteArrays(args.at(9)));
                             service->host = args.at(5).toString();
                             service->resolvedLocal = (args.at(10).toUInt() & kResultLocal) != 0;
                         }
                         // A service that could not be resolved is listed without a TXT record.
                         service->resolved = true;
                         changed(before);
                     });
    }

    Service *find(quint64 id)
    {
        for (std::vector<Service> *list : {&m_shown, &m_found}) {
            const auto found = std::find_if(list->begin(), list->end(), [id](const Service &s) { return s.id == id; });
            if (found != list->end()) {
                return &*found;
            }
        }
        return nullptr;
    }

    void changed(const QList<BonjourBrowseResult> &before)
    {
        if (m_replacing) {
            settle(false);
            return;
        }
        QList<BonjourBrowseResult> after = results();
        if (after != before) {
            Q_EMIT resultsChanged(after);
        }
    }

    // Shows the browse started over once it is complete (or has taken too long).
    void settle(bool timedOut)
    {
        if (!m_replacing || m_path.isEmpty()) {
            return;
        }
        const bool resolved = std::all_of(m_found.begin(), m_found.end(), [](const Service &s) { return s.resolved; });
        if (!timedOut && !(m_allForNow && resolved)) {
            return;
        }
        m_settleLimit.stop();
        const QList<BonjourBrowseResult> before = results();
        m_shown = std::exchange(m_found, {});
        m_replacing = false;
        m_current = true;
        QPointer<AvahiBrowser> self = this;
        Q_EMIT stateChanged(QStringLiteral("ready"));
        if (!self) {
            return;
        }
        const QList<BonjourBrowseResult> after = results();
        if (after != before) {
            Q_EMIT resultsChanged(after);
        }
    }

    void unavailable(const QString &reason)
    {
        const bool wasCurrent = std::exchange(m_current, false);
        const QString state = QStringLiteral("unavailable(%1)").arg(reason);
        if (wasCurrent || state != m_lastUnavailable) {
            m_lastUnavailable = state;
            Q_EMIT stateChanged(state);
        }
    }

    void setStateLater(const QString &state)
    {
        QMetaObject::invokeMethod(this, [this, state] { Q_EMIT stateChanged(state); }, Qt::QueuedConnection);
    }

    std::shared_ptr<AvahiLink> m_link;
    QString m_type;
    QString m_domain;
    QString m_path;
    quint64 m_attempt = 0;
    quint64 m_lastServiceId = 0;
    // What results() gives, and while a browse started over is not complete yet, what it found.
    std::vector<Service> m_shown;
    std::vector<Service> m_found;
    bool m_replacing = false;
    bool m_allForNow = false;
    bool m_current = true;
    QString m_lastUnavailable;
    QTimer m_settleLimit;
};

} // namespace

AvahiBonjour::AvahiBonjour(const QDBusConnection &bus) : m_link(std::make_shared<AvahiLink>(bus)) {}

AvahiBonjour::~AvahiBonjour() = default;

std::unique_ptr<BonjourRegistration> AvahiBonjour::advertise(const BonjourServiceDescription &service, quint16 port)
{
    return std::make_unique<AvahiRegistration>(m_link, service, port);
}

std::unique_ptr<BonjourBrowser> AvahiBonjour::browse(const QString &type, const QString &domain)
{
    return std::make_unique<AvahiBrowser>(m_link, type, domain);
}

QString AvahiBonjour::errorText(const QString &name, const QString &message)
{
    static const std::pair<const char *, const char *> known[] = {
        {"org.freedesktop.Avahi.CollisionError", "the name is already taken"},
        {"org.freedesktop.Avahi.InvalidServiceNameError", "invalid service name"},
        {"org.freedesktop.Avahi.InvalidServiceTypeError", "invalid service type"},
        {"org.freedesktop.Avahi.InvalidDomainNameError", "invalid domain"},
        {"org.freedesktop.Avahi.InvalidPortError", "invalid port"},
        {"org.freedesktop.Avahi.TooManyObjectsError", "avahi-daemon holds too many objects for this program"},
        {"org.freedesktop.Avahi.AccessDeniedError", "avahi-daemon refused this program"},
        {"org.freedesktop.Avahi.TimeoutError", "the service did not answer"},
        {"org.freedesktop.DBus.Error.AccessDenied", "the system bus refused this program access to avahi-daemon"},
    };
    for (const auto &[errorName, text] : known) {
        if (name == QLatin1String(errorName)) {
            return QString::fromLatin1(text);
        }
    }
    if (failureNamed(name) == Failure::absent) {
        return kNotRunning;
    }
    return message.isEmpty() ? name : message;
}

} // namespace cordavelle

#include "avahi_bonjour.moc"
