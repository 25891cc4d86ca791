// A service port that a program of another user holds: the helper can neither end that program
// nor tell it from its own child by connecting, so the start fails before anything is launched.
// A start counts as done only once the child's own listener is on every port clients use.

#include "api/api_router.h"
#include "api/pairing_manager.h"
#include "base/helper_places.h"
#include "core/orchestrator_service_control.h"
#include "core/port_probe.h"
#include "core/service_addresses.h"
#include "platform/network_interfaces.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/link_local.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/orchestrator_fixture.h"
#include "support/other_user_client.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstring>
#include <optional>
#include <tuple>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// A listener of this user on 127.0.0.1 that no process holds: its one descriptor waits in a
// message on a local socket pair, out of sight as a socket held by a process of another pid
// namespace, or by one that is not dumpable, is.
class UnseenListener {
public:
    explicit UnseenListener(quint16 port)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0) {
            return;
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        const test::SocketAddress address = test::socketAddress(QHostAddress(QHostAddress::LocalHost), port);
        char byte = 0;
        iovec data{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
        m_listening = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
                      && ::bind(fd, address.get(), address.length) == 0 && ::listen(fd, 4) == 0
                      && ::sendmsg(m_pair[0], &message, MSG_NOSIGNAL) == 1;
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~UnseenListener()
    {
        for (const int fd : m_pair) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    UnseenListener(const UnseenListener &) = delete;
    UnseenListener &operator=(const UnseenListener &) = delete;

    bool listening() const { return m_listening; }

private:
    int m_pair[2] = {-1, -1};
    bool m_listening = false;
};

class ServicePortsTakenTest : public test::OrchestratorTest {
protected:
    ServicePortsTakenTest() { watchChildren(); }

    QString sleeper(const QString &name)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        EXPECT_TRUE(test::writeProgram(path, "#!/bin/sh\nexec sleep 600\n"));
        return path;
    }

    QCoro::Task<void> startOverTheAPI(ServiceID id, HTTPResponse &reply)
    {
        OrchestratorServiceControl services(*orchestrator);
        PairingManager pairing(env.defaults(), env.clock(), env.keychain(), env.attention());
        APIRouter router(services, config, pairing, env.platform().clock(), env.defaults(), env.notifications());
        HTTPRequest request;
        request.method = QStringLiteral("POST");
        request.path = QStringLiteral("/services/%1/start").arg(toRaw(id));
        reply = co_await router.handle(std::move(request));
    }

    int linesContaining(const QString &text) { return env.log().messages().filter(text).size(); }

    // What a start says of a port that `holder`, a program of the test's own user, holds.
    static QString heldByOwnProgram(const test::OtherUserListener &holder, bool configurable = true)
    {
        return QString::fromUtf8(" is in use by another of your programs (%1, pid %2) \u2014 %3")
            .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(), QString::number(holder.pid()),
                 configurable ? QStringLiteral("stop it or choose another port") : QStringLiteral("stop it"));
    }

    QString program(const QString &name, const QByteArray &text)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        EXPECT_TRUE(test::writeProgram(path, text));
        return path;
    }
};

