#include "install/wine_prefix_manager.h"

#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "install/install_log.h"
#include "platform/cancellation.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/program_search.h"
#include "platform/tree_removal.h"

#include "radio/read_only_folder.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/stat.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using State = WinePrefixManager::State;

// The test platform's folders, with a cache that a test may move elsewhere meanwhile.
class MovingCachePaths final : public Paths {
public:
    explicit MovingCachePaths(const QString &root) : m_rooted(root) {}
    QString applicationSupport() const override { return m_rooted.applicationSupport(); }
    QString preferences() const override { return m_rooted.preferences(); }
    QString home() const override { return m_rooted.home(); }
    QString temporary() const override { return m_rooted.temporary(); }
    QString cache() const override { return movedTo.isEmpty() ? m_rooted.cache() : movedTo; }
    QString runtime() const override { return m_rooted.runtime(); }

    QString movedTo;

private:
    RootedPaths m_rooted;
};

// A full set-up over stand-in tools that record each run (arguments and the variables the steps
// set) and do what the real ones leave behind: wineboot makes system32, the winetricks packages
// leave their DLLs. A run whose command line holds the text in "fail-on" exits with 1.
class WinePrefixSetup : public ::testing::Test, public WinePrefixManager::Tools {
protected:
    WinePrefixSetup()
    {
        const QByteArray record = (env.root() + "/runs").toUtf8();
        const QByteArray failOn = (env.root() + "/fail-on").toUtf8();
        const QByteArray fail = "if [ -f '" + failOn + "' ] && printf '%s' \"$*\" | grep -qF \"$(cat '" + failOn +
                                "')\"; then exit 1; fi\n";
        test::writeProgram(wine, "#!/bin/sh\necho \"wine $* | $WINEPREFIX $WINEARCH $WINEDEBUG\" >> '" + record + "'\n" +
                                     fail + "[ \"$1\" = wineboot ] && mkdir -p \"$WINEPREFIX/drive_c/windows/system32\"\n"
                                            "exit 0\n");
        test::writeProgram(winetricks,
                           "#!/bin/sh\necho \"winetricks $* | $WINE $WINESERVER $PATH $HOME $USER $WINEARCH\" >> '" +
                               record + "'\n" + fail +
                               "sleep \"$(cat '" + (env.root() + "/winetricks-pause").toUtf8() + "' 2>/dev/null || echo 0)\"\n"
                               "w=\"$WINEPREFIX/drive_c/windows\"\n"
                               "case \"$3\" in vb6run) mkdir -p \"$w/syswow64\"; touch \"$w/syswow64/msvbvm60.dll\";;\n"
                               "pdh) touch \"$w/system32/pdh.dll\";; esac\n");
        QObject::connect(&manager, &WinePrefixManager::stateChanged, [this] {
            states << (manager.state().kind() == State::Kind::ready ? QString("ready") : manager.state().text());
        });
    }

    // The tools the set-up is given.
    std::optional<QString> findWine() override { return wine; }
    std::optional<QString> findWinetricks() override
    {
        return QFileInfo::exists(winetricks) ? std::optional(winetricks) : std::nullopt;
    }
    QString cabextractSource() override { return env.root() + "/support-tools/cabextract"; }
    QCoro::Task<void> installCabextract(std::stop_token stop) override
    {
        ++cabextractInstalls;
        if (whileCabextractInstalls) {
            whileCabextractInstalls();
        }
        co_await env.clock().sleep(installPause, stop);
        throwIfStopped(stop);
        test::writeProgram(env.root() + "/support-tools/cabextract");
    }
    // Puts back the winetricks a test moved to `winetricks + ".fetched"`, unless the fetch fails.
    QCoro::Task<void> installWinetricks(std::stop_token) override
    {
        if (winetricksFetchFails) {
            throw DescribedError("Could not install winetricks: no answer");
        }
        QFile::rename(winetricks + ".fetched", winetricks);
        co_return;
    }

    void runSetup()
    {
        manager.startFullSetup();
        ASSERT_TRUE(env.clock().runUntil([&] { return !manager.isBusy(); }, 10s));
    }

