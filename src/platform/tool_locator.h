#pragma once

#include "program_search.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

// Where the tools that the system names by fixed paths ("/opt/homebrew/bin/direwolf",
// "/usr/sbin/lsof") lie on this machine. Look-ups keep the system's candidates in their order
// and then try the same file names in this machine's own folders, where Debian installs them.
class ToolLocator {
public:
    virtual ~ToolLocator() = default;

    // The path on this machine of a path that the system names literally.
    virtual QString hostPath(const QString &namedPath) const = 0;
    // Folders searched after the named candidates, in order.
    virtual QStringList systemFolders() const = 0;

    // The named candidates in their order, then each distinct file name among them in every
    // system folder.
    QStringList candidates(const QStringList &namedPaths) const;
    // The first of `candidates(namedPaths)` that is an executable file, that `accept` (when
    // given) takes and that nobody but root or this user can change (ProgramSearch::consider),
    // with the first candidate passed over because others could change it.
    ProgramSearch search(const QStringList &namedPaths, const std::function<bool(const QString &)> &accept = {}) const;
    std::optional<QString> firstExecutable(const QStringList &namedPaths,
                                           const std::function<bool(const QString &)> &accept = {}) const;
    // A tool the system names by one absolute path: that path when it exists, else the same
    // file name in the system folders, else the named path (whose use then fails as it would
    // where the tool is missing). A copy that others could change is passed over; when only such
    // copies are there, the first, whose launch is then refused.
    QString resolve(const QString &namedPath) const;

    static bool isExecutableFile(const QString &path);
};

// This machine: named paths as they are; "/usr/bin", then "/bin".
class SystemToolLocator final : public ToolLocator {
public:
    QString hostPath(const QString &namedPath) const override { return namedPath; }
    QStringList systemFolders() const override;
};

// Every named path and system folder below one root, for tests and anything that must not see
// the tools of the real machine.
class RootedToolLocator final : public ToolLocator {
public:
    explicit RootedToolLocator(QString root);
    QString hostPath(const QString &namedPath) const override;
    QStringList systemFolders() const override;
    const QString &root() const { return m_root; }

private:
    QString m_root;
};

} // namespace cordavelle
