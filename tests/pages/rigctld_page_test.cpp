#include "pages/rigctld_page_fixture.h"

#include "app/settings_view.h"
#include "core/service_addresses.h"
#include "platform/port_hold.h"
#include "widgets/wrapping_text.h"

#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/manual_clock.h"
#include "support/scripted_tcp_server.h"
#include "support/test_files.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

void pickValue(QComboBox *picker, const QVariant &value)
{
    const int index = picker->findData(value);
    ASSERT_GE(index, 0) << value.toString().toStdString();
    picker->setCurrentIndex(index);
    Q_EMIT picker->activated(index);
}

QStringList itemTexts(QComboBox *picker)
{
    QStringList out;
    for (int i = 0; i < picker->count(); ++i) {
        out << picker->itemText(i);
    }
    return out;
}

QStringList buttonTexts(QWidget *area)
{
    QStringList out;
    for (QPushButton *b : area->findChildren<QPushButton *>()) {
        if (b->isVisibleTo(area)) {
            out << b->text();
        }
    }
    return out;
}

// The section is rebuilt on the next turn of the event loop after a change.
QStringList buttonsShown(QWidget *area, qsizetype count)
{
    EXPECT_TRUE(test::processEventsUntil([&] { return buttonTexts(area).size() == count; }, 30s))
        << "the section did not come to show " << count << " buttons within 30 s";
    return buttonTexts(area);
}

void pressButton(QWidget *area, const QString &text)
{
    for (QPushButton *b : area->findChildren<QPushButton *>()) {
        if (b->text() == text && b->isVisibleTo(area)) {
            b->click();
            return;
        }
    }
    ADD_FAILURE() << "no button " << text.toStdString();
}

TEST(RigctldPage, EditsTheSettingsAndShowsTheRowsOfTheChosenConnection)
{
    test::RigctldPageScene scene;
    scene.serialPorts = {{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("ttyUSB0")}};
    RigctldConfig saved = scene.config.rigctldConfig();
    saved.serialPort = QStringLiteral("/dev/ttyACM9");
    saved.baudRate = 4801;
    scene.config.setRigctldConfig(saved);
    auto page = scene.makePage();
    page->show();
    // With no rigctld found nothing runs outside the event loop: once what is queued has run, all has.
    test::ManualClock::processEvents();

    EXPECT_TRUE(scene.env.commands().journal.isEmpty()) << "no rigctld found, nothing run";
    EXPECT_EQ(itemTexts(page->rigModelPicker()), QStringList{QStringLiteral("Unknown (1)")});
    EXPECT_EQ(itemTexts(page->serialPortPicker()),
              (QStringList{QStringLiteral("None"), QStringLiteral("/dev/ttyACM9"), QStringLiteral("/dev/ttyUSB0")}));
    EXPECT_EQ(page->baudRatePicker()->currentIndex(), -1) << "a rate outside the list shows none";
    EXPECT_TRUE(page->serialPortPicker()->isVisible());
    EXPECT_FALSE(page->hostField()->isVisible());

    pickValue(page->serialPortPicker(), QString());
    pickValue(page->baudRatePicker(), 38400);
    pickValue(page->connectionPicker(), int(RigConnectionType::network));
    ASSERT_TRUE(test::processEventsUntil([&] { return page->hostField()->isVisible(); }));
    RigctldConfig now = scene.config.rigctldConfig();
    EXPECT_EQ(now.serialPort, QString());
    EXPECT_EQ(now.baudRate, 38400);
    EXPECT_EQ(now.connectionType, RigConnectionType::network);
    EXPECT_FALSE(page->serialPortPicker()->isVisible());
    EXPECT_TRUE(page->hostField()->isVisible());

    page->hostField()->setText(QStringLiteral("my radio"));
    Q_EMIT page->hostField()->textEdited(QStringLiteral("my radio"));
    ASSERT_TRUE(test::processEventsUntil([&] { return page->hostWarning()->isVisible(); }));
    EXPECT_EQ(scene.config.rigctldConfig().networkHost, QStringLiteral("my radio")) << "stored as typed";
    EXPECT_TRUE(page->hostWarning()->isVisible());
    Q_EMIT page->hostField()->textEdited(QStringLiteral("[::1]"));
    ASSERT_TRUE(test::processEventsUntil([&] { return !page->hostWarning()->isVisible(); }));
    EXPECT_FALSE(page->hostWarning()->isVisible());

    EXPECT_TRUE(page->listenCaption()->text().contains(QStringLiteral("127.0.0.1")));
    scene.config.setAllowNetworkAccess(true);
    // The address rigctld is really started with: both families where this machine allows it.
    const QString everyAddress = canListenOnBothFamilies() ? QStringLiteral("(::)") : QStringLiteral("(0.0.0.0)");
    ASSERT_TRUE(test::processEventsUntil([&] { return page->listenCaption()->text().contains(everyAddress); }));

    EXPECT_FALSE(page->testButton()->isEnabled());
    EXPECT_TRUE(page->testHint()->isVisible());
}

