#include "platform/remote_services.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// The addresses as they go on the wire: an encoded path stays encoded once, also below a base
// that has a path of its own.
TEST(RemoteServices, AddressesAreEncodedOnceBelowTheirBase)
{
    const RemoteServices internet = RemoteServices::internet();
    // The host is the build's choice.
    const QString page = internet.varaDownloadsPage().toString(QUrl::FullyEncoded);
    EXPECT_TRUE(page.startsWith("https://") && page.endsWith("/VARA%20Products/")) << page.toStdString();
    EXPECT_FALSE(internet.varaDownloadsPage().host().isEmpty());
    EXPECT_EQ(internet.homebrewFormula("hamlib").toString(QUrl::FullyEncoded),
              "https://formulae.brew.sh/api/formula/hamlib.json");

    const RemoteServices mirror = RemoteServices::allAt(QUrl("http://127.0.0.1:8123/a%20b/"));
    EXPECT_EQ(mirror.varaDownloadsPage().toString(QUrl::FullyEncoded), "http://127.0.0.1:8123/a%20b/VARA%20Products/");
    EXPECT_EQ(mirror.wineReleases().toString(QUrl::FullyEncoded),
              "http://127.0.0.1:8123/a%20b/repos/Kron4ek/Wine-Builds/releases");
}

} // namespace
} // namespace cordavelle
