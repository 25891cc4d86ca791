#include "install/helper_uninstaller.h"

#include "api/api_router.h"
#include "core/experimental_features.h"
#include "platform/tree_removal.h"
#include "support/fake_login_item.h"
#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "support/test_platform.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_files.h"

#include "base/helper_places.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace cordavelle {
namespace {

using test::runToEnd;

class HelperUninstallerTest : public ::testing::Test {
protected:
    HelperUninstaller uninstaller()
    {
        Platform &platform = helper.env.platform();
        return HelperUninstaller({helper.config, experimental, services, helper.env.defaults(), platform.keychain(),
                                  platform.loginItem(), platform.commandRunner(), [this] { helper.pairing.forgetAll(); },
                                  prefixHold, helper.env.clock(), {}});
    }

    // An approved client whose token has been fetched.
    QString pairApprovedClient(const QString &id)
    {
        helper.env.clock().advance(std::chrono::seconds(2)); // past the pairing rate limit
        auto result = test::runToEnd(helper.pairing.requestPairing(id, id + ".local", "macOS", "127.0.0.1"));
        helper.pairing.approve(id);
        helper.pairing.markTokenClaimed(id);
        return result.client->token;
    }

    int statusWithToken(const QString &token)
    {
        HTTPRequest request;
        request.method = "GET";
        request.path = "/callsign";
        request.remoteHost = "127.0.0.1";
        request.headers["authorization"] = "Bearer " + token;
        APIRouter router(services, helper.config, helper.pairing, helper.env.platform().clock(), helper.env.defaults(),
                         helper.env.notifications());
        return runToEnd(router.handle(request)).statusCode;
    }

    QString priorPreferences() { return helper.env.platform().preferencesFile(ConfigStore::kPriorBundleIdentifier); }