TEST(RigctldPage, LoadsTheCatalogueOfTheRigctldFoundAndKeepsTheSavedModel)
{
    test::RigctldPageScene scene;
    scene.foundRigctld = QStringLiteral("/usr/bin/rigctld");
    scene.env.commands().respond(
        QStringLiteral("rigctld"),
        CommandResult::exited(0, " Rig #  Mfg     Model\n     1  Hamlib  Dummy\n  2036  FlexRadio  6xxx\n"));
    RigctldConfig saved = scene.config.rigctldConfig();
    saved.rigModel = 99999;
    scene.config.setRigctldConfig(saved);
    auto page = scene.makePage();
    EXPECT_TRUE(test::processEventsUntil([&] { return page->rigModelPicker()->count() == 3; }, 30s))
        << "the rig model picker did not come to hold 3 models within 30 s";
    EXPECT_EQ(itemTexts(page->rigModelPicker()),
              (QStringList{QStringLiteral("Unknown (99999)"),
                           QStringLiteral("FlexRadio 6xxx (Windows only — on Linux pick SmartSDR Slice A)"),
                           QStringLiteral("Hamlib Dummy")}));
    EXPECT_EQ(page->rigModelPicker()->currentText(), QStringLiteral("Unknown (99999)"));
    EXPECT_EQ(scene.env.commands().journal, QStringList{QStringLiteral("/usr/bin/rigctld -l")});
    pickValue(page->rigModelPicker(), 1);
    EXPECT_EQ(scene.config.rigctldConfig().rigModel, 1);
}

TEST(RigctldPage, TestsTheConnectionOfTheRunningRigctld)
{
    test::RigctldPageScene scene;
    scene.env.useSystemClock();
    test::ScriptedTcpServer server("145500000\n", test::ScriptedTcpServer::Then::staySilent);
    RigctldConfig saved = scene.config.rigctldConfig();
    saved.tcpPort = server.port();
    scene.config.setRigctldConfig(saved);
    scene.standInForRunningRigctld();
    auto page = scene.makePage();
    page->show();
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testButton()->isEnabled(); }));
    EXPECT_FALSE(page->testHint()->isVisible());
    page->testButton()->click();
    EXPECT_FALSE(page->testButton()->isEnabled()) << "no second test while one runs";
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testResult()->isVisible(); }, 6s));
    EXPECT_EQ(page->testResult()->text(), QStringLiteral("OK — 145.500000 MHz"));
    EXPECT_TRUE(page->testButton()->isEnabled());

    // The result was true of that run only.
    scene.orchestrator.rigctldProcess().stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testHint()->isVisible(); }));
    EXPECT_FALSE(page->testResult()->isVisible());
}

