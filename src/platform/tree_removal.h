#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

// `partly`: a failure after some of what was inside had gone.
enum class Removal { absent, removed, partly, failed };

inline bool removalFailed(Removal outcome) { return outcome == Removal::failed || outcome == Removal::partly; }

// Removes a file or a folder with everything inside; a symbolic link goes itself, never what it
// points to. Only in a folder that usersOwnFolder() accepts, and a folder only when another user
// may not change what it holds either. The removal stays on the file system it starts on: an
// entry inside that is another file system (a mount point) is left whole with all it holds, and
// said. No depth of tree ends the process or takes more than a few descriptors. On failure
// `description` gets the reason, naming the path that could not be entered or removed, its two
// ends where it is very long ("partly removed, 3 entries gone: …" when some had gone): the
// system's reason, or who else may change the way; only a name that is not there is absent.
// What can go goes: an entry that can't keeps only the folders around it.
Removal removeTree(const QString &path, QString *description);
// removeTree, with the failures after the first in `more`, as many as a hundred.
Removal removeTree(const QString &path, QString *description, QStringList *more);

// Leaves an empty folder at `path`, made as makeFolders makes it: whatever was there goes first,
// so that nothing of an earlier run is taken for this one's. Throws FileError naming the path and
// the system's reason when either step fails.
void makeEmptyFolder(const QString &path);

struct RemovalResult {
    Removal outcome = Removal::failed;
    QString description;
    // Nothing went, and the tree set aside is back under its own name: what the removal let go
    // of when it set the tree aside holds again.
    bool putBack = false;
};

// Where removingTree() puts the tree at `path` while it removes it: beside it, under its name with
// ".removing" added. A removal cut short leaves only that name, which nothing takes for the tree
// and the next launch finishes (finishingRemovals).
QString removalAside(const QString &path);

// removeTree on a thread of its own, so that a removal of many files holds neither the window nor
// the API. What an earlier removal of `path` left at removalAside(path) goes first. Then, before
// the first entry goes, the tree is renamed to removalAside(path) and `setAside` is called: from
// then on it reads as gone, whatever becomes of the removal, and the records that name it go with
// it. Where it can't be renamed (it is a mount point, or what an earlier removal left is in the
// way) it is removed where it is, and `setAside` is not called. A tree of which nothing could go
// is put back under its name (RemovalResult::putBack). While it runs, another removal of
// a tree that holds or lies in it is refused, saying so. Main thread only.
QCoro::Task<RemovalResult> removingTree(QString path, std::function<void()> setAside = {});

// The tree (as named to removingTree() or to a RemovalHold) whose removal now walks where `path`
// lies in or holds; none when none does. The name of a tree set aside is free again for what is
// made anew, unless a RemovalHold keeps it.
std::optional<QString> treeUnderRemoval(const QString &path);

// Keeps the tree at `path` under removal while it lives, for a removal made of several steps (the
// reset of everything): treeUnderRemoval() names it from before the first step, and after its
// removingTree() has set it aside, so that no install lands in it, nor in a new folder of its name,
// while the steps run. The steps' own removingTree() calls go ahead. Main thread only.
class RemovalHold {
public:
    explicit RemovalHold(QString path);
    ~RemovalHold();
    RemovalHold(const RemovalHold &) = delete;
    RemovalHold &operator=(const RemovalHold &) = delete;

private:
    // As named, and where it really is when that differs (a link on the way).
    QStringList m_places;
};

// Every tree removingTree() is removing now, as it was named to it.
QStringList treesUnderRemoval();

// Finishes the removals that an earlier run of the helper began on `paths` and could not end: the
// removalAside() of each that is there goes, each logged. Main thread only.
QCoro::Task<void> finishingRemovals(QStringList paths);

} // namespace cordavelle
