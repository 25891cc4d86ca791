#include "avahi_link.h"

#include "avahi_bonjour.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace cordavelle {

namespace avahi {

namespace {

// libdbus's "no time-out". A call the daemon has not answered is still queued there and is carried
// out once it runs again: asked anew after a time-out, it would make a second object whose path the
// helper never learns. The daemon answers in the end or leaves the bus, which ends the call.
constexpr int kNoTimeout = 0x7fffffff;

bool oneOf(const QString &name, std::initializer_list<const char *> names)
{
    return std::any_of(names.begin(), names.end(), [&name](const char *n) { return name == QLatin1String(n); });
}

} // namespace

Failure failureNamed(const QString &name)
{
    if (oneOf(name, {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
                     "org.freedesktop.Avahi.DisconnectedError"})) {
        return Failure::absent;
    }
    // An object of ours the daemon no longer has is made anew as after no answer.
    if (oneOf(name, {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.UnknownObject",
                     "org.freedesktop.DBus.Error.Timeout", "org.freedesktop.DBus.Error.TimedOut",
                     "org.freedesktop.DBus.Error.LimitsExceeded", "org.freedesktop.DBus.Error.NoMemory"})) {
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

bool isTransient(const QString &errorName)
{
    return oneOf(errorName, {"org.freedesktop.DBus.Error.LimitsExceeded", "org.freedesktop.DBus.Error.NoMemory",
                             "org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
                             "org.freedesktop.DBus.Error.TimedOut"});
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

} // namespace avahi

using namespace avahi;

AvahiLink::AvahiLink(const QDBusConnection &bus) : m_bus(bus)
{
    qDBusRegisterMetaType<QByteArrayList>();
    if (!m_bus.isConnected()) {
        return;
    }
    m_watcher = new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &AvahiLink::ownerChanged);
    // Every signal of our objects, whatever their path: a browser's first items may come before the
    // reply that names it. Only the daemon's: the bus matches on the sender that owns its name.
    for (const char *member : {"ItemNew", "ItemRemove", "Failure", "AllForNow", "CacheExhausted"}) {
        m_bus.connect(kService, QString(), kServiceBrowser, QString::fromLatin1(member), this, SLOT(signalArrived(QDBusMessage)));
    }
    for (const char *member : {"Found", "Failure"}) {
        m_bus.connect(kService, QString(), kServiceResolver, QString::fromLatin1(member), this, SLOT(signalArrived(QDBusMessage)));
    }
    m_bus.connect(kService, QString(), kEntryGroup, QStringLiteral("StateChanged"), this, SLOT(signalArrived(QDBusMessage)));
    m_bus.connect(kService, QStringLiteral("/"), kServer, QStringLiteral("StateChanged"), this,
                  SLOT(serverStateChanged(QDBusMessage)));
    askServerState();
}

AvahiLink::~AvahiLink() = default;

void AvahiLink::detach(AvahiPeer *peer)
{
    std::erase(m_peers, peer);
    std::erase_if(m_claims, [peer](const auto &claim) { return claim.second == peer; });
}

void AvahiLink::claim(const QString &path, AvahiPeer *peer)
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

void AvahiLink::call(QObject *owner, const QString &path, const QString &interface, const QString &method,
                     const QVariantList &arguments, Lane lane, Done done, int noAnswerRetries)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    // A system daemon is started by the system, never on a user program's behalf.
    message.setAutoStartService(false);
    enqueue({.owner = owner,
             .message = std::move(message),
             .lane = lane,
             .done = std::move(done),
             .noAnswerRetries = noAnswerRetries,
             .generation = m_generation});
}

void AvahiLink::create(QObject *owner, const QString &method, const QVariantList &arguments, Lane lane,
                       std::function<bool(const QDBusMessage &)> taken)
{
    QPointer<QObject> alive = owner;
    const quint64 generation = m_generation;
    QDBusMessage message = QDBusMessage::createMethodCall(kService, QStringLiteral("/"), kServer, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    // Answered after its owner went, the object is still freed: the link outlives the owner.
    enqueue({.owner = owner,
             .answerOrphans = true,
             .message = std::move(message),
             .lane = lane,
             .done = [this, alive, generation, method, taken = std::move(taken)](const QDBusMessage &reply) {
                 const bool wanted = alive && generation == m_generation && taken(reply);
                 if (wanted || reply.type() != QDBusMessage::ReplyMessage) {
                     return;
                 }
                 const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
                 const QString interface = method == QLatin1String("EntryGroupNew")      ? kEntryGroup
                                           : method == QLatin1String("ServiceBrowserNew") ? kServiceBrowser
                                                                                           : kServiceResolver;
                 free(path, interface);
             },
             .generation = m_generation});
}

void AvahiLink::free(const QString &path, const QString &interface, std::function<void()> done, const QString &method)
{
    if (path.isEmpty() || !m_bus.isConnected()) {
        if (done) {
            QMetaObject::invokeMethod(this, std::move(done), Qt::QueuedConnection);
        }
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setAutoStartService(false);
    enqueue({.ownerless = true,
             .message = std::move(message),
             .lane = Lane::withdrawal,
             .done = [done = std::move(done)](const QDBusMessage &) {
                 if (done) {
                     done();
                 }
             },
             .generation = m_generation});
}

void AvahiLink::enqueue(Call call)
{
    // After the last of its lane: each lane keeps the order it was asked in.
    const auto after = std::find_if(m_queue.begin(), m_queue.end(), [&call](const Call &queued) { return queued.lane > call.lane; });
    m_queue.insert(after, std::move(call));
    pump();
}

void AvahiLink::pump()
{
    while (m_outstanding < kMaxOutstanding && !m_queue.empty()) {
        auto next = m_queue.begin();
        if (next->lane == Lane::others && m_outstandingForOthers >= kMaxOutstandingForOthers) {
            return;
        }
        Call call = std::move(*next);
        m_queue.erase(next);
        if (!wanted(call) || call.generation != m_generation) {
            if (call.ownerless && call.done) {
                call.done(QDBusMessage()); // the daemon it was meant for is gone, and its objects with it
            }
            continue;
        }
        send(std::move(call));
    }
}

void AvahiLink::send(Call call)
{
    ++m_outstanding;
    if (call.lane == Lane::others) {
        ++m_outstandingForOthers;
    }
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call.message, kNoTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, call = std::move(call)](QDBusPendingCallWatcher *answered) mutable {
        answered->deleteLater();
        --m_outstanding;
        if (call.lane == Lane::others) {
            --m_outstandingForOthers;
        }
        finished(std::move(call), answered->reply());
        pump();
    });
}

void AvahiLink::finished(Call call, const QDBusMessage &reply)
{
    if (call.generation != m_generation) {
        // The daemon that held the object is gone: a withdrawal is done, the rest start over.
        if (call.ownerless && call.done) {
            call.done(reply);
        }
        return;
    }
    if (reply.type() == QDBusMessage::ErrorMessage && isTransient(reply.errorName())) {
        if (!wanted(call)) {
            return; // nothing was made, and nobody waits for it any more
        }
        const bool busy = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.LimitsExceeded") ||
                          reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoMemory");
        if (busy || call.noAnswerRetries < 0 || call.attempts < call.noAnswerRetries) {
            retryLater(std::move(call));
            return;
        }
    }
    if (!wanted(call) && !call.answerOrphans) {
        return;
    }
    if (call.done) {
        call.done(reply);
    }
}

void AvahiLink::retryLater(Call call)
{
    const int pause = std::min(kLongestRetryMs, kFirstRetryMs << std::min(call.attempts, 8));
    ++call.attempts;
    QTimer::singleShot(pause, this, [this, call = std::move(call)]() mutable { enqueue(std::move(call)); });
}

void AvahiLink::serverStateChanged(const QDBusMessage &message)
{
    if (!message.arguments().isEmpty()) {
        setServerState(message.arguments().constFirst().toInt());
    }
}

void AvahiLink::signalArrived(const QDBusMessage &message)
{
    const QString path = message.path();
    const auto claimed = m_claims.find(path);
    if (claimed != m_claims.end()) {
        claimed->second->signalArrived(message);
        return;
    }
    auto &waiting = m_unclaimed[path];
    if (waiting.size() >= kMaxUnclaimedSignals) {
        return;
    }
    waiting.push_back(message);
    if (waiting.size() > 1) {
        return;
    }
    // Nobody claimed it in time: an object whose creation's answer came too late for us.
    const QString interface = message.interface();
    const quint64 generation = m_generation;
    QTimer::singleShot(kUnclaimedSignalMs, this, [this, path, interface, generation] {
        if (m_unclaimed.erase(path) > 0 && !m_claims.contains(path) && generation == m_generation) {
            free(path, interface);
        }
    });
}

void AvahiLink::ownerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
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
    pump(); // what waits for the old daemon ends here
    if (!newOwner.isEmpty()) {
        askServerState();
        forEachPeer([](AvahiPeer *peer) { peer->daemonBack(); });
    }
}

