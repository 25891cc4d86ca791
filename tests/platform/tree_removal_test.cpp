#include "platform/tree_removal.h"
#include "support/needs_root.h"
#include "support/small_disk.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An entry of one of these names can't be removed, as one still open on a network file system,
// for root too.
std::vector<std::string> g_busyNames;
// The folder of this name is swapped for a link to g_swapTarget right after the removal looked at
// it, as another program of the user's might between the look and the open.
std::string g_swappedName;
std::string g_swapTarget;
// The folder g_movedFrom is moved to g_movedTo when the removal first goes back up through "..":
// as the user may move a folder out of what is removed once the walk has left the folder around
// it behind.
std::string g_movedFrom;
std::string g_movedTo;

} // namespace

// Takes the place of the C library's openat for the whole test program.
extern "C" int openat(int folder, const char *name, int flags, ...)
{
    using Openat = int (*)(int, const char *, int, ...);
    static const auto real = reinterpret_cast<Openat>(::dlsym(RTLD_NEXT, "openat"));
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    if (!g_movedFrom.empty() && std::strcmp(name, "..") == 0) {
        if (::rename(g_movedFrom.c_str(), g_movedTo.c_str()) != 0) {
            std::abort();
        }
        g_movedFrom.clear();
    }
    return real(folder, name, flags, mode);
}

// Takes the place of the C library's unlinkat for the whole test program.
extern "C" int unlinkat(int folder, const char *name, int flags)
{
    using Unlinkat = int (*)(int, const char *, int);
    static const auto real = reinterpret_cast<Unlinkat>(::dlsym(RTLD_NEXT, "unlinkat"));
    const char *slash = std::strrchr(name, '/');
    if (std::find(g_busyNames.begin(), g_busyNames.end(), std::string(slash ? slash + 1 : name)) != g_busyNames.end()) {
        errno = EBUSY;
        return -1;
    }
    return real(folder, name, flags);
}

// Takes the place of the C library's statx for the whole test program.
extern "C" int statx(int folder, const char *name, int flags, unsigned int mask, struct statx *found)
{
    using Statx = int (*)(int, const char *, int, unsigned int, struct statx *);
    static const auto real = reinterpret_cast<Statx>(::dlsym(RTLD_NEXT, "statx"));
    const int result = real(folder, name, flags, mask, found);
    if (result == 0 && !g_swappedName.empty() && g_swappedName == name) {
        g_swappedName.clear();
        const std::string aside = std::string(name) + ".aside";
        if (::renameat(folder, name, folder, aside.c_str()) != 0 || ::symlinkat(g_swapTarget.c_str(), folder, name) != 0) {
            std::abort();
        }
    }
    return result;
}

