#include "pages/rigctld_page_model.h"
#include "pages/service_page_frame.h"

#include "platform/clock.h"

#include "support/event_wait.h"
#include "support/local_ports.h"
#include "support/scripted_tcp_server.h"

#include <QElapsedTimer>
#include <QLocale>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace rigctld_page;
using namespace std::chrono_literals;

std::vector<int> ids(const std::vector<RigModel> &models)
{
    std::vector<int> out;
    for (const RigModel &model : models) {
        out.push_back(model.id);
    }
    return out;
}

TEST(RigctldCatalogue, ParsesTheModelRowsOfTheTableAndSortsThemByName)
{
    const QByteArray table = " Rig #  Mfg                    Model                   Version         Status      Macro\n"
                             "     1  Hamlib                 Dummy                   20221128.0      Stable      RIG_MODEL_DUMMY\n"
                             "     0  Zero                   Radio                   1.0             Alpha\n"
                             "    -4  Minus                  Radio                   1.0             Alpha\n"
                             "    +7  kenwood                ts-50   \n"
                             "    12  OnlyMaker\n"
                             "    13  Yaesu   FT-991   1.0\r\n"
                             "    14\tTabbed\tRow\n"
                             "\n"
                             "  2036  FlexRadio              6xxx                    1.0             Stable\n"
                             "    20  Kenwood                TS-50 Mk II             1.0             Stable\n"
                             "    21  KENWOOD                TS-50                   1.0             Stable\n"
                             "  x22  Not                    A number\n";
    const std::vector<RigModel> models = parseRigctldList(table);
    // Header, ids 0 and -4, one column, tabs only and the non-number are left out; names that
    // differ in case alone keep their listed order, a prefix goes first.
    EXPECT_EQ(ids(models), (std::vector<int>{2036, 1, 7, 21, 20, 13}));
    EXPECT_EQ(models.at(1), (RigModel{1, QStringLiteral("Hamlib Dummy")}));
    EXPECT_EQ(models.at(2).name, QStringLiteral("kenwood ts-50"));
    EXPECT_EQ(models.at(4).name, QStringLiteral("Kenwood TS-50 Mk II")) << "one space stays inside a column";
    EXPECT_EQ(models.at(5).name, QStringLiteral("Yaesu FT-991")) << "three spaces still split";

    // Sorted as the user's language sorts: an accented name among its plain letters.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto accented = parseRigctldList("  3  Zeta  One\n  4  \xc3\x89lan  Two\n  5  elan  One\n");
    QLocale::setDefault(previous);
    EXPECT_EQ(ids(accented), (std::vector<int>{5, 4, 3}));

    EXPECT_TRUE(parseRigctldList("     1  Hamlib  Dummy\n\xff\xfe\n").empty()) << "not UTF-8";
    EXPECT_TRUE(parseRigctldList(" Rig #  Mfg  Model\n").empty());
}

TEST(RigctldCatalogue, PickerRowsRelabelTwoModelsAndKeepAnUnlistedSavedModel)
{
    const std::vector<RigModel> listed{{2036, QStringLiteral("FlexRadio 6xxx")},
                                       {1, QStringLiteral("Hamlib Dummy")},
                                       {23005, QStringLiteral("FlexRadio SmartSDR Slice A")}};
    const auto rows = availableRigModels(listed, 23005);
    EXPECT_EQ(ids(rows), (std::vector<int>{2036, 1, 23005})) << "relabelled rows keep their places";
    EXPECT_EQ(rows.at(0).name, QStringLiteral("FlexRadio 6xxx (Windows only — on Linux pick SmartSDR Slice A)"));
    EXPECT_EQ(rows.at(2).name, QStringLiteral("FlexRadio SmartSDR Slice A (recommended for Flex 6000/8000)"));

    const auto unknown = availableRigModels(listed, 99999);
    EXPECT_EQ(unknown.front(), (RigModel{99999, QStringLiteral("Unknown (99999)")}));
    EXPECT_EQ(availableRigModels(listed, 0).size(), 3u);
    EXPECT_EQ(availableRigModels({}, 1), (std::vector<RigModel>{{1, QStringLiteral("Unknown (1)")}}));
    EXPECT_EQ(availableRigModels({}, -3).front().name, QStringLiteral("Unknown (-3)"));
}

