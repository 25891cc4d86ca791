#include "setup/checklist/setup_checklist_page.h"

#include "widgets/log_viewer.h"
#include "widgets/status_look.h"
#include "base/helper_places.h"
#include "setup/installer_row.h"

#include "support/event_wait.h"
#include "support/full_reset.h"
#include "support/needs_root.h"
#include "support/fixture_http_server.h"
#include "support/setup_objects.h"
#include "support/qt_printers.h"
#include "support/scripted_alert_presenter.h"
#include "support/test_files.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QToolButton>

#include <QClipboard>
#include <QGuiApplication>
#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using Line = SetupChecklistPage::Line;

class SetupChecklistPageTest : public ::testing::Test, protected test::HelperObjects {
protected:
    // The remote services answer from the fixture server before any installer is made.
    static test::FixtureHttpServer &pointedAt(test::FixtureHttpServer &server, test::TestPlatform &env)
    {
        env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        return server;
    }

    std::unique_ptr<SetupChecklistPage> makePage()
    {
        auto page = std::make_unique<SetupChecklistPage>(SetupChecklistContext{
            setupObjects.installers(), config, alerts, [this](SidebarSection s) { selected.push_back(s); },
            [this](const QString &path) {
                opened.push_back(path);
                return openerPresent;
            }});
        page->resize(600, 900);
        page->show();
        test::ManualClock::processEvents();
        return page;
    }

    InstallerRow &row(SetupChecklistPage &page, Line line) { return *page.row(line); }
    QString trailing(SetupChecklistPage &page, Line line)
    {
        const InstallerRowLook &look = row(page, line).look();
        return look.button ? look.button->label : look.status;
    }
    // A prefix as the set-up leaves it, with VARA FM installed into it when asked.
    static void makeReadyPrefix(bool withFM)
    {
        const QString windows = places::winePrefix() + "/drive_c/windows/";
        EXPECT_TRUE(test::writeFile(windows + "system32/msvbvm60.dll", "x"));
        EXPECT_TRUE(test::writeFile(windows + "syswow64/pdh.dll", "x"));
        if (withFM) {
            EXPECT_TRUE(test::writeFile(places::varaExecutable(VARAVariant::fm), "x"));
        }
    }

    test::FixtureHttpServer server;
    test::FixtureHttpServer &pointed = pointedAt(server, env);
    test::SetupObjects setupObjects{*this};
    test::ScriptedAlertPresenter alerts;
    std::vector<SidebarSection> selected;
    QStringList opened;
    bool openerPresent = true;
};

TEST_F(SetupChecklistPageTest, TheCombinedLogRunsInTimeOrderKeepsEarlierAttemptsAndClearsAllFive)
{
    SetupInstallers in = setupObjects.installers();
    auto page = makePage();
    EXPECT_FALSE(page->logViewer()->isVisible());

    // Each cancel with nothing running logs its line at once.
    in.hamlib.cancel();
    in.varaFM.appendLog("fm line");
    in.wine.cancel();
    in.varaHF.appendLog("hf line");
    in.prefix.cancel();
    test::ManualClock::processEvents();
    QStringList tails;
    for (const QString &line : page->logViewer()->logLines()) {
        tails << line.mid(11);
    }
    // Each says which install it ended.
    EXPECT_EQ(tails, QStringList({"Hamlib installation cancelled", "fm line", "Wine installation cancelled", "hf line",
                                  "Wine prefix setup cancelled by user"}));
    EXPECT_TRUE(page->logViewer()->isVisible());

    // The fixture server knows no Wine releases: each attempt fails, and a retry adds its lines.
    for (int attempt = 0; attempt < 2; ++attempt) {
        in.wine.startInstall();
        ASSERT_TRUE(test::processEventsUntil([&] { return !in.wine.isBusy(); }, 20s));
    }
    test::ManualClock::processEvents();
    EXPECT_EQ(page->logViewer()->logLines().filter("Downloading Wine stable").size(), 2);
    EXPECT_TRUE(page->logViewer()->logLines().first().endsWith("Hamlib installation cancelled"));

    page->logViewer()->clearButton()->click();
    test::ManualClock::processEvents();
    EXPECT_TRUE(combinedInstallLog(in).isEmpty());
    EXPECT_FALSE(page->logViewer()->isVisible());
}