TEST(RigctldPage, HamlibSectionShowsTheInstallerAndActsOnIt)
{
    test::RigctldPageScene scene;
    scene.foundRigctld = QStringLiteral("/usr/bin/rigctld");
    scene.env.commands().respond(QStringLiteral("rigctld"), CommandResult::exited(0));
    auto page = scene.makePage();
    page->show();
    QWidget *area = page->installationArea();
    EXPECT_EQ(buttonsShown(area, 2), (QStringList{QStringLiteral("Install Managed Copy"), QStringLiteral("Choose Custom…")}));

    pressButton(area, QStringLiteral("Install Managed Copy"));
    EXPECT_EQ(scene.installer.starts, 1);
    scene.installer.state.phase = InstallProgress::Phase::downloading;
    scene.installer.log << QStringLiteral("[10:00:00] Downloading hamlib");
    scene.installer.announce();
    EXPECT_EQ(buttonsShown(area, 1), QStringList{QStringLiteral("Cancel")});
    pressButton(area, QStringLiteral("Cancel"));
    EXPECT_EQ(scene.installer.cancels, 1);

    scene.installer.state.phase = InstallProgress::Phase::failed;
    scene.installer.state.error = QStringLiteral("The download failed");
    scene.installer.announce();
    EXPECT_TRUE(test::processEventsUntil([&] { return buttonTexts(area) == QStringList{QStringLiteral("Retry")}; }, 30s))
        << "the section did not come to show only Retry within 30 s: " << buttonTexts(area).join(", ").toStdString();
    pressButton(area, QStringLiteral("Retry"));
    EXPECT_EQ(scene.installer.starts, 2);

    scene.installer.state.phase = InstallProgress::Phase::idle;
    scene.installer.announce();
    // A file another user could change is not taken, and the user is told why.
    const QString shared = scene.env.root() + QStringLiteral("/shared");
    scene.pickedBinary = shared + QStringLiteral("/rigctld");
    ASSERT_TRUE(test::writeProgram(scene.pickedBinary));
    ASSERT_TRUE(QFile::setPermissions(shared, QFileDevice::Permissions(0x7777)));
    buttonsShown(area, 2);
    pressButton(area, QStringLiteral("Choose Custom…"));
    EXPECT_EQ(scene.pickerFolders, QStringList{QStringLiteral("/usr/bin")});
    EXPECT_EQ(scene.config.rigctldConfig().rigctldPath, QString());
    ASSERT_EQ(scene.alerts.shown.size(), 1u);
    EXPECT_EQ(scene.alerts.owners[0], page.get()) << "the alert opens over the page's window";
    EXPECT_EQ(scene.alerts.shown[0].informativeText,
              QStringLiteral("rigctld at %1 can be changed by another user (the folder %2 is writable by others) \u2014 "
                             "choose a program only you or root can change")
                  .arg(scene.pickedBinary, shared));

    ASSERT_TRUE(QFile::setPermissions(shared, QFileDevice::Permissions(0x7700)));
    pressButton(area, QStringLiteral("Choose Custom…"));
    EXPECT_EQ(scene.config.rigctldConfig().rigctldPath, scene.pickedBinary);
    EXPECT_EQ(page->effectiveRigctldPath(), scene.pickedBinary);
    EXPECT_EQ(scene.alerts.shown.size(), 1u);
    buttonsShown(area, 3);
    pressButton(area, QStringLiteral("Reset to Auto"));
    EXPECT_EQ(scene.config.rigctldConfig().rigctldPath, QString());

    auto without = scene.makePage(false);
    without->show();
    EXPECT_EQ(buttonsShown(without->installationArea(), 1), QStringList{QStringLiteral("Choose Custom…")})
        << "no install button where nothing can install";
}

