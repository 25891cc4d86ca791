#include "platform/avahi_bonjour.h"
#include "platform/avahi_link.h"

#include "support/event_wait.h"
#include "support/fake_avahi_daemon.h"
#include "support/private_session_bus.h"
#include "support/qt_printers.h"

#include <QDBusConnection>

#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

const QString kType = QStringLiteral("_cordavelle-rigcontrol._tcp");
const QString kBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
const QString kLimits = QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded");
const QString kNoReply = QStringLiteral("org.freedesktop.DBus.Error.NoReply");
const QString kTimeout = QStringLiteral("org.freedesktop.DBus.Error.Timeout");

test::FakeAvahiDaemon::Advert advert(const QString &name, bool local = true)
{
    return {.name = name, .seenLocal = local, .resolvedFlags = local ? 8u : 0u, .txt = {"radio=" + name.toUtf8(), "port=4533"}};
}

// The helper's link to a daemon of the test's own on a private bus, which refuses, holds and
// answers as the test says.
class AvahiLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(bus.address().isEmpty());
        daemon.emplace(bus.address());
        helperBus = QDBusConnection::connectToBus(bus.address(), QStringLiteral("helper-to-fake-avahi"));
        ASSERT_TRUE(helperBus.isConnected());
    }
    void TearDown() override
    {
        bonjour.reset();
        QDBusConnection::disconnectFromBus(helperBus.name());
        daemon.reset();
    }

    AvahiBonjour &avahi()
    {
        if (!bonjour) {
            bonjour.emplace(helperBus);
        }
        return *bonjour;
    }

    // A registration that says how it stands.
    struct Watched {
        std::unique_ptr<BonjourRegistration> registration;
        QStringList events;
    };
    std::unique_ptr<Watched> advertise(const QString &name)
    {
        auto watched = std::make_unique<Watched>();
        watched->registration = avahi().advertise({name, QStringLiteral("_cordavelle-keepalive-request._tcp"), {}, {}}, 5000);
        QStringList *events = &watched->events;
        QObject::connect(watched->registration.get(), &BonjourRegistration::registered, [events](const QString &n) { *events << "registered " + n; });
        QObject::connect(watched->registration.get(), &BonjourRegistration::failed, [events](const QString &e) { *events << "failed " + e; });
        QObject::connect(watched->registration.get(), &BonjourRegistration::interrupted, [events](const QString &) { *events << "interrupted"; });
        QObject::connect(watched->registration.get(), &BonjourRegistration::withdrawn, [events] { *events << "withdrawn"; });
        return watched;
    }

    static bool lists(const BonjourBrowser &browser, const QString &name, bool withTxt = true)
    {
        const auto results = browser.results();
        return std::any_of(results.begin(), results.end(),
                           [&](const BonjourBrowseResult &r) { return r.name == name && r.txt.has_value() == withTxt; });
    }

    test::PrivateSessionBus bus{test::PrivateSessionBus::Services::none};
    std::optional<test::FakeAvahiDaemon> daemon;
    QDBusConnection helperBus{QString()};
    std::optional<AvahiBonjour> bonjour;
};

// A busy bus or a daemon slow to answer refuses a call now and then: nothing the user asked is
// given up for it, and a withdrawal is told only once the daemon has done it.
TEST_F(AvahiLinkTest, TransientRefusalsAreAskedAgainUntilDone)
{
    enum class Asked { resolve, entryGroup, free };
    const struct {
        const char *name;
        QString refusal;
        Asked asked;
    } rows[] = {
        {"a full queue, the resolve of this machine's advert", kLimits, Asked::resolve},
        {"a full queue, the entry group", kLimits, Asked::entryGroup},
        {"a full queue, the withdrawal", kLimits, Asked::free},
        {"no reply, the resolve of this machine's advert", kNoReply, Asked::resolve},
        {"no reply, the entry group", kNoReply, Asked::entryGroup},
        {"no reply, the withdrawal", kNoReply, Asked::free},
        {"a time-out, the resolve of this machine's advert", kTimeout, Asked::resolve},
        {"a time-out, the entry group", kTimeout, Asked::entryGroup},
        {"a time-out, the withdrawal", kTimeout, Asked::free},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        daemon->adverts = {advert(QStringLiteral("IC-7300"))};
        const QString method = row.asked == Asked::resolve      ? QStringLiteral("ServiceResolverNew")
                               : row.asked == Asked::entryGroup ? QStringLiteral("EntryGroupNew")
                                                                : QStringLiteral("Free");
        daemon->refuse(method, {row.refusal, row.refusal});
        if (row.asked == Asked::resolve) {
            auto browser = avahi().browse(kType);
            EXPECT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("IC-7300")); }, 10s));
            EXPECT_EQ(daemon->count(method), 3);
            continue;
        }
        auto watched = advertise(QStringLiteral("Request"));
        EXPECT_TRUE(test::processEventsUntil([&] { return watched->events.contains("registered Request"); }, 10s));
        if (row.asked == Asked::free) {
            watched->registration->withdraw();
            EXPECT_TRUE(test::processEventsUntil([&] { return watched->events.contains("withdrawn"); }, 10s));
            EXPECT_EQ(daemon->count(method), 3);
        } else {
            EXPECT_EQ(daemon->count(method), 3);
        }
        EXPECT_FALSE(watched->events.join(' ').contains("failed")) << watched->events.join('|').toStdString();
    }
}