    // The objects the levels reach, on a platform whose login item the test controls.
    struct Objects {
        Objects() { env.platform().setLoginItem(loginItem); }
        test::TestPlatform env;
        std::shared_ptr<test::FakeLoginItem> loginItem = std::make_shared<test::FakeLoginItem>();
    };
    struct Helper : Objects {
        ConfigStore config{env.defaults(), env.platform()};
        PairingManager pairing{env.defaults(), env.clock(), env.keychain(), env.attention()};
    } helper;
    ExperimentalFeatureManager experimental{helper.env.defaults()};
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    test::FakeLoginItem *loginItem = helper.loginItem.get();
};

TEST_F(HelperUninstallerTest, SettingsLevelForgetsSettingsClientsAndLoginItemInMemoryAndOnDisk)
{
    const QString token = pairApprovedClient("a");
    pairApprovedClient("b");
    pairApprovedClient("c");
    ASSERT_EQ(statusWithToken(token), 200);
    helper.config.setApiPort(9000);
    helper.config.setIdleShutdownDelay(30);
    experimental.setWarningShown(true);
    experimental.setMasterEnabled(true);
    loginItem->currentStatus = LoginItem::Status::enabled;
    // An earlier bundle's preferences, which must not come back at the next launch.
    ASSERT_TRUE(writePropertyListFile(priorPreferences(), {{"apiPort", qlonglong(7000)}}));
    // A last-seen time still waiting to be written.
    helper.pairing.updateLastSeen("a");

    const ResetReport report = runToEnd(uninstaller().resetSettings());

    EXPECT_TRUE(report.userDefaultsCleared);
    EXPECT_EQ(report.keychainItemsRemoved, 3);
    EXPECT_TRUE(report.loginItemUnregistered);
    EXPECT_EQ(report.errors, QStringList());
    EXPECT_EQ(report.removedPaths, QStringList{priorPreferences()});
    EXPECT_FALSE(QFileInfo::exists(priorPreferences()));
    EXPECT_TRUE(helper.env.keychain().items(HelperKeychainStorage::kService).isEmpty());

    // The running helper follows: defaults shown, nobody authenticates, nothing written back.
    EXPECT_EQ(helper.config.apiPort(), ConfigStore::kDefaultApiPort);
    EXPECT_EQ(helper.config.idleShutdownDelay(), ConfigStore::kDefaultIdleShutdownDelay);
    EXPECT_FALSE(helper.config.launchAtLogin());
    EXPECT_FALSE(experimental.masterEnabled());
    EXPECT_FALSE(experimental.warningShown());
    EXPECT_TRUE(helper.pairing.clients().empty());
    EXPECT_EQ(statusWithToken(token), 401);
    helper.env.clock().advance(std::chrono::seconds(5));
    EXPECT_EQ(helper.env.defaults().dictionary(), QVariantMap());

    // The next launch starts from defaults: no import of the earlier preferences.
    ConfigStore relaunched(helper.env.defaults(), helper.env.platform());
    EXPECT_EQ(relaunched.apiPort(), ConfigStore::kDefaultApiPort);
}

TEST_F(HelperUninstallerTest, SettingsLevelOnACleanMachineAndWithFailingKeychainOrLoginItem)
{
    ResetReport clean = runToEnd(uninstaller().resetSettings());
    EXPECT_EQ(clean, (ResetReport{{}, true, 0, false, {}}));
    EXPECT_TRUE(helper.env.log().contains("Removed 0 keychain pairing token(s)"));
    EXPECT_TRUE(loginItem->calls.isEmpty());

    pairApprovedClient("a");
    helper.env.keychain().countFailure = -25308;
    loginItem->currentStatus = LoginItem::Status::enabled;
    loginItem->unregisterError = QStringLiteral("The entry could not be removed.");
    const ResetReport failed = runToEnd(uninstaller().resetSettings());
    EXPECT_EQ(failed.keychainItemsRemoved, 0);
    EXPECT_FALSE(failed.loginItemUnregistered);
    EXPECT_EQ(failed.errors, (QStringList{"Could not list the pairing tokens: the desktop's keyring is locked",
                                          "Could not unregister login item: The entry could not be removed."}));
    // Nothing deleted after a failed count.
    EXPECT_EQ(helper.env.keychain().items(HelperKeychainStorage::kService).size(), 1);

    // Earlier preferences that went only part way (a folder in their place, with one inside that
    // can't be entered) are not imported again either.
    const QString prior = priorPreferences();
    ASSERT_TRUE(test::writeFile(prior + "/a", "x"));
    ASSERT_TRUE(test::writeFile(prior + "/locked/b", "x"));
    ASSERT_TRUE(test::makeFolderWithMode(prior + "/locked", 0));
    const bool shut = ::access(QFile::encodeName(prior + "/locked/b").constData(), F_OK) != 0; // root enters any
    const ResetReport partly = runToEnd(uninstaller().resetSettings());
    // What could not go stays set aside.
    ASSERT_TRUE(test::makeFolderWithMode((shut ? removalAside(prior) : prior) + "/locked", 0700));
    if (shut) {
        EXPECT_TRUE(partly.errors.contains("Could not remove " + QFileInfo(prior).fileName() +
                                           ": partly removed, 1 entry gone: " + removalAside(prior) +
                                           "/locked could not be entered: Permission denied"))
            << partly.errors.join('\n').toStdString();
        EXPECT_TRUE(helper.env.defaults().boolForKey(ConfigStore::Keys::kBundleMigrationCompleted));
    }
}

TEST_F(HelperUninstallerTest, PrefixLevelStopsVaraFirstThenRemovesThePrefixAndTheInstallRecords)
{
    services.states[ServiceID::varaHF] = ServiceRunState::running;
    services.states[ServiceID::varaFM] = ServiceRunState::starting;
    services.states[ServiceID::rigctld] = ServiceRunState::running;
    ASSERT_TRUE(test::writeProgram(helper.env.hostPath("/usr/local/bin/wineserver")));
    const QString prefix = places::winePrefix();
    ASSERT_TRUE(test::writeFile(prefix + "/drive_c/VARA/VARA.exe", "MZ"));
    VARAConfig hf = helper.config.varaConfig();
    hf.varaPath = "C:\\VARA\\VARA.exe";
    hf.installedVersion = "4.8";
    hf.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    helper.config.setVaraConfig(hf);
    VARAFMConfig fm = helper.config.varaFMConfig();
    fm.installedVersion = "4.3";
    helper.config.setVaraFMConfig(fm);

    const ResetReport report = runToEnd(uninstaller().resetWinePrefix());

    EXPECT_EQ(services.calls, (QStringList{"prepare vara-hf", "stop vara-hf", "prepare vara-fm", "stop vara-fm"}));
    ASSERT_EQ(helper.env.commands().calls.size(), 1u);
    const Command kill = helper.env.commands().calls[0].command;
    EXPECT_EQ(kill.arguments, QStringList{"-k"});
    EXPECT_EQ(kill.environment.value("WINEPREFIX"), prefix);
    EXPECT_EQ(report, (ResetReport{{prefix}, false, 0, false, {}}));
    EXPECT_FALSE(QFileInfo::exists(prefix));
    EXPECT_EQ(helper.config.varaConfig().varaPath, QString());
    EXPECT_EQ(helper.config.varaConfig().installedVersion, QString());
    EXPECT_EQ(helper.config.varaConfig().lifecycleMode, ServiceLifecycleMode::alwaysOn);
    EXPECT_EQ(helper.config.varaFMConfig().installedVersion, QString());
    EXPECT_EQ(helper.config.apiPort(), ConfigStore::kDefaultApiPort);

    // Without Wine and without a prefix: nothing to run, nothing removed, records still cleared.
    helper.env.commands().calls.clear();
    ASSERT_TRUE(QFile::remove(helper.env.hostPath("/usr/local/bin/wineserver")));
    hf.installedVersion = "4.8";
    helper.config.setVaraConfig(hf);
    EXPECT_EQ(runToEnd(uninstaller().resetWinePrefix()), ResetReport{});
    EXPECT_TRUE(helper.env.commands().calls.empty());
    EXPECT_EQ(helper.config.varaConfig().installedVersion, QString());

    // In a data folder another user may change, Wine is not pointed at the prefix and nothing goes;
    // the install it holds stays recorded.
    ASSERT_TRUE(test::writeProgram(helper.env.hostPath("/usr/local/bin/wineserver")));
    ASSERT_TRUE(test::writeFile(prefix + "/drive_c/VARA/VARA.exe", "MZ"));
    helper.config.setVaraConfig(hf);
    const QString data = QFileInfo(places::supportFolder()).path();
    const auto dataMode = QFile::permissions(data);
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0777), 0);
    const ResetReport refused = runToEnd(uninstaller().resetWinePrefix());
    QFile::setPermissions(data, dataMode);
    EXPECT_TRUE(helper.env.commands().calls.empty());
    EXPECT_TRUE(QFileInfo::exists(prefix + "/drive_c/VARA/VARA.exe"));
    EXPECT_EQ(helper.config.varaConfig().installedVersion, "4.8");
    ASSERT_EQ(refused.errors.size(), 1);
    EXPECT_TRUE(refused.errors[0].startsWith("Nothing was removed. Could not remove wine-prefix: "));
    EXPECT_TRUE(refused.errors[0].endsWith("the folder " + data + " is writable by others")) << refused.errors[0].toStdString();

    // A folder in the prefix that can't be entered (root's, left by an earlier Wine run as root)
    // stops the removal part way: what went and where it stopped are said, the install is kept.
    const QString driveC = prefix + "/drive_c";
    ASSERT_TRUE(test::writeFile(prefix + "/system.reg", "x"));
    ASSERT_EQ(::chmod(QFile::encodeName(driveC).constData(), 0), 0);
    const bool shut = ::access(QFile::encodeName(driveC + "/VARA").constData(), F_OK) != 0; // root enters any
    const ResetReport partly = runToEnd(uninstaller().resetWinePrefix());
    // What is left stays set aside, which no record names, and the prefix reads as gone.
    const QString leftDriveC = removalAside(prefix) + "/drive_c";
    ::chmod(QFile::encodeName(shut ? leftDriveC : driveC).constData(), 0755);
    if (shut) {
        EXPECT_EQ(helper.config.varaConfig().installedVersion, "");
        EXPECT_TRUE(partly.removedPaths.isEmpty());
        EXPECT_EQ(partly.errors, QStringList{"Could not remove wine-prefix: partly removed, 1 entry gone: " + leftDriveC +
                                             " could not be entered: Permission denied"});
        EXPECT_TRUE(partly.prefixKept);
        EXPECT_TRUE(QFileInfo::exists(leftDriveC + "/VARA/VARA.exe"));
    }
}

