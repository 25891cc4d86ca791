#include "dns_sd_bonjour.h"

#include "network_interfaces.h"
#include "platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QSysInfo>

#include <dns_sd.h>

#include <arpa/inet.h>

#include <functional>
#include <utility>

namespace cordavelle {

namespace {

// How often one advertisement may be renamed before it gives up; each try is one round trip
// to the daemon, and a network with this many copies of one name is broken anyway.
constexpr int kMaxRenames = 100;

// Owns one DNS-SD operation. Its socket becomes readable when the library has results; they
// are handed to the operation's callbacks by DNSServiceProcessResult, on this thread.
class ServiceRef {
public:
    ServiceRef(DNSServiceRef ref, QObject *owner, std::function<void(DNSServiceErrorType)> processed)
        : m_ref(ref),
          m_notifier(std::make_unique<QSocketNotifier>(DNSServiceRefSockFD(ref), QSocketNotifier::Read)),
          m_processed(std::move(processed))
    {
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, owner, [this] {
            const DNSServiceErrorType error = DNSServiceProcessResult(m_ref);
            if (error != kDNSServiceErr_NoError) {
                // The connection to the daemon is gone; the socket would stay readable forever.
                m_notifier->setEnabled(false);
            }
            m_processed(error);
        });
    }

    ~ServiceRef()
    {
        m_notifier.reset();
        DNSServiceRefDeallocate(m_ref);
    }

    ServiceRef(const ServiceRef &) = delete;
    ServiceRef &operator=(const ServiceRef &) = delete;

private:
    DNSServiceRef m_ref;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(DNSServiceErrorType)> m_processed;
};

QByteArray nullTerminated(const QString &text) { return text.toUtf8(); }

// Library callbacks only record what happened; the records are handled later from the event
// loop, where an operation may be deallocated and signals may delete their sender safely.
void queueOnce(QObject *owner, bool &queued, const std::function<void()> &handle)
{
    if (queued) {
        return;
    }
    queued = true;
    QMetaObject::invokeMethod(owner, handle, Qt::QueuedConnection);
}

class DnsSdRegistration final : public BonjourRegistration {
public:
    DnsSdRegistration(BonjourServiceDescription service, quint16 port)
        : m_service(std::move(service)), m_port(port), m_name(m_service.name)
    {
        start();
    }

    QString registeredName() const override { return m_registeredName; }

private:
    struct Reply {
        DNSServiceErrorType error;
        QString name;
    };

    static void DNSSD_API reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char *name,
                                const char *, const char *, void *context)
    {
        auto *self = static_cast<DnsSdRegistration *>(context);
        self->m_replies.push_back({error, QString::fromUtf8(name ? name : "")});
    }

    void start()
    {
        m_ref.reset();
        const auto wire = m_service.txt.encode();
        if (!wire) {
            failLater(QStringLiteral("the TXT record does not fit in DNS-SD's limits"));
            return;
        }
        const QByteArray type = nullTerminated(m_service.type);
        const QByteArray domain = nullTerminated(m_service.domain);
        while (true) {
            const QByteArray name = nullTerminated(m_name);
            DNSServiceRef ref = nullptr;
            const DNSServiceErrorType error = DNSServiceRegister(
                &ref, 0, kDNSServiceInterfaceIndexAny, m_name.isEmpty() ? nullptr : name.constData(),
                type.constData(), domain.isEmpty() ? nullptr : domain.constData(), nullptr, htons(m_port),
                quint16(wire->size()), wire->constData(), &DnsSdRegistration::reply, this);
            if (error == kDNSServiceErr_NoError) {
                m_ref = std::make_unique<ServiceRef>(ref, this, [this](DNSServiceErrorType failure) {
                    if (failure != kDNSServiceErr_NoError) {
                        m_replies.push_back({failure, {}});
                    }
                    queueOnce(this, m_drainQueued, [this] { drain(); });
                });
                return;
            }
            // A name held by another service on this daemon is refused at once.
            if (error != kDNSServiceErr_NameConflict || !rename()) {
                failLater(DnsSdBonjour::errorText(error));
                return;
            }
        }
    }

