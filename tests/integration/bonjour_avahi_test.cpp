#include "core/config_store.h"
#include "core/direwolf_start_path.h"
#include "core/managed_process.h"
#include "platform/avahi_bonjour.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/avahi.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/qt_printers.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QUuid>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// Talks to the real avahi-daemon (see scripts/test-daemons); every test uses names of its own, so
// tests running side by side do not see each other's services.
class AvahiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::avahiReachable()) {
            GTEST_SKIP() << "avahi-daemon is not reachable";
        }
        env.useSystemClock();
        env.platform().setBonjour(bonjour);
    }

    void TearDown() override
    {
        for (auto *process : publishers) {
            test::stopProcess(*process);
            delete process;
        }
    }

    static QString unique(const QString &prefix)
    {
        return prefix + QUuid::createUuid().toString(QUuid::Id128).left(8);
    }

    // Publishes a service with avahi's own tool and waits until the daemon has established it.
    // With `host`, the service points at that host rather than at this machine.
    QProcess *publish(const QString &name, const QString &type, quint16 port, const QStringList &txt,
                      const QString &host = {})
    {
        auto *process = new QProcess;
        publishers << process;
        process->setProcessChannelMode(QProcess::MergedChannels);
        const QStringList onHost = host.isEmpty() ? QStringList() : QStringList{QStringLiteral("-H"), host};
        process->start(QStringLiteral("avahi-publish"), QStringList{"-s"} + onHost + QStringList{name, type, QString::number(port)} + txt);
        const bool established = test::processEventsUntil(
            [&] { return process->readAll().contains("Established") || process->state() == QProcess::NotRunning; },
            10s);
        EXPECT_TRUE(established && process->state() == QProcess::Running) << "avahi-publish did not establish " << name.toStdString();
        return process;
    }

    void withdraw(QProcess *process)
    {
        test::stopProcess(*process);
        publishers.removeAll(process);
        delete process;
    }

    test::TestPlatform env;
    std::shared_ptr<AvahiBonjour> bonjour = std::make_shared<AvahiBonjour>();
    QList<QProcess *> publishers;
};

TEST_F(AvahiTest, DiscoveryListsAPublishedRigControlServerUntilItIsWithdrawn)
{
    RigControlServerDiscovery discovery(env.platform().bonjour(), env.platform().clock());
    int changes = 0;
    discovery.setOnEndpointsChanged([&] { ++changes; });
    discovery.startBrowsing();

    const QString radio = unique(QStringLiteral("IC-7300 "));
    QProcess *server = publish(radio + QStringLiteral(" server"), RigControlServerDiscovery::kServiceType, 5555,
                               {QStringLiteral("radio=") + radio, QStringLiteral("port=4533")});
    ASSERT_TRUE(test::processEventsUntil([&] { return discovery.endpoint(radio).has_value(); }, 10s));
    EXPECT_EQ(discovery.endpoint(radio)->port, 4533);
    EXPECT_GE(changes, 1);
    EXPECT_TRUE(env.log().contains(QStringLiteral("[RigControlServerDiscovery] browser state: ready")));

    withdraw(server);
    EXPECT_TRUE(test::processEventsUntil([&] { return !discovery.endpoint(radio).has_value(); }, 10s));
    discovery.stopBrowsing();
}

