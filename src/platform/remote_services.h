#pragma once

#include <QString>
#include <QUrl>

namespace cordavelle {

// Every remote service the helper reaches, by base address, in one place. The paths below each
// base are fixed by the service; a test (or CORDAVELLE_HELPER_REMOTE_BASE) points every base at
// one local server, where the paths keep the services apart.
struct RemoteServices {
    // The GitHub REST API.
    QUrl githubApi;
    // GitHub's raw file service.
    QUrl githubRaw;
    // Homebrew's formula JSON API.
    QUrl homebrewFormulaApi;
    // The Pelorin network's download server.
    QUrl pelorinDownloads;

    // The services on the internet.
    static RemoteServices internet();
    // Every service at `base` (for instance "http://127.0.0.1:8123"), each keeping its own paths.
    static RemoteServices allAt(const QUrl &base);
    // `allAt` the address in CORDAVELLE_HELPER_REMOTE_BASE when it is set, else `internet()`.
    static RemoteServices fromEnvironment();

    // The release list of the standalone Linux Wine builds.
    QUrl wineReleases() const;
    // The winetricks script on the upstream project's main branch.
    QUrl winetricksScript() const;
    // A formula's JSON document ("cabextract", "hamlib", "libusb").
    QUrl homebrewFormula(const QString &name) const;
    // The page that lists the VARA modems' setup archives.
    QUrl varaDownloadsPage() const;

    bool operator==(const RemoteServices &) const = default;
};

} // namespace cordavelle
