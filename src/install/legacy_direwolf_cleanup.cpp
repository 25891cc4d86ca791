#include "legacy_direwolf_cleanup.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/service_orchestrator.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <filesystem>

#include <sys/stat.h>

namespace cordavelle {

namespace {

const QString kDismissedKey = QStringLiteral("legacyDirewolfCleanupBannerDismissed");

// The path with every link resolved where it exists, so that a link into the folder (or a
// folder reached through a link) is seen for what it is.
QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

} // namespace

LegacyDirewolfCleanup::LegacyDirewolfCleanup(UserDefaults &defaults, BinariesInUse binariesInUse, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_binariesInUse(std::move(binariesInUse)),
      m_isPromptDismissed(defaults.boolForKey(kDismissedKey))
{
}

LegacyDirewolfCleanup &LegacyDirewolfCleanup::shared()
{
    static LegacyDirewolfCleanup *instance = [] {
        const ConfigStore &config = ConfigStore::shared();
        const ServiceOrchestrator &orchestrator = ServiceOrchestrator::shared();
        CommandRunner &runner = Platform::current().commandRunner();
        return new LegacyDirewolfCleanup(Platform::current().standardDefaults(), [&config, &orchestrator, &runner] {
            return direwolfBinariesInUse(config, orchestrator, runner);
        });
    }();
    return *instance;
}

QStringList LegacyDirewolfCleanup::direwolfBinariesInUse(const ConfigStore &config, const ServiceOrchestrator &orchestrator,
                                                          CommandRunner &runner)
{
    QStringList binaries;
    const QString configured = config.direwolfConfig().direwolfPath;
    if (!configured.isEmpty()) {
        binaries << configured;
    }
    if (const auto pid = orchestrator.direwolfProcess().pid()) {
        if (const auto executable = runner.executableOf(*pid)) {
            binaries << *executable;
        }
    }
    return binaries;
}

std::optional<QString> LegacyDirewolfCleanup::binaryInside(const QString &folder, const QStringList &binaries)
{
    const QString root = resolved(folder) + QLatin1Char('/');
    for (const QString &binary : binaries) {
        if (!binary.isEmpty() && resolved(binary).startsWith(root)) {
            return binary;
        }
    }
    return std::nullopt;
}

bool LegacyDirewolfCleanup::isLegacyInstallPresent() const
{
    return QFileInfo(places::legacyDirewolfFolder()).isDir();
}

std::optional<QString> LegacyDirewolfCleanup::legacyBinaryInUse() const
{
    return binaryInside(places::legacyDirewolfFolder(), m_binariesInUse ? m_binariesInUse() : QStringList());
}

std::optional<qint64> LegacyDirewolfCleanup::directorySize(const QString &folder)
{
    if (!QFileInfo(folder).isDir() || !QFileInfo(folder).isReadable()) {
        return std::nullopt;
    }
    // Without QDir::Hidden, hidden entries are neither listed nor entered.
    QDirIterator entries(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::System,
                         QDirIterator::Subdirectories);
    qint64 total = 0;
    while (entries.hasNext()) {
        const QByteArray path = QFile::encodeName(entries.next());
        struct stat facts {};
        if (::lstat(path.constData(), &facts) == 0 && S_ISREG(facts.st_mode)) {
            total += qint64(facts.st_blocks) * 512;
        }
    }
    return total;
}

QCoro::Task<void> LegacyDirewolfCleanup::removeLegacyInstall()
{
    const QString folder = places::legacyDirewolfFolder();
    if (m_removing) {
        throw FileError(QStringLiteral("%1 is being removed.").arg(folder));
    }
    // What a removal cut short left aside goes with a new one.
    if (!QFileInfo::exists(folder) && !QFileInfo(folder).isSymLink() && !QFileInfo::exists(removalAside(folder))) {
        co_return;
    }
    if (const auto inUse = legacyBinaryInUse()) {
        throw FileError(QStringLiteral("The folder holds the Direwolf in use (%1). Choose another Direwolf and stop "
                                       "this one first.")
                            .arg(*inUse));
    }
    m_removing = true;
    // Only where nobody else may lead the removal into another folder of the user's.
    const RemovalResult removal = co_await removingTree(folder);
    m_removing = false;
    if (removalFailed(removal.outcome)) {
        throw FileError(QStringLiteral("Could not remove %1: %2").arg(folder, removal.description));
    }
    HelperLogger::info(QStringLiteral("[LegacyDirewolfCleanup] Removed legacy install at ") + folder,
                       HelperLogger::Category::services);
}

std::optional<QString> LegacyDirewolfCleanup::dismissPrompt()
{
    // An offer hidden without being stored would come back at the next launch without a word.
    if (std::optional<QString> refused = m_defaults.setObject(kDismissedKey, true)) {
        return refused;
    }
    if (!m_isPromptDismissed) {
        m_isPromptDismissed = true;
        Q_EMIT isPromptDismissedChanged();
    }
    return std::nullopt;
}

} // namespace cordavelle