TEST_F(AvahiTest, TheKeepaliveRequestIsAnnouncedWithItsRadioAndWithdrawn)
{
    KeepaliveRequestAdvertiser advertiser(env.platform().bonjour());
    const QString radio = unique(QStringLiteral("FT-991A "));
    const QString instance = QStringLiteral("Cordavelle Keepalive (") + radio + QLatin1Char(')');
    test::AvahiBrowser browser(KeepaliveRequestAdvertiser::kServiceType);
    advertiser.startAdvertising(radio);

    auto announced = [&](const QList<test::AvahiBrowseEntry> &entries) {
        for (const auto &e : entries) {
            if (e.name == instance) {
                EXPECT_EQ(e.txt, QStringList{QStringLiteral("radio=") + radio});
                EXPECT_NE(e.port, 0);
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(test::processEventsUntil([&] { return announced(browser.services()); }, 10s));

    advertiser.stopAdvertising();
    EXPECT_TRUE(test::processEventsUntil([&] { return !announced(browser.services()); }, 10s));
}

TEST_F(AvahiTest, ATakenNameIsNumberedAndTheNameUsedIsReported)
{
    const QString type = QStringLiteral("_cordavelle-test._tcp");
    const QString name = unique(QStringLiteral("Helper "));
    publish(name, type, 5556, {});

    auto registeredName = [](BonjourRegistration &registration) {
        QString result;
        QObject context;
        QObject::connect(&registration, &BonjourRegistration::registered, &context,
                         [&](const QString &n) { result = n; });
        QObject::connect(&registration, &BonjourRegistration::failed, &context,
                         [&](const QString &error) { result = QStringLiteral("failed: ") + error; });
        if (!test::processEventsUntil([&] { return !result.isEmpty(); }, 30s)) {
            ADD_FAILURE() << "the registration was neither confirmed nor refused within 30 s";
        }
        return result;
    };

    BonjourServiceDescription service{name, type, {}, BonjourTxtRecord{{"version", "1.0"}}};
    auto second = bonjour->advertise(service, 5557);
    EXPECT_EQ(registeredName(*second), name + QStringLiteral(" (2)"));
    EXPECT_EQ(second->registeredName(), name + QStringLiteral(" (2)"));
    auto third = bonjour->advertise(service, 5558);
    EXPECT_EQ(registeredName(*third), name + QStringLiteral(" (3)"));

    // A browser of the layer sees all three, resolved with their TXT records.
    auto browser = bonjour->browse(type);
    auto names = [&] {
        QStringList out;
        for (const auto &r : browser->results()) {
            if (r.name.startsWith(name)) {
                out << r.name;
                if (r.name != name) {
                    EXPECT_EQ(r.txt, (BonjourTxtRecord{{"version", "1.0"}}));
                }
            }
        }
        out.sort();
        return out;
    };
    const QStringList all{name, name + QStringLiteral(" (2)"), name + QStringLiteral(" (3)")};
    EXPECT_TRUE(test::processEventsUntil([&] { return names() == all; }, 10s)) << names().join(", ").toStdString();

    // Withdrawing one leaves the others listed.
    second.reset();
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return names() == QStringList{name, name + QStringLiteral(" (3)")}; }, 10s));
}

TEST_F(AvahiTest, AnUnusableAdvertisementFailsWithAReason)
{
    BonjourServiceDescription service{QStringLiteral("Bad"), QStringLiteral("not a type"), {}, {}};
    auto registration = bonjour->advertise(service, 5559);
    QString failure;
    QObject::connect(registration.get(), &BonjourRegistration::failed, [&](const QString &e) { failure = e; });
    EXPECT_TRUE(test::processEventsUntil([&] { return !failure.isEmpty(); }, 10s));
    EXPECT_EQ(registration->registeredName(), QString());
}