TEST_F(ServicePortsTakenTest, EveryServiceRefusesToLaunchOnAPortAnotherUserHolds)
{
    SKIP_UNLESS_ROOT("listening as another user");
    config.setRequirePairing(false);
    // No structured binding: the lambdas below capture these, which clang before 16 refuses.
    const std::pair<quint16, quint16> ports = test::twoFreeTcpPorts();
    const quint16 port = ports.first;
    const quint16 otherPort = ports.second;
    RigctldConfig rig;
    rig.rigctldPath = sleeper(QStringLiteral("rigctld"));
    rig.tcpPort = port;
    config.setRigctldConfig(rig);
    DirewolfConfig dw;
    dw.callsign = QStringLiteral("N0CALL");
    dw.direwolfPath = sleeper(QStringLiteral("direwolf"));
    VARAConfig hf;
    hf.winePath = sleeper(QStringLiteral("wine"));
    hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
    config.setVaraConfig(hf);
    ASSERT_TRUE(test::writeProgram(places::winePrefix() + QStringLiteral("/drive_c/VARA/VARA.exe"), "MZ", false));

    struct Case {
        const char *cause;
        ServiceID id;
        quint16 port;
        std::function<void()> arrange;
        QString error;
    };
    const QString configurable = QString::fromUtf8(" is in use by another user's program \u2014 choose another port");
    const Case cases[] = {
        {"rigctld", ServiceID::rigctld, port, [] {}, QStringLiteral("rigctld's port %1").arg(port) + configurable},
        {"Direwolf's KISS port", ServiceID::direwolf, port,
         [&] {
             dw.kissPort = port;
             dw.agwPort = otherPort;
             config.setDirewolfConfig(dw);
         },
         QStringLiteral("Direwolf's KISS port %1").arg(port) + configurable},
        {"Direwolf's AGW port", ServiceID::direwolf, port,
         [&] {
             dw.kissPort = otherPort;
             dw.agwPort = port;
             config.setDirewolfConfig(dw);
         },
         QStringLiteral("Direwolf's AGW port %1").arg(port) + configurable},
        {"VARA HF", ServiceID::varaHF, 8300, [] {},
         QStringLiteral("VARA HF's command port 8300 is in use by another user's program")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        c.arrange();
        const std::optional<test::VaraPortsLock> fixed = c.port == 8300 ? std::make_optional<test::VaraPortsLock>()
                                                                        : std::nullopt;
        ASSERT_TRUE(!fixed || fixed->held());
        const test::OtherUserListener theirs(c.port);
        ASSERT_TRUE(theirs.listening());

        HTTPResponse reply;
        auto outcome = test::track(startOverTheAPI(c.id, reply));
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
        EXPECT_EQ(reply.statusCode, 500);
        EXPECT_EQ(reply.body, HTTPResponse::error(c.error, 500).body);
        const ServiceStatus status = orchestrator->status(c.id);
        EXPECT_EQ(status.state, ServiceRunState::error);
        EXPECT_EQ(status.error, c.error);
        EXPECT_EQ(orchestrator->process(c.id).lastLaunchCommand(), std::nullopt);
    }
    // Nothing was swept, reaped or launched for any of them.
    for (const char *tool : {"pkill", "lsof", "wineserver"}) {
        EXPECT_TRUE(env.commands().journal.filter(tool).isEmpty()) << env.commands().journal.join('\n').toStdString();
    }
    EXPECT_TRUE(children.empty());
}

// The address of the other family is held beside the child while the service runs; one that
// another program has already bound, even without listening yet, refuses the start before a
// launch, and the error names whose program it is.
TEST_F(ServicePortsTakenTest, ASocketOnTheOtherFamilyRefusesTheStartBeforeALaunch)
{
    config.setRequirePairing(false);
    const std::pair<quint16, quint16> ports = test::twoFreeTcpPorts();
    RigctldConfig rig;
    rig.rigctldPath = sleeper(QStringLiteral("rigctld"));
    rig.tcpPort = ports.first;
    config.setRigctldConfig(rig);
    DirewolfConfig dw;
    dw.callsign = QStringLiteral("N0CALL");
    dw.direwolfPath = sleeper(QStringLiteral("direwolf"));
    dw.kissPort = ports.first;
    dw.agwPort = ports.second;
    config.setDirewolfConfig(dw);
    VARAConfig hf;
    hf.winePath = sleeper(QStringLiteral("wine"));
    hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
    config.setVaraConfig(hf);
    ASSERT_TRUE(test::writeProgram(places::winePrefix() + QStringLiteral("/drive_c/VARA/VARA.exe"), "MZ", false));

    const uid_t self = ::geteuid();
    struct Case {
        const char *cause;
        ServiceID id;
        bool networkAccess;
        quint16 port;
        QHostAddress theirs;
        bool listening;
        uid_t owner;
        QString portName;
    };
    const Case cases[] = {
        {"rigctld on 127.0.0.1, another user's on ::1", ServiceID::rigctld, false, ports.first,
         QHostAddress(QHostAddress::LocalHostIPv6), false, test::kOtherUid, QStringLiteral("rigctld's port %1").arg(ports.first)},
        {"rigctld on 127.0.0.1, the user's own on ::1", ServiceID::rigctld, false, ports.first,
         QHostAddress(QHostAddress::LocalHostIPv6), false, self, QStringLiteral("rigctld's port %1").arg(ports.first)},
        {"Direwolf with network access, another user's on ::", ServiceID::direwolf, true, ports.second,
         QHostAddress(QHostAddress::AnyIPv6), false, test::kOtherUid, QStringLiteral("Direwolf's AGW port %1").arg(ports.second)},
        {"Direwolf with network access, the user's own listening on ::1", ServiceID::direwolf, true, ports.first,
         QHostAddress(QHostAddress::LocalHostIPv6), true, self, QStringLiteral("Direwolf's KISS port %1").arg(ports.first)},
        {"VARA's data port, another user's", ServiceID::varaHF, false, 8301, QHostAddress(QHostAddress::LocalHostIPv6),
         false, test::kOtherUid, QStringLiteral("VARA HF's data port 8301")},
        {"VARA's data port, the user's own", ServiceID::varaHF, false, 8301, QHostAddress(QHostAddress::LocalHostIPv6),
         false, self, QStringLiteral("VARA HF's data port 8301")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        if (c.owner != self && !test::runsAsRoot()) {
            continue;
        }
        config.setAllowNetworkAccess(c.networkAccess);
        const std::optional<test::VaraPortsLock> fixed = c.port == 8301 ? std::make_optional<test::VaraPortsLock>()
                                                                        : std::nullopt;
        ASSERT_TRUE(!fixed || fixed->held());
        const test::OtherUserListener bound(c.port, c.theirs, c.listening, c.owner);
        ASSERT_TRUE(bound.listening());
        const bool configurable = c.id != ServiceID::varaHF;
        const QString error =
            c.portName + (c.owner == self ? heldByOwnProgram(bound, configurable)
                                          : QStringLiteral(" is in use by another user's program") +
                                                (configurable ? QString::fromUtf8(" \u2014 choose another port") : QString()));

        HTTPResponse reply;
        auto outcome = test::track(startOverTheAPI(c.id, reply));
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
        EXPECT_EQ(reply.statusCode, 500);
        EXPECT_EQ(reply.body.toStdString(), HTTPResponse::error(error, 500).body.toStdString());
        EXPECT_EQ(orchestrator->status(c.id).state, ServiceRunState::error);
        EXPECT_EQ(orchestrator->process(c.id).lastLaunchCommand(), std::nullopt);
    }
    EXPECT_TRUE(children.empty());
    SKIP_UNLESS_ROOT("the rows with another user's socket");
}

// Whose program holds an address the helper could not bind: a socket on that address or on the
// wildcard, of the user's own other programs (named), of another user, or none that can be told.
TEST(PortHolders, TheHolderOfAnAddressIsNamedByWhoseItIs)
{
    using Kind = PortHolder::Kind;
    using Address = PortHold::Address;
    const uid_t self = ::geteuid();
    struct Case {
        const char *cause;
        QHostAddress bound;
        bool listening;
        uid_t owner;
        Address address;
        Kind holder;
    };
    const QHostAddress loopback6(QHostAddress::LocalHostIPv6);
    const Case cases[] = {
        {"the user's own, bound on ::1", loopback6, false, self, Address::ipv6Loopback, Kind::thisUser},
        {"the user's own, listening on ::", QHostAddress(QHostAddress::AnyIPv6), true, self, Address::ipv6Loopback,
         Kind::thisUser},
        {"the user's own on ::1, for the wildcard", loopback6, false, self, Address::ipv6Any, Kind::thisUser},
        {"the user's own on 127.0.0.1, which takes no IPv6 address", QHostAddress(QHostAddress::LocalHost), false, self,
         Address::ipv6Loopback, Kind::unknown},
        {"another user's, bound on ::1", loopback6, false, test::kOtherUid, Address::ipv6Loopback, Kind::anotherUser},
        {"another user's on ::1, for the wildcard", loopback6, true, test::kOtherUid, Address::ipv6Any,
         Kind::anotherUser},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        if (c.owner != self && !test::runsAsRoot()) {
            continue;
        }
        const quint16 port = test::freeTcpPort();
        const test::OtherUserListener holder(port, c.bound, c.listening, c.owner);
        ASSERT_TRUE(holder.listening());
        const PortHolder found = holderOfAddress(port, c.address);
        EXPECT_EQ(found.kind, c.holder);
        if (c.holder == Kind::thisUser) {
            EXPECT_EQ(found.process.pid, holder.pid());
            EXPECT_EQ(found.process.program, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        }
    }
    // The helper's own socket is not the holder it looks for.
    const quint16 port = test::freeTcpPort();
    PortHold own(port, PortHold::Address::ipv6Loopback);
    ASSERT_EQ(own.outcome(), PortHold::Outcome::held);
    EXPECT_EQ(holderOfAddress(port, PortHold::Address::ipv6Loopback).kind, Kind::unknown);
    SKIP_UNLESS_ROOT("the rows with another user's socket");
}

// The child alive without its listener (Direwolf stays up when a bind fails), or with another
// user's program on the port since the check before the launch: the start fails, the child is
// stopped and the service reads error with why, while the API answers 500 with it.
TEST_F(ServicePortsTakenTest, AStartIsDoneOnlyWhenTheChildsOwnListenerIsOnEveryPort)
{
    config.setRequirePairing(false);
    const std::pair<quint16, quint16> ports = test::twoFreeTcpPorts();
    const quint16 kiss = ports.first;
    const quint16 agw = ports.second;
    const QString ready = env.root() + QStringLiteral("/listening");
    const QString listens = program(QStringLiteral("listens"), test::listeningStandIn(ready));
    // As Direwolf listens: on every IPv4 address, which the helper's hold of every IPv6 one with
    // network access must leave to it where IPv6 sockets take IPv4 too by default.
    const QString listensEverywhere =
        program(QStringLiteral("listens-everywhere"), test::listeningStandIn(ready, false, QStringLiteral("0.0.0.0")));
    const QString silent = sleeper(QStringLiteral("silent"));
    const QString exits = program(QStringLiteral("exits"), "#!/bin/sh\nexit 1\n");
    // A process the launched program started binds rigctld's port and never listens there: the
    // port is the launched program's own, which never opened it.
    const QString onlyBinds = program(QStringLiteral("only-binds"), QStringLiteral(R"(#!/bin/sh
perl -MIO::Socket::INET -e '
for (my $i = 0; $i < @ARGV; ++$i) { $port = $ARGV[$i + 1] if $ARGV[$i] eq "-t"; }
my $socket = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => $port, Proto => "tcp", ReuseAddr => 1)
    or die "bind: $!";
open(my $ready, ">", "%1") or die "ready: $!";
close $ready;
sleep 600;' -- "$@"
exit $?
)").arg(ready).toUtf8());

    // Another program takes the port once the check is done, as the helper reaps it: another
    // user's, or one of the user's own that the reaping does not see, as it only binds the port
    // or starts listening once the reaping has looked.
    // Or one that no process the helper can look into holds, whose owner it can't name.
    std::optional<test::OtherUserListener> theirs;
    std::optional<UnseenListener> unseen;
    quint16 takenAfterTheCheck = 0;
    bool ownProgram = false;
    bool onlyBound = false;
    bool outOfSight = false;
    env.commands().respond("lsof", [&](const Command &) {
        if (takenAfterTheCheck && outOfSight && !unseen) {
            unseen.emplace(takenAfterTheCheck);
        } else if (takenAfterTheCheck && !outOfSight && !theirs) {
            theirs.emplace(takenAfterTheCheck, QHostAddress(QHostAddress::LocalHost), !onlyBound,
                           ownProgram ? ::geteuid() : test::kOtherUid);
        }
        return CommandResult::exited(1);
    });

    const QString inUse = QString::fromUtf8(" is in use by another user's program \u2014 choose another port");
    struct Case {
        ServiceID id;
        QString program;
        quint16 taken;
        // With a program of the user's own on the port, the port's name that the error begins with.
        std::optional<QString> error;
        bool ownProgram = false;
        bool onlyBound = false;
        bool outOfSight = false;
    };
    const QString unread = QStringLiteral(" is in use (its owner can't be read)");
    const Case cases[] = {
        {ServiceID::rigctld, listens, 0, std::nullopt},
        {ServiceID::rigctld, silent, 0, QStringLiteral("rigctld did not open its port %1 within 5 s").arg(kiss)},
        {ServiceID::rigctld, onlyBinds, 0, QStringLiteral("rigctld did not open its port %1 within 5 s").arg(kiss)},
        {ServiceID::rigctld, exits, 0, QStringLiteral("rigctld exited during its start: Process exited with code 1")},
        {ServiceID::rigctld, silent, kiss, QStringLiteral("rigctld's port %1").arg(kiss) + inUse},
        {ServiceID::rigctld, exits, kiss, QStringLiteral("rigctld's port %1").arg(kiss) + inUse},
        {ServiceID::direwolf, listens, 0, std::nullopt},
        {ServiceID::direwolf, listensEverywhere, 0, std::nullopt},
        {ServiceID::direwolf, silent, 0, QStringLiteral("Direwolf did not open its KISS port %1 within 5 s").arg(kiss)},
        {ServiceID::direwolf, listens, kiss, QStringLiteral("Direwolf's KISS port %1").arg(kiss) + inUse},
        {ServiceID::direwolf, listens, agw, QStringLiteral("Direwolf's AGW port %1").arg(agw) + inUse},
        {ServiceID::rigctld, silent, kiss, QStringLiteral("rigctld's port %1").arg(kiss), true},
        {ServiceID::rigctld, exits, kiss, QStringLiteral("rigctld's port %1").arg(kiss), true, true},
        {ServiceID::rigctld, silent, kiss, QStringLiteral("rigctld's port %1").arg(kiss) + unread, false, false, true},
        {ServiceID::rigctld, exits, kiss, QStringLiteral("rigctld's port %1").arg(kiss) + unread, false, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2 taken %3").arg(toRaw(c.id), c.program).arg(c.taken).toStdString());
        if (c.taken && !c.ownProgram && !c.outOfSight && !test::runsAsRoot()) {
            continue;
        }
        // What an earlier row's program started may hold the port a moment after that row ended
        // (a process that only bound it, gone from sight while its socket closes); a row begins
        // once the port is free again, or a later row reads that socket as an unknown holder.
        ASSERT_TRUE(test::processEventsUntil(
            [&] { return test::bindable(QHostAddress::LocalHost, kiss) && test::bindable(QHostAddress::LocalHostIPv6, kiss); },
            10s));
        RigctldConfig rig;
        rig.rigctldPath = c.program;
        rig.tcpPort = kiss;
        config.setRigctldConfig(rig);
        DirewolfConfig dw;
        dw.callsign = QStringLiteral("N0CALL");
        dw.direwolfPath = c.program;
        dw.kissPort = kiss;
        dw.agwPort = agw;
        config.setDirewolfConfig(dw);
        config.setAllowNetworkAccess(c.program == listensEverywhere);
        QFile::remove(ready);
        takenAfterTheCheck = c.taken;
        ownProgram = c.ownProgram;
        onlyBound = c.onlyBound;
        outOfSight = c.outOfSight;
        ManagedProcess &process = orchestrator->process(c.id);

        HTTPResponse reply;
        auto outcome = test::track(startOverTheAPI(c.id, reply));
        // The child that exits is awaited in real time too.
        std::function<bool()> settled;
        if (c.program == listens || c.program == listensEverywhere || c.program == onlyBinds) {
            settled = test::standInReady(ready);
        } else if (c.program == exits) {
            settled = [] { return false; };
        }
        ASSERT_TRUE(runUntilSettled(c.id, [&] { return outcome->done; }, settled));
        ASSERT_EQ(theirs.has_value() || unseen.has_value(), c.taken != 0);
        ASSERT_TRUE(!theirs || theirs->listening());
        ASSERT_TRUE(!unseen || unseen->listening());
        const ServiceStatus status = orchestrator->status(c.id);
        if (c.error) {
            const QString error = c.ownProgram && theirs ? *c.error + heldByOwnProgram(*theirs) : *c.error;
            EXPECT_EQ(reply.statusCode, 500);
            EXPECT_EQ(reply.body.toStdString(), HTTPResponse::error(error, 500).body.toStdString());
            EXPECT_EQ(status.state, ServiceRunState::error);
            EXPECT_EQ(status.error, error);
            EXPECT_EQ(process.pid(), std::nullopt) << "the child is stopped";
        } else {
            EXPECT_EQ(reply.statusCode, 200) << reply.body.toStdString();
            EXPECT_EQ(status.state, ServiceRunState::running);
            EXPECT_TRUE(test::accepts(kiss));
        }
        orchestrator->stopService(c.id);
        ASSERT_TRUE(env.clock().runUntil([&] { return process.state() != ServiceRunState::stopping; }, 5s));
        theirs.reset();
        unseen.reset();
    }
    SKIP_UNLESS_ROOT("the rows with another user's listener");
}

// A port stored while the service runs is not where its child listens: the record names the
// launched ports until the child is gone, and the stored ones after.
TEST_F(ServicePortsTakenTest, TheStatusNamesThePortsTheChildWasLaunchedWith)
{
    config.setRequirePairing(false);
    const std::pair<quint16, quint16> launched = test::twoFreeTcpPorts();
    const std::pair<quint16, quint16> stored = test::twoFreeTcpPorts();
    const QString ready = env.root() + QStringLiteral("/listening");
    const QString listens = program(QStringLiteral("listens"), test::listeningStandIn(ready));
    struct Case {
        ServiceID id;
        std::function<void(std::pair<quint16, quint16>)> store;
        std::function<std::map<QString, int>(std::pair<quint16, quint16>)> ports;
    };
    const Case cases[] = {
        {ServiceID::rigctld,
         [&](std::pair<quint16, quint16> p) {
             RigctldConfig rig;
             rig.rigctldPath = listens;
             rig.tcpPort = p.first;
             config.setRigctldConfig(rig);
         },
         [](std::pair<quint16, quint16> p) { return std::map<QString, int>{{QStringLiteral("tcp"), p.first}}; }},
        {ServiceID::direwolf,
         [&](std::pair<quint16, quint16> p) {
             DirewolfConfig dw;
             dw.callsign = QStringLiteral("N0CALL");
             dw.direwolfPath = listens;
             dw.kissPort = p.first;
             dw.agwPort = p.second;
             config.setDirewolfConfig(dw);
         },
         [](std::pair<quint16, quint16> p) {
             return std::map<QString, int>{{QStringLiteral("kiss"), p.first}, {QStringLiteral("agw"), p.second}};
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(toRaw(c.id).toStdString());
        c.store(launched);
        QFile::remove(ready);
        auto outcome = start(c.id);
        ASSERT_TRUE(runUntilSettled(c.id, [&] { return outcome->done; }, test::standInReady(ready)));
        ASSERT_EQ(orchestrator->process(c.id).state(), ServiceRunState::running);

        c.store(stored);
        EXPECT_EQ(orchestrator->status(c.id).ports, c.ports(launched));
        // A client's start of the running service is answered with where it listens.
        HTTPResponse reply;
        auto again = test::track(startOverTheAPI(c.id, reply));
        ASSERT_TRUE(env.clock().runUntil([&] { return again->done; }, 1s));
        EXPECT_EQ(reply.statusCode, 200);
        EXPECT_EQ(parseJson(reply.body).get<ServiceStatus>().ports, c.ports(launched));

        orchestrator->stopService(c.id);
        ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->process(c.id).state() == ServiceRunState::stopped; }, 5s));
        EXPECT_EQ(orchestrator->status(c.id).ports, c.ports(stored));
    }
}

// An IPv6 address of this machine other than the loopback, where a program on IPv6's every address
// meets LAN clients; none, with why, where there is none and none can be made.
std::optional<QHostAddress> addressBeyondTheLoopback6(QString *whyNot)
{
    for (const InterfaceAddress &entry : KernelNetworkInterfaces().addresses()) {
        if (entry.address.protocol() == QAbstractSocket::IPv6Protocol && !entry.address.isLoopback()
            && !entry.address.isLinkLocal()) {
            return entry.address;
        }
    }
    return test::ownLinkLocalAddress(whyNot);
}

// Network access allowed while services run: beside each one launched without it the helper holds
// IPv6's every address at once, once however often the setting goes back and forth before a
// restart, while one launched with it needs nothing more. rigctld listens where the setting its
// holds were taken for says, though the setting changed before its launch.
TEST_F(ServicePortsTakenTest, NetworkAccessAllowedWhileServicesRunHoldsEveryAddressBesideEachOnce)
{
    QString whyNot;
    const std::optional<QHostAddress> lan = addressBeyondTheLoopback6(&whyNot);
    const bool both = canListenOnBothFamilies();
    const QString ready = env.root() + QStringLiteral("/listening");
    const QString listens = program(QStringLiteral("listens"), test::listeningStandIn(ready));
    RigctldConfig rig;
    rig.rigctldPath = listens;
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);
    DirewolfConfig dw;
    dw.callsign = QStringLiteral("N0CALL");
    dw.direwolfPath = listens;
    std::tie(dw.kissPort, dw.agwPort) = test::twoFreeTcpPorts();
    config.setDirewolfConfig(dw);

    const auto startRunning = [&](ServiceID id) {
        QFile::remove(ready);
        auto outcome = start(id);
        ASSERT_TRUE(runUntilSettled(id, [&] { return outcome->done; }, test::standInReady(ready)));
        ASSERT_EQ(orchestrator->process(id).state(), ServiceRunState::running);
    };
    const auto holdsLogged = [&](int port) {
        return linesContaining(QStringLiteral("Network access allowed: holding [::]:%1 ").arg(port));
    };
    // Whether the port's IPv6 every address is held, so that no other program may bind it; told
    // only where an address beyond the loopback can be tried.
    const auto expectEveryAddressHeld = [&](int port, bool held) {
        if (lan) {
            EXPECT_EQ(test::bindable(*lan, static_cast<quint16>(port)), !held) << port;
        }
    };
    // Allowed once the holds are taken, while the start sweeps stale rigctld processes.
    bool allowed = true;
    env.commands().respond("pkill", [&](const Command &) {
        if (!std::exchange(allowed, true)) {
            config.setAllowNetworkAccess(true);
        }
        return CommandResult::exited(1);
    });

    for (const bool rigctldWithAccess : {false, true}) {
        SCOPED_TRACE(rigctldWithAccess ? "rigctld launched with network access" : "allowed during rigctld's start");
        env.log().entries.clear();
        config.setAllowNetworkAccess(rigctldWithAccess);
        allowed = rigctldWithAccess;
        startRunning(ServiceID::rigctld);
        ASSERT_TRUE(allowed);
        const QString listen = QStringLiteral(" -T %1 ").arg(rigctldListenAddress(rigctldWithAccess, both));
        EXPECT_TRUE(orchestrator->process(ServiceID::rigctld).lastLaunchCommand()->contains(listen))
            << orchestrator->process(ServiceID::rigctld).lastLaunchCommand()->toStdString();
        EXPECT_EQ(orchestrator->networkAccessInEffect(ServiceID::rigctld), rigctldWithAccess);

        config.setAllowNetworkAccess(false);
        startRunning(ServiceID::direwolf);
        expectEveryAddressHeld(dw.kissPort, false);
        config.setAllowNetworkAccess(true);
        config.setAllowNetworkAccess(false);
        config.setAllowNetworkAccess(true);
        EXPECT_TRUE(orchestrator->networkAccessAwaitsRestart());
        for (const int port : {dw.kissPort, dw.agwPort}) {
            EXPECT_EQ(holdsLogged(port), 1) << port;
            expectEveryAddressHeld(port, true);
        }
        // The stand-in listens on IPv4 alone, where rigctld would take IPv6's every address itself.
        EXPECT_EQ(holdsLogged(rig.tcpPort), rigctldWithAccess ? 0 : 1);
        expectEveryAddressHeld(rig.tcpPort, !rigctldWithAccess || !both);
        EXPECT_EQ(linesContaining(QStringLiteral("can't be held")), 0);

        for (const ServiceID id : {ServiceID::rigctld, ServiceID::direwolf}) {
            orchestrator->stopService(id);
            ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->process(id).state() == ServiceRunState::stopped; }, 5s));
        }
    }
    if (!lan) {
        GTEST_SKIP() << "the holds' check on an IPv6 address beyond the loopback: " << whyNot.toStdString();
    }
}

