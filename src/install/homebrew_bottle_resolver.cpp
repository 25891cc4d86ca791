#include "homebrew_bottle_resolver.h"

#include "base/json_support.h"
#include "platform/files.h"
#include "platform/http_status.h"

#include <QCryptographicHash>
#include <QFile>

#include <optional>

namespace cordavelle {

namespace {

// A formula is some tens of kilobytes; a cap also bounds how long a server may take over one at
// the slowest pace a document may keep.
constexpr qint64 kFormulaCap = 256 * 1024;

// The SHA-256 of the file at `path` in lower-case hex; nothing when it can't be read.
std::optional<QString> sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        return std::nullopt;
    }
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

QString formulaUnreadable(const QString &name, const QUrl &formula)
{
    return QStringLiteral("The release information of %1 from %2 could not be read").arg(name, formula.host());
}

BottleResolverError::BottleResolverError(Case errorCase, QString description)
    : DescribedError(std::move(description)), m_case(errorCase)
{
}

BottleResolverError BottleResolverError::malformedResponse()
{
    return {Case::malformedResponse, QStringLiteral("The release information was not in the expected shape")};
}

BottleResolverError BottleResolverError::noBottleForCurrentArchitecture(const QString &tag)
{
    QString platform = tag;
    platform.replace(QStringLiteral("_linux"), QStringLiteral(" Linux"));
    return {Case::noBottleForCurrentArchitecture,
            QStringLiteral("No bottle is available for %1 in this formula").arg(platform)};
}

QString HomebrewBottleResolver::bottleTag(const QString &machineArchitecture)
{
    if (machineArchitecture == QLatin1String("aarch64") || machineArchitecture == QLatin1String("arm64")) {
        return QStringLiteral("arm64_linux");
    }
    return machineArchitecture + QStringLiteral("_linux");
}

BottleInfo HomebrewBottleResolver::parse(const QByteArray &data, const QString &tag)
{
    const Json document = parseJson(data);
    if (!document.is_object()) {
        throw BottleResolverError::malformedResponse();
    }
    const Json *files = &document;
    for (const char *key : {"bottle", "stable", "files"}) {
        const auto it = files->find(key);
        if (it == files->end() || !it->is_object()) {
            throw BottleResolverError::malformedResponse();
        }
        files = &*it;
    }
    // Only the machine's own Linux bottle runs here; a macOS bottle is no fallback.
    const auto chosen = files->find(tag.toStdString());
    if (chosen == files->end() || !chosen->is_object()) {
        throw BottleResolverError::noBottleForCurrentArchitecture(tag);
    }
    const auto url = chosen->find("url");
    if (url == chosen->end() || !url->is_string()) {
        throw BottleResolverError::malformedResponse();
    }
    const QUrl bottle(QString::fromStdString(url->get<std::string>()), QUrl::StrictMode);
    if (!bottle.isValid() || bottle.scheme().isEmpty()) {
        throw BottleResolverError::malformedResponse();
    }
    // Checked once the bottle is in; a formula without it fails the download, not the look-up of
    // the version.
    QString sha256;
    const auto digest = chosen->find("sha256");
    if (digest != chosen->end() && digest->is_string()) {
        sha256 = QString::fromStdString(digest->get<std::string>()).toLower();
    }
    QString version = QStringLiteral("unknown");
    const auto versions = document.find("versions");
    if (versions != document.end() && versions->is_object()) {
        const auto stable = versions->find("stable");
        if (stable != versions->end() && stable->is_string()) {
            version = QString::fromStdString(stable->get<std::string>());
        }
    }
    return {bottle, version, sha256};
}

QCoro::Task<BottleInfo> HomebrewBottleResolver::fetchBottleInfo(HttpClient &client, QUrl formula,
                                                                QString machineArchitecture, std::stop_token stop)
{
    QString name = formula.fileName();
    name.chop(name.endsWith(QLatin1String(".json")) ? 5 : 0);
    HttpRequest request(formula);
    request.maximumSize = kFormulaCap;
    const HttpResponse response = co_await client.get(std::move(request), std::move(stop));
    requireSuccessfulStatus(response, QStringLiteral("the release information of %1").arg(name));
    BottleInfo bottle = parse(response.body, bottleTag(machineArchitecture));
    requireSecureLink(bottle.url, formula);
    co_return bottle;
}

QCoro::Task<void> HomebrewBottleResolver::downloadBottle(HttpClient &client, BottleInfo bottle, QString destination,
                                                         QString what, std::stop_token stop, DownloadProgress progress)
{
    // Whoever serves the bottle, or stands between, could hand over any archive: what is unpacked
    // and run must be the one the formula names.
    if (bottle.sha256.isEmpty()) {
        throw BottleDigestError(
            QStringLiteral("The SHA-256 of %1 can't be checked: its release information gives none").arg(what));
    }
    HttpRequest request(std::move(bottle.url), {{"Authorization", "Bearer " + kRegistryToken}});
    const HttpDownload download =
        co_await client.download(std::move(request), destination, std::move(progress), std::move(stop));
    requireSuccessfulStatus(download, destination, what);
    const std::optional<QString> digest = sha256Of(destination);
    if (digest != bottle.sha256) {
        QFile::remove(destination);
        if (!digest) {
            throw FileError(QStringLiteral("Could not read %1 to check it").arg(destination));
        }
        throw BottleDigestError(QStringLiteral("The SHA-256 of %1 is not the one its release information gives: "
                                               "expected %2, got %3")
                                    .arg(what, bottle.sha256, *digest));
    }
}

} // namespace cordavelle
