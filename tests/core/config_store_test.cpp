#include "base/helper_places.h"
#include "core/config_store.h"
#include "platform/port_hold.h"

#include "support/fake_login_item.h"
#include "support/recording_app_activation.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using Keys = ConfigStore::Keys;
using Policy = AppActivation::Policy;

class ConfigStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<ConfigStore> makeStore()
    {
        return std::make_unique<ConfigStore>(defaults, env.platform(), loginItem, activation);
    }

    QString priorFile() { return env.platform().preferencesFile(ConfigStore::kPriorBundleIdentifier); }
    void writePrior(const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(priorFile()).path());
        QFile f(priorFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QStringList infoLines()
    {
        QStringList out;
        for (const auto &e : env.log().entries) {
            if (e.level == LogLevel::Info) {
                out << e.message;
            }
        }
        return out;
    }

    test::TestPlatform env;
    MemoryUserDefaults defaults{QStringLiteral("com.cordavelle.helper")};
    test::FakeLoginItem loginItem;
    test::RecordingAppActivation activation;
};

TEST_F(ConfigStoreTest, FirstLaunchTakesDefaultsAndMigratesToTheCurrentSchema)
{
    env.systemInfo().host = QStringLiteral("shack-pc");
    auto store = makeStore();

    EXPECT_EQ(store->loadedSchemaVersion(), 1);
    EXPECT_EQ(store->apiPort(), 8380);
    EXPECT_FALSE(store->launchAtLogin());
    EXPECT_EQ(store->stationCallsign(), "");
    EXPECT_EQ(store->serviceName(), "shack-pc");
    EXPECT_EQ(store->idleShutdownDelay(), 5);
    EXPECT_FALSE(store->allowNetworkAccess());
    EXPECT_TRUE(store->requirePairing());
    EXPECT_EQ(store->appearanceMode(), AppAppearanceMode::dock);
    EXPECT_EQ(store->varaConfig(), VARAConfig{});
    EXPECT_EQ(store->varaFMConfig(), VARAFMConfig{});
    EXPECT_EQ(store->rigctldConfig(), RigctldConfig{});
    EXPECT_EQ(store->direwolfConfig(), DirewolfConfig{});

    EXPECT_EQ(infoLines(), QStringList{QStringLiteral("[ConfigStore] Migrating config schema 1 → 3")});
    EXPECT_EQ(env.log().entries.front().category, "services");

    // Only the two migrations write: the import flag and the schema version.
    EXPECT_EQ(defaults.dictionary().keys(), (QStringList{Keys::kBundleMigrationCompleted, Keys::kConfigSchemaVersion}));
    EXPECT_EQ(defaults.object(Keys::kConfigSchemaVersion), QVariant(qlonglong(3)));
    EXPECT_EQ(defaults.object(Keys::kBundleMigrationCompleted), QVariant(true));
    EXPECT_TRUE(loginItem.calls.isEmpty());
    EXPECT_TRUE(activation.requests.empty());

    // The next launch finds version 3 and migrates nothing.
    env.log().entries.clear();
    auto again = makeStore();
    EXPECT_EQ(again->loadedSchemaVersion(), 3);
    EXPECT_TRUE(env.log().entries.empty());
}

TEST_F(ConfigStoreTest, SchemaTwoMovesTheOldRigModel)
{
    RigctldConfig old;
    old.rigModel = 6005;
    old.tcpPort = 4600;
    defaults.setObject(Keys::kRigctldConfig, encodeJson(old));
    defaults.setObject(Keys::kConfigSchemaVersion, qlonglong(2));

    auto store = makeStore();
    EXPECT_EQ(store->loadedSchemaVersion(), 2);
    EXPECT_EQ(store->rigctldConfig().rigModel, 23005);
    EXPECT_EQ(store->rigctldConfig().tcpPort, 4600);
    EXPECT_EQ(infoLines(), (QStringList{QStringLiteral("[ConfigStore] Migrating config schema 2 → 3"),
                                        QStringLiteral("[ConfigStore] Migrating rigctld.rigModel 6005 (JRC) → "
                                                       "23005 (Flex SmartSDR slice A)")}));
    EXPECT_EQ(decodeJson<RigctldConfig>(*defaults.dataForKey(Keys::kRigctldConfig)).rigModel, 23005);
    EXPECT_EQ(defaults.integerForKey(Keys::kConfigSchemaVersion), 3);

    // Already at version 3 (or beyond): the model number is left alone.
    for (qlonglong version : {3, 7}) {
        defaults.setObject(Keys::kRigctldConfig, encodeJson(old));
        defaults.setObject(Keys::kConfigSchemaVersion, version);
        env.log().entries.clear();
        auto current = makeStore();
        EXPECT_EQ(current->rigctldConfig().rigModel, 6005);
        EXPECT_TRUE(env.log().entries.empty());
        EXPECT_EQ(defaults.integerForKey(Keys::kConfigSchemaVersion), version);
    }
}