// The case as a user meets it: an always-on rigctld ends, and meanwhile another user's program
// has taken its port. One notice of the end; then the back-off of 2, 4, 8, 16 and 32 s, each
// attempt failing at once without a launch, and then nothing more.
TEST_F(ServicePortsTakenTest, AnAlwaysOnServiceWhosePortAnotherUserTookGivesUpAfterFiveAttempts)
{
    SKIP_UNLESS_ROOT("listening as another user");
    const QString ready = env.root() + QStringLiteral("/listening");
    RigctldConfig rig;
    rig.rigctldPath = program(QStringLiteral("rigctld"), test::listeningStandIn(ready));
    rig.tcpPort = test::freeTcpPort();
    rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    config.setRigctldConfig(rig);
    ManagedProcess &process = orchestrator->rigctldProcess();
    auto first = start(ServiceID::rigctld);
    ASSERT_TRUE(runUntilSettled(ServiceID::rigctld, [&] { return first->done; }, test::standInReady(ready)));
    ASSERT_EQ(process.state(), ServiceRunState::running);

    ASSERT_TRUE(test::signalChild(process.pid(), SIGKILL));
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::error; }, 10s));
    // Before the first restart, which waits its back-off in the test's time.
    const test::OtherUserListener theirs(static_cast<quint16>(rig.tcpPort));
    ASSERT_TRUE(theirs.listening());
    const QString error = QStringLiteral("rigctld's port %1 is in use by another user's program \u2014 choose another port")
                              .arg(rig.tcpPort);
    auto since = env.clock().now();
    for (int attempt = 1; attempt <= 5; ++attempt) {
        SCOPED_TRACE(attempt);
        const QString failed = QStringLiteral("Restart attempt %1 of rigctld failed: ").arg(attempt) + error;
        ASSERT_TRUE(env.clock().runUntil([&] { return linesContaining(failed) == 1; }, 64s));
        EXPECT_EQ(env.clock().now() - since, std::chrono::seconds(1 << attempt));
        since = env.clock().now();
    }
    EXPECT_FALSE(env.clock().runUntil([&] { return linesContaining(QStringLiteral("Scheduling restart")) > 5; }, 300s));
    EXPECT_EQ(linesContaining(QStringLiteral("(attempt 5/5)")), 1);
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::rigctld));
    EXPECT_EQ(env.notifications().requests.size(), 1u);
    EXPECT_EQ(linesContaining(QStringLiteral("[rigctld] Starting:")), 1);
    EXPECT_EQ(process.state(), ServiceRunState::error);
    EXPECT_EQ(process.startError(), error);
}

} // namespace
} // namespace cordavelle
