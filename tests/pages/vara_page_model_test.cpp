#include "pages/vara_page_model.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace vara_page;

TEST(VARAPageModel, InstallationRowsShowTheWineAStartWouldRunAndTheRecordedVersion)
{
    struct Case {
        VARAVariant variant;
        const char *hfWine;
        const char *fmWine;
        const char *found;
        const char *hfVersion;
        const char *fmVersion;
        InstallationRows rows;
    };
    // The Wine shown is the one a start would run: the modem's own, the other modem's, then one
    // found on this computer.
    const Case cases[] = {
        {VARAVariant::hf, "/w/hf", "/w/fm", "/usr/bin/wine", "4.8.7", "", {"/w/hf", false, "VARA HF Version", "v4.8.7", false, true}},
        {VARAVariant::fm, "/w/hf", "/w/fm", nullptr, "4.8.7", "", {"/w/fm", false, "VARA FM Version", "Not installed", true, false}},
        {VARAVariant::fm, "/w/hf", "", nullptr, "", "4.3.9", {"/w/hf", false, "VARA FM Version", "v4.3.9", false, true}},
        {VARAVariant::hf, "", "/w/fm", nullptr, "", "", {"/w/fm", false, "VARA HF Version", "Not installed", true, false}},
        {VARAVariant::fm, "", "", "/usr/bin/wine", "", "", {"/usr/bin/wine", false, "VARA FM Version", "Not installed", true, false}},
        {VARAVariant::fm, "", "", nullptr, "", "Unknown", {"Not configured", true, "VARA FM Version", "vUnknown", false, true}},
    };
    for (const Case &c : cases) {
        VARAConfig hf;
        hf.winePath = c.hfWine;
        hf.installedVersion = c.hfVersion;
        VARAFMConfig fm;
        fm.winePath = c.fmWine;
        fm.installedVersion = c.fmVersion;
        const auto found = c.found ? std::optional<QString>(c.found) : std::nullopt;
        const InstallationRows rows = installationRows(c.variant, hf, fm, found);
        EXPECT_EQ(rows, c.rows) << c.hfWine << " " << c.fmWine << " " << c.hfVersion << " " << c.fmVersion;
    }
}

TEST(VARAPageModel, TheUpdateLineComparesVersionsAsText)
{
    struct Case {
        std::optional<DependencyVersions> versions;
        const char *line;
        const char *failure = "";
    };
    const Case cases[] = {
        {std::nullopt, "Could not check for updates"},
        {std::nullopt, "Could not check for updates: the VARA downloads page from 10.1.2.3 could not be read",
         "The VARA downloads page from 10.1.2.3 could not be read"},
        {DependencyVersions{"4.8.7", "4.8.7"}, "You are running the latest version (v4.8.7)"},
        {DependencyVersions{"4.8.7", "4.8.6"}, "Update available: v4.8.7 (installed: v4.8.6)"},
        // Lower, shorter or not a number: still different, still an update.
        {DependencyVersions{"4.8.6", "4.8.7"}, "Update available: v4.8.6 (installed: v4.8.7)"},
        {DependencyVersions{"4.8", "4.8.0"}, "Update available: v4.8 (installed: v4.8.0)"},
        {DependencyVersions{"4.8.7", "Unknown"}, "Update available: v4.8.7 (installed: vUnknown)"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(updateResultLine(c.versions, c.failure), c.line);
    }
}

} // namespace
} // namespace cordavelle
