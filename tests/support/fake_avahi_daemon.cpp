#include "fake_avahi_daemon.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>

#include <algorithm>

namespace cordavelle::test {

namespace {

const QString kAvahiService = QStringLiteral("org.freedesktop.Avahi");
const QString kType = QStringLiteral("_cordavelle-rigcontrol._tcp");

} // namespace

FakeAvahiDaemon::FakeAvahiDaemon(const QString &address)
    : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("fake-avahi-daemon")))
{
    qDBusRegisterMetaType<QByteArrayList>();
    m_bus.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath);
    m_bus.registerService(kAvahiService);
}

FakeAvahiDaemon::~FakeAvahiDaemon()
{
    m_bus.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(m_bus.name());
}

bool FakeAvahiDaemon::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    m_asked.push_back({message.path(), message.member(), message.arguments()});
    auto refusals = m_refusals.find(message.member());
    if (refusals != m_refusals.end() && !refusals->second.empty()) {
        const QString error = refusals->second.front();
        refusals->second.pop_front();
        m_bus.send(message.createErrorReply(error, QStringLiteral("refused by the test")));
        return true;
    }
    if (m_held.contains(message.member())) {
        m_waiting.push_back(message);
        return true;
    }
    answer(message);
    return true;
}

void FakeAvahiDaemon::answerHeld()
{
    m_held.clear();
    for (const QDBusMessage &message : std::exchange(m_waiting, {})) {
        answer(message);
    }
}

void FakeAvahiDaemon::leave() { m_bus.unregisterService(kAvahiService); }

void FakeAvahiDaemon::comeBack(int state)
{
    m_state = state;
    m_bus.registerService(kAvahiService);
}

void FakeAvahiDaemon::setServerState(int state)
{
    m_state = state;
    emitSignal(QStringLiteral("/"), QStringLiteral("org.freedesktop.Avahi.Server"), QStringLiteral("StateChanged"),
               {state, QString()});
}

void FakeAvahiDaemon::emitSignal(const QString &path, const QString &interface, const QString &member, const QVariantList &arguments)
{
    emitSignalOn(m_bus, path, interface, member, arguments);
}

void FakeAvahiDaemon::emitSignalOn(QDBusConnection &connection, const QString &path, const QString &interface,
                                   const QString &member, const QVariantList &arguments, const QString &destination)
{
    QDBusMessage signal = destination.isEmpty() ? QDBusMessage::createSignal(path, interface, member)
                                                : QDBusMessage::createTargetedSignal(destination, path, interface, member);
    signal.setArguments(arguments);
    connection.send(signal);
}

int FakeAvahiDaemon::count(const QString &method) const
{
    return int(std::count_if(m_asked.begin(), m_asked.end(), [&method](const Asked &a) { return a.method == method; }));
}

QString FakeAvahiDaemon::lastPath(const QString &method) const
{
    const auto last = std::find_if(m_asked.rbegin(), m_asked.rend(), [&method](const Asked &a) { return a.method == method; });
    return last == m_asked.rend() ? QString() : last->path;
}

QVariantList FakeAvahiDaemon::found(const Advert &advert) const
{
    return {1, 0, advert.name, kType, QStringLiteral("local"), QStringLiteral("station.local"), 0, QString(),
            QVariant::fromValue(advert.port), QVariant::fromValue(advert.txt), advert.resolvedFlags};
}

void FakeAvahiDaemon::answer(const QDBusMessage &message)
{
    const QString method = message.member();
    const QVariantList args = message.arguments();
    const auto reply = [&](const QVariantList &values) { m_bus.send(message.createReply(values)); };
    const auto advertNamed = [this](const QString &name) {
        return std::find_if(adverts.begin(), adverts.end(), [&name](const Advert &a) { return a.name == name; });
    };
    if (method == QLatin1String("GetState")) {
        reply({m_state});
    } else if (method == QLatin1String("ServiceBrowserNew")) {
        const QString path = newPath(QStringLiteral("ServiceBrowser"));
        reply({QVariant::fromValue(QDBusObjectPath(path))});
        const QString browser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
        for (const Advert &advert : adverts) {
            if (!advert.browsed) {
                continue;
            }
            emitSignal(path, browser, QStringLiteral("ItemNew"),
                       {1, 0, advert.name, kType, QStringLiteral("local"), advert.seenLocal ? 8u : 0u});
        }
        emitSignal(path, browser, QStringLiteral("AllForNow"), {});
    } else if (method == QLatin1String("ServiceResolverNew")) {
        const QString path = newPath(QStringLiteral("ServiceResolver"));
        reply({QVariant::fromValue(QDBusObjectPath(path))});
        const auto advert = advertNamed(args.value(2).toString());
        if (advert != adverts.end()) {
            emitSignal(path, QStringLiteral("org.freedesktop.Avahi.ServiceResolver"), QStringLiteral("Found"), found(*advert));
        }
    } else if (method == QLatin1String("ResolveService")) {
        const auto advert = advertNamed(args.value(2).toString());
        if (advert == adverts.end()) {
            m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.Avahi.TimeoutError"), QStringLiteral("Timeout reached")));
        } else {
            reply(found(*advert));
        }
    } else if (method == QLatin1String("EntryGroupNew")) {
        reply({QVariant::fromValue(QDBusObjectPath(newPath(QStringLiteral("EntryGroup"))))});
    } else if (method == QLatin1String("Commit")) {
        reply({});
        emitSignal(message.path(), QStringLiteral("org.freedesktop.Avahi.EntryGroup"), QStringLiteral("StateChanged"), {2, QString()});
    } else {
        reply({}); // AddService, Free, Reset
    }
}

} // namespace cordavelle::test
