// The installer's remote look-ups and the two helper tools: the release list, winetricks and
// cabextract.
#include "wine_installer.h"

#include "async/event.h"
#include "base/helper_places.h"
#include "base/json_support.h"
#include "base/tool_lookup.h"
#include "install/bottle_program.h"
#include "install/homebrew_bottle_resolver.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/http_status.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace cordavelle {

namespace {

const QString kWinetricksAdvice = QStringLiteral("install it with apt (`sudo apt install winetricks`)");

// Some four times what each has grown to: a cap also bounds how long a server may take over one
// at the slowest pace a document may keep.
constexpr qint64 kReleaseListCap = 4 * 1024 * 1024;
constexpr qint64 kWinetricksScriptCap = 4 * 1024 * 1024;

// A vanilla build of a stable Wine (x.0 or x.0.y) for x86-64; never a development, release
// candidate, staging or Proton build, nor a 32-bit one.
const QRegularExpression kStableBuild(QStringLiteral("^wine-\\d+\\.0(\\.\\d+)?-amd64(-wow64)?\\.tar\\.xz$"));

// The head as a quoted literal: quotes, backslashes and control characters escaped.
QString quoted(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': out += QStringLiteral("\\\""); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
                out += QStringLiteral("\\u{%1}").arg(c.unicode(), 0, 16);
            } else {
                out += c;
            }
        }
    }
    return out + QLatin1Char('"');
}

// The first regular file of that name anywhere below `folder`, in name order.
std::optional<QString> findRegularFile(const QString &folder, const QString &name)
{
    QStringList found;
    QDirIterator it(folder, {name}, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << it.next();
    }
    if (found.isEmpty()) {
        return std::nullopt;
    }
    found.sort();
    return found.first();
}

} // namespace

WineInstaller::Release WineInstaller::pickLatestStableRelease(const QByteArray &releaseList)
{
    Json releases;
    try {
        releases = parseJson(releaseList);
    } catch (const JsonDecodeError &) {
        // An answer that is not JSON at all (a proxy's page, a cut-off body) is no release list either.
        throw WineInstallerError::releaseParseFailed();
    }
    if (!releases.is_array()) {
        throw WineInstallerError::releaseParseFailed();
    }
    for (const Json &release : releases) {
        if (!release.is_object()) {
            throw WineInstallerError::releaseParseFailed();
        }
    }
    for (const Json &release : releases) {
        const auto tagIt = release.find("tag_name");
        const QString tag = tagIt != release.end() && tagIt->is_string() ? QString::fromStdString(tagIt->get<std::string>())
                                                                           : QString();
        const auto assets = release.find("assets");
        if (assets == release.end() || !assets->is_array()) {
            continue;
        }
        std::optional<Release> plain;
        for (const Json &asset : *assets) {
            if (!asset.is_object()) {
                continue;
            }
            const auto name = asset.find("name");
            const auto url = asset.find("browser_download_url");
            if (name == asset.end() || !name->is_string() || url == asset.end() || !url->is_string()) {
                continue;
            }
            const QRegularExpressionMatch match = kStableBuild.match(QString::fromStdString(name->get<std::string>()));
            const QUrl address(QString::fromStdString(url->get<std::string>()), QUrl::StrictMode);
            if (!match.hasMatch() || !address.isValid() || address.scheme().isEmpty()) {
                continue;
            }
            // The WoW64 build runs the 32-bit VARA without 32-bit system libraries.
            if (match.capturedLength(2) > 0) {
                return {address, tag};
            }
            if (!plain) {
                plain = Release{address, tag};
            }
        }
        if (plain) {
            return *plain;
        }
    }
    throw WineInstallerError::noStableRelease();
}

QCoro::Task<WineInstaller::Release> WineInstaller::findLatestStableRelease(std::stop_token stop)
{
    const QUrl list = m_platform.remoteServices().wineReleases();
    HttpRequest request(list, {{"Accept", "application/vnd.github.v3+json"}});
    request.maximumSize = kReleaseListCap;
    Release release;
    try {
        const HttpResponse response = co_await m_platform.httpClient().get(std::move(request), std::move(stop));
        requireSuccessfulStatus(response, QStringLiteral("the list"));
        release = pickLatestStableRelease(response.body);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const WineInstallerError &error) {
        if (error.errorCase() == WineInstallerError::Case::noStableRelease) {
            throw;
        }
        throw DescribedError(failureWhile(QStringLiteral("The Wine release list from %1 could not be read").arg(list.host()), error));
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("The Wine release list from %1 could not be read").arg(list.host()), error));
    }
    requireSecureLink(release.url, list);
    co_return release;
}

void WineInstaller::validateWinetricksPayload(const QByteArray &data, int statusCode)
{
    if (statusCode != 0 && (statusCode < 200 || statusCode > 299)) {
        throw WineInstallerError::winetricksDownloadFailed(
            QStringLiteral("GitHub returned HTTP %1 — try again later or %2").arg(statusCode).arg(kWinetricksAdvice));
    }
    const QString head = QString::fromUtf8(data.left(20));
    for (const char *shebang : {"#!/bin/sh", "#!/usr/bin/env sh", "#!/usr/bin/env"}) {
        if (head.startsWith(QLatin1String(shebang))) {
            return;
        }
    }
    throw WineInstallerError::winetricksDownloadFailed(
        QStringLiteral("Downloaded file is not a valid winetricks script (got %1 bytes starting with: %2).  Try again later or %3")
            .arg(data.size())
            .arg(quoted(head.left(40)), kWinetricksAdvice));
}