    void deletePrefix()
    {
        const auto outcome = test::track(manager.deletePrefix());
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 1s));
        EXPECT_EQ(outcome->error, std::nullopt);
    }

    QStringList runs() const
    {
        return QString::fromUtf8(test::readBytes(env.root() + "/runs")).split('\n', Qt::SkipEmptyParts);
    }

    QStringList shownLines() const
    {
        QStringList lines = manager.logLines();
        lines.replaceInStrings(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] "), "");
        return lines;
    }

    test::TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    InstallLog installLog{env.clock(), env.log(), env.root()};
    const QString wine = env.root() + "/wine/bin/wine";
    const QString winetricks = env.root() + "/winetricks";
    const QString prefix = env.root() + "/support/wine-prefix";
    std::chrono::milliseconds installPause = 0ms;
    int cabextractInstalls = 0;
    std::function<void()> whileCabextractInstalls;
    bool winetricksFetchFails = false;
    WinePrefixManager manager{
        {config, installLog, services, prefixHold, env.clock(), env.platform().toolLocator(), prefix, *this}};
    QStringList states;
};

TEST_F(WinePrefixSetup, AFirstSetupRunsEveryStepInOrderWithItsEnvironment)
{
    // The scratch folder moves while cabextract is fetched: the set-up keeps to the one it began
    // with, where it stages cabextract and which winetricks' path names.
    const auto paths = std::make_shared<MovingCachePaths>(env.root());
    env.platform().setPaths(paths);
    const QString staging = places::winetricksToolsFolder();
    whileCabextractInstalls = [&] {
        paths->movedTo = env.root() + "/moved-cache";
        ASSERT_NE(places::winetricksToolsFolder(), staging);
    };
    runSetup();

    const QString wineTail = " | " + prefix + " win64 fixme-all";
    const QString tricksTail = " | " + wine + " " + env.root() + "/wine/bin/wineserver " + env.root() + "/wine/bin:" +
                               staging + ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin " + env.root() + "/home";
    const QStringList expectedRuns{
        "wine wineboot --init" + wineTail,
        "wine reg add HKEY_CURRENT_USER\\Software\\Wine\\Drivers /v Audio /d pulse /f" + wineTail,
        "wine reg add HKEY_CURRENT_USER\\Software\\Wine\\DirectSound /v DefaultSampleRate /d 48000 /f" + wineTail,
        "wine reg add HKEY_CURRENT_USER\\Software\\Wine\\DirectSound /v DefaultBitsPerSample /d 16 /f" + wineTail,
        "winetricks -q --force vb6run" + tricksTail,
        "winetricks -q --force pdh" + tricksTail,
        "winetricks -q --force win7" + tricksTail,
    };
    const QStringList recorded = runs();
    ASSERT_EQ(recorded.size(), expectedRuns.size());
    for (qsizetype i = 0; i < recorded.size(); ++i) {
        // The user's name is the machine's; everything before it is fixed.
        EXPECT_TRUE(recorded[i].startsWith(expectedRuns[i])) << recorded[i].toStdString();
    }
    EXPECT_TRUE(recorded.last().endsWith(" win64"));

    EXPECT_EQ(states, (QStringList{"Creating Wine prefix...", "Configuring audio driver...", "Installing cabextract...",
                                   "Installing vb6run (1/3)...", "Installing pdh (2/3)...", "Installing win7 (3/3)...",
                                   "ready"}));
    EXPECT_TRUE(manager.hasDependencies());
    const QStringList shown = shownLines();
    EXPECT_EQ(shown.first(), "Initializing Wine prefix at " + prefix);
    EXPECT_TRUE(shown.contains("PulseAudio + DirectSound defaults configured"));
    EXPECT_TRUE(shown.contains("All dependencies installed successfully"));
    EXPECT_EQ(shown.last(), "Setup complete!");

    // Staged in a folder only this user can enter, and runnable.
    EXPECT_TRUE(shown.contains("cabextract staged at " + staging + "/cabextract"));
    EXPECT_EQ(QFileInfo(staging).permissions() & 0x0077, 0);
    EXPECT_TRUE(QFileInfo(staging + "/cabextract").isExecutable());
    EXPECT_EQ(cabextractInstalls, 1);
}

