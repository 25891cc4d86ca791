#include "core/experimental_features.h"


#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(ExperimentalFeatures, FreshDefaultsHaveEverythingOff)
{
    MemoryUserDefaults defaults(QStringLiteral("d"));
    ExperimentalFeatureManager manager(defaults);
    EXPECT_FALSE(manager.masterEnabled());
    EXPECT_FALSE(manager.warningShown());
    EXPECT_FALSE(manager.isEnabled(ExperimentalFeature::packetModem));
    EXPECT_EQ(defaults.writeCount(), 0);
    EXPECT_EQ(defaultsKey(ExperimentalFeature::packetModem), "exp_packetModem");
    EXPECT_EQ(allCases<ExperimentalFeature>().size(), 1u);
    EXPECT_EQ(fromRaw<ExperimentalFeature>(QStringLiteral("packetModem")), ExperimentalFeature::packetModem);
}

TEST(ExperimentalFeatures, FeatureSwitchSurvivesTheMasterSwitch)
{
    // Stored values follow the defaults' boolean reading.
    MemoryUserDefaults defaults(QStringLiteral("d"), {{"exp_packetModem", QStringLiteral("YES")},
                                                      {"experimentalFeaturesWarningShown", qlonglong(1)}});
    ExperimentalFeatureManager manager(defaults);
    EXPECT_TRUE(manager.warningShown());
    EXPECT_FALSE(manager.isEnabled(ExperimentalFeature::packetModem));

    manager.setMasterEnabled(true);
    EXPECT_TRUE(manager.isEnabled(ExperimentalFeature::packetModem));
    EXPECT_EQ(defaults.object("exp_packetModem"), QStringLiteral("YES"));

    // Turning a feature off while the master is off keeps it off when the master returns.
    manager.setMasterEnabled(false);
    manager.setEnabled(ExperimentalFeature::packetModem, false);
    manager.setMasterEnabled(true);
    EXPECT_FALSE(manager.isEnabled(ExperimentalFeature::packetModem));

    ExperimentalFeatureManager reloaded(defaults);
    EXPECT_TRUE(reloaded.masterEnabled());
}

TEST(ExperimentalFeatures, EveryAssignmentIsStoredButOnlyChangesNotify)
{
    MemoryUserDefaults defaults(QStringLiteral("d"));
    ExperimentalFeatureManager manager(defaults);
    int master = 0, warning = 0, feature = 0;
    QObject::connect(&manager, &ExperimentalFeatureManager::masterEnabledChanged, [&] { ++master; });
    QObject::connect(&manager, &ExperimentalFeatureManager::warningShownChanged, [&] { ++warning; });
    QObject::connect(&manager, &ExperimentalFeatureManager::featureChanged, [&] { ++feature; });

    manager.setMasterEnabled(false);
    EXPECT_EQ(defaults.object("experimentalFeaturesEnabled"), QVariant(false));
    EXPECT_EQ(master, 0);
    manager.setMasterEnabled(true);
    manager.setMasterEnabled(true);
    EXPECT_EQ(master, 1);

    manager.setWarningShown(true);
    manager.setWarningShown(true);
    EXPECT_EQ(warning, 1);

    manager.setEnabled(ExperimentalFeature::packetModem, true);
    manager.setEnabled(ExperimentalFeature::packetModem, true);
    EXPECT_EQ(feature, 1);
    EXPECT_EQ(defaults.writeCount(), 7);
}

} // namespace
} // namespace cordavelle
