#include "atomic_install_staging.h"

#include "base/helper_logger.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

namespace cordavelle {

namespace fs = std::filesystem;

namespace {

const QString kPartialSuffix = QStringLiteral(".partial");
const QString kPreviousSuffix = QStringLiteral(".previous");

Logger stagingLogger() { return Logger(HelperLogger::subsystem(), QStringLiteral("AtomicInstallStaging")); }

fs::path toPath(const QString &path) { return fs::path(path.toStdString()); }

// A dangling link counts as something that is there.
bool entryExists(const QString &path)
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(toPath(path), ignored));
}

QString reason(std::error_code error) { return QString::fromStdString(error.message()); }

FileError removeError(const QString &path, std::error_code error)
{
    return FileError(QStringLiteral("Could not remove %1: %2").arg(path, reason(error)));
}

FileError moveError(const QString &from, const QString &to, std::error_code error)
{
    return FileError(QStringLiteral("Could not move %1 to %2: %3").arg(from, to, reason(error)));
}

std::error_code removeEntry(const QString &path)
{
    std::error_code error;
    fs::remove_all(toPath(path), error);
    return error;
}

void removeOrThrow(const QString &path)
{
    if (const std::error_code error = removeEntry(path)) {
        throw removeError(path, error);
    }
}

// Where the system puts `destination`: the folder around it found as the kernel finds it (a
// "link/.." on the way is the folder the link led to, where cleaning the text would name another),
// its own name kept, so that a link at that name is moved aside itself and never followed. Only
// in a folder whose way nobody else may change: she could lead the swap's removals elsewhere.
QString destinationPath(const QString &destination)
{
    if (std::optional<QString> entry = usersOwnEntry(destination)) {
        return *entry;
    }
    return usersOwnFolder(destination);
}

// The staging folders an install of this run fills now: the launch's sweep leaves them alone.
std::set<QString> &stagingsInUse()
{
    static std::set<QString> inUse;
    return inUse;
}

} // namespace

void AtomicInstallStaging::refuseUnderRemoval(const QString &path)
{
    if (const std::optional<QString> removal = treeUnderRemoval(path)) {
        throw FileError(QStringLiteral("%1 is being removed.").arg(*removal));
    }
}

std::error_code RenamingEntryMover::move(const QString &from, const QString &to)
{
    std::error_code error;
    fs::rename(toPath(from), toPath(to), error);
    return error;
}

AtomicInstallStaging::StagingError::StagingError(Case errorCase, QString path)
    : DescribedError(QStringLiteral("Atomic-install staging directory missing at ") + path), m_case(errorCase),
      m_path(std::move(path))
{
}

AtomicInstallStaging::StagingError AtomicInstallStaging::StagingError::stagingMissing(const QString &stagingPath)
{
    return StagingError(Case::stagingMissing, stagingPath);
}

AtomicInstallStaging::AtomicInstallStaging(QString destination, EntryMover &mover)
    : finalDestination(std::move(destination)), m_destination(destinationPath(finalDestination)), m_mover(mover)
{
}

QString AtomicInstallStaging::stagingURL() const { return m_destination + kPartialSuffix; }

QString AtomicInstallStaging::previousURL() const { return m_destination + kPreviousSuffix; }

void AtomicInstallStaging::prepareEmpty() const
{
    const QString staging = stagingURL();
    refuseUnderRemoval(staging);
    refuseUnderRemoval(m_destination);
    stagingsInUse().insert(staging);
    if (entryExists(staging)) {
        removeOrThrow(staging);
    }
    if (!makeFolders(staging)) {
        const std::error_code error(errno, std::generic_category());
        throw FileError(QStringLiteral("Could not create %1: %2").arg(staging, reason(error)));
    }
}