TEST_F(ConfigStoreTest, PriorBundleIsImportedOnceFromABinaryPropertyList)
{
    // As the Mac writes it: {configSchemaVersion 2, apiPort 9000, stationCallsign "W1AW",
    // rigctldConfig <JSON data with rigModel 6005>, windowFrame "0 0 640 480"}.
    writePrior(QByteArray::fromHex("62706c6973743030d50102030405060708090a57617069506f72745f1013636f6e666967536368656d6156657273696f"
                                   "6e5d72696763746c64436f6e6669675f100f73746174696f6e43616c6c7369676e5b77696e646f774672616d65112328"
                                   "10024f10207b227269674d6f64656c223a363030352c22746370506f7274223a343630307d54573141575b3020302036"
                                   "34302034383008131b313f515d6062858a0000000000000101000000000000000b000000000000000000000000000000"
                                   "96"));
    defaults.setObject(Keys::kApiPort, qlonglong(1234)); // overwritten by the import

    auto store = makeStore();
    EXPECT_EQ(infoLines().value(0), "[ConfigStore] Migrating 5 preference keys from com.kelvo.cordavelle-helper");
    // The imported values are what was loaded, and migrated.
    EXPECT_EQ(store->apiPort(), 9000);
    EXPECT_EQ(store->stationCallsign(), "W1AW");
    EXPECT_EQ(store->loadedSchemaVersion(), 2);
    EXPECT_EQ(store->rigctldConfig().rigModel, 23005);
    EXPECT_EQ(store->rigctldConfig().tcpPort, 4600);
    EXPECT_EQ(defaults.object("windowFrame"), QStringLiteral("0 0 640 480"));
    EXPECT_TRUE(defaults.boolForKey(Keys::kBundleMigrationCompleted));

    // Never again, even when the old file changes and the records are gone.
    defaults.removeObject(Keys::kRigctldConfig);
    defaults.setObject(Keys::kApiPort, qlonglong(8400));
    writePrior(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>apiPort</key><integer>9999</integer></dict></plist>
)");
    env.log().entries.clear();
    auto next = makeStore();
    EXPECT_EQ(next->apiPort(), 8400);
    EXPECT_FALSE(env.log().contains(QStringLiteral("preference keys")));
}

TEST_F(ConfigStoreTest, PriorBundleIsSkippedWhenCurrentSettingsExistOrTheFileIsUnusable)
{
    writePrior(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>apiPort</key><integer>9999</integer></dict></plist>
)");
    // Data under a later record key is enough to count as "in use".
    defaults.setObject(Keys::kDirewolfConfig, QByteArray("{}"));
    auto store = makeStore();
    EXPECT_EQ(store->apiPort(), 8380);
    EXPECT_TRUE(defaults.boolForKey(Keys::kBundleMigrationCompleted));

    // A record key holding something other than data does not count, but a damaged file is
    // treated as done without a word.
    MemoryUserDefaults fresh(QStringLiteral("com.cordavelle.helper"), {{Keys::kVaraConfig, QStringLiteral("{}")}});
    writePrior("not a property list");
    ConfigStore other(fresh, env.platform(), loginItem, activation);
    EXPECT_TRUE(fresh.boolForKey(Keys::kBundleMigrationCompleted));
    EXPECT_FALSE(env.log().contains(QStringLiteral("preference keys")));

    // An array at the top is no preferences file either.
    MemoryUserDefaults third(QStringLiteral("com.cordavelle.helper"));
    writePrior(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><string>apiPort</string></array></plist>
)");
    ConfigStore withArray(third, env.platform(), loginItem, activation);
    EXPECT_EQ(third.dictionary().keys(), (QStringList{Keys::kBundleMigrationCompleted, Keys::kConfigSchemaVersion}));
}