    // Moves on to the next name; false once too many were taken.
    bool rename()
    {
        if (++m_renames > kMaxRenames) {
            return false;
        }
        m_name = nextBonjourServiceName(m_name.isEmpty() ? QSysInfo::machineHostName() : m_name);
        return true;
    }

    void drain()
    {
        m_drainQueued = false;
        QPointer<DnsSdRegistration> self = this;
        const auto replies = std::exchange(m_replies, {});
        for (const auto &r : replies) {
            if (r.error == kDNSServiceErr_NoError) {
                if (!m_name.isEmpty() && r.name != m_name) {
                    // The daemon picked a name of its own after a conflict on the network;
                    // take the next one in our own numbering instead.
                    if (!rename()) {
                        failNow(DnsSdBonjour::errorText(kDNSServiceErr_NameConflict));
                        return;
                    }
                    start();
                    return;
                }
                if (r.name != m_registeredName) {
                    m_registeredName = r.name;
                    Q_EMIT registered(r.name);
                    if (!self) {
                        return;
                    }
                }
            } else if (r.error == kDNSServiceErr_NameConflict && rename()) {
                start();
                return;
            } else {
                failNow(DnsSdBonjour::errorText(r.error));
                return;
            }
        }
    }

    void failNow(const QString &reason)
    {
        m_ref.reset();
        m_registeredName.clear();
        Q_EMIT failed(reason);
    }

    void failLater(const QString &reason)
    {
        m_ref.reset();
        QMetaObject::invokeMethod(this, [this, reason] { Q_EMIT failed(reason); }, Qt::QueuedConnection);
    }

    BonjourServiceDescription m_service;
    quint16 m_port;
    QString m_name;
    QString m_registeredName;
    int m_renames = 0;
    std::vector<Reply> m_replies;
    bool m_drainQueued = false;
    std::unique_ptr<ServiceRef> m_ref;
};

class DnsSdBrowser final : public BonjourBrowser {
public:
    DnsSdBrowser(const QString &type, const QString &domain)
    {
        const QByteArray typeBytes = nullTerminated(type);
        const QByteArray domainBytes = nullTerminated(domain);
        DNSServiceRef ref = nullptr;
        const DNSServiceErrorType error =
            DNSServiceBrowse(&ref, 0, kDNSServiceInterfaceIndexAny, typeBytes.constData(), domainBytes.constData(),
                             &DnsSdBrowser::browseReply, this);
        QString state;
        if (error == kDNSServiceErr_NoError) {
            m_browse = std::make_unique<ServiceRef>(ref, this, [this](DNSServiceErrorType failure) {
                if (failure != kDNSServiceErr_NoError) {
                    m_events.push_back({.kind = Event::BrowseFailed, .error = failure});
                }
                queueDrain();
            });
            state = QStringLiteral("ready");
        } else {
            state = failedState(error);
        }
        QMetaObject::invokeMethod(this, [this, state] { Q_EMIT stateChanged(state); }, Qt::QueuedConnection);
    }

    QList<BonjourBrowseResult> results() const override
    {
        QList<BonjourBrowseResult> out;
        for (const auto &service : m_services) {
            if (service->resolved) {
                out.append({service->name, service->type, service->domain, service->txt, service->host});
            }
        }
        return out;
    }

private:
    struct Service {
        DnsSdBrowser *browser;
        QString key;
        QString name;
        QString type;
        QString domain;
        // Browse replies come once per interface and address family; the service is gone when
        // every one of them was withdrawn.
        int presence = 0;
        bool resolved = false;
        std::optional<BonjourTxtRecord> txt;
        QString host;
        std::unique_ptr<ServiceRef> resolver;
    };

    struct Event {
        enum Kind { Added, Removed, BrowseFailed, Resolved, ResolveFailed };
        Kind kind;
        QString key = {};
        QString name = {};
        QString type = {};
        QString domain = {};
        DNSServiceErrorType error = kDNSServiceErr_NoError;
        QByteArray txt = {};
        QString host = {};
    };

    static QString failedState(DNSServiceErrorType error)
    {
        return QStringLiteral("failed(%1)").arg(DnsSdBonjour::errorText(error));
    }