TEST_F(WinePrefixSetup, TheMachinesCabextractIsUsedAndNothingIsFetched)
{
    test::writeProgram(env.hostPath("/usr/bin/cabextract"));
    runSetup();

    EXPECT_EQ(manager.state(), State::ready());
    EXPECT_TRUE(shownLines().contains("cabextract already available on PATH"));
    EXPECT_EQ(cabextractInstalls, 0);
}

// winetricks and the cabextract it runs are programs like any other: a copy others could change
// never runs, and a cabextract winetricks would meet first ends the set-up. Nothing runs either
// for a prefix whose way another user may change.
TEST_F(WinePrefixSetup, WinetricksAndItsCabextractPassTheCheckLikeAnyProgram)
{
    ASSERT_TRUE(test::makeFolderWithMode(env.root() + "/support", 0777));
    runSetup();
    EXPECT_TRUE(manager.state().text().endsWith("the folder " + env.root() + "/support is writable by others"))
        << manager.state().text().toStdString();
    EXPECT_TRUE(runs().isEmpty());
    ASSERT_TRUE(test::makeFolderWithMode(env.root() + "/support", 0700));

    const auto writableByOthers = [](const QString &path) {
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), 0757), 0);
        return QStringLiteral("the file %1 is writable by others").arg(path);
    };
    const QString tricksPart = writableByOthers(winetricks);
    runSetup();
    EXPECT_EQ(manager.state().kind(), State::Kind::error);
    EXPECT_TRUE(manager.state().text().contains(tricksPart)) << manager.state().text().toStdString();
    EXPECT_FALSE(runs().join('\n').contains("winetricks"));
    ASSERT_EQ(::chmod(QFile::encodeName(winetricks).constData(), 0700), 0);

    // In Wine's own folder, which comes before the helper's tools on winetricks' path.
    const QString early = env.root() + "/wine/bin/cabextract";
    test::writeProgram(early);
    const QString earlyPart = writableByOthers(early);
    runSetup();
    EXPECT_EQ(manager.state(), State::error(passedOverText("cabextract", PassedOver{early, earlyPart})));
    EXPECT_FALSE(runs().join('\n').contains("winetricks"));
    QFile::remove(early);

    // After the tools folder: the helper's own copy there is the one winetricks meets.
    QFile::remove(places::winetricksToolsFolder() + "/cabextract");
    const QString late = env.hostPath("/usr/bin/cabextract");
    test::writeProgram(late);
    const QString latePart = writableByOthers(late);
    runSetup();
    EXPECT_EQ(manager.state(), State::ready());
    EXPECT_TRUE(shownLines().contains(passedOverText("cabextract", PassedOver{late, latePart})));
    EXPECT_TRUE(shownLines().contains("cabextract staged at " + places::winetricksToolsFolder() + "/cabextract"));
}

TEST_F(WinePrefixSetup, AMissingWinetricksIsFetchedAndAFailedFetchSaysWhatElseWorks)
{
    ASSERT_TRUE(QFile::rename(winetricks, winetricks + ".fetched"));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/apt-get")));
    winetricksFetchFails = true;
    runSetup();
    EXPECT_EQ(manager.state(), State::error("Could not install winetricks: no answer. Or install Debian's package: sudo "
                                            "apt install winetricks"));
    EXPECT_FALSE(QFileInfo::exists(prefix));

    winetricksFetchFails = false;
    runSetup();
    EXPECT_EQ(manager.state(), State::ready());
    EXPECT_TRUE(shownLines().contains("winetricks installed"));
}

TEST_F(WinePrefixSetup, ASecondSetupOnlyReappliesTheAudioDefaultsAndTheFileKeepsBothRuns)
{
    runSetup();
    QFile::remove(env.root() + "/runs");
    // The cabextract that was fetched is found on winetricks' path now.
    runSetup();

    EXPECT_EQ(runs().size(), 3);
    EXPECT_TRUE(runs().first().startsWith("wine reg add HKEY_CURRENT_USER\\Software\\Wine\\Drivers"));
    const QStringList shown = shownLines();
    EXPECT_EQ(shown.first(), "Wine prefix already initialized, skipping wineboot");
    EXPECT_TRUE(shown.contains("Dependencies already installed, skipping winetricks"));
    EXPECT_TRUE(shown.contains("cabextract already available on PATH"));
    EXPECT_EQ(manager.state(), State::ready());

    installLog.flush();
    const QString file = QString::fromUtf8(test::readBytes(installLog.logFile()));
    EXPECT_EQ(file.count("] === Cordavelle Helper Setup Log \u2014 2026-01-01 12:00:00 +0000 ===\n"), 2);
    EXPECT_EQ(file.count("Setup complete!"), 2);
}