TEST_F(ConfigStoreTest, WrongTypesFallBackToDefaults)
{
    defaults.setObject(Keys::kConfigSchemaVersion, QStringLiteral("3"));
    defaults.setObject(Keys::kApiPort, QStringLiteral("9000"));
    defaults.setObject(Keys::kIdleShutdownDelay, 2.5);
    defaults.setObject(Keys::kStationCallsign, qlonglong(42));     // a number reads as its text
    defaults.setObject(Keys::kServiceName, QVariantList{});         // no string: the host name
    defaults.setObject(Keys::kAllowNetworkAccess, QStringLiteral("yes"));
    defaults.setObject(Keys::kRequirePairing, qlonglong(2));       // only 0 and 1 are booleans
    defaults.setObject(Keys::kAppearanceMode, QStringLiteral("menubar"));
    defaults.setObject(Keys::kVaraConfig, QStringLiteral("{\"varaPath\":\"x\"}")); // text, not data
    defaults.setObject(Keys::kLaunchAtLogin, true);                // never read
    auto store = makeStore();

    EXPECT_EQ(store->loadedSchemaVersion(), 1);
    EXPECT_EQ(store->apiPort(), 8380);
    EXPECT_EQ(store->idleShutdownDelay(), 5);
    EXPECT_EQ(store->stationCallsign(), "42");
    EXPECT_EQ(store->serviceName(), "testhost");
    EXPECT_TRUE(store->allowNetworkAccess());
    EXPECT_TRUE(store->requirePairing());
    EXPECT_EQ(store->appearanceMode(), AppAppearanceMode::dock);
    EXPECT_EQ(store->varaConfig(), VARAConfig{});
    EXPECT_FALSE(store->launchAtLogin());
    EXPECT_FALSE(env.log().contains(QStringLiteral("Failed")));

    // Usable values of the allowed forms.
    MemoryUserDefaults typed(QStringLiteral("d"), {{Keys::kApiPort, 9001.0},
                                                   {Keys::kIdleShutdownDelay, qlonglong(-1)},
                                                   {Keys::kRequirePairing, qlonglong(0)},
                                                   {Keys::kServiceName, QString()},
                                                   {Keys::kAppearanceMode, QStringLiteral("menuBar")},
                                                   {Keys::kApiPort + "x", qlonglong(1) << 40}});
    ConfigStore fromTyped(typed, env.platform(), loginItem, activation);
    EXPECT_EQ(fromTyped.apiPort(), 9001);
    EXPECT_EQ(fromTyped.idleShutdownDelay(), -1);
    EXPECT_FALSE(fromTyped.requirePairing());
    EXPECT_EQ(fromTyped.serviceName(), ""); // an empty stored name stays empty
    EXPECT_EQ(fromTyped.appearanceMode(), AppAppearanceMode::menuBar);

    // A number too large for a port or a delay is no usable number.
    MemoryUserDefaults huge(QStringLiteral("d"), {{Keys::kApiPort, qlonglong(1) << 40}});
    EXPECT_EQ(ConfigStore(huge, env.platform(), loginItem, activation).apiPort(), 8380);
}

TEST_F(ConfigStoreTest, UndecodableRecordIsLoggedAndKeptUntilAssigned)
{
    defaults.setObject(Keys::kDirewolfConfig, QByteArray("not json"));
    defaults.setObject(Keys::kRigctldConfig, QByteArray(R"({"connectionType":"serial","tcpPort":4600})"));
    auto store = makeStore();

    EXPECT_EQ(store->direwolfConfig(), DirewolfConfig{});
    EXPECT_EQ(store->rigctldConfig(), RigctldConfig{});
    QStringList errors;
    for (const auto &e : env.log().entries) {
        if (e.level == LogLevel::Error) {
            EXPECT_EQ(e.category, "services");
            errors << e.message;
        }
    }
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].startsWith("[ConfigStore] Failed to decode 'rigctldConfig': ")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("connectionType"));
    EXPECT_TRUE(errors[1].startsWith("[ConfigStore] Failed to decode 'direwolfConfig': ")) << errors[1].toStdString();
    EXPECT_GT(errors[1].size(), QStringLiteral("[ConfigStore] Failed to decode 'direwolfConfig': ").size());

    EXPECT_EQ(defaults.dataForKey(Keys::kDirewolfConfig), QByteArray("not json"));
    DirewolfConfig fixed;
    fixed.callsign = QStringLiteral("n0call ");
    store->setDirewolfConfig(fixed);
    const DirewolfConfig stored = decodeJson<DirewolfConfig>(*defaults.dataForKey(Keys::kDirewolfConfig));
    EXPECT_EQ(stored.callsign, "n0call ");
    EXPECT_EQ(stored.pttMethod, DirewolfPTTMethod::vox()); // a record without a method reads back as VOX
}