    static QString keyOf(const QString &name, const QString &type, const QString &domain)
    {
        return name + QChar(0x1f) + type.toLower() + QChar(0x1f) + domain.toLower();
    }

    static void DNSSD_API browseReply(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error,
                                      const char *name, const char *type, const char *domain, void *context)
    {
        auto *self = static_cast<DnsSdBrowser *>(context);
        if (error != kDNSServiceErr_NoError || !name || !type || !domain) {
            self->m_events.push_back({.kind = Event::BrowseFailed, .error = error});
            return;
        }
        const QString n = QString::fromUtf8(name);
        const QString t = QString::fromUtf8(type);
        const QString d = QString::fromUtf8(domain);
        self->m_events.push_back({.kind = (flags & kDNSServiceFlagsAdd) ? Event::Added : Event::Removed,
                                  .key = keyOf(n, t, d),
                                  .name = n,
                                  .type = t,
                                  .domain = d});
    }

    static void DNSSD_API resolveReply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error,
                                       const char *, const char *hostTarget, uint16_t, uint16_t txtLength,
                                       const unsigned char *txt, void *context)
    {
        auto *service = static_cast<Service *>(context);
        Event event{.kind = error == kDNSServiceErr_NoError ? Event::Resolved : Event::ResolveFailed,
                    .key = service->key,
                    .error = error};
        if (error == kDNSServiceErr_NoError && txt) {
            event.txt = QByteArray(reinterpret_cast<const char *>(txt), txtLength);
        }
        if (error == kDNSServiceErr_NoError && hostTarget) {
            event.host = QString::fromUtf8(hostTarget);
        }
        service->browser->m_events.push_back(std::move(event));
    }

    void queueDrain() { queueOnce(this, m_drainQueued, [this] { drain(); }); }

    Service *find(const QString &key)
    {
        for (auto &service : m_services) {
            if (service->key == key) {
                return service.get();
            }
        }
        return nullptr;
    }

    void resolve(Service &service)
    {
        const QByteArray name = nullTerminated(service.name);
        const QByteArray type = nullTerminated(service.type);
        const QByteArray domain = nullTerminated(service.domain);
        DNSServiceRef ref = nullptr;
        const DNSServiceErrorType error =
            DNSServiceResolve(&ref, 0, kDNSServiceInterfaceIndexAny, name.constData(), type.constData(),
                              domain.constData(), &DnsSdBrowser::resolveReply, &service);
        if (error != kDNSServiceErr_NoError) {
            service.resolved = true;
            return;
        }
        const QString key = service.key;
        service.resolver = std::make_unique<ServiceRef>(ref, this, [this, key](DNSServiceErrorType failure) {
            if (failure != kDNSServiceErr_NoError) {
                m_events.push_back({.kind = Event::ResolveFailed, .key = key, .error = failure});
            }
            queueDrain();
        });
    }

    void drain()
    {
        m_drainQueued = false;
        const QList<BonjourBrowseResult> before = results();
        std::optional<QString> state;
        const auto events = std::exchange(m_events, {});
        for (const auto &event : events) {
            Service *service = event.key.isEmpty() ? nullptr : find(event.key);
            switch (event.kind) {
            case Event::Added:
                if (!service) {
                    auto made = std::make_unique<Service>();
                    made->browser = this;
                    made->key = event.key;
                    made->name = event.name;
                    made->type = event.type;
                    made->domain = event.domain;
                    service = made.get();
                    m_services.push_back(std::move(made));
                    resolve(*service);
                }
                ++service->presence;
                break;
            case Event::Removed:
                if (service && --service->presence <= 0) {
                    std::erase_if(m_services, [service](const auto &s) { return s.get() == service; });
                }
                break;
            case Event::BrowseFailed:
                m_browse.reset();
                state = failedState(event.error);
                break;
            case Event::Resolved:
                if (service) {
                    service->resolved = true;
                    service->txt = BonjourTxtRecord::decode(event.txt);
                    service->host = event.host;
                }
                break;
            case Event::ResolveFailed:
                if (service) {
                    // A TXT record already known stays; a service never resolved is listed
                    // without one.
                    service->resolved = true;
                    service->resolver.reset();
                }
                break;
            }
        }
        QPointer<DnsSdBrowser> self = this;
        if (state) {
            Q_EMIT stateChanged(*state);
            if (!self) {
                return;
            }
        }
        const QList<BonjourBrowseResult> after = results();
        if (after != before) {
            Q_EMIT resultsChanged(after);
        }
    }

    std::unique_ptr<ServiceRef> m_browse;
    std::vector<std::unique_ptr<Service>> m_services;
    std::vector<Event> m_events;
    bool m_drainQueued = false;
};

} // namespace