// A crowd of other hosts' adverts, each resolve waiting long: the helper keeps its calls well under
// the bus's limit, and what this machine's adverts and the user's own need goes ahead of them.
TEST_F(AvahiLinkTest, CallsStayBoundedAndTheUsersOwnGoFirst)
{
    for (int i = 0; i < 100; ++i) {
        daemon->adverts.push_back(advert(QStringLiteral("other-%1").arg(i), false));
    }
    daemon->adverts.push_back(advert(QStringLiteral("IC-7300")));
    daemon->hold(QStringLiteral("ResolveService"));
    auto browser = avahi().browse(kType);
    auto watched = advertise(QStringLiteral("Request"));
    EXPECT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("IC-7300")); }, 10s));
    EXPECT_TRUE(test::processEventsUntil([&] { return watched->events.contains("registered Request"); }, 10s));
    EXPECT_EQ(daemon->heldCount(), std::size_t(AvahiLink::kMaxOutstandingForOthers));

    daemon->answerHeld();
    EXPECT_TRUE(test::processEventsUntil([&] { return browser->results().size() == 101; }, 20s));
    EXPECT_EQ(daemon->count(QStringLiteral("ResolveService")), 100);
}

// The browse flags a sighting as this machine's for any record its daemon holds; another host's
// SRV record naming this machine borrows that flag unless the resolve, asked without the address
// lookup, says so of the records themselves.
TEST_F(AvahiLinkTest, OnlyTheResolveSaysWhetherAnAdvertIsThisMachines)
{
    auto borrowed = advert(QStringLiteral("Borrowed"));
    borrowed.resolvedFlags = 0;
    daemon->adverts = {advert(QStringLiteral("IC-7300")), borrowed};
    auto browser = avahi().browse(kType);
    ASSERT_TRUE(test::processEventsUntil([&] { return browser->results().size() == 2; }, 10s));
    for (const BonjourBrowseResult &result : browser->results()) {
        EXPECT_EQ(result.local, result.name == QLatin1String("IC-7300")) << result.name.toStdString();
    }
    for (const auto &asked : daemon->asked()) {
        if (asked.method == QLatin1String("ServiceResolverNew")) {
            EXPECT_EQ(asked.arguments.value(6).toUInt(), 8u);
        }
    }
}

// Anyone on the bus may send a signal with the path of one of the helper's objects.
TEST_F(AvahiLinkTest, SignalsOfAnyoneButTheDaemonChangeNothing)
{
    daemon->adverts = {advert(QStringLiteral("IC-7300"))};
    auto browser = avahi().browse(kType);
    auto watched = advertise(QStringLiteral("Request"));
    ASSERT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("IC-7300")) && !watched->events.isEmpty(); }, 10s));
    const QString browserPath = daemon->made().filter(QStringLiteral("ServiceBrowser")).value(0);
    const QString resolverPath = daemon->made().filter(QStringLiteral("ServiceResolver")).value(0);
    const QString groupPath = daemon->made().filter(QStringLiteral("EntryGroup")).value(0);

    QDBusConnection other = QDBusConnection::connectToBus(bus.address(), QStringLiteral("another-client"));
    for (const QString &to : {QString(), helperBus.baseService()}) {
        test::FakeAvahiDaemon::emitSignalOn(other, browserPath, kBrowser, QStringLiteral("ItemNew"),
                                            {1, 0, QStringLiteral("Intruder"), kType, QStringLiteral("local"), 8u}, to);
        test::FakeAvahiDaemon::emitSignalOn(other, browserPath, kBrowser, QStringLiteral("ItemRemove"),
                                            {1, 0, QStringLiteral("IC-7300"), kType, QStringLiteral("local"), 8u}, to);
        test::FakeAvahiDaemon::emitSignalOn(other, resolverPath, QStringLiteral("org.freedesktop.Avahi.ServiceResolver"),
                                            QStringLiteral("Found"),
                                            {1, 0, QStringLiteral("IC-7300"), kType, QStringLiteral("local"), QStringLiteral("x.local"), 0,
                                             QString(), QVariant::fromValue(quint16(1)), QVariant::fromValue(QByteArrayList{"port=1"}), 8u},
                                            to);
        test::FakeAvahiDaemon::emitSignalOn(other, groupPath, QStringLiteral("org.freedesktop.Avahi.EntryGroup"),
                                            QStringLiteral("StateChanged"), {3, QString()}, to);
    }
    // The daemon's own signal after them: once it is seen, theirs were seen too.
    daemon->emitSignal(browserPath, kBrowser, QStringLiteral("ItemNew"), {1, 0, QStringLiteral("Marker"), kType, QStringLiteral("local"), 0u});
    ASSERT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("Marker"), false); }, 10s));
    QStringList names;
    for (const BonjourBrowseResult &result : browser->results()) {
        names << result.name + QLatin1Char(' ') + result.txt.value_or(BonjourTxtRecord()).text(QStringLiteral("port")).value_or(QString());
    }
    EXPECT_EQ(names, (QStringList{"IC-7300 4533", "Marker "}));
    EXPECT_EQ(watched->events, QStringList{"registered Request"});
    EXPECT_EQ(daemon->count(QStringLiteral("AddService")), 1);
    QDBusConnection::disconnectFromBus(other.name());
}