TEST_F(ConfigStoreTest, EveryAssignmentWritesButOnlyChangesNotify)
{
    auto store = makeStore();
    int notified = 0;
    for (auto signal : {&ConfigStore::apiPortChanged, &ConfigStore::idleShutdownDelayChanged}) {
        QObject::connect(store.get(), signal, [&] { ++notified; });
    }
    for (auto signal : {&ConfigStore::launchAtLoginChanged, &ConfigStore::allowNetworkAccessChanged,
                        &ConfigStore::requirePairingChanged}) {
        QObject::connect(store.get(), signal, [&] { ++notified; });
    }
    for (auto signal : {&ConfigStore::stationCallsignChanged, &ConfigStore::serviceNameChanged}) {
        QObject::connect(store.get(), signal, [&] { ++notified; });
    }
    QObject::connect(store.get(), &ConfigStore::appearanceModeChanged, [&] { ++notified; });
    QObject::connect(store.get(), &ConfigStore::varaConfigChanged, [&] { ++notified; });
    QObject::connect(store.get(), &ConfigStore::varaFMConfigChanged, [&] { ++notified; });
    QObject::connect(store.get(), &ConfigStore::rigctldConfigChanged, [&] { ++notified; });
    QObject::connect(store.get(), &ConfigStore::direwolfConfigChanged, [&] { ++notified; });

    const int before = defaults.writeCount();
    store->setApiPort(8380);
    store->setIdleShutdownDelay(5);
    store->setLaunchAtLogin(false);
    store->setAllowNetworkAccess(false);
    store->setRequirePairing(true);
    store->setStationCallsign(QString());
    store->setServiceName(store->serviceName());
    store->setAppearanceMode(AppAppearanceMode::dock);
    store->setVaraConfig(store->varaConfig());
    store->setVaraFMConfig(store->varaFMConfig());
    store->setRigctldConfig(store->rigctldConfig());
    store->setDirewolfConfig(store->direwolfConfig());
    EXPECT_EQ(notified, 0);
    EXPECT_EQ(defaults.writeCount() - before, 12);
    EXPECT_EQ(defaults.object(Keys::kLaunchAtLogin), QVariant(false));
    EXPECT_EQ(defaults.object(Keys::kApiPort), QVariant(qlonglong(8380)));
    EXPECT_EQ(defaults.object(Keys::kAppearanceMode), QVariant(QStringLiteral("dock")));
    // The hooks run for unchanged values too.
    EXPECT_EQ(loginItem.calls, QStringList{"unregister"});
    EXPECT_EQ(activation.requests, std::vector{Policy::regular});

    // A change is stored before observers hear of it.
    int seenPort = 0;
    QObject::connect(store.get(), &ConfigStore::apiPortChanged,
                     [&](int port) { seenPort = int(*defaults.integerForKey(Keys::kApiPort)) + port; });
    ASSERT_EQ(store->setApiPort(9100), std::nullopt);
    EXPECT_EQ(seenPort, 18200);
    RigctldConfig rig = store->rigctldConfig();
    rig.rigctldPath = QStringLiteral("/usr/bin/rigctld");
    store->setRigctldConfig(rig);
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(decodeJson<RigctldConfig>(*defaults.dataForKey(Keys::kRigctldConfig)), rig);

    // What was written is what the next launch loads.
    auto reloaded = makeStore();
    EXPECT_EQ(reloaded->apiPort(), 9100);
    EXPECT_EQ(reloaded->rigctldConfig(), rig);
}