void AvahiLink::askServerState()
{
    call(this, QStringLiteral("/"), kServer, QStringLiteral("GetState"), {}, Lane::own, [this](const QDBusMessage &reply) {
        switch (failureOf(reply)) {
        case Failure::none: setServerState(reply.arguments().value(0).toInt()); return;
        case Failure::absent:
            // Whoever waits for the daemon learns it is not there; it is asked again once it is.
            forEachPeer([](AvahiPeer *peer) { peer->daemonGone(kNotRunning); });
            return;
        case Failure::noAnswer:
        case Failure::collision:
        case Failure::other: return;
        }
    });
}

void AvahiLink::setServerState(int state)
{
    const bool was = serverRunning();
    m_serverState = state;
    if (serverRunning() && !was) {
        forEachPeer([](AvahiPeer *peer) { peer->serverRunning(); });
    } else if (!serverRunning() && was) {
        forEachPeer([](AvahiPeer *peer) { peer->serverNotRunning(kRenaming); });
    }
}

bool AvahiLink::isClaimedBy(const QString &path, AvahiPeer *peer) const
{
    const auto claimed = m_claims.find(path);
    return claimed != m_claims.end() && claimed->second == peer;
}

void AvahiLink::forEachPeer(const std::function<void(AvahiPeer *)> &tell)
{
    const std::vector<AvahiPeer *> peers = m_peers;
    for (AvahiPeer *peer : peers) {
        if (std::find(m_peers.begin(), m_peers.end(), peer) != m_peers.end()) {
            tell(peer);
        }
    }
}

} // namespace cordavelle