// A rig-control server takes Direwolf's PTT only when what listens at its port is the user's own:
// another user may advertise one too, and Direwolf would key the radio through her program.
TEST_F(AvahiTest, DirewolfKeysOnlyThroughARigControlServerOfThisUser)
{
    struct Row {
        const char *name;
        // Where another user's program listens, if anywhere.
        std::optional<QHostAddress> theirs;
        bool own;
        // The host the advert points at, when not this machine, and why the server is passed over.
        QString host;
        QString refusal;
    };
    const QString notTheUsers = QStringLiteral("is not a program of this user");
    const QString otherHost = unique(QStringLiteral("otherhost")) + QStringLiteral(".local");
    const Row rows[] = {
        {"another user's listener", QHostAddress(QHostAddress::LocalHost), false, {}, notTheUsers},
        {"the user's own listener", std::nullopt, true, {}, {}},
        {"another user's listener on ::1 beside the user's own", QHostAddress(QHostAddress::LocalHostIPv6), true, {}, notTheUsers},
        // The daemon calls a service its machine's own only when it points at the machine.
        {"this machine's advert pointing at another host", std::nullopt, true, otherHost,
         QStringLiteral("is not announced by this machine as its own, pointing at ") + otherHost},
    };
    // The other host, as a second station's responder would announce it.
    {
        auto *address = new QProcess;
        publishers << address;
        address->setProcessChannelMode(QProcess::MergedChannels);
        address->start(QStringLiteral("avahi-publish"), {QStringLiteral("-a"), otherHost, QStringLiteral("192.0.2.77")});
        ASSERT_TRUE(test::processEventsUntil([&] { return address->readAll().contains("Established") ||
                                                          address->state() == QProcess::NotRunning; },
                                             10s));
        ASSERT_EQ(address->state(), QProcess::Running);
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.theirs && !test::runsAsRoot()) {
            continue;
        }
        ConfigStore config{env.defaults(), env.platform()};
        KeepaliveRequestAdvertiser keepalive(env.platform().bonjour());
        RigControlServerDiscovery discovery(env.platform().bonjour(), env.platform().clock());
        AudioDeviceManager audio{env.audio()};
        ManagedProcess direwolfProcess(ServiceID::direwolf, env.platform().clock());
        ManagedProcess rigctldProcess(ServiceID::rigctld, env.platform().clock());
        DirewolfStartPath path(config, env.platform().clock(), direwolfProcess, rigctldProcess,
                               []() -> QCoro::Task<void> { co_return; }, [&config] { return config.rigctldConfig().tcpPort; },
                               keepalive, discovery, audio);

        const quint16 port = test::freeTcpPort();
        std::optional<test::OtherUserListener> theirs;
        QTcpServer own;
        if (row.own) {
            ASSERT_TRUE(own.listen(QHostAddress::LocalHost, port));
        }
        if (row.theirs) {
            theirs.emplace(port, *row.theirs);
            ASSERT_TRUE(theirs->listening());
        }
        const QString radio = unique(QStringLiteral("IC-7300 "));
        QProcess *advert = publish(radio + QStringLiteral(" server"), RigControlServerDiscovery::kServiceType, 5560,
                                   {QStringLiteral("radio=") + radio, QStringLiteral("port=") + QString::number(port)},
                                   row.host);
        discovery.startBrowsing();
        ASSERT_TRUE(test::processEventsUntil([&] { return discovery.endpoint(radio).has_value(); }, 10s));

        DirewolfConfig dw;
        dw.callsign = QStringLiteral("N0CALL");
        dw.direwolfPath = env.root() + QStringLiteral("/direwolf");
        ASSERT_TRUE(test::writeProgram(dw.direwolfPath, "#!/bin/sh\nexit 1\n"));
        dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
        dw.nativeRigControlRadioName = radio;
        std::tie(dw.kissPort, dw.agwPort) = test::twoFreeTcpPorts();
        config.setDirewolfConfig(dw);
        const auto requests = [&] {
            return std::count_if(env.log().entries.begin(), env.log().entries.end(), [](const auto &entry) {
                return entry.message.contains(QStringLiteral("[KeepaliveRequestAdvertiser] advertising"));
            });
        };
        const auto before = requests();
        auto outcome = test::track(path.start({}));
        ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 15s));

        QFile conf(DirewolfConfigManager::configPath());
        ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
        const QByteArray text = conf.readAll();
        const QString passedOver = QStringLiteral("advertised for radio '%1' at 127.0.0.1:%2 %3 \u2014 passed over")
                                       .arg(radio)
                                       .arg(port)
                                       .arg(row.refusal);
        const bool passed = !row.refusal.isEmpty();
        EXPECT_EQ(text.contains("PTT RIG 2 127.0.0.1:" + QByteArray::number(port)), !passed);
        EXPECT_EQ(text.contains("Falling back to VOX"), passed);
        EXPECT_EQ(direwolfProcess.logLines().filter(passedOver).size(), passed ? 1 : 0);
        // Requested only for a server taken, or where this machine announces none for the radio;
        // this Direwolf exits at once, and its failed start withdraws the request.
        EXPECT_EQ(requests() - before, passed && row.host.isEmpty() ? 0 : 1);
        EXPECT_EQ(keepalive.advertisedRadioName(), std::nullopt);
        withdraw(advert);
    }
    SKIP_UNLESS_ROOT("the rows with another user's listener");
}

} // namespace
} // namespace cordavelle