// A digest mismatch names two 64-character digests, words longer than the narrowest page.
TEST(RigctldPage, AnInstallErrorOfLongWordsWrapsWithinTheNarrowestPage)
{
    test::RigctldPageScene scene;
    auto page = scene.makePage();
    auto *scroll = page->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    const int narrowest = scroll->widget()->minimumSizeHint().width();
    page->resize(narrowest + scroll->verticalScrollBar()->sizeHint().width(), 700);
    page->show();
    QWidget *area = page->installationArea();
    buttonsShown(area, 2);

    const QString error = QStringLiteral("The SHA-256 of the hamlib bottle is not the one its release information "
                                         "gives: expected %1, got %2")
                              .arg(test::sha256Hex("hamlib"), test::sha256Hex("another"));
    scene.installer.state.phase = InstallProgress::Phase::failed;
    scene.installer.state.error = error;
    scene.installer.announce();
    ASSERT_EQ(buttonsShown(area, 1), QStringList{QStringLiteral("Retry")});
    test::ManualClock::processEvents();
    EXPECT_EQ(scroll->widget()->minimumSizeHint().width(), narrowest) << "the page grew as wide as a digest";
    EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
    QPushButton *retry = nullptr;
    for (QPushButton *b : area->findChildren<QPushButton *>()) {
        retry = b->isVisibleTo(area) ? b : retry;
    }
    ASSERT_NE(retry, nullptr);
    EXPECT_LE(retry->mapTo(scroll->viewport(), QPoint(retry->width(), 0)).x(), scroll->viewport()->width())
        << "Retry lies outside the window";
    auto *text = area->findChild<WrappingText *>();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), error);
    EXPECT_LE(text->document()->idealWidth(), text->viewport()->width()) << "a digest runs past the right edge";
    EXPECT_GE(text->height(), text->heightForWidth(text->width())) << "its last lines are cut off";
}

// An IPv6 address of this machine other than the loopback, where LAN clients would reach a
// program that listens on it; none on a machine without one.
std::optional<QHostAddress> lanAddress6()
{
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv6Protocol && !address.isLoopback() && !address.isLinkLocal()) {
            return address;
        }
    }
    return std::nullopt;
}