TEST_F(SetupChecklistPageTest, AFreshHomeShowsWhatIsMissingAndTheRowsFollowTheirInstallers)
{
    auto page = makePage();
    EXPECT_EQ(trailing(*page, Line::wine), "Install Wine");
    EXPECT_EQ(trailing(*page, Line::winetricks), "Comes with Wine");
    EXPECT_FALSE(row(*page, Line::prefix).button()->isEnabled());
    EXPECT_FALSE(row(*page, Line::varaHF).button()->isEnabled());
    // Each disabled action says why, beside it and as its tooltip.
    EXPECT_EQ(row(*page, Line::prefix).statusLabel()->text(), "Install Wine first");
    EXPECT_EQ(row(*page, Line::prefix).button()->toolTip(), "Install Wine first");
    EXPECT_EQ(row(*page, Line::varaHF).statusLabel()->text(), "Set up the Wine prefix first");
    EXPECT_EQ(trailing(*page, Line::hamlib), "Install Hamlib");
    EXPECT_EQ(row(*page, Line::prefix).contextMenu(), nullptr);
    // Naming the log file made it, with its header line.
    EXPECT_TRUE(QFileInfo(page->logFilePath()->toolTip()).isFile());
    page->openLogButton()->click();
    EXPECT_EQ(opened, QStringList{page->logFilePath()->toolTip()});
    EXPECT_TRUE(alerts.shown.empty());
    // Without an opener the button says so, and Copy Path hands the path on.
    openerPresent = false;
    alerts.answers = {0};
    page->openLogButton()->click();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].informativeText.endsWith(page->logFilePath()->toolTip()));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), page->logFilePath()->toolTip());
    alerts.shown.clear();

    // The fixture server knows neither the Wine releases nor the Hamlib formula.
    row(*page, Line::wine).button()->click();
    row(*page, Line::hamlib).button()->click();
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return setupObjects.wine.state().kind() == WineInstaller::State::Kind::error && !setupObjects.wine.isBusy(); },
        20s));
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.hamlib.isRunning(); }, 20s));
    test::ManualClock::processEvents();
    for (Line line : {Line::wine, Line::hamlib}) {
        EXPECT_EQ(trailing(*page, line), "Retry");
        EXPECT_TRUE(row(*page, line).errorLabel()->isVisibleTo(page.get()));
    }
    EXPECT_EQ(row(*page, Line::wine).errorLabel()->text(),
              "The Wine release list from 127.0.0.1 could not be read: the server answered 404 Not Found for the list");
    EXPECT_EQ(row(*page, Line::hamlib).errorLabel()->text(),
              "The release information of hamlib from 127.0.0.1 could not be read: the server answered 404 Not Found for "
              "the release information of hamlib");
    EXPECT_TRUE(page->logViewer()->isVisible());

    // A rigctld put in place meanwhile counts once the installer is idle again.
    test::writeProgram(places::ownRigctld(), "#!/bin/sh\n");
    setupObjects.hamlib.cancel();
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::hamlib), "Configure");
    row(*page, Line::hamlib).button()->click();
    EXPECT_EQ(selected, std::vector{SidebarSection::rigctld});
}

TEST_F(SetupChecklistPageTest, DestructiveActionsAskFirstAndCancelChangesNothing)
{
    makeReadyPrefix(true);
    auto page = makePage();
    EXPECT_EQ(trailing(*page, Line::prefix), "Ready");
    EXPECT_EQ(trailing(*page, Line::varaFM), "Configure");
    EXPECT_TRUE(row(*page, Line::varaHF).button()->isEnabled());
    row(*page, Line::varaFM).button()->click();
    EXPECT_EQ(selected, std::vector{SidebarSection::varaFM});

    alerts.answers = {1, 1};
    row(*page, Line::varaFM).contextMenu()->actions().front()->trigger();
    row(*page, Line::prefix).contextMenu()->actions().front()->trigger();
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[0], resetConfirmation(ResetTarget::varaFM));
    EXPECT_EQ(alerts.shown[0].buttons, QStringList({"Uninstall", "Cancel"}));
    EXPECT_EQ(alerts.shown[1].message, "Delete Wine Prefix?");
    test::ManualClock::processEvents();
    EXPECT_TRUE(QFileInfo::exists(places::varaExecutable(VARAVariant::fm)));
    EXPECT_EQ(trailing(*page, Line::prefix), "Ready");

    // A failed HF install (the server has no downloads page) speaks of the prefix that goes next.
    ASSERT_TRUE(setupObjects.varaHF.startInstall());
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.varaHF.isInstalling(); }, 20s));
    ASSERT_EQ(setupObjects.varaHF.state().kind, VARAInstaller::State::Kind::error);
    alerts.answers = {0};
    row(*page, Line::prefix).contextMenu()->actions().front()->trigger();
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return !QFileInfo::exists(places::winePrefix()) && !setupObjects.prefix.progress().working(); }, 10s));
    test::ManualClock::processEvents();
    EXPECT_EQ(setupObjects.varaHF.state(), VARAInstaller::State{});
    EXPECT_FALSE(row(*page, Line::varaHF).errorLabel()->isVisibleTo(page.get()));
    EXPECT_EQ(trailing(*page, Line::prefix), "Set Up");
    EXPECT_EQ(row(*page, Line::prefix).contextMenu(), nullptr);
    for (Line line : {Line::varaHF, Line::varaFM}) {
        EXPECT_FALSE(row(*page, line).button()->isEnabled());
        EXPECT_EQ(row(*page, line).contextMenu(), nullptr);
    }
}