TEST(RigctldPageModel, HostCheckAndListenCaption)
{
    const std::vector<std::pair<QString, bool>> hosts{
        {QStringLiteral("192.168.1.20"), true},  {QStringLiteral("radio-1.local"), true},
        {QStringLiteral("flex_6600"), true},     {QStringLiteral("funkgerät.de"), true},
        {QStringLiteral("[::1]"), true},         {QStringLiteral("[fe80::1]"), true},
        {QString(), false},                      {QStringLiteral("::1"), false},
        {QStringLiteral("[::1"), false},         {QStringLiteral("[nonsense:]"), false},
        {QStringLiteral("my radio"), false},     {QStringLiteral("host/path"), false},
        {QStringLiteral("100%"), false},         {QStringLiteral("host:4532"), false},
    };
    for (const auto &[host, valid] : hosts) {
        EXPECT_EQ(isValidHost(host), valid) << host.toStdString();
    }
    EXPECT_EQ(listenCaption(QStringLiteral("0.0.0.0")),
              QStringLiteral("rigctld listens on all interfaces (0.0.0.0) for Cordavelle client connections."));
    EXPECT_EQ(listenCaption(QStringLiteral("::")),
              QStringLiteral("rigctld listens on all interfaces, IPv4 and IPv6 (::), for Cordavelle client connections."));
    EXPECT_FALSE(listenCaption(QStringLiteral("127.0.0.1")).contains(QStringLiteral("0.0.0.0")));
    EXPECT_TRUE(listenCaption(QStringLiteral("127.0.0.1")).contains(QStringLiteral("(127.0.0.1)")));
    // Nothing waits while nothing runs, or where the two wildcards name the same interfaces.
    EXPECT_EQ(addressWaitingForNextStart(std::nullopt, QStringLiteral("::")), QString());
    EXPECT_EQ(addressWaitingForNextStart(QStringLiteral("0.0.0.0"), QStringLiteral("::")), QString());
}

TEST(RigctldConnectionTest, ClassifiesReplies)
{
    const QByteArray longReply(300, 'x');
    const std::vector<std::pair<QByteArray, QString>> replies{
        {"14074000\n", QStringLiteral("OK — 14.074000 MHz")},
        {"7.1e6\n", QStringLiteral("OK — 7.100000 MHz")},
        {"14074000\r\nRPRT 0\n", QStringLiteral("OK — 14.074000 MHz")},
        {"0\n", QStringLiteral("Unexpected response: 0")},
        // Only plain decimal hertz count: what strtod also takes is no frequency here.
        {"inf\n", QStringLiteral("Unexpected response: inf")},
        {"nan\n", QStringLiteral("Unexpected response: nan")},
        {"0x1p24\n", QStringLiteral("Unexpected response: 0x1p24")},
        {"1e999\n", QStringLiteral("Unexpected response: 1e999")},
        {" RPRT -5\n", QStringLiteral("Radio error: RPRT -5")},
        {"RPRT 0\n", QStringLiteral("OK — rigctld responded")},
        {"get_freq:\nRPRT -11\n", QStringLiteral("Radio error: get_freq:\nRPRT -11")},
        {"hello\nworld\n", QStringLiteral("Unexpected response: hello\nworld")},
        {longReply, QStringLiteral("Unexpected response: ") + QString(100, u'x')},
        {" \n", QStringLiteral("No response from rigctld (timed out)")},
        {"", QStringLiteral("No response from rigctld (timed out)")},
        {"\xff\n", QStringLiteral("No response from rigctld (timed out)")},
    };
    for (const auto &[reply, result] : replies) {
        EXPECT_EQ(classifyReply(reply), result) << reply.toStdString();
    }
}

