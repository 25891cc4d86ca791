#include "paths.h"

#include "files.h"
#include "program_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

QString envOr(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

const QString kScratchName = QStringLiteral("/cordavelle-helper");

// Whether `folder` is a folder of this user's that no one else may enter or write.
bool isUsersAlone(const QString &folder)
{
    struct stat st {};
    return ::stat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

// `given` as the text of a refusal: with the folder it really is where that differs.
QString named(const QString &given, const QString &real)
{
    return real.isEmpty() || real == given ? given : QStringLiteral("%1 (which is %2)").arg(given, real);
}

// The places of the scratch folder, the one preferred first, each with why it can't be used when
// that is known before trying. The cache comes first: a download of Wine runs to hundreds of
// megabytes, which a runtime folder kept in memory may not hold. A runtime folder anyone else may
// enter or write is no place for what only the user may run.
std::vector<std::pair<QString, QString>> scratchPlaces(const Paths &paths)
{
    std::vector<std::pair<QString, QString>> places{{paths.cache() + kScratchName, QString()}};
    if (const QString runtime = paths.runtime(); !runtime.isEmpty()) {
        QString real;
        QString refusal;
        try {
            real = realFolderPath(runtime);
            if (!isUsersAlone(real)) {
                refusal = QFileInfo::exists(real)
                              ? QStringLiteral("the session's runtime folder %1 is not this user's alone").arg(named(runtime, real))
                              : QStringLiteral("the session's runtime folder %1 does not exist").arg(named(runtime, real));
            }
        } catch (const FileError &error) {
            refusal = QStringLiteral("the session's runtime folder can't be used: %1").arg(error.description());
        }
        places.emplace_back(runtime + kScratchName, refusal);
    }
    return places;
}

// Where `path` itself (not what a link there leads to) really is, when it is a folder of this
// user's that no other user can move aside through a folder on its way: a sweep or a reset that
// removes what it holds must not be led into a folder of someone else's choosing, and works
// on the place returned, the one that was looked at.
std::optional<QString> ownFolderAt(const QString &path)
{
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(cut + 1);
    if (cut < 0 || name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return std::nullopt;
    }
    const FolderWalk parent = walkFolder(cut == 0 ? QStringLiteral("/") : path.left(cut));
    if (parent.othersMayChange) {
        return std::nullopt;
    }
    const QString place = parent.real == QLatin1String("/") ? parent.real + name : parent.real + QLatin1Char('/') + name;
    struct stat st {};
    if (::lstat(QFile::encodeName(place).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
        return place;
    }
    return std::nullopt;
}

} // namespace

QString Paths::privateRuntime() const
{
    const QString folder = runtime();
    if (folder.isEmpty()) {
        return QString();
    }
    const FolderWalk walked = walkFolder(folder);
    return !walked.othersMayChange && isUsersAlone(walked.real) ? walked.real : QString();
}

QString Paths::privateTemporary() const
{
    QStringList refusals;
    for (const auto &[folder, refusal] : scratchPlaces(*this)) {
        if (!refusal.isEmpty()) {
            refusals << refusal;
            continue;
        }
        try {
            return makePrivateFolder(folder);
        } catch (const FileError &error) {
            refusals << error.description();
        }
    }
    throw FileError(QStringLiteral("No private folder for the helper's scratch files could be had: %1")
                        .arg(refusals.join(QStringLiteral("; "))));
}

QStringList Paths::ownScratchFolders() const
{
    QStringList folders;
    for (const auto &[folder, refusal] : scratchPlaces(*this)) {
        if (refusal.isEmpty()) {
            folders << folder;
        }
    }
    // Earlier versions kept their scratch files in the shared temporary folder, under a name any
    // user could take first: only a folder that is this user's own there is looked into.
    folders << temporary() + kScratchName + QLatin1Char('-') + QString::number(::geteuid());
    QStringList own;
    for (const QString &folder : folders) {
        if (const std::optional<QString> place = ownFolderAt(folder); place && !own.contains(*place)) {
            own << *place;
        }
    }
    return own;
}

QString XdgPaths::home() const { return envOr("HOME", QDir::homePath()); }

QString XdgPaths::applicationSupport() const
{
    return envOr("XDG_DATA_HOME", home() + QStringLiteral("/.local/share"));
}

QString XdgPaths::preferences() const
{
    return envOr("XDG_CONFIG_HOME", home() + QStringLiteral("/.config")) + QStringLiteral("/cordavelle-helper");
}

QString XdgPaths::temporary() const { return envOr("TMPDIR", QStringLiteral("/tmp")); }

QString XdgPaths::cache() const { return envOr("XDG_CACHE_HOME", home() + QStringLiteral("/.cache")); }

QString XdgPaths::runtime() const { return qEnvironmentVariable("XDG_RUNTIME_DIR"); }

RootedPaths::RootedPaths(QString root) : m_root(std::move(root)) {}

QString RootedPaths::applicationSupport() const { return m_root + QStringLiteral("/home/.local/share"); }
QString RootedPaths::preferences() const { return m_root + QStringLiteral("/home/.config/cordavelle-helper"); }
QString RootedPaths::home() const { return m_root + QStringLiteral("/home"); }
QString RootedPaths::temporary() const { return m_root + QStringLiteral("/tmp"); }
QString RootedPaths::cache() const { return m_root + QStringLiteral("/home/.cache"); }

QString RootedPaths::runtime() const
{
    const QString folder = m_root + QStringLiteral("/runtime");
    return QFileInfo(folder).isDir() ? folder : QString();
}

} // namespace cordavelle