// A browser's first items may come before the reply that names it.
TEST_F(AvahiLinkTest, SignalsBeforeTheirObjectsReplyGoOnlyToThatObject)
{
    daemon->adverts = {advert(QStringLiteral("IC-7300")), advert(QStringLiteral("Stray"))};
    for (auto &each : daemon->adverts) {
        each.browsed = false;
    }
    daemon->hold(QStringLiteral("ServiceBrowserNew"));
    auto browser = avahi().browse(kType);
    ASSERT_TRUE(test::processEventsUntil([&] { return daemon->heldCount() == 1; }, 10s));
    // The daemon numbers its objects in order: the browser will be the first.
    const QString ours = QStringLiteral("/Client1/ServiceBrowser1");
    const QString stray = QStringLiteral("/Client1/ServiceBrowser9");
    daemon->emitSignal(ours, kBrowser, QStringLiteral("ItemNew"), {1, 0, QStringLiteral("IC-7300"), kType, QStringLiteral("local"), 8u});
    daemon->emitSignal(stray, kBrowser, QStringLiteral("ItemNew"), {1, 0, QStringLiteral("Stray"), kType, QStringLiteral("local"), 8u});
    test::processEventsFor(200ms);
    daemon->answerHeld();
    EXPECT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("IC-7300")); }, 10s));
    EXPECT_FALSE(lists(*browser, QStringLiteral("Stray")));
    // Nobody claims the stray one: it is freed after its wait, and its signals go with it.
    const auto strayFreed = [&] {
        const auto &asked = daemon->asked();
        return std::any_of(asked.begin(), asked.end(), [&](const auto &a) { return a.method == QLatin1String("Free") && a.path == stray; });
    };
    EXPECT_TRUE(test::processEventsUntil(strayFreed, 10s));
    EXPECT_FALSE(lists(*browser, QStringLiteral("Stray")));
}

// A package upgrade restarts avahi-daemon: the list stays, not current; what the helper publishes
// goes out once the new daemon's server runs, and once only.
TEST_F(AvahiLinkTest, WhileTheDaemonIsGoneTheListStaysAndAPublicationWaitsForItsServer)
{
    daemon->adverts = {advert(QStringLiteral("IC-7300"))};
    auto browser = avahi().browse(kType);
    auto watched = advertise(QStringLiteral("Request"));
    ASSERT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("IC-7300")) && !watched->events.isEmpty(); }, 10s));

    daemon->leave();
    EXPECT_TRUE(test::processEventsUntil([&] { return !browser->isCurrent() && watched->events.contains("interrupted"); }, 10s));
    EXPECT_TRUE(lists(*browser, QStringLiteral("IC-7300")));
    EXPECT_EQ(watched->registration->registeredName(), QStringLiteral("Request"));

    const int groups = daemon->count(QStringLiteral("EntryGroupNew"));
    daemon->comeBack(1); // registering this machine's host name
    EXPECT_TRUE(test::processEventsUntil([&] { return browser->isCurrent(); }, 10s));
    test::processEventsFor(300ms);
    EXPECT_EQ(daemon->count(QStringLiteral("EntryGroupNew")), groups);
    daemon->setServerState(2);
    EXPECT_TRUE(test::processEventsUntil([&] { return watched->events.count("registered Request") == 2; }, 10s));
    daemon->setServerState(2);
    test::processEventsFor(300ms);
    EXPECT_EQ(daemon->count(QStringLiteral("EntryGroupNew")), groups + 1);
}

// Calls that get no answer: a browse is asked again until it is answered; a resolve of another
// host's advert only a few times, and it is then listed without its TXT record.
TEST_F(AvahiLinkTest, ABrowseIsAskedAgainAndAResolvesRetriesEnd)
{
    daemon->adverts = {advert(QStringLiteral("Other"), false)};
    daemon->refuse(QStringLiteral("ServiceBrowserNew"), {kNoReply});
    daemon->refuse(QStringLiteral("ResolveService"), std::deque<QString>(10, kNoReply));
    auto browser = avahi().browse(kType);
    EXPECT_TRUE(test::processEventsUntil([&] { return lists(*browser, QStringLiteral("Other"), false); }, 20s));
    EXPECT_EQ(daemon->count(QStringLiteral("ServiceBrowserNew")), 2);
    EXPECT_EQ(daemon->count(QStringLiteral("ResolveService")), 4);
}

} // namespace
} // namespace cordavelle