TEST_F(SetupChecklistPageTest, TheLinesReadTheDiskAgainAfterAResetThatWentPartWay)
{
    SKIP_AS_ROOT("root enters a folder that can't be entered");
    makeReadyPrefix(true);
    auto page = makePage();
    EXPECT_EQ(trailing(*page, Line::prefix), "Ready");
    EXPECT_EQ(trailing(*page, Line::varaFM), "Configure");
    // A folder in the prefix that can't be entered keeps the prefix, in part.
    const QString locked = places::winePrefix() + "/drive_c/locked";
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_TRUE(QFile::setPermissions(locked, {}));
    // What stays of a removal lies set aside beside the prefix.
    const QString lockedAside = places::winePrefix() + ".removing/drive_c/locked";
    const auto unlock = qScopeGuard([&] {
        for (const QString &folder : {locked, lockedAside}) {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    });
    const ResetReport report = test::resetWinePrefix(
        env, config, prefixHold,
        {HelperUninstaller::installer(setupObjects.prefix), HelperUninstaller::installer(setupObjects.varaFM)});
    ASSERT_TRUE(report.prefixKept);
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::prefix), "Set Up");
    EXPECT_EQ(trailing(*page, Line::varaFM), "Install VARA FM");
}

// Return, pressed where the focus is, never confirms a destructive action; the button that does
// still looks destructive.
TEST(ResetConfirmation, ReturnChoosesCancelAndTheDestructiveButtonIsRed)
{
    for (ResetTarget target : {ResetTarget::winePrefix, ResetTarget::varaFM}) {
        std::vector<void *> buttons;
        const auto box = MessageBoxAlertPresenter::makeMessageBox(resetConfirmation(target), &buttons);
        box->show();
        ASSERT_EQ(buttons.size(), 2u);
        QWidget *focus = box->focusWidget() ? box->focusWidget() : box.get();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(focus, &press);
        ASSERT_TRUE(test::processEventsUntil([&] { return box->clickedButton() != nullptr; }, 5s));
        EXPECT_EQ(static_cast<void *>(box->clickedButton()), buttons[1]);
        EXPECT_EQ(box->clickedButton()->text(), "Cancel");
        auto *destructive = static_cast<QPushButton *>(buttons[0]);
        EXPECT_EQ(box->buttonRole(destructive), QMessageBox::DestructiveRole);
        EXPECT_EQ(destructive->palette().color(QPalette::ButtonText), toneColour(Tone::red, destructive->palette()));
    }
}

TEST_F(SetupChecklistPageTest, CancellingOneModemsInstallLeavesTheOtherOneInstalling)
{
    makeReadyPrefix(false);
    server.serve("/VARA%20Products/", R"(<a href="VARA%20HF%204.8.7%20setup.zip">hf</a>
        <a href="VARA%20FM%204.3.9%20setup.zip">fm</a>)");
    test::FixtureHttpServer::Route stalled;
    stalled.generatedSize = 1000;
    stalled.stallAfter = 500;
    server.serve("/VARA%20Products/VARA%20HF%204.8.7%20setup.zip", stalled);
    server.serve("/VARA%20Products/VARA%20FM%204.3.9%20setup.zip", stalled);
    auto page = makePage();
    row(*page, Line::varaHF).button()->click();
    row(*page, Line::varaFM).button()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 2; }, 10s));
    ASSERT_TRUE(test::processEventsUntil([&] { return trailing(*page, Line::varaFM) == "50%"; }, 10s));

    row(*page, Line::varaHF).cancelButton()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.varaHF.isInstalling(); }, 10s));
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::varaHF), "Install VARA HF");
    EXPECT_EQ(setupObjects.varaFM.state(), VARAInstaller::State::downloading(0.5));
    EXPECT_EQ(trailing(*page, Line::varaFM), "50%");
    EXPECT_TRUE(row(*page, Line::varaFM).cancelButton()->isVisibleTo(page.get()));

    row(*page, Line::varaFM).cancelButton()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.varaFM.isInstalling(); }, 10s));
}

} // namespace
} // namespace cordavelle

namespace cordavelle {
namespace {

TEST_F(SetupChecklistPageTest, TheHamlibLineCancelsItsInstallAndSaysWhomItWaitsFor)
{
    // The bottle stalls: its SHA-256 is never compared.
    server.serve("/api/formula/hamlib.json", test::bottleFormula("4.6", server.url("/blobs/hamlib").toString(), {}));
    server.serve("/api/formula/libusb.json", test::bottleFormula("1.0", server.url("/blobs/libusb").toString(), {}));
    test::FixtureHttpServer::Route stalled;
    stalled.generatedSize = 1000;
    stalled.stallAfter = 0;
    server.serve("/blobs/hamlib", stalled);
    auto page = makePage();
    row(*page, Line::hamlib).button()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }, 10s));
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::hamlib), "Downloading...");
    env.clock().advance(11s);
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::hamlib), "Waiting for 127.0.0.1\u2026");

    ASSERT_TRUE(row(*page, Line::hamlib).cancelButton()->isVisibleTo(page.get()));
    row(*page, Line::hamlib).cancelButton()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.hamlib.isRunning(); }, 10s));
    test::ManualClock::processEvents();
    EXPECT_EQ(trailing(*page, Line::hamlib), "Install Hamlib");
    EXPECT_TRUE(setupObjects.hamlib.logLines().last().endsWith("Hamlib installation cancelled"));
}

} // namespace
} // namespace cordavelle