namespace cordavelle {
namespace {

// Every entry under `tree`, relative to it, "." for the tree itself while it is there.
QStringList entriesUnder(const QString &tree)
{
    QStringList found;
    if (QFileInfo(tree).isSymLink() || QFileInfo::exists(tree)) {
        found << QStringLiteral(".");
    }
    QDirIterator it(tree, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(tree).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

// A chain of `depth` folders named "d" in `folder`, the innermost holding the file `last`.
bool makeChain(const QString &folder, int depth, const char *last)
{
    int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < depth && fd >= 0; ++level) {
        const int inner = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = inner;
    }
    const int made = fd >= 0 ? ::openat(fd, last, O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
    ::close(fd);
    ::close(made);
    return made >= 0;
}

TEST(Files, ARemovalTakesWhatItMayStaysOnItsFileSystemAndSaysWhatStayed)
{
    test::TestPlatform env;
    const QString outside = env.root() + "/outside";
    ASSERT_TRUE(test::writeFile(outside + "/kept", "the user's"));
    // Where a folder moved out of the tree goes: a folder of the user's with an entry named as one
    // the walk has still to take in the folder the moved one left.
    const QString elsewhere = env.root() + "/elsewhere";
    ASSERT_TRUE(test::writeFile(elsewhere + "/kept", "the user's"));
    struct Row {
        const char *name;
        // Where in the tree what is removed lies ("" for the tree itself).
        const char *inside;
        // Fills the tree; what it returns lives until the removal has ended.
        std::function<std::shared_ptr<void>(const QString &tree)> make;
        Removal outcome;
        // "%1" is the tree.
        QString description;
        QStringList left;
    };
    const auto file = [](const QString &path) { EXPECT_TRUE(test::writeFile(path, "x")) << path.toStdString(); };
    const Row rows[] = {
        {"a link inside goes itself, never what it points to", "",
         [&](const QString &tree) {
             file(tree + "/a");
             EXPECT_TRUE(QFile::link(outside, tree + "/link"));
             return nullptr;
         },
         Removal::removed, "", {}},
        {"two entries that can't go among several that can", "",
         [&](const QString &tree) {
             for (const char *name : {"/a", "/b", "/busy-1", "/sub/c", "/sub/busy-2"}) {
                 file(tree + name);
             }
             g_busyNames = {"busy-1", "busy-2"};
             return nullptr;
         },
         Removal::partly,
         "partly removed, 3 entries gone: %1/busy-1 could not be removed: Device or resource busy (and 1 more could "
         "not go)",
         {".", "busy-1", "sub", "sub/busy-2"}},
        {"a folder swapped for a link between the look and the open", "",
         [&](const QString &tree) {
             file(tree + "/a");
             file(tree + "/swapped/b");
             g_swappedName = "swapped";
             g_swapTarget = QFile::encodeName(outside).toStdString();
             return nullptr;
         },
         Removal::partly,
         "partly removed, 1 entry gone: %1/swapped could not be entered: Not a directory",
         {".", "swapped", "swapped.aside", "swapped.aside/b"}},
        {"a folder moved out of the tree before the walk goes back up through it", "",
         [&](const QString &tree) {
             // Deep enough that the walk closes the folders around it and opens them again.
             EXPECT_TRUE(QDir().mkpath(tree + "/a"));
             EXPECT_TRUE(makeChain(tree + "/a", 20, "last"));
             file(tree + "/a/kept");
             g_movedFrom = QFile::encodeName(tree + "/a/d").toStdString();
             g_movedTo = QFile::encodeName(elsewhere + "/moved").toStdString();
             return nullptr;
         },
         Removal::partly,
         "partly removed, 20 entries gone: %1/a/d was moved elsewhere while it was removed",
         {".", "a", "a/kept"}},
    };
    const Row rootRows[] = {
        {"a small disk mounted inside", "",
         [&](const QString &tree) {
             file(tree + "/a");
             auto disk = std::make_shared<test::SmallDisk>(tree + "/disk");
             EXPECT_TRUE(disk->available()) << disk->whyNot().toStdString();
             file(tree + "/disk/held");
             return disk;
         },
         Removal::partly, "partly removed, 1 entry gone: %1/disk is another file system mounted here: left in place",
         {".", "disk", "disk/held"}},
        {"a folder of the same disk bound inside", "",
         [&](const QString &tree) {
             file(tree + "/a");
             file(tree + "/drive_c/b");
             auto bound = std::make_shared<test::BindMount>(outside, tree + "/drive_c/bind");
             EXPECT_TRUE(bound->available()) << bound->whyNot().toStdString();
             return bound;
         },
         Removal::partly,
         "partly removed, 2 entries gone: %1/drive_c/bind is another file system mounted here: left in place",
         {".", "drive_c", "drive_c/bind", "drive_c/bind/kept"}},
        {"the tree itself a mount point", "",
         [&](const QString &tree) {
             auto disk = std::make_shared<test::SmallDisk>(tree);
             EXPECT_TRUE(disk->available()) << disk->whyNot().toStdString();
             file(tree + "/held");
             return disk;
         },
         Removal::failed, "%1 is another file system mounted here: left in place", {".", "held"}},
        {"a tree on an overlay of two file systems goes whole", "/merged/prefix",
         [&](const QString &tree) {
             auto overlay = std::make_shared<test::OverlayMount>(tree);
             file(overlay->lower() + "/prefix/drive_c/windows/a");
             file(overlay->lower() + "/prefix/b");
             EXPECT_TRUE(overlay->mount()) << overlay->whyNot().toStdString();
             file(overlay->merged() + "/prefix/drive_c/c");
             return overlay;
         },
         Removal::removed, "", {}},
    };
    int number = 0;
    const auto run = [&](const Row &row) {
        SCOPED_TRACE(row.name);
        const QString tree = env.root() + "/tree-" + QString::number(++number);
        ASSERT_TRUE(QDir().mkpath(tree));
        std::shared_ptr<void> kept = row.make(tree);
        const QString removed = tree + row.inside;
        QString description;
        const Removal outcome = removeTree(removed, &description);
        g_busyNames.clear();
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(description.toStdString(), (row.description.isEmpty() ? QString() : row.description.arg(tree)).toStdString());
        EXPECT_EQ(entriesUnder(removed), row.left);
        EXPECT_EQ(test::readBytes(outside + "/kept"), QByteArray("the user's"));
        EXPECT_EQ(test::readBytes(elsewhere + "/kept"), QByteArray("the user's"));
    };
    for (const Row &row : rows) {
        run(row);
    }
    SKIP_UNLESS_ROOT("mounting inside what is removed");
    for (const Row &row : rootRows) {
        run(row);
    }
}

// While it lives, only `spare` descriptors beyond those open now can be had.
class FewDescriptors {
public:
    explicit FewDescriptors(int spare)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_before);
        int highest = 0;
        for (const QString &fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            highest = std::max(highest, fd.toInt());
        }
        const rlimit few{rlim_t(highest + 1 + spare), m_before.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &few);
    }
    ~FewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &m_before); }
    FewDescriptors(const FewDescriptors &) = delete;
    FewDescriptors &operator=(const FewDescriptors &) = delete;

private:
    rlimit m_before{};
};

