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
    EXPECT_EQ(internet.varaDownloadsPage().toString(QUrl::FullyEncoded),
              "https://downloads.pelorin.org/VARA%20Products/");
    EXPECT_EQ(internet.homebrewFormula("hamlib").toString(QUrl::FullyEncoded),
              "https://formulae.brew.sh/api/formula/hamlib.json");

    const RemoteServices mirror = RemoteServices::allAt(QUrl("http://127.0.0.1:8123/a%20b/"));
    EXPECT_EQ(mirror.varaDownloadsPage().toString(QUrl::FullyEncoded), "http://127.0.0.1:8123/a%20b/VARA%20Products/");
    EXPECT_EQ(mirror.wineReleases().toString(QUrl::FullyEncoded),
              "http://127.0.0.1:8123/a%20b/repos/Kron4ek/Wine-Builds/releases");
}

} // namespace
} // namespace cordavelle