TEST(RigctldConnectionTest, TestRowFollowsTheTestAndTheProcess)
{
    const QString ok = QStringLiteral("OK — rigctld responded");
    const QString failed = QStringLiteral("Connection refused");
    EXPECT_EQ(testRow(false, {}, false), (TestRow{false, false, {}, Tone::secondary, true}));
    EXPECT_EQ(testRow(false, {}, true), (TestRow{true, false, {}, Tone::secondary, false}));
    EXPECT_EQ(testRow(true, {}, true), (TestRow{false, true, {}, Tone::secondary, false}));
    EXPECT_EQ(testRow(false, ok, true), (TestRow{true, false, ok, Tone::green, false}));
    EXPECT_EQ(testRow(false, failed, false), (TestRow{false, false, failed, Tone::red, false}));
}

// The probe against stand-ins on this machine, on the real clock.
struct Probe {
    QString run(int port)
    {
        std::optional<QString> result;
        auto query = [&]() -> QCoro::Task<void> { result = co_await queryRigctld(port, clock); };
        auto task = query();
        EXPECT_TRUE(test::processEventsUntil([&] { return result.has_value(); }, 12s));
        return result.value_or(QString());
    }
    SystemClock clock;
};

TEST(RigctldConnectionTest, ProbesAListenerThatAnswersFailsOrCloses)
{
    Probe probe;
    {
        test::ScriptedTcpServer server("14074000\n", test::ScriptedTcpServer::Then::staySilent);
        EXPECT_EQ(probe.run(server.port()), QStringLiteral("OK — 14.074000 MHz"));
        EXPECT_EQ(server.received(), QByteArray("f\n"));
    }
    {
        test::ScriptedTcpServer server("RPRT -5\n", test::ScriptedTcpServer::Then::close);
        EXPECT_EQ(probe.run(server.port()), QStringLiteral("Radio error: RPRT -5"));
    }
    {
        // Closed in the middle of an answer: what came is used at once, without waiting out the
        // reply time or spinning on the end of the stream.
        test::ScriptedTcpServer server("14.07", test::ScriptedTcpServer::Then::close);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(probe.run(server.port()), QStringLiteral("OK — 0.000014 MHz"));
        EXPECT_LT(timer.elapsed(), 2000);
    }
    const quint16 closed = test::freeTcpPort();
    ASSERT_NE(closed, 0);
    EXPECT_EQ(probe.run(closed), QStringLiteral("Connection refused"));
    EXPECT_EQ(probe.run(0), QStringLiteral("Cannot connect to rigctld on port 0"));
    EXPECT_EQ(probe.run(70000), QStringLiteral("Cannot connect to rigctld on port 70000"));
}

TEST(RigctldConnectionTest, ASilentListenerTimesOut)
{
    Probe probe;
    test::ScriptedTcpServer server({}, test::ScriptedTcpServer::Then::staySilent);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(probe.run(server.port()), QStringLiteral("No response from rigctld (timed out)"));
    EXPECT_GE(timer.elapsed(), 4900);
}

// A result that comes after every page has let go of the state still lands in it, harmlessly.
TEST(RigctldConnectionTest, StateHeldOnlyByTheTestTakesTheResult)
{
    SystemClock clock;
    test::ScriptedTcpServer server("RPRT 0\n", test::ScriptedTcpServer::Then::staySilent);
    auto state = std::make_shared<RigctldPageState>();
    std::weak_ptr<RigctldPageState> watch = state;
    RigctldPageState::testConnection(state, server.port(), clock);
    EXPECT_TRUE(state->isTesting());
    RigctldPageState::testConnection(state, server.port(), clock);
    state.reset();
    EXPECT_FALSE(watch.expired()) << "the test holds the state";
    EXPECT_TRUE(test::processEventsUntil([&] { return watch.expired(); }, 6s));
    EXPECT_EQ(server.received(), QByteArray("f\n")) << "a second start while testing sends nothing";
}