// Stored, a port the helper can't listen on only fails the next start; who may listen on a
// privileged port (root, or with the capability) may store one.
TEST_F(ConfigStoreTest, AnAPIPortTheHelperCouldNotListenOnIsRefusedAndTheStoredOneKept)
{
    auto store = makeStore();
    const QString reserved = QStringLiteral("Port 80 is below 1024: only the system may listen on it. Enter a port "
                                            "from 1024 to 65535. The port stays as it was.");
    const QString noPort = QStringLiteral("Enter a whole number from 1 to 65535. The port stays as it was.");
    EXPECT_EQ(store->setApiPort(80), reserved);
    EXPECT_EQ(store->setApiPort(0), noPort);
    EXPECT_EQ(store->setApiPort(70000), noPort);
    EXPECT_EQ(store->apiPort(), 8380);
    EXPECT_FALSE(defaults.contains(Keys::kApiPort));

    env.systemInfo().lowestPort = 1;
    EXPECT_EQ(store->setApiPort(80), std::nullopt);
    EXPECT_EQ(defaults.object(Keys::kApiPort), QVariant(qlonglong(80)));
}

TEST_F(ConfigStoreTest, ReloadNotifiesOnlyTheValuesThatChanged)
{
    auto store = makeStore();
    QStringList heard;
    QObject::connect(store.get(), &ConfigStore::apiPortChanged, [&](int port) { heard << QString::number(port); });
    QObject::connect(store.get(), &ConfigStore::rigctldConfigChanged,
                     [&](const RigctldConfig &c) { heard << c.rigctldPath; });
    QObject::connect(store.get(), &ConfigStore::appearanceModeChanged,
                     [&](AppAppearanceMode mode) { heard << toRaw(mode); });
    QObject::connect(store.get(), &ConfigStore::stationCallsignChanged, [&] { heard << "callsign"; });
    QObject::connect(store.get(), &ConfigStore::varaConfigChanged, [&] { heard << "vara"; });

    RigctldConfig rig;
    rig.rigctldPath = QStringLiteral("/opt/rigctld");
    defaults.setObject(Keys::kRigctldConfig, encodeJson(rig));
    defaults.setObject(Keys::kApiPort, qlonglong(9000));
    defaults.setObject(Keys::kAppearanceMode, QStringLiteral("menuBar"));
    store->reloadFromDefaults();

    EXPECT_EQ(heard, (QStringList{"/opt/rigctld", "9000", "menuBar"}));
    EXPECT_EQ(activation.requests, std::vector{Policy::accessory});
    store->reloadFromDefaults();
    EXPECT_EQ(heard.size(), 3);
}

TEST_F(ConfigStoreTest, LifecycleModeOfOneServiceChangesOnlyItsOwnRecord)
{
    auto store = makeStore();
    std::map<ServiceID, int> changes;
    QObject::connect(store.get(), &ConfigStore::varaConfigChanged, [&] { ++changes[ServiceID::varaHF]; });
    QObject::connect(store.get(), &ConfigStore::varaFMConfigChanged, [&] { ++changes[ServiceID::varaFM]; });
    QObject::connect(store.get(), &ConfigStore::rigctldConfigChanged, [&] { ++changes[ServiceID::rigctld]; });
    QObject::connect(store.get(), &ConfigStore::direwolfConfigChanged, [&] { ++changes[ServiceID::direwolf]; });

    for (ServiceID id : allCases<ServiceID>()) {
        const ServiceLifecycleMode before = store->lifecycleMode(id);
        const ServiceLifecycleMode other =
            before == ServiceLifecycleMode::alwaysOn ? ServiceLifecycleMode::onDemand : ServiceLifecycleMode::alwaysOn;
        store->setLifecycleMode(id, other);
        EXPECT_EQ(store->lifecycleMode(id), other) << toRaw(id).toStdString();
        EXPECT_EQ(changes[id], 1) << toRaw(id).toStdString();
        // Stored, so a new store reads it back.
        EXPECT_EQ(makeStore()->lifecycleMode(id), other) << toRaw(id).toStdString();
        store->setLifecycleMode(id, other);
        EXPECT_EQ(changes[id], 1) << "the same mode again is no change";
    }
    EXPECT_EQ(changes.size(), 4u);
}