TEST_F(WinePrefixSetup, AFailedRunEndsTheSetupWithItsStepAndStopsTheStep)
{
    test::writeFile(env.root() + "/fail-on", "DefaultSampleRate");
    test::writeProgram(env.root() + "/wine/bin/wineserver",
                       "#!/bin/sh\necho \"wineserver $* | $WINEPREFIX\" >> '" + (env.root() + "/runs").toUtf8() + "'\n");
    runSetup();

    EXPECT_EQ(manager.state(), State::error("Setting DirectSound default sample rate failed (exit code 1)"));
    EXPECT_EQ(shownLines().last(), "ERROR: Setting DirectSound default sample rate failed (exit code 1)");
    // The third registry value and everything after it were never run.
    ASSERT_EQ(runs().size(), 4);
    EXPECT_FALSE(shownLines().contains("PulseAudio + DirectSound defaults configured"));
    // The prefix this set-up made goes with its wine server; one there before stays as it was.
    EXPECT_EQ(runs().last(), "wineserver -k | " + prefix);
    EXPECT_FALSE(QFileInfo::exists(prefix));
    EXPECT_TRUE(shownLines().contains("Removed the unfinished Wine prefix"));

    test::writeFile(env.root() + "/fail-on", "wineboot");
    runSetup();
    EXPECT_EQ(manager.state(), State::error("Initializing Wine prefix failed (exit code 1)"));
    EXPECT_FALSE(QFileInfo::exists(prefix));

    test::writeFile(prefix + "/drive_c/windows/system32/kept.dll", "MZ");
    test::writeFile(env.root() + "/fail-on", "DefaultSampleRate");
    QFile::remove(env.root() + "/runs");
    runSetup();
    EXPECT_EQ(manager.state(), State::error("Setting DirectSound default sample rate failed (exit code 1)"));
    EXPECT_TRUE(QFileInfo::exists(prefix + "/drive_c/windows/system32/kept.dll"));
    EXPECT_FALSE(runs().join('\n').contains("wineserver"));
}

TEST_F(WinePrefixSetup, ACancelledSetupStaysBusyUntilItsTaskEndsAndStartsNothingNew)
{
    installPause = 60s;
    manager.startFullSetup();
    ASSERT_TRUE(env.clock().runUntil([&] { return cabextractInstalls == 1; }, 1s));
    manager.cancel();
    EXPECT_EQ(manager.state(), State::idle());
    EXPECT_EQ(shownLines().last(), "Wine prefix setup cancelled by user");
    EXPECT_TRUE(manager.isBusy());
    // Not a second set-up over the same prefix while the first winds down.
    manager.startFullSetup();
    EXPECT_EQ(shownLines().last(), "Wine prefix setup cancelled by user");

    ASSERT_TRUE(env.clock().runUntil([&] { return !manager.isBusy(); }, 1s));
    EXPECT_EQ(shownLines().last(), "Wine prefix setup cancelled");
    EXPECT_EQ(manager.state(), State::idle());
    EXPECT_FALSE(runs().join('\n').contains("winetricks"));
    EXPECT_FALSE(QFileInfo::exists(prefix)) << "made by the cancelled set-up";
}

TEST_F(WinePrefixSetup, TheRuntimeFilesCountInEitherSystemFolder)
{
    const QString windows = prefix + "/drive_c/windows/";
    test::writeFile(windows + "syswow64/msvbvm60.dll", "x");
    EXPECT_FALSE(manager.hasDependencies());
    test::writeFile(windows + "system32/pdh.dll", "x");
    EXPECT_TRUE(manager.hasDependencies());
    QFile::remove(windows + "syswow64/msvbvm60.dll");
    test::writeFile(windows + "system32/msvbvm60.dll", "x");
    EXPECT_TRUE(manager.hasDependencies());
}

