#include "remote_services.h"

namespace cordavelle {

namespace {

// `path` is written encoded, as it goes on the wire ("/VARA%20Products/").
QUrl below(const QUrl &base, const QString &path)
{
    QUrl url = base;
    QString prefix = base.path(QUrl::FullyEncoded);
    while (prefix.endsWith(QLatin1Char('/'))) {
        prefix.chop(1);
    }
    url.setPath(prefix + path, QUrl::TolerantMode);
    return url;
}

} // namespace

RemoteServices RemoteServices::internet()
{
    return {QUrl(QStringLiteral("https://api.github.com")), QUrl(QStringLiteral("https://raw.githubusercontent.com")),
            QUrl(QStringLiteral("https://formulae.brew.sh")),
            // Chosen when the helper is built (HELPER_VARA_DOWNLOADS_HOST).
            QUrl(QStringLiteral("https://" HELPER_VARA_DOWNLOADS_HOST))};
}

RemoteServices RemoteServices::allAt(const QUrl &base) { return {base, base, base, base}; }

RemoteServices RemoteServices::fromEnvironment()
{
    const QString base = qEnvironmentVariable("CORDAVELLE_HELPER_REMOTE_BASE");
    if (base.isEmpty()) {
        return internet();
    }
    return allAt(QUrl(base));
}

QUrl RemoteServices::wineReleases() const
{
    return below(githubApi, QStringLiteral("/repos/Kron4ek/Wine-Builds/releases"));
}

QUrl RemoteServices::winetricksScript() const
{
    return below(githubRaw, QStringLiteral("/Winetricks/winetricks/master/src/winetricks"));
}

QUrl RemoteServices::homebrewFormula(const QString &name) const
{
    return below(homebrewFormulaApi, QStringLiteral("/api/formula/%1.json").arg(name));
}

QUrl RemoteServices::varaDownloadsPage() const
{
    return below(pelorinDownloads, QStringLiteral("/VARA%20Products/"));
}

} // namespace cordavelle