// A change of network access reaches a running service at its next start; until then the page
// and the settings say so, and the helper's IPv6 holds widen at once but never narrow. The
// stand-in listens on 127.0.0.1 whatever rigctld's "-T" says: only the helper's holds are on IPv6.
TEST(RigctldPage, NetworkAccessChangedWhileAServiceRunsWaitsForItsRestart)
{
    using Address = PortHold::Address;
    const bool both = canListenOnBothFamilies();
    const QString every = rigctldListenAddress(true, both);
    const QString onText = QStringLiteral("Services are accessible from other devices on the local network (e.g., iPad).");
    const QString offText = QStringLiteral("Services are only accessible from this computer (localhost). Enable for "
                                           "iPad or remote client access.");
    const QString restart = QStringLiteral(" Restart required to take effect.");
    const std::optional<QHostAddress> lan = lanAddress6();
    struct Case {
        ServiceID id;
        bool from;
        QString pending;
        // Held beside the running child once the setting changed; after the restart the new
        // setting's own.
        std::optional<Address> heldAfterChange;
    };
    const Case cases[] = {
        {ServiceID::rigctld, false,
         QStringLiteral("rigctld listens on 127.0.0.1 until it restarts; every interface takes effect when rigctld next starts."),
         Address::ipv6Any},
        {ServiceID::rigctld, true,
         QStringLiteral("rigctld listens on every interface until it restarts; 127.0.0.1 takes effect when rigctld next starts."),
         otherFamilyHold(ServiceID::rigctld, true, both)},
        {ServiceID::direwolf, false, QString(), Address::ipv6Any},
        {ServiceID::direwolf, true, QString(), Address::ipv6Any},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(toRaw(c.id).toStdString() + (c.from ? " on to off" : " off to on"));
        test::RigctldPageScene scene;
        const QString ready = scene.env.root() + QStringLiteral("/listening");
        const QString standIn = scene.env.root() + QStringLiteral("/stand-in");
        ASSERT_TRUE(test::writeProgram(standIn, test::listeningStandIn(ready)));
        RigctldConfig rig = scene.config.rigctldConfig();
        rig.rigctldPath = standIn;
        rig.tcpPort = test::freeTcpPort();
        scene.config.setRigctldConfig(rig);
        DirewolfConfig direwolf = scene.config.direwolfConfig();
        direwolf.callsign = QStringLiteral("N0CALL");
        direwolf.direwolfPath = standIn;
        std::tie(direwolf.kissPort, direwolf.agwPort) = test::twoFreeTcpPorts();
        scene.config.setDirewolfConfig(direwolf);
        const std::vector<int> ports =
            c.id == ServiceID::rigctld ? std::vector<int>{rig.tcpPort} : std::vector<int>{direwolf.kissPort, direwolf.agwPort};
        scene.config.setAllowNetworkAccess(c.from);

        auto page = scene.makePage();
        ExperimentalFeatureManager experimental(scene.env.defaults());
        HelperSettingsView settings({scene.config, experimental, scene.pairing, scene.alerts, {}, {}, {}, {}, &scene.orchestrator});
        const auto caption = [&] {
            for (const QLabel *label : settings.findChildren<QLabel *>()) {
                if (label->text().startsWith(QStringLiteral("Services are"))) {
                    return label->text();
                }
            }
            return QString();
        };
        ManagedProcess &process = scene.orchestrator.process(c.id);
        const auto start = [&] {
            QFile::remove(ready);
            auto started = test::track(scene.orchestrator.startService(c.id));
            ASSERT_TRUE(scene.env.clock().runUntil([&] { return process.pid() || started->done; }, 60s));
            {
                // The stand-in's start takes real time, which the port wait would otherwise outrun.
                const auto hold = scene.env.clock().hold();
                ASSERT_TRUE(scene.env.clock().runUntil([&] { return QFile::exists(ready) || started->done; }, 0ms, 20s));
            }
            ASSERT_TRUE(scene.env.clock().runUntil([&] { return started->done; }, 60s));
            ASSERT_EQ(process.state(), ServiceRunState::running) << process.lastError().value_or("").toStdString();
            test::processEventsFor(50ms);
        };
        // The IPv6 addresses nobody else can bind on the service's ports: every one, the
        // loopback's, or none.
        const auto expectHeld = [&](std::optional<Address> held) {
            for (const int port : ports) {
                const auto p = static_cast<quint16>(port);
                EXPECT_EQ(test::bindable(QHostAddress(QHostAddress::LocalHostIPv6), p), !held) << port;
                if (lan) {
                    EXPECT_EQ(test::bindable(*lan, p), held != Address::ipv6Any) << port << " on " << lan->toString().toStdString();
                }
            }
        };
        // rigctld's "-T", and the caption under its port, name where it runs, not what is stored.
        const auto expectListening = [&](bool networkAccess) {
            if (c.id == ServiceID::rigctld) {
                const QString address = networkAccess ? every : QStringLiteral("127.0.0.1");
                EXPECT_TRUE(process.lastLaunchCommand()->contains(QStringLiteral(" -T ") + address + QLatin1Char(' ')))
                    << process.lastLaunchCommand()->toStdString();
                EXPECT_EQ(page->listenCaption()->text().toStdString(), rigctld_page::listenCaption(address).toStdString());
            }
        };

        start();
        if (HasFatalFailure()) {
            return;
        }
        expectHeld(otherFamilyHold(c.id, c.from, both));
        scene.config.setAllowNetworkAccess(!c.from);
        test::processEventsFor(50ms);
        EXPECT_EQ(page->pendingChanges()->isVisibleTo(page.get()), !c.pending.isEmpty());
        EXPECT_EQ(page->pendingChanges()->text(), c.pending);
        EXPECT_EQ(page->restartNotice()->isVisibleTo(page.get()), c.id == ServiceID::rigctld);
        EXPECT_EQ(caption(), (c.from ? offText : onText) + restart);
        expectHeld(c.heldAfterChange);
        expectListening(c.from);

        scene.orchestrator.stopService(c.id);
        ASSERT_TRUE(scene.env.clock().runUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
        start();
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_FALSE(page->pendingChanges()->isVisibleTo(page.get()));
        EXPECT_FALSE(page->restartNotice()->isVisibleTo(page.get()));
        EXPECT_EQ(caption(), c.from ? offText : onText);
        expectHeld(otherFamilyHold(c.id, !c.from, both));
        expectListening(!c.from);
    }
    if (!lan) {
        GTEST_SKIP() << "no IPv6 address here but the loopback and link-local ones: the hold on every IPv6 "
                        "address was seen only on the loopback";
    }
}

} // namespace
} // namespace cordavelle
