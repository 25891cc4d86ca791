#include "avahi_registration.h"

#include <QDBusObjectPath>
#include <QPointer>
#include <QSysInfo>

#include <utility>

namespace cordavelle {

using namespace avahi;

namespace {

// A publication the daemon has not established by then is said not to stand for now.
constexpr int kNoAnswerMs = 25000;
// A withdrawal the daemon has not answered by then is said to be pending.
constexpr int kWithdrawalPendingMs = 1000;
// How often one advertisement may be renamed before it gives up; a network with this many copies
// of one name is broken anyway.
constexpr int kMaxRenames = 100;

// The daemon's word that the service itself can't be published, whatever is tried again.
bool isVerdict(const QDBusMessage &reply)
{
    return reply.errorName().startsWith(QLatin1String("org.freedesktop.Avahi.Invalid")) ||
           reply.errorName() == QLatin1String("org.freedesktop.Avahi.NotSupportedError");
}

} // namespace

AvahiRegistration::AvahiRegistration(std::shared_ptr<AvahiLink> link, BonjourServiceDescription service, quint16 port)
    : m_link(std::move(link)),
      m_service(std::move(service)),
      m_port(port),
      m_name(m_service.name.isEmpty() ? QSysInfo::machineHostName() : m_service.name)
{
    m_link->attach(this);
    m_noAnswer.setSingleShot(true);
    m_noAnswer.setInterval(kNoAnswerMs);
    QObject::connect(&m_noAnswer, &QTimer::timeout, this, [this] { interrupt(kNoAnswer); });
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

AvahiRegistration::~AvahiRegistration()
{
    m_link->detach(this);
    if (!m_withdrawing) {
        m_link->free(m_path, kEntryGroup);
    }
}

void AvahiRegistration::withdraw()
{
    if (m_withdrawing) {
        return;
    }
    m_withdrawing = true;
    m_noAnswer.stop();
    m_link->release(m_path);
    m_registeredName.clear();
    QTimer::singleShot(kWithdrawalPendingMs, this, [this] {
        if (!m_withdrawn) {
            Q_EMIT withdrawalPending(QStringLiteral("avahi-daemon has not answered yet"));
        }
    });
    if (m_creating) {
        return; // the group the daemon is making goes once it is named
    }
    QPointer<AvahiRegistration> self = this;
    m_link->free(std::exchange(m_path, QString()), kEntryGroup, [self] {
        if (self && !std::exchange(self->m_withdrawn, true)) {
            Q_EMIT self->withdrawn();
        }
    });
}

void AvahiRegistration::daemonGone(const QString &reason)
{
    m_path.clear();
    m_creating = false;
    ++m_attempt;
    m_noAnswer.stop();
    if (m_withdrawing) {
        // Its services went with it.
        if (!std::exchange(m_withdrawn, true)) {
            Q_EMIT withdrawn();
        }
        return;
    }
    if (!m_failed) {
        interrupt(reason);
    }
}

void AvahiRegistration::daemonBack()
{
    if (wanted() && m_link->serverRunning()) {
        publish();
    }
}

void AvahiRegistration::serverRunning()
{
    if (wanted()) {
        publish();
    }
}

void AvahiRegistration::serverNotRunning(const QString &reason)
{
    if (!wanted()) {
        return;
    }
    // Withdrawn whole: added again once the name is settled, it names the host name then.
    m_link->release(m_path);
    m_link->free(std::exchange(m_path, QString()), kEntryGroup);
    ++m_attempt;
    m_noAnswer.stop();
    interrupt(reason);
}

void AvahiRegistration::signalArrived(const QDBusMessage &message)
{
    if (!wanted() || message.member() != QLatin1String("StateChanged") || message.arguments().size() < 2) {
        return;
    }
    const int state = message.arguments().at(0).toInt();
    if (state == kGroupEstablished) {
        m_noAnswer.stop();
        if (m_registeredName != m_name || m_interrupted) {
            m_interrupted = false;
            m_registeredName = m_name;
            Q_EMIT registered(m_name);
        }
    } else if (state == kGroupCollision) {
        // Another host holds the name: the next one in our numbering, in the same group, once the
        // daemon has emptied it.
        if (!rename()) {
            fail(QStringLiteral("the name is already taken"));
            return;
        }
        const quint64 attempt = m_attempt;
        const QString path = m_path;
        QPointer<AvahiRegistration> self = this;
        m_link->free(path, kEntryGroup, [self, attempt, path] {
            if (self && self->wanted() && attempt == self->m_attempt && path == self->m_path) {
                self->addService();
            }
        }, QStringLiteral("Reset"));
    } else if (state == kGroupFailure) {
        const QString error = message.arguments().at(1).toString();
        fail(error.isEmpty() ? QStringLiteral("avahi-daemon could not publish the service") : error);
    }
}

void AvahiRegistration::publish()
{
    m_link->release(m_path);
    m_link->free(std::exchange(m_path, QString()), kEntryGroup);
    const quint64 attempt = ++m_attempt;
    m_creating = true;
    m_noAnswer.start();
    m_link->create(this, QStringLiteral("EntryGroupNew"), {}, Lane::own, [this, attempt](const QDBusMessage &reply) {
        if (attempt != m_attempt) {
            return false; // asked again since: the link frees this one
        }
        m_creating = false;
        const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
        if (m_withdrawing) {
            QPointer<AvahiRegistration> self = this;
            m_link->free(path, kEntryGroup, [self] {
                if (self && !std::exchange(self->m_withdrawn, true)) {
                    Q_EMIT self->withdrawn();
                }
            });
            return true;
        }
        if (m_failed || handled(reply)) {
            return false;
        }
        if (path.isEmpty()) {
            fail(QStringLiteral("avahi-daemon gave no entry group"));
            return false;
        }
        m_path = path;
        m_link->claim(m_path, this);
        addService();
        return true;
    });
}

void AvahiRegistration::addService()
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
    m_link->call(this, path, kEntryGroup, QStringLiteral("AddService"), arguments, Lane::own,
                 [this, attempt, path](const QDBusMessage &reply) {
                     if (!wanted() || attempt != m_attempt || path != m_path) {
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
                     if (!handled(reply)) {
                         commit(path);
                     }
                 });
}

void AvahiRegistration::commit(const QString &path)
{
    const quint64 attempt = m_attempt;
    m_link->call(this, path, kEntryGroup, QStringLiteral("Commit"), {}, Lane::own, [this, attempt, path](const QDBusMessage &reply) {
        if (wanted() && attempt == m_attempt && path == m_path) {
            handled(reply);
        }
    });
}

bool AvahiRegistration::handled(const QDBusMessage &reply)
{
    switch (failureOf(reply)) {
    case Failure::none: return false;
    case Failure::absent:
        // Published again once a daemon takes the name.
        m_link->release(std::exchange(m_path, QString()));
        interrupt(kNotRunning);
        return true;
    case Failure::collision: fail(replyErrorText(reply)); return true;
    case Failure::noAnswer:
    case Failure::other: {
        if (isVerdict(reply)) {
            fail(replyErrorText(reply));
            return true;
        }
        // Anything but the daemon's word on the service is tried again: the object it no longer
        // has, a refusal for its own limits.
        const quint64 attempt = m_attempt;
        QTimer::singleShot(AvahiLink::kLongestRetryMs, this, [this, attempt] {
            if (attempt == m_attempt && wanted()) {
                publish();
            }
        });
        // Set before the signal, whose receiver may end this registration.
        interrupt(failureOf(reply) == Failure::noAnswer ? kNoAnswer : replyErrorText(reply));
        return true;
    }
    }
    return true;
}

bool AvahiRegistration::rename()
{
    if (++m_renames > kMaxRenames) {
        return false;
    }
    m_name = nextBonjourServiceName(m_name);
    return true;
}

void AvahiRegistration::interrupt(const QString &reason)
{
    if (m_interrupted) {
        return;
    }
    m_interrupted = true;
    Q_EMIT interrupted(reason);
}

void AvahiRegistration::fail(const QString &reason)
{
    m_failed = true;
    ++m_attempt;
    m_noAnswer.stop();
    m_link->release(m_path);
    m_link->free(std::exchange(m_path, QString()), kEntryGroup);
    m_registeredName.clear();
    Q_EMIT failed(reason);
}

void AvahiRegistration::failLater(const QString &reason)
{
    m_failed = true;
    QMetaObject::invokeMethod(this, [this, reason] { Q_EMIT failed(reason); }, Qt::QueuedConnection);
}

} // namespace cordavelle