TEST_F(WinePrefixSetup, DeletingThePrefixStopsBothModemsAndKeepsTheRecordsWhenItFails)
{
    VARAConfig hf = config.varaConfig();
    hf.varaPath = prefix + "/drive_c/VARA/VARA.exe";
    hf.installedVersion = "4.8.7";
    config.setVaraConfig(hf);
    VARAFMConfig fm = config.varaFMConfig();
    fm.varaPath = prefix + "/drive_c/VARA FM/VARAFM.exe";
    fm.installedVersion = "4.3.9";
    config.setVaraFMConfig(fm);
    services.states[ServiceID::varaHF] = ServiceRunState::running;
    services.states[ServiceID::varaFM] = ServiceRunState::running;
    test::writeFile(prefix + "/drive_c/VARA/VARA.exe", "x");

    {
        test::ReadOnlyFolder locked(prefix + "/drive_c/VARA");
        ASSERT_TRUE(locked.active());
        deletePrefix();
    }
    EXPECT_EQ(services.calls, (QStringList{"prepare vara-hf", "stop vara-hf", "prepare vara-fm", "stop vara-fm"}));
    EXPECT_TRUE(shownLines().last().startsWith("ERROR: Could not delete the Wine prefix: "));
    // On the prefix's line, whose Retry deletes again.
    EXPECT_TRUE(manager.state().isRemovalError());
    EXPECT_EQ(config.varaConfig().installedVersion, "4.8.7");
    EXPECT_EQ(config.varaFMConfig().installedVersion, "4.3.9");

    // Part way (the registry goes, VARA's folder stays) is no deletion either; what is left stays
    // set aside, which no record names, and the next deletion takes it.
    ASSERT_TRUE(test::writeFile(prefix + "/system.reg", "x"));
    const QString left = removalAside(prefix) + "/drive_c/VARA";
    {
        test::ReadOnlyFolder locked(prefix + "/drive_c/VARA");
        ASSERT_TRUE(locked.active());
        deletePrefix();
        // Undone where the folder is now.
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), left});
        QFile::setPermissions(left, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    EXPECT_TRUE(shownLines().last().startsWith("ERROR: Could not delete the Wine prefix: partly removed, 1 entry gone: "))
        << shownLines().last().toStdString();
    EXPECT_FALSE(QFileInfo::exists(prefix));
    EXPECT_TRUE(QFileInfo::exists(left + "/VARA.exe"));
    EXPECT_TRUE(manager.state().isRemovalError());
    EXPECT_EQ(config.varaConfig().installedVersion, "");
    EXPECT_EQ(config.varaFMConfig().installedVersion, "");
    config.setVaraConfig(hf);
    config.setVaraFMConfig(fm);
    test::writeFile(prefix + "/drive_c/VARA/VARA.exe", "x");

    // The row's Cancel, while the removal stops a modem, still keeps the prefix.
    services.states[ServiceID::varaHF] = ServiceRunState::running;
    services.onPrepare = [this](ServiceID) { manager.cancel(); };
    deletePrefix();
    services.onPrepare = {};
    EXPECT_EQ(shownLines().last(), "Wine prefix removal cancelled");
    EXPECT_TRUE(QFileInfo::exists(prefix + "/drive_c/VARA/VARA.exe"));
    EXPECT_EQ(config.varaConfig().installedVersion, "4.8.7");

    deletePrefix();
    EXPECT_FALSE(QFileInfo::exists(prefix));
    EXPECT_FALSE(QFileInfo::exists(removalAside(prefix)));
    EXPECT_EQ(shownLines().last(), "Wine prefix deleted");
    EXPECT_EQ(config.varaConfig().varaPath, "");
    EXPECT_EQ(config.varaConfig().installedVersion, "");
    EXPECT_EQ(config.varaFMConfig().varaPath, "");
    EXPECT_EQ(config.varaFMConfig().installedVersion, "");
    EXPECT_EQ(manager.state(), State::idle());
}

} // namespace
} // namespace cordavelle
