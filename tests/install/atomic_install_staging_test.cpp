#include "install/atomic_install_staging.h"
#include "platform/files.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

void writeFile(const QString &path, const QByteArray &bytes = "x") { ASSERT_TRUE(test::writeFile(path, bytes)); }

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Moves as the installers do, except that every move of `failing` fails.
class FailingMover final : public EntryMover {
public:
    std::error_code move(const QString &from, const QString &to) override
    {
        if (!failing.isEmpty() && from == failing) {
            return std::make_error_code(std::errc::permission_denied);
        }
        return m_real.move(from, to);
    }
    QString failing;

private:
    RenamingEntryMover m_real;
};

// Makes every move of `from` fail while it lives.
class FailingRename {
public:
    FailingRename(FailingMover &mover, QString from) : m_mover(mover) { m_mover.failing = std::move(from); }
    ~FailingRename() { m_mover.failing.clear(); }

private:
    FailingMover &m_mover;
};

class AtomicInstallStagingTest : public ::testing::Test {
protected:
    test::TestPlatform env;
    QString support = env.root() + "/support";
    FailingMover mover;
    AtomicInstallStaging staging{support + "/hamlib", mover};
    // The folders the installers stage in the support folder.
    QStringList installs() const { return {support + "/wine", support + "/hamlib/"}; }
};

TEST_F(AtomicInstallStagingTest, PreparesAnEmptyFolderBesideTheDestinationAndDiscardsIt)
{
    EXPECT_EQ(staging.stagingURL(), support + "/hamlib.partial");
    EXPECT_EQ(AtomicInstallStaging(support + "/wine/", mover).stagingURL(), support + "/wine.partial");

    writeFile(staging.stagingURL() + "/bin/rigctld", "left over");
    staging.prepareEmpty();
    EXPECT_TRUE(QFileInfo(staging.stagingURL()).isDir());
    EXPECT_TRUE(entries(staging.stagingURL()).isEmpty());

    staging.discard();
    EXPECT_FALSE(QFileInfo::exists(staging.stagingURL()));
    staging.discard(); // nothing there: nothing happens
    EXPECT_TRUE(entries(support).isEmpty());
}

TEST_F(AtomicInstallStagingTest, CommitMovesTheStagingFolderIntoPlace)
{
    staging.prepareEmpty();
    writeFile(staging.stagingURL() + "/bin/rigctld", "new");
    staging.commit();
    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("new"));
    EXPECT_EQ(entries(support), QStringList{"hamlib"});
}

TEST_F(AtomicInstallStagingTest, CommitReplacesAnExistingInstallAsAWhole)
{
    writeFile(support + "/hamlib/bin/rigctld", "old");
    writeFile(support + "/hamlib/lib/libold.dylib", "old");
    // Left by an earlier swap that got as far as putting its new install in place.
    writeFile(support + "/hamlib.previous/stale", "stale");

    staging.prepareEmpty();
    writeFile(staging.stagingURL() + "/bin/rigctld", "new");
    staging.commit();

    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("new"));
    EXPECT_FALSE(QFileInfo::exists(support + "/hamlib/lib/libold.dylib"));
    EXPECT_EQ(entries(support), QStringList{"hamlib"});
}

TEST_F(AtomicInstallStagingTest, CommitWithoutAStagingFolderLeavesTheInstallAlone)
{
    writeFile(support + "/hamlib/bin/rigctld", "old");
    try {
        staging.commit();
        ADD_FAILURE() << "expected stagingMissing";
    } catch (const AtomicInstallStaging::StagingError &error) {
        EXPECT_EQ(error.errorCase(), AtomicInstallStaging::StagingError::Case::stagingMissing);
        EXPECT_EQ(error.description(), "Atomic-install staging directory missing at " + support + "/hamlib.partial");
        EXPECT_STREQ(error.what(), error.description().toUtf8().constData());
    }
    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("old"));
}

TEST_F(AtomicInstallStagingTest, AFailedMoveKeepsThePreviousInstallUsable)
{
    writeFile(support + "/hamlib/bin/rigctld", "old");
    staging.prepareEmpty();
    writeFile(staging.stagingURL() + "/bin/rigctld", "new");

    {
        // The new install cannot be moved in: the old one goes back in place.
        FailingRename failing(mover, staging.stagingURL());
        try {
            staging.commit();
            ADD_FAILURE() << "expected a FileError";
        } catch (const FileError &error) {
            EXPECT_TRUE(error.description().startsWith("Could not move " + staging.stagingURL())) << error.what();
        }
    }
    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("old"));
    EXPECT_EQ(contents(staging.stagingURL() + "/bin/rigctld"), QByteArray("new"));
    EXPECT_EQ(entries(support), (QStringList{"hamlib", "hamlib.partial"}));

    {
        // The old install cannot be moved aside: nothing changes.
        FailingRename failing(mover, support + "/hamlib");
        EXPECT_THROW(staging.commit(), FileError);
    }
    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("old"));
    EXPECT_EQ(entries(support), (QStringList{"hamlib", "hamlib.partial"}));

    // The installer's failure path.
    staging.discard();
    EXPECT_EQ(entries(support), QStringList{"hamlib"});
}