void AtomicInstallStaging::commit() const
{
    const QString staging = stagingURL();
    const QString &destination = m_destination;
    const QString previous = previousURL();
    if (!entryExists(staging)) {
        throw StagingError::stagingMissing(staging);
    }
    refuseUnderRemoval(destination);

    bool movedAside = false;
    if (entryExists(destination)) {
        // Left by an earlier swap whose destination is in place, so it is of no further use.
        if (entryExists(previous)) {
            removeOrThrow(previous);
        }
        if (const std::error_code error = m_mover.move(destination, previous)) {
            throw moveError(destination, previous, error);
        }
        movedAside = true;
    }

    if (const std::error_code error = m_mover.move(staging, destination)) {
        if (movedAside) {
            if (const std::error_code restoreError = m_mover.move(previous, destination)) {
                // The next launch's sweep puts it back.
                stagingLogger().error(QStringLiteral("Failed to restore %1: %2")
                                   .arg(QFileInfo(destination).fileName(),
                                        moveError(previous, destination, restoreError).description()));
            }
        }
        throw moveError(staging, destination, error);
    }
    stagingsInUse().erase(staging);

    if (entryExists(previous)) {
        if (const std::error_code error = removeEntry(previous)) {
            // The new install is in place; the sweep removes the old one at the next launch.
            stagingLogger().error(QStringLiteral("Failed to remove %1: %2")
                               .arg(QFileInfo(previous).fileName(),
                                    removeError(previous, error).description()));
        }
    }
}

void AtomicInstallStaging::discard() const noexcept
{
    try {
        const QString staging = stagingURL();
        stagingsInUse().erase(staging);
        if (entryExists(staging)) {
            removeEntry(staging);
        }
    } catch (...) {
        // Nothing to report: the next launch's sweep removes what is left.
    }
}

void AtomicInstallStaging::sweepPartialDownloads(const QString &folder, const QDateTime &writtenBefore)
{
    const Logger log = stagingLogger();
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.download")}, QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &entry : entries) {
        // A download of this run, begun meanwhile, is not stale.
        if (writtenBefore.isValid() && entry.lastModified() >= writtenBefore) {
            continue;
        }
        if (QFile::remove(entry.filePath())) {
            log.info(QStringLiteral("Swept partial download: %1").arg(entry.fileName()));
        } else {
            log.error(QStringLiteral("Failed to sweep %1").arg(entry.fileName()));
        }
    }
}

QCoro::Task<void> AtomicInstallStaging::sweepOrphans(QString folder, QStringList installs, EntryMover &mover)
{
    const Logger log = stagingLogger();
    // The installs and the folder are matched where the system finds them, as the installs stage.
    QString base;
    QStringList destinations;
    try {
        base = usersOwnFolder(folder);
        for (const QString &install : installs) {
            destinations.append(destinationPath(install));
        }
    } catch (const FileError &error) {
        log.error(QStringLiteral("Left %1 unswept: %2").arg(folder, error.description()));
        co_return;
    }
    std::vector<QString> names;
    {
        std::error_code error;
        fs::directory_iterator it(toPath(base), error);
        if (error) {
            co_return;
        }
        for (const fs::directory_iterator end; it != end; it.increment(error)) {
            names.push_back(QString::fromStdString(it->path().filename().string()));
        }
        if (error) {
            co_return;
        }
    }
    std::sort(names.begin(), names.end());

    if (!base.endsWith(QLatin1Char('/'))) {
        base += QLatin1Char('/');
    }
    // Counted outside a loop header, which g++ 12 loses across an await.
    std::size_t next = 0;
    while (next < names.size()) {
        const QString name = names[next++];
        const QString path = base + name;
        QString swept;
        if (name.endsWith(kPartialSuffix) || name.endsWith(removalAside(kPartialSuffix))) {
            // One that an install of this run fills is not unfinished: it began after the look.
            if (stagingsInUse().count(path) > 0) {
                continue;
            }
            swept = QStringLiteral("Swept orphaned partial install: %1");
        } else if (name.endsWith(kPreviousSuffix) && destinations.contains(path.chopped(kPreviousSuffix.size()))) {
            const QString destination = path.chopped(kPreviousSuffix.size());
            if (entryExists(destination)) {
                swept = QStringLiteral("Swept previous install: %1");
            } else if (const std::error_code error = mover.move(path, destination)) {
                log.error(QStringLiteral("Failed to sweep %1: %2")
                              .arg(name, moveError(path, destination, error).description()));
            } else {
                log.info(QStringLiteral("Restored interrupted install: %1").arg(QFileInfo(destination).fileName()));
            }
        }
        if (swept.isEmpty()) {
            continue;
        }
        // A whole install: off the helper's thread, and never into what is mounted inside.
        const RemovalResult removal = co_await removingTree(path);
        if (removalFailed(removal.outcome)) {
            log.error(QStringLiteral("Failed to sweep %1: Could not remove %2: %3").arg(name, path, removal.description));
        } else {
            log.info(swept.arg(name));
        }
    }
}

} // namespace cordavelle
