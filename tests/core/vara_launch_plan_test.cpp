#include "base/helper_error.h"
#include "core/vara_launch_plan.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

constexpr auto kPrefix = "/home/op/.local/share/Cordavelle Helper/wine-prefix";

struct Case {
    const char *name;
    VARAVariant variant;
    const char *hfWine;
    const char *fmWine;
    bool debug; // of the variant being started; the other's is set the other way
    const char *expectedWine;
};

TEST(VARALaunchPlanTest, WineChoiceEnvironmentAndOpeningLinesFollowTheVariantsOwnSettings)
{
    const Case cases[] = {
        {"hf with its own wine", VARAVariant::hf, "/opt/wine-a", "/opt/wine-b", false, "/opt/wine-a"},
        {"hf borrows fm's wine", VARAVariant::hf, "", "/opt/wine-b", true, "/opt/wine-b"},
        {"fm with its own wine", VARAVariant::fm, "/opt/wine-a", "/opt/wine-b", true, "/opt/wine-b"},
        {"fm borrows hf's wine", VARAVariant::fm, "/opt/wine-a", "", false, "/opt/wine-a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool isHF = c.variant == VARAVariant::hf;
        VARAConfig hf;
        hf.winePath = QString::fromUtf8(c.hfWine);
        hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
        hf.audioDebugEnabled = isHF ? c.debug : !c.debug;
        VARAFMConfig fm;
        fm.winePath = QString::fromUtf8(c.fmWine);
        fm.varaPath = QStringLiteral("C:\\VARA FM\\VARAFM.exe");
        fm.audioDebugEnabled = isHF ? !c.debug : c.debug;

        const VARALaunchPlan plan = VARALaunchPlan::make(c.variant, hf, fm, QString::fromUtf8(kPrefix));
        const QString tag = isHF ? QStringLiteral("hf") : QStringLiteral("fm");
        const QString vara = isHF ? hf.varaPath : fm.varaPath;
        EXPECT_EQ(plan.program, QString::fromUtf8(c.expectedWine));
        EXPECT_EQ(plan.arguments, QStringList{vara});
        // Both modems answer on the same command port.
        EXPECT_EQ(plan.port, 8300);

        std::map<QString, QString> environment{{"WINEPREFIX", kPrefix}};
        QStringList lines;
        if (c.debug) {
            environment["WINEDEBUG"] = "+mmdevapi,+dsound,+wave";
            lines << QString::fromUtf8("[VARA] %1: audio debug mode ON \u2014 WINEDEBUG=+mmdevapi,+dsound,+wave").arg(tag);
        }
        lines << QStringLiteral("[VARA] Starting %1: wine=%2 vara=%3 port=8300").arg(tag, plan.program, vara);
        EXPECT_EQ(plan.environment, environment);
        EXPECT_EQ(plan.startLines, lines);
        EXPECT_EQ(plan.failureMessage, "VARA did not respond on port 8300 after 3 attempts (20s each). Check Wine and "
                                       "VARA installation.");
    }
}

TEST(VARALaunchPlanTest, MissingWineIsReportedBeforeAMissingModemAndOnlyTheOwnModemCounts)
{
    const auto error = [](VARAVariant variant, const char *hfWine, const char *hfVara, const char *fmVara) {
        VARAConfig hf;
        hf.winePath = QString::fromUtf8(hfWine);
        hf.varaPath = QString::fromUtf8(hfVara);
        VARAFMConfig fm;
        fm.varaPath = QString::fromUtf8(fmVara);
        try {
            VARALaunchPlan::make(variant, hf, fm, kPrefix);
        } catch (const HelperError &e) {
            return e.description();
        }
        return QStringLiteral("no error");
    };
    EXPECT_EQ(error(VARAVariant::hf, "", "", ""), HelperError::wineNotFound().description());
    EXPECT_EQ(error(VARAVariant::fm, "", "", "C:\\VARA FM\\VARAFM.exe"), HelperError::wineNotFound().description());
    EXPECT_EQ(error(VARAVariant::fm, "/opt/wine", "C:\\VARA\\VARA.exe", ""), HelperError::varaNotInstalled().description());
    EXPECT_EQ(error(VARAVariant::hf, "/opt/wine", "C:\\VARA\\VARA.exe", ""), "no error");

    // A Wine on this computer serves when no record names one.
    VARAConfig hf;
    hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
    EXPECT_EQ(VARALaunchPlan::make(VARAVariant::hf, hf, {}, kPrefix, QStringLiteral("/usr/bin/wine")).program,
              "/usr/bin/wine");
}

} // namespace
} // namespace cordavelle