TEST_F(AtomicInstallStagingTest, SweepClearsPartialInstallsAndKeepsEverythingElse)
{
    writeFile(support + "/wine.partial/bin/wine");
    writeFile(support + "/x.partial");
    writeFile(support + "/.hidden.partial");
    writeFile(support + "/hamlib/bin/rigctld");
    writeFile(support + "/notes.partial.txt");
    writeFile(support + "/Wine.PARTIAL");
    // What a sweep cut short had set aside, and an install of this run that staged meanwhile.
    writeFile(support + "/hamlib.partial.removing/bin/rigctld");
    const AtomicInstallStaging started(support + "/hamlib", mover);
    started.prepareEmpty();
    writeFile(support + "/hamlib.partial/bin/rigctld");

    test::runToEnd(AtomicInstallStaging::sweepOrphans(support, installs(), mover));

    EXPECT_EQ(entries(support), (QStringList{"Wine.PARTIAL", "hamlib", "hamlib.partial", "notes.partial.txt"}));
    started.discard();
    EXPECT_TRUE(env.log().contains("Swept orphaned partial install: hamlib.partial.removing"));
    EXPECT_TRUE(env.log().contains("Swept orphaned partial install: wine.partial"));
    EXPECT_TRUE(env.log().contains("Swept orphaned partial install: x.partial"));
    EXPECT_TRUE(env.log().contains("Swept orphaned partial install: .hidden.partial"));
    for (const auto &entry : env.log().entries) {
        EXPECT_EQ(entry.category, "AtomicInstallStaging");
        EXPECT_EQ(entry.level, LogLevel::Info);
    }

    env.log().entries.clear();
    test::runToEnd(AtomicInstallStaging::sweepOrphans(env.root() + "/no-such-folder", installs(), mover));
    EXPECT_TRUE(env.log().entries.empty());
}

TEST_F(AtomicInstallStagingTest, SweepFinishesASwapCutShort)
{
    // Killed between moving the old install aside and moving the new one in.
    writeFile(support + "/hamlib.previous/bin/rigctld", "old");
    writeFile(support + "/hamlib.partial/bin/rigctld", "new");
    // Killed after the new install was in place, before the old one was removed.
    writeFile(support + "/wine/bin/wine", "new");
    writeFile(support + "/wine.previous/bin/wine", "old");

    // Only the installers' own folders: anything else that ends in ".previous" is not theirs.
    writeFile(support + "/notes.txt.previous", "mine");
    writeFile(support + "/wine-prefix.previous/user.reg");
    writeFile(support + "/wine-prefix/user.reg");

    test::runToEnd(AtomicInstallStaging::sweepOrphans(support, installs(), mover));

    EXPECT_EQ(entries(support), (QStringList{"hamlib", "notes.txt.previous", "wine", "wine-prefix", "wine-prefix.previous"}));
    EXPECT_EQ(contents(support + "/hamlib/bin/rigctld"), QByteArray("old"));
    EXPECT_EQ(contents(support + "/wine/bin/wine"), QByteArray("new"));
    EXPECT_TRUE(env.log().contains("Restored interrupted install: hamlib"));
    EXPECT_TRUE(env.log().contains("Swept previous install: wine.previous"));
}

TEST_F(AtomicInstallStagingTest, SweepLogsAFailureAndGoesOn)
{
    writeFile(support + "/hamlib.previous/bin/rigctld", "old");
    writeFile(support + "/wine.previous/bin/wine", "old");
    FailingRename failing(mover, support + "/hamlib.previous");

    test::runToEnd(AtomicInstallStaging::sweepOrphans(support, installs(), mover));

    EXPECT_EQ(entries(support), (QStringList{"hamlib.previous", "wine"}));
    ASSERT_EQ(env.log().entries.size(), 2u);
    EXPECT_EQ(env.log().entries[0].level, LogLevel::Error);
    EXPECT_TRUE(env.log().entries[0].message.startsWith("Failed to sweep hamlib.previous: Could not move "));
    EXPECT_EQ(env.log().entries[1].message, "Restored interrupted install: wine");
}