TEST_F(HelperUninstallerTest, EverythingLevelStopsEveryServiceAndRemovesTheSupportAndPrivateTemporaryFolders)
{
    for (const ServiceID id : EnumTraits<ServiceID>::cases) {
        services.states[id] = ServiceRunState::running;
    }
    pairApprovedClient("a");
    const QString support = places::supportFolder();
    const QString temporary = places::privateTemporaryFolder();
    ASSERT_TRUE(test::writeProgram(places::winetricksToolsFolder() + "/cabextract"));
    ASSERT_TRUE(test::writeFile(temporary + "/velmara-vara-install-hf/VARA HF setup.zip", "PK"));
    ASSERT_TRUE(test::writeFile(support + "/hamlib/bin/rigctld", "x"));

    const ResetReport report = runToEnd(uninstaller().resetEverything());

    EXPECT_EQ(services.calls, (QStringList{"prepare vara-hf", "stop vara-hf", "prepare vara-fm", "stop vara-fm",
                                           "prepare rigctld", "stop rigctld", "prepare direwolf", "stop direwolf"}));
    EXPECT_EQ(report, (ResetReport{{support, temporary}, true, 1, false, {}}));
    EXPECT_FALSE(QFileInfo::exists(support));
    EXPECT_FALSE(QFileInfo::exists(temporary));
    EXPECT_TRUE(helper.pairing.clients().empty());
    EXPECT_TRUE(helper.env.log().contains("Reset Level 3 complete: removed 2 path(s), 1 keychain item(s), 0 error(s)"));

    // A support folder that can't be removed is reported, not only logged.
    ASSERT_TRUE(test::writeFile(support + "/hamlib/bin/rigctld", "x"));
    const QString data = QFileInfo(support).path();
    ASSERT_TRUE(test::makeFolderWithMode(data, 0777));
    const ResetReport kept = runToEnd(uninstaller().resetEverything());
    ASSERT_EQ(kept.errors.size(), 1);
    EXPECT_TRUE(kept.errors[0].endsWith("the folder " + data + " is writable by others")) << kept.errors[0].toStdString();
    EXPECT_TRUE(QFileInfo::exists(support + "/hamlib/bin/rigctld"));

    // One that goes part way is reported as such, and not among the paths removed.
    ASSERT_TRUE(test::makeFolderWithMode(data, 0700));
    ASSERT_TRUE(test::makeFolderWithMode(support + "/locked", 0));
    const bool shut = ::access(QFile::encodeName(support + "/locked/.").constData(), F_OK) != 0; // root enters any
    const ResetReport partly = runToEnd(uninstaller().resetEverything());
    ASSERT_TRUE(test::makeFolderWithMode((shut ? removalAside(support) : support) + "/locked", 0700));
    if (shut) {
        EXPECT_FALSE(partly.removedPaths.contains(support));
        EXPECT_TRUE(partly.errors.contains("Could not remove " + QFileInfo(support).fileName() +
                                           ": partly removed, 3 entries gone: " + removalAside(support) +
                                           "/locked could not be entered: Permission denied"))
            << partly.errors.join('\n').toStdString();
        EXPECT_FALSE(QFileInfo::exists(support + "/hamlib"));
    }
}