DnsSdBonjour::DnsSdBonjour()
{
    // The compatibility library prints a banner on stderr for every program that uses it.
    if (!qEnvironmentVariableIsSet("AVAHI_COMPAT_NOWARN")) {
        qputenv("AVAHI_COMPAT_NOWARN", "1");
    }
}

std::unique_ptr<BonjourRegistration> DnsSdBonjour::advertise(const BonjourServiceDescription &service, quint16 port)
{
    return std::make_unique<DnsSdRegistration>(service, port);
}

std::unique_ptr<BonjourBrowser> DnsSdBonjour::browse(const QString &type, const QString &domain)
{
    return std::make_unique<DnsSdBrowser>(type, domain);
}

bool DnsSdBonjour::isThisMachine(const QString &host) const
{
    const QString name = comparableHostName(host);
    if (name.isEmpty()) {
        return false;
    }
    QHostAddress address;
    if (address.setAddress(name)) {
        return Platform::current().networkInterfaces().holds(address);
    }
    // After a conflict Avahi publishes under another name, and the kernel's one in ".local" is
    // then another machine's: that one counts only when Avahi can't be asked.
    const QString avahiName = avahiHostName();
    if (!avahiName.isEmpty()) {
        return name == avahiName;
    }
    const QString kernelName = QHostInfo::localHostName().toLower();
    return !kernelName.isEmpty() && name == kernelName + QStringLiteral(".local");
}

QString DnsSdBonjour::avahiHostName() const
{
    constexpr qint64 kRemembered = 10000;
    if (m_avahiHostNameAge.isValid() && m_avahiHostNameAge.elapsed() < kRemembered) {
        return m_avahiHostName;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Avahi"), QStringLiteral("/"),
                                                       QStringLiteral("org.freedesktop.Avahi.Server"),
                                                       QStringLiteral("GetHostNameFqdn"));
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 1000);
    // No answer leaves no name: only the kernel's name and the addresses then count.
    m_avahiHostName = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                          ? comparableHostName(reply.arguments().constFirst().toString())
                          : QString();
    m_avahiHostNameAge.start();
    return m_avahiHostName;
}

QString DnsSdBonjour::errorText(int code)
{
    switch (code) {
    case kDNSServiceErr_NoError: return QStringLiteral("no error");
    case kDNSServiceErr_Unknown:
        return QStringLiteral("the Bonjour daemon could not be reached (is avahi-daemon running?)");
    case kDNSServiceErr_NoSuchName: return QStringLiteral("no such name");
    case kDNSServiceErr_NoMemory: return QStringLiteral("out of memory");
    case kDNSServiceErr_BadParam: return QStringLiteral("invalid name, type or parameter");
    case kDNSServiceErr_BadState: return QStringLiteral("bad state");
    case kDNSServiceErr_BadFlags: return QStringLiteral("bad flags");
    case kDNSServiceErr_Unsupported: return QStringLiteral("not supported");
    case kDNSServiceErr_NameConflict: return QStringLiteral("the name is already taken");
    case kDNSServiceErr_Invalid: return QStringLiteral("invalid operation");
    case kDNSServiceErr_Incompatible: return QStringLiteral("incompatible Bonjour daemon");
    case kDNSServiceErr_BadInterfaceIndex: return QStringLiteral("bad interface");
    case kDNSServiceErr_Refused: return QStringLiteral("refused by the Bonjour daemon");
    default: return QStringLiteral("DNS-SD error %1").arg(code);
    }
}

} // namespace cordavelle
