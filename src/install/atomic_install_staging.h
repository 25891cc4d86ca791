#pragma once

#include "platform/described_error.h"

#include <QByteArray>
#include <QDateTime>
#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <exception>
#include <system_error>

namespace cordavelle {

// How the staging moves a folder into place or aside, and gives the reason when it can't.
class EntryMover {
public:
    virtual ~EntryMover() = default;
    virtual std::error_code move(const QString &from, const QString &to) = 0;
};

// Renames within one file system, as the staging's folders all lie beside their destination.
class RenamingEntryMover final : public EntryMover {
public:
    std::error_code move(const QString &from, const QString &to) override;
};

// Builds a whole install folder beside its destination ("<name>.partial") and swaps it in only
// when complete, so that an interrupted or failed install never leaves a half-filled folder and
// the previous install stays usable until the new one is in place. While the swap runs, the
// previous install waits beside the destination as "<name>.previous".
//
// Expected order: prepareEmpty(), fill stagingURL(), then commit() on success or discard() on any
// failure after prepareEmpty() succeeded. File-system failures are thrown as FileError.
struct AtomicInstallStaging {
    class StagingError : public DescribedError {
    public:
        enum class Case { stagingMissing };

        static StagingError stagingMissing(const QString &stagingPath);

        Case errorCase() const { return m_case; }
        const QString &path() const { return m_path; }

    private:
        StagingError(Case errorCase, QString path);

        Case m_case;
        QString m_path;
    };

    // `mover` must outlive the staging. Throws FileError when the way to the destination can't
    // be followed, or another user may change it (usersOwnFolder).
    AtomicInstallStaging(QString destination, EntryMover &mover);

    // The folder that a successful install replaces.
    QString finalDestination;

    // The destination's name with ".partial" appended, beside it. Every path of the staging is
    // named from the folder the destination really is in, found once.
    QString stagingURL() const;
    // The destination's name with ".previous" appended, beside it.
    QString previousURL() const;

    // Leaves an empty staging folder, removing whatever an earlier attempt left there.
    void prepareEmpty() const;
    // Puts the staging folder in place of the destination. When that fails, the previous install
    // is back at the destination and the staging folder is still there.
    void commit() const;
    // Removes the staging folder, if any; never fails.
    void discard() const noexcept;

    // Throws FileError ("<tree> is being removed.") while a removal holds `path` or a folder
    // around it: an install begun then would land in what goes, or in a new folder of its name
    // that the removal's end leaves with no record.
    static void refuseUnderRemoval(const QString &path);

    // Clears what interrupted installs left in `folder`: every "*.partial" entry is removed; the
    // "*.previous" entry of one of `installs` (destination folders staged in `folder`) is put back
    // when its destination is missing (a swap cut short) and removed when the destination exists.
    // Any other "*.previous" entry is not the installers' and stays. Nothing is swept in a folder
    // that usersOwnFolder() refuses. Failures are only logged. The removals run off the helper's
    // thread; `mover` must outlive the task.
    static QCoro::Task<void> sweepOrphans(QString folder, QStringList installs, EntryMover &mover);
    // Removes the "*.download" files that downloads cut short left in `folder` (the private
    // temporary folder), those last written before `writtenBefore` when it is valid, every one
    // otherwise. Failures are only logged.
    static void sweepPartialDownloads(const QString &folder, const QDateTime &writtenBefore = {});

private:
    QString m_destination;
    EntryMover &m_mover;
};

} // namespace cordavelle