TEST_F(ConfigStoreTest, LoginItemFollowsTheSystemAndFailuresAreOnlyLogged)
{
    loginItem.currentStatus = LoginItem::Status::requiresApproval;
    EXPECT_FALSE(makeStore()->launchAtLogin());
    loginItem.currentStatus = LoginItem::Status::enabled;
    auto store = makeStore();
    EXPECT_TRUE(store->launchAtLogin());

    store->setLaunchAtLogin(true); // registers again
    EXPECT_EQ(loginItem.calls, QStringList{"register"});

    loginItem.unregisterError = QStringLiteral("Operation not permitted");
    store->setLaunchAtLogin(false);
    EXPECT_FALSE(store->launchAtLogin());
    EXPECT_EQ(defaults.object(Keys::kLaunchAtLogin), QVariant(false));
    EXPECT_TRUE(env.log().contains(QStringLiteral("[ConfigStore] Failed to unregister login item: Operation not permitted")));

    loginItem.registerError = QStringLiteral("No autostart folder");
    store->setLaunchAtLogin(true);
    EXPECT_TRUE(env.log().contains(QStringLiteral("[ConfigStore] Failed to register login item: No autostart folder")));
    // The next launch shows the item's real status again.
    EXPECT_TRUE(makeStore()->launchAtLogin());
}

TEST_F(ConfigStoreTest, AppearanceSetsTheActivationPolicy)
{
    auto store = makeStore();
    store->setAppearanceMode(AppAppearanceMode::menuBar);
    store->setAppearanceMode(AppAppearanceMode::menuBar);
    store->setAppearanceMode(AppAppearanceMode::both);
    store->applyAppearanceMode();
    EXPECT_EQ(activation.requests, (std::vector{Policy::accessory, Policy::accessory, Policy::regular, Policy::regular}));
    EXPECT_EQ(defaults.object(Keys::kAppearanceMode), QVariant(QStringLiteral("both")));

    EXPECT_EQ(displayName(AppAppearanceMode::menuBar), "Tray Only");
    EXPECT_FALSE(showInDock(AppAppearanceMode::menuBar));
    EXPECT_TRUE(showInMenuBar(AppAppearanceMode::both));
    EXPECT_FALSE(showInMenuBar(AppAppearanceMode::dock));
}

TEST_F(ConfigStoreTest, PlacesFollowThePlatformInForce)
{
    const QString support = env.root() + QStringLiteral("/home/.local/share/Cordavelle Helper");
    EXPECT_EQ(places::supportFolder(), support);
    EXPECT_TRUE(QFileInfo(support).isDir());
    EXPECT_EQ(places::winePrefix(), support + QStringLiteral("/wine-prefix"));
    EXPECT_FALSE(QFileInfo::exists(places::winePrefix()));

    // Asked again after a reset removed it, the folder is not made anew.
    QDir(support).removeRecursively();
    EXPECT_EQ(places::supportFolder(), support);
    EXPECT_FALSE(QFileInfo::exists(support));

    // The listen address follows the store's own defaults.
    ConfigStore store(env.defaults(), env.platform(), loginItem, activation);
    EXPECT_EQ(store.bindAddress(), "127.0.0.1");
    store.setAllowNetworkAccess(true);
    EXPECT_EQ(store.bindAddress(), canListenOnBothFamilies() ? "::" : "0.0.0.0");
}

TEST(ConfigStorePlaces, UnmakeableSupportFolderIsLoggedAndStillUsed)
{
    test::TestPlatform env;
    // A file stands where the application-support folder should be.
    const QString share = env.root() + QStringLiteral("/home/.local/share");
    QDir().mkpath(env.root() + QStringLiteral("/home/.local"));
    QFile blocker(share);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    EXPECT_EQ(places::supportFolder(), share + QStringLiteral("/Cordavelle Helper"));
    ASSERT_EQ(env.log().entries.size(), 1u);
    EXPECT_EQ(env.log().entries[0].category, "general");
    EXPECT_TRUE(env.log().entries[0].message.startsWith("[ConfigStore] Could not create app support directory: "));
    places::supportFolder();
    EXPECT_EQ(env.log().entries.size(), 1u);
}

} // namespace
} // namespace cordavelle
