#include "tree_removal.h"

#include "files.h"
#include "program_file.h"

#include "async/off_thread.h"
#include "logger.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

const QString kAsideSuffix = QStringLiteral(".removing");

const Logger &removalLog()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("Removal"));
    return logger;
}

// A removal under way: the tree as it was named to it, and where it is now.
struct UnderWay {
    QString named;
    QString place;
};

std::vector<UnderWay *> &underRemoval()
{
    static std::vector<UnderWay *> trees;
    return trees;
}

bool overlaps(const QString &one, const QString &other)
{
    const auto within = [](const QString &inner, const QString &outer) {
        return inner == outer || inner.startsWith(outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/'));
    };
    return within(one, other) || within(other, one);
}

// Keeps a tree among those under removal while it lives.
class RemovalUnderWay {
public:
    explicit RemovalUnderWay(const QString &path) : m_tree{path, path} { underRemoval().push_back(&m_tree); }
    ~RemovalUnderWay()
    {
        std::vector<UnderWay *> &trees = underRemoval();
        trees.erase(std::find(trees.begin(), trees.end(), &m_tree));
    }
    RemovalUnderWay(const RemovalUnderWay &) = delete;
    RemovalUnderWay &operator=(const RemovalUnderWay &) = delete;

    // Once set aside, its name is free for what is made anew, an install's staging among them.
    void movedTo(const QString &place) { m_tree.place = place; }

private:
    UnderWay m_tree;
};

std::optional<QString> usersOwnEntryOrNone(const QString &path)
{
    try {
        return usersOwnEntry(path);
    } catch (const FileError &) {
        return std::nullopt;
    }
}

// Renames the entry at `path` to its aside, where the way to it is the user's own and nothing is
// at the aside yet; the aside's real place when it went. A folder whose entries another user may
// change stays: its removal is refused, and the refusal must name it where it is.
std::optional<QString> setAside(const QString &path)
{
    const std::optional<QString> entry = usersOwnEntryOrNone(path);
    if (!entry || entry->endsWith(kAsideSuffix)) {
        return std::nullopt;
    }
    struct stat st {};
    if (::lstat(QFile::encodeName(*entry).constData(), &st) != 0 ||
        (S_ISDIR(st.st_mode) && othersMayChangeEntriesOf(*entry))) {
        return std::nullopt;
    }
    const QString aside = *entry + kAsideSuffix;
    if (::renameat2(AT_FDCWD, QFile::encodeName(*entry).constData(), AT_FDCWD, QFile::encodeName(aside).constData(),
                    RENAME_NOREPLACE) != 0) {
        return std::nullopt;
    }
    return aside;
}

} // namespace

QString removalAside(const QString &path) { return path + kAsideSuffix; }

namespace {

std::vector<const QStringList *> &heldForRemoval()
{
    static std::vector<const QStringList *> trees;
    return trees;
}

} // namespace

RemovalHold::RemovalHold(QString path) : m_places{path}
{
    if (const std::optional<QString> entry = usersOwnEntryOrNone(path); entry && *entry != path) {
        m_places << *entry;
    }
    heldForRemoval().push_back(&m_places);
}

RemovalHold::~RemovalHold()
{
    std::vector<const QStringList *> &trees = heldForRemoval();
    trees.erase(std::find(trees.begin(), trees.end(), &m_places));
}

std::optional<QString> treeUnderRemoval(const QString &path)
{
    for (const QStringList *tree : heldForRemoval()) {
        if (std::any_of(tree->begin(), tree->end(), [&path](const QString &place) { return overlaps(path, place); })) {
            return tree->first();
        }
    }
    for (const UnderWay *tree : underRemoval()) {
        if (overlaps(path, tree->place)) {
            return tree->named;
        }
    }
    return std::nullopt;
}

QStringList treesUnderRemoval()
{
    QStringList trees;
    for (const UnderWay *tree : underRemoval()) {
        trees << tree->named;
    }
    return trees;
}

namespace {

// removeTreeNaming of `path` on a thread of its own, the failures after the first logged.
QCoro::Task<RemovalResult> walkingOffThread(QString path)
{
    struct Named {
        RemovalResult removal;
        QStringList more;
    };
    std::function<Named()> work = [path] {
        Named named;
        named.removal.outcome = removeTree(path, &named.removal.description, &named.more);
        return named;
    };
    const std::optional<Named> result = co_await async::OffThread<Named>(std::move(work));
    if (result) {
        // What the user is told names the first; the log names the others.
        for (const QString &failure : result->more) {
            removalLog().error(QStringLiteral("Also left in %1: %2").arg(path, failure));
        }
        co_return result->removal;
    }
    co_return RemovalResult{Removal::failed, QStringLiteral("%1 could not be removed: no thread could be started").arg(path)};
}

bool entryExists(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

QCoro::Task<RemovalResult> removingTree(QString path, std::function<void()> setAsideDone)
{
    // Another removal of the same tree, set aside or not, would walk what the first one walks.
    for (const UnderWay *tree : underRemoval()) {
        if (overlaps(path, tree->named) || overlaps(path, tree->place) || overlaps(removalAside(path), tree->place)) {
            co_return RemovalResult{Removal::failed, QStringLiteral("%1 is being removed").arg(tree->named)};
        }
    }
    // Held from before the rename, so that nothing else sets the same tree aside meanwhile.
    RemovalUnderWay underWay(path);
    // What an earlier removal of the same tree left goes first: it holds the aside's name.
    RemovalResult earlier{Removal::absent, {}};
    if (!path.endsWith(kAsideSuffix) && entryExists(removalAside(path))) {
        const RemovalUnderWay earlierUnderWay(removalAside(path));
        earlier = co_await walkingOffThread(removalAside(path));
    }
    const std::optional<QString> aside = setAside(path);
    if (aside) {
        underWay.movedTo(*aside);
        if (setAsideDone) {
            setAsideDone();
        }
    }
    RemovalResult removal = co_await walkingOffThread(aside.value_or(path));
    // A tree that keeps everything is still what it was: set aside, it would read as gone.
    if (aside && removal.outcome == Removal::failed) {
        const std::optional<QString> entry = usersOwnEntryOrNone(path);
        removal.putBack = entry && ::renameat2(AT_FDCWD, QFile::encodeName(*aside).constData(), AT_FDCWD,
                                               QFile::encodeName(*entry).constData(), RENAME_NOREPLACE) == 0;
        if (removal.putBack) {
            removal.description.replace(*aside, *entry);
        }
    }
    if (removalFailed(earlier.outcome)) {
        co_return earlier;
    }
    if (removal.outcome == Removal::absent && earlier.outcome == Removal::removed) {
        removal.outcome = Removal::removed;
    }
    co_return removal;
}

QCoro::Task<void> finishingRemovals(QStringList paths)
{
    // Counted outside a loop header, which g++ 12 loses across an await.
    qsizetype next = 0;
    while (next < paths.size()) {
        const QString aside = removalAside(paths.at(next++));
        if (!entryExists(aside)) {
            continue;
        }
        const RemovalResult removal = co_await removingTree(aside);
        if (removalFailed(removal.outcome)) {
            removalLog().error(QStringLiteral("Could not finish the removal of %1 that an earlier run began: %2")
                                   .arg(aside, removal.description));
        } else {
            removalLog().info(QStringLiteral("Finished the removal of %1 that an earlier run began").arg(aside));
        }
    }
}

} // namespace cordavelle