// What a page says of a run must be true of the run there is now.
TEST(RigctldPageModel, NoticesAndResultsOfAnEarlierRunDoNotStay)
{
    RigctldConfig launched;
    launched.tcpPort = 4533;
    const auto with = [&](auto change) {
        RigctldConfig stored = launched;
        change(stored);
        return stored;
    };
    struct Case {
        const char *name;
        ServiceRunState state;
        std::optional<RigctldConfig> launched;
        RigctldConfig stored;
        bool restartNotice;
    };
    const Case cases[] = {
        {"just started, or restarted with the new port", ServiceRunState::running, launched, launched, false},
        {"port changed since the start", ServiceRunState::running, launched, with([](auto &c) { c.tcpPort = 4534; }), true},
        {"rig changed since the start", ServiceRunState::running, launched, with([](auto &c) { c.rigModel = 3073; }), true},
        {"only the lifecycle mode changed", ServiceRunState::running, launched,
         with([](auto &c) { c.lifecycleMode = ServiceLifecycleMode::alwaysOn; }), false},
        {"stopped", ServiceRunState::stopped, launched, with([](auto &c) { c.tcpPort = 4534; }), false},
        {"starting", ServiceRunState::starting, launched, with([](auto &c) { c.tcpPort = 4534; }), false},
        {"running, launch unknown", ServiceRunState::running, std::nullopt, with([](auto &c) { c.tcpPort = 4534; }), false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(settingsChangedSinceLaunch(c.state, c.launched, c.stored), c.restartNotice) << c.name;
    }
    DirewolfConfig direwolf;
    DirewolfConfig renamed = direwolf;
    renamed.callsign = QStringLiteral("N0CALL");
    EXPECT_TRUE(settingsChangedSinceLaunch(ServiceRunState::running, std::optional(direwolf), renamed));

    // A result goes when rigctld leaves its run; a test of that run still under way keeps its
    // result to itself.
    SystemClock clock;
    test::ScriptedTcpServer server("145000000\n", test::ScriptedTcpServer::Then::staySilent);
    auto state = std::make_shared<RigctldPageState>();
    RigctldPageState::testConnection(state, server.port(), clock);
    ASSERT_TRUE(test::processEventsUntil([&] { return !state->isTesting(); }, 6s));
    EXPECT_EQ(state->testResult(), QString::fromUtf8("OK \u2014 145.000000 MHz"));
    state->forgetResult();
    EXPECT_EQ(state->testResult(), std::nullopt);
    test::ScriptedTcpServer next("145000000\n", test::ScriptedTcpServer::Then::staySilent);
    RigctldPageState::testConnection(state, next.port(), clock);
    state->forgetResult();
    ASSERT_TRUE(test::processEventsUntil([&] { return !state->isTesting(); }, 6s));
    EXPECT_EQ(state->testResult(), std::nullopt);
}

TEST(RigctldPageModel, HamlibSectionFollowsTheInstallerAndThePaths)
{
    using V = HamlibSection::View;
    using A = HamlibSection::Action;
    const auto labels = [](const HamlibSection &s) {
        QStringList out;
        for (const auto &b : s.buttons) {
            out << b.label + (b.primary ? QStringLiteral("*") : QString());
        }
        return out;
    };
    HamlibFacts facts;
    HamlibSection shown = hamlibSection(facts);
    EXPECT_EQ(shown.view, V::idle);
    EXPECT_TRUE(shown.path.isEmpty());
    EXPECT_EQ(shown.status, QStringLiteral("rigctld is not installed. Install it to use CAT rig control."));
    EXPECT_EQ(labels(shown), (QStringList{QStringLiteral("Install Hamlib*"), QStringLiteral("Choose Custom…")}));
    // Another user's copy that the look-up passed over is shown as unusable, not as installed.
    const QString theirs = QStringLiteral("/home/linuxbrew/.linuxbrew/bin/rigctld");
    facts.passedOver = PassedOver{theirs, QStringLiteral("the file %1 belongs to another user").arg(theirs)};
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.path, theirs);
    EXPECT_EQ(shown.status, QStringLiteral("rigctld at %1 was passed over: it can be changed by another user (the file "
                                           "%1 belongs to another user) \u2014 choose a program only you or root can "
                                           "change")
                                .arg(theirs));
    EXPECT_TRUE(shown.warning && shown.statusTone == Tone::red && !shown.filledSymbol);
    EXPECT_EQ(labels(shown), (QStringList{QStringLiteral("Install Hamlib*"), QStringLiteral("Choose Custom…")}));
    facts.passedOver.reset();

    facts.effectivePath = QStringLiteral("/usr/bin/rigctld");
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.status, QStringLiteral("rigctld found at system path"));
    EXPECT_EQ(shown.path, QStringLiteral("/usr/bin/rigctld"));
    EXPECT_FALSE(shown.filledSymbol);
    EXPECT_EQ(labels(shown), (QStringList{QStringLiteral("Install Managed Copy"), QStringLiteral("Choose Custom…")}));

    facts.managed.present = true;
    facts.managed.version = QStringLiteral("4.6.2");
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.status, QStringLiteral("rigctld 4.6.2 installed (Helper-managed)"));
    EXPECT_EQ(shown.statusTone, Tone::green);
    EXPECT_EQ(labels(shown), (QStringList{QStringLiteral("Reinstall"), QStringLiteral("Choose Custom…")}));

    facts.customPath = QStringLiteral("/nowhere/rigctld");
    facts.effectivePath = facts.customPath;
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.status, QStringLiteral("rigctld overridden — custom path"));
    EXPECT_TRUE(shown.statusAccent && shown.filledSymbol);
    EXPECT_EQ(labels(shown), (QStringList{QStringLiteral("Reinstall"), QStringLiteral("Choose Custom…"),
                                          QStringLiteral("Reset to Auto")}));
    // One a start would refuse says why instead.
    facts.customRefusal = QStringLiteral("rigctld at /nowhere/rigctld can't be used");
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.status, *facts.customRefusal);
    EXPECT_EQ(shown.statusTone, Tone::red);
    EXPECT_TRUE(shown.warning && !shown.statusAccent && !shown.filledSymbol);
    facts.customRefusal.reset();
    facts.managed.present = false;
    EXPECT_EQ(hamlibSection(facts).buttons.front().label, QStringLiteral("Install Managed Copy"));

    facts.progress.phase = InstallProgress::Phase::downloading;
    facts.progress.fraction = 0.5;
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.view, V::downloading);
    EXPECT_DOUBLE_EQ(shown.progress, 0.5);
    EXPECT_EQ(shown.buttons.at(0).action, A::cancel);
    facts.progress.phase = InstallProgress::Phase::extracting;
    EXPECT_EQ(labels(hamlibSection(facts)), QStringList{QStringLiteral("Cancel")});
    facts.progress.phase = InstallProgress::Phase::complete;
    facts.managed.version = QStringLiteral("4.6.2");
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.line, QStringLiteral("Hamlib 4.6.2 installed"));
    EXPECT_TRUE(shown.buttons.empty());
    facts.progress.phase = InstallProgress::Phase::failed;
    facts.progress.error = QStringLiteral("The download failed: %1 <b>");
    shown = hamlibSection(facts);
    EXPECT_EQ(shown.line, facts.progress.error);
    EXPECT_EQ(shown.buttons.at(0).action, A::retry);

    EXPECT_EQ(rigctld_page::binaryPickerFolder(QStringLiteral("/opt/hamlib/bin/rigctld")), QStringLiteral("/opt/hamlib/bin"));
    EXPECT_EQ(rigctld_page::binaryPickerFolder(std::nullopt), QStringLiteral("/usr/bin"));
}

} // namespace
} // namespace cordavelle