TEST_F(AtomicInstallStagingTest, AFolderNamedThroughALinkAndDotDotIsWhereTheSystemFindsIt)
{
    // "lnk/.." is the folder above the link's target, not the folder the link is in.
    const QString real = env.root() + "/real";
    ASSERT_TRUE(QDir().mkpath(real + "/inner"));
    ASSERT_TRUE(QFile::link(real + "/inner", env.root() + "/lnk"));
    const QString viaLink = env.root() + "/lnk/..";

    AtomicInstallStaging linked(viaLink + "/hamlib", mover);
    EXPECT_EQ(linked.stagingURL(), real + "/hamlib.partial");
    writeFile(real + "/hamlib/bin/rigctld", "old");
    linked.prepareEmpty();
    writeFile(linked.stagingURL() + "/bin/rigctld", "new");
    linked.commit();
    EXPECT_EQ(contents(real + "/hamlib/bin/rigctld"), QByteArray("new"));
    EXPECT_EQ(entries(real), (QStringList{"hamlib", "inner"}));

    // A swap cut short there is finished there.
    ASSERT_TRUE(QDir(real).rename("hamlib", "hamlib.previous"));
    writeFile(real + "/wine.partial/bin/wine");
    test::runToEnd(AtomicInstallStaging::sweepOrphans(viaLink, {viaLink + "/wine", viaLink + "/hamlib"}, mover));
    EXPECT_EQ(entries(real), (QStringList{"hamlib", "inner"}));
    EXPECT_TRUE(entries(env.root()).filter("hamlib").isEmpty()) << entries(env.root()).join(' ').toStdString();

    // Named with a trailing "/", a link at the destination's name is still replaced, never followed.
    ASSERT_TRUE(QDir().mkpath(env.root() + "/elsewhere"));
    ASSERT_TRUE(QFile::link(env.root() + "/elsewhere", real + "/linked"));
    AtomicInstallStaging slashed(viaLink + "/linked/", mover);
    EXPECT_EQ(slashed.stagingURL(), real + "/linked.partial");
    slashed.prepareEmpty();
    writeFile(slashed.stagingURL() + "/bin/rigctld", "new");
    slashed.commit();
    EXPECT_FALSE(QFileInfo(real + "/linked").isSymLink());
    EXPECT_EQ(contents(real + "/linked/bin/rigctld"), QByteArray("new"));
    EXPECT_TRUE(entries(env.root() + "/elsewhere").isEmpty());

    // A ".." after a missing name leads nowhere the system could go.
    EXPECT_THROW(AtomicInstallStaging(env.root() + "/gone/../hamlib", mover), FileError);
}

// Another user who may change the way to the support folder can make its name lead into any
// folder of the user's, one she could never touch herself: nothing is swept or staged there.
TEST_F(AtomicInstallStagingTest, NothingIsSweptOrStagedWhereAnotherUserMayChangeTheWay)
{
    const QString kept = env.root() + "/kept";
    writeFile(kept + "/keep.partial/x");
    writeFile(kept + "/hamlib.previous/x");
    writeFile(kept + "/notes.txt");
    const QString open = env.root() + "/open";
    ASSERT_TRUE(test::makeFolderWithMode(open, 0777));
    ASSERT_TRUE(QFile::link(kept, open + "/support"));
    ASSERT_TRUE(QDir().mkpath(open + "/inner"));
    // Cleaned as text, "lnk/../support" is the fixture's safe support folder.
    ASSERT_TRUE(QFile::link(open + "/inner", env.root() + "/lnk"));
    ASSERT_TRUE(QDir().mkpath(support));

    for (const QString &way : {open + "/support", env.root() + "/lnk/../support"}) {
        SCOPED_TRACE(way.toStdString());
        env.log().entries.clear();
        test::runToEnd(AtomicInstallStaging::sweepOrphans(way, {way + "/wine", way + "/hamlib"}, mover));
        EXPECT_EQ(entries(kept), (QStringList{"hamlib.previous", "keep.partial", "notes.txt"}));
        ASSERT_EQ(env.log().entries.size(), 1u);
        const QString line = env.log().entries[0].message;
        EXPECT_TRUE(line.startsWith("Left " + way + " unswept: Nothing is removed or installed in " + way)) << line.toStdString();
        EXPECT_TRUE(line.endsWith("the folder " + open + " is writable by others")) << line.toStdString();
        EXPECT_THROW(AtomicInstallStaging(way + "/hamlib", mover), FileError);
    }
    EXPECT_EQ(entries(open), (QStringList{"inner", "support"}));
}

} // namespace
} // namespace cordavelle