QCoro::Task<void> WineInstaller::provideWinetricks(std::stop_token stop)
{
    const std::optional<QString> found = findWinetricks();
    if (found && *found != places::ownWinetricks()) {
        appendLog(QStringLiteral("Found existing winetricks at %1 — skipping download").arg(*found));
        co_return;
    }
    appendLog(QStringLiteral("Downloading winetricks..."));
    co_await downloadWinetricks(std::move(stop));
    appendLog(QStringLiteral("winetricks installed"));
}

QCoro::Task<void> WineInstaller::downloadWinetricks(std::stop_token stop)
{
    HttpResponse response;
    try {
        HttpRequest request(m_platform.remoteServices().winetricksScript());
        request.maximumSize = kWinetricksScriptCap;
        response = co_await m_platform.httpClient().get(std::move(request), stop);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("Could not install winetricks"), error));
    }
    throwIfStopped(stop);
    validateWinetricksPayload(response.body, response.statusCode);
    writeFileAtomically(places::ownWinetricks(), response.body, 0755);
}

struct WineInstaller::CabextractFetch {
    async::Event ended;
    std::exception_ptr error;
    // Ended by its own caller's stop, which says nothing to another caller.
    bool stopped = false;
};

QCoro::Task<void> WineInstaller::installCabextract(std::stop_token stop)
{
    // The Wine install and the prefix set-up may ask at once, and would share the bottle file,
    // the unpack folder and the target: a later caller waits and takes the result, or fetches
    // itself when the running fetch was stopped.
    while (m_cabextract) {
        const std::shared_ptr<CabextractFetch> running = m_cabextract;
        const async::Event ended = running->ended;
        const bool waited = co_await ended.wait(stop);
        if (!waited) {
            throw OperationCancelled();
        }
        if (running->error && !running->stopped) {
            std::rethrow_exception(running->error);
        }
    }
    auto fetch = std::make_shared<CabextractFetch>();
    m_cabextract = fetch;
    try {
        co_await fetchCabextract(stop);
    } catch (const OperationCancelled &) {
        fetch->error = std::current_exception();
        fetch->stopped = true;
    } catch (const std::exception &error) {
        fetch->stopped = stop.stop_requested();
        fetch->error = fetch->stopped ? std::current_exception()
                                      : std::make_exception_ptr(DescribedError(
                                            tools::withAptAdvice(QString::fromUtf8(error.what()), QStringLiteral("cabextract"))));
    }
    m_cabextract.reset();
    fetch->ended.set();
    if (fetch->error) {
        std::rethrow_exception(fetch->error);
    }
}

QCoro::Task<void> WineInstaller::fetchCabextract(std::stop_token stop)
{
    const QString target = places::ownCabextract();
    const QFileInfo existing(target);
    if (existing.exists() && !existing.isDir()) {
        co_return;
    }
    if (existing.isDir()) {
        // What is left is named when the copy into its place fails.
        QString ignored;
        removeTree(target, &ignored);
    }

    BottleInfo bottle;
    const QUrl formula = m_platform.remoteServices().homebrewFormula(QStringLiteral("cabextract"));
    try {
        bottle = co_await HomebrewBottleResolver::fetchBottleInfo(m_platform.httpClient(), formula,
                                                                  m_platform.systemInfo().machineArchitecture(), stop);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw WineInstallerError::cabextractFormulaUnreadable(formula, error);
    }
    // Asked for once: the bottle is downloaded, unpacked and run in this one folder.
    const QString scratch = m_platform.paths().privateTemporary();
    const QString archive = scratch + QStringLiteral("/cabextract-bottle.tar.gz");
    const QString extract = scratch + QStringLiteral("/cabextract-extract");
    try {
        co_await unpackCabextract(bottle, archive, extract, stop);
    } catch (...) {
        QDir(extract).removeRecursively();
        QFile::remove(archive);
        throw;
    }
    QDir(extract).removeRecursively();
    QFile::remove(archive);
}

QCoro::Task<void> WineInstaller::unpackCabextract(BottleInfo bottle, QString archive, QString extract, std::stop_token stop)
{
    const QString target = places::ownCabextract();
    try {
        co_await HomebrewBottleResolver::downloadBottle(m_platform.httpClient(), bottle, archive,
                                                        QStringLiteral("the cabextract bottle"), stop);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("Could not download cabextract"), error));
    }
    makeEmptyFolder(extract);
    // Lists are built before a co_await: g++ 12 can't keep a braced list's array in the frame.
    const QStringList unpack{QStringLiteral("-xzf"), archive, QStringLiteral("-C"), extract};
    co_await runTar(unpack, &WineInstallerError::cabextractExtractionFailed, stop);
    const std::optional<QString> binary = findRegularFile(extract, QStringLiteral("cabextract"));
    if (!binary) {
        throw WineInstallerError::cabextractExtractionFailed();
    }
    // Put in place only once it runs from where the bottle's files now are.
    const QStringList versionArguments{QStringLiteral("--version")};
    co_await BottleProgram::makeRunnable(m_platform.commandRunner(), *binary,
                                         BottleProgram::systemLoader(m_platform.systemInfo().machineArchitecture()),
                                         versionArguments, stop);

    if (!makeFolders(places::toolsFolder())) {
        throw FileError(QStringLiteral("Could not create %1").arg(places::toolsFolder()));
    }
    // Copied under another name and renamed, so that a half-copied file never counts as installed.
    const QString copying = target + QStringLiteral(".copying");
    QFile::remove(copying);
    QFile source(*binary);
    // Nobody but the user may change what the helper will run.
    if (!source.copy(copying) ||
        !QFile::setPermissions(copying,
                               QFile::permissions(copying) & ~(QFileDevice::WriteGroup | QFileDevice::WriteOther)) ||
        !QFile::rename(copying, target)) {
        QFile::remove(copying);
        throw FileError(QStringLiteral("Could not copy cabextract to %1: %2").arg(target, source.errorString()));
    }
}

} // namespace cordavelle