// Runs `work` on a thread whose stack is far smaller than a thread's usual 8 MiB: what recursed
// once per level of a tree would end the process some thousands of levels down.
void onASmallStack(const std::function<void()> &work)
{
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    const auto run = [](void *argument) -> void * {
        (*static_cast<const std::function<void()> *>(argument))();
        return nullptr;
    };
    ASSERT_EQ(::pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&work)), 0);
    ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&attributes);
}

TEST(Files, NoDepthOfTreeEndsTheRemovalOrTakesMoreThanAFewDescriptors)
{
    test::TestPlatform env;
    const QString deep = env.root() + "/deep";
    ASSERT_TRUE(QDir().mkpath(deep));
    ASSERT_TRUE(makeChain(deep, 3000, "last"));
    QString description;
    Removal outcome = Removal::absent;
    const auto remove = [&] {
        FewDescriptors few(24);
        outcome = removeTree(deep, &description);
    };
    onASmallStack(remove);
    EXPECT_EQ(outcome, Removal::removed) << description.toStdString();
    EXPECT_FALSE(QFileInfo::exists(deep));

    // What can't go is named by the two ends of its path.
    ASSERT_TRUE(QDir().mkpath(deep));
    ASSERT_TRUE(makeChain(deep, 3000, "busy-1"));
    g_busyNames = {"busy-1"};
    onASmallStack(remove);
    g_busyNames.clear();
    EXPECT_EQ(outcome, Removal::failed);
    EXPECT_TRUE(description.startsWith(deep + "/d/d/")) << description.toStdString();
    EXPECT_TRUE(description.contains(QStringLiteral("\u2026"))) << description.toStdString();
    EXPECT_TRUE(description.endsWith("/d/d/busy-1 could not be removed: Device or resource busy")) << description.toStdString();
    EXPECT_LT(description.size(), 600);
    EXPECT_EQ(removeTree(deep, &description), Removal::removed);
}

// The removal ends after `removal`'s, with the turns the loop took meanwhile.
QCoro::Task<void> removeCountingTurns(QString path, const int *turns, std::optional<RemovalResult> *result, int *turnsBefore)
{
    *result = co_await removingTree(path);
    *turnsBefore = *turns;
}

TEST(Files, TheHelpersThreadGoesOnWhileARemovalOfManyFilesRuns)
{
    test::TestPlatform env;
    const QString many = env.root() + "/many";
    for (int folder = 0; folder < 4; ++folder) {
        const QString inner = many + "/" + QString::number(folder);
        ASSERT_TRUE(QDir().mkpath(inner));
        for (int entry = 0; entry < 1000; ++entry) {
            const int fd = ::open(QFile::encodeName(inner + "/" + QString::number(entry)).constData(),
                                  O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
    }
    int turns = 0;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&turns] { ++turns; });
    tick.start();
    std::optional<RemovalResult> result;
    int turnsBefore = -1;
    const auto removal = test::track(removeCountingTurns(many, &turns, &result, &turnsBefore));
    ASSERT_TRUE(test::processEventsUntil([&] { return removal->done; }, std::chrono::seconds(60)));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->outcome, Removal::removed) << result->description.toStdString();
    EXPECT_FALSE(QFileInfo::exists(many));
    EXPECT_GE(turnsBefore, 2) << "the loop waited for the removal";
}

} // namespace
} // namespace cordavelle