// Earlier versions kept their scratch files in the shared temporary folder: the reset removes that
// folder where it is the user's own, also when no scratch folder can be had now, and leaves one of
// another user's as she left it.
TEST_F(HelperUninstallerTest, EverythingLevelRemovesTheOldScratchFolderOnlyWhereItIsTheUsersOwn)
{
    struct Row {
        const char *name;
        bool scratchToBeHad;
        bool others;
    };
    const Row rows[] = {
        {"the user's own", true, false},
        {"the user's own, with no scratch folder to be had", false, false},
        {"another user's", true, true},
    };
    const Paths &paths = helper.env.platform().paths();
    const QString shared = paths.temporary();
    const QString old = shared + "/cordavelle-helper-" + QString::number(::geteuid());
    const QString inCache = paths.cache() + "/cordavelle-helper";
    ASSERT_TRUE(test::makeFolderWithMode(shared, 01777));
    bool passedOverForRoot = false;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.others && !test::runsAsRoot()) {
            passedOverForRoot = true;
            continue;
        }
        ASSERT_TRUE(test::writeFile(old + "/wine-stable.tar.xz.download", "partial"));
        if (row.others) {
            ASSERT_EQ(::chown(QFile::encodeName(old).constData(), test::kOtherUid, test::kOtherUid), 0);
        }
        QFile::remove(inCache);
        if (row.scratchToBeHad) {
            ASSERT_EQ(paths.privateTemporary(), inCache);
        } else {
            // Something of the user's own in the scratch folder's place, and no runtime folder.
            QDir(inCache).removeRecursively();
            ASSERT_TRUE(test::writeFile(inCache, "x"));
            ASSERT_THROW(paths.privateTemporary(), FileError);
        }

        const ResetReport report = runToEnd(uninstaller().resetEverything());

        EXPECT_EQ(report.errors, QStringList());
        EXPECT_EQ(report.removedPaths.contains(old), !row.others);
        EXPECT_EQ(QFileInfo::exists(old + "/wine-stable.tar.xz.download"), row.others);
        // The scratch folder of today goes as well; the user's own file in its place stays.
        EXPECT_EQ(report.removedPaths.contains(inCache), row.scratchToBeHad);
        EXPECT_EQ(QFileInfo(inCache).isFile(), !row.scratchToBeHad);
        EXPECT_FALSE(QFileInfo(inCache).isDir());
        QDir(old).removeRecursively();
    }
    if (passedOverForRoot) {
        SKIP_UNLESS_ROOT("giving a folder to another user");
    }
}

} // namespace
} // namespace cordavelle
