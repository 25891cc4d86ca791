#include "platform/accounts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cordavelle {
namespace {

struct StoredGroup {
    std::string name;
    gid_t gid;
    std::vector<std::string> members;
};

struct StoredUser {
    std::string name;
    gid_t gid;
};

// A database read one entry per call, as the system's readers do, that can fail part-way or ask
// for a larger buffer.
template <typename Stored>
struct Reading {
    std::vector<Stored> entries;
    // Fails with this error in place of entry `failAt`.
    size_t failAt = SIZE_MAX;
    int error = EIO;
    // Answers ERANGE to buffers smaller than this.
    size_t needs = 0;
    size_t next = 0;

    int step(size_t size)
    {
        if (size < needs) {
            return ERANGE;
        }
        if (next == failAt) {
            return error;
        }
        return next < entries.size() ? 0 : ENOENT;
    }
};

struct Databases {
    Reading<StoredGroup> groups;
    Reading<StoredUser> users;
    std::vector<char *> memberList;

    AccountReaders readers()
    {
        AccountReaders readers;
        readers.nextGroup = [this](group *entry, char *, size_t size, group **found) {
            *found = nullptr;
            if (const int error = groups.step(size); error != 0) {
                return error;
            }
            StoredGroup &stored = groups.entries[groups.next++];
            memberList.clear();
            for (std::string &member : stored.members) {
                memberList.push_back(member.data());
            }
            memberList.push_back(nullptr);
            entry->gr_name = stored.name.data();
            entry->gr_gid = stored.gid;
            entry->gr_mem = memberList.data();
            *found = entry;
            return 0;
        };
        readers.nextUser = [this](passwd *entry, char *, size_t size, passwd **found) {
            *found = nullptr;
            if (const int error = users.step(size); error != 0) {
                return error;
            }
            StoredUser &stored = users.entries[users.next++];
            entry->pw_name = stored.name.data();
            entry->pw_gid = stored.gid;
            *found = entry;
            return 0;
        };
        return readers;
    }
};

TEST(AccountWalk, AGroupHoldsTheMembersOfEveryEntryWithItsIdAndItsPrimaryAccountsUnlessAReadFails)
{
    struct Row {
        const char *reads;
        size_t groupFailsAt = SIZE_MAX;
        size_t userFailsAt = SIZE_MAX;
        size_t needs = 0;
        bool noGroups = false;
        GroupHolders::Read read;
        QStringList names = {};
    };
    const QStringList everyone{QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("alice"), QStringLiteral("dave")};
    const std::vector<Row> rows{
        {.reads = "both to their end", .read = GroupHolders::Read::whole, .names = everyone},
        {.reads = "entries larger than the first buffer", .needs = 20000, .read = GroupHolders::Read::whole, .names = everyone},
        {.reads = "groups failing part-way", .groupFailsAt = 1, .read = GroupHolders::Read::cutShort},
        {.reads = "users failing part-way", .userFailsAt = 1, .read = GroupHolders::Read::cutShort},
        {.reads = "users failing at once", .userFailsAt = 0, .read = GroupHolders::Read::cutShort},
        {.reads = "groups ending at once (the file could not be opened)", .noGroups = true, .read = GroupHolders::Read::cutShort},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.reads);
        Databases databases;
        databases.groups.entries = {{"alice", 1000, {"alice"}}, {"staff", 50, {"carol"}}, {"second", 1000, {"bob"}}};
        databases.users.entries = {{"root", 0}, {"alice", 1000}, {"carol", 50}, {"dave", 1000}};
        if (row.noGroups) {
            databases.groups.entries.clear();
        }
        databases.groups.failAt = row.groupFailsAt;
        databases.users.failAt = row.userFailsAt;
        databases.groups.needs = databases.users.needs = row.needs;
        const GroupHolders holders = walkHolders(1000, databases.readers());
        EXPECT_EQ(holders.read, row.read);
        if (row.read == GroupHolders::Read::whole) {
            EXPECT_EQ(holders.names, row.names);
        }
    }
}

// A walk that the test lets end when it chooses, counting the walks begun.
class HeldWalks {
public:
    GroupHolders walk(unsigned gid)
    {
        std::unique_lock lock(m_mutex);
        const int number = ++m_begun;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released >= number; });
        return {GroupHolders::Read::whole, {QStringLiteral("walk %1 of %2").arg(number).arg(gid)}};
    }
    void release(int count)
    {
        const std::lock_guard lock(m_mutex);
        m_released = count;
        m_changed.notify_all();
    }
    int begun()
    {
        const std::lock_guard lock(m_mutex);
        return m_begun;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_begun = 0;
    int m_released = 0;
};

// Asks until the answer is `names`; fails the test when it is not within a minute.
GroupHolders answerOnceItIs(const RememberedHolders &remembered, unsigned gid, const QStringList &names)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    GroupHolders holders = remembered.holders(gid);
    while (holders.names != names) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ADD_FAILURE() << "the answer did not come to be " << names.join(", ").toStdString() << " within a minute";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        holders = remembered.holders(gid);
    }
    return holders;
}

TEST(RememberedHolders, AnswersFromAWalkOffTheAskersThreadAndWalksAgainAfterAMinute)
{
    auto walks = std::make_shared<HeldWalks>();
    std::atomic<RememberedHolders::Clock::time_point> now{RememberedHolders::Clock::time_point{}};
    const RememberedHolders remembered([walks](unsigned gid) { return walks->walk(gid); }, std::chrono::milliseconds(1),
                                       [&] { return now.load(); });
    // Nothing known yet: the asker does not wait for the walk.
    EXPECT_EQ(remembered.holders(7).read, GroupHolders::Read::underway);
    remembered.readAhead(7);
    walks->release(1);
    EXPECT_EQ(answerOnceItIs(remembered, 7, {QStringLiteral("walk 1 of 7")}).read, GroupHolders::Read::whole);
    now = now.load() + std::chrono::seconds(59);
    EXPECT_EQ(remembered.holders(7).names, QStringList{QStringLiteral("walk 1 of 7")});
    EXPECT_EQ(walks->begun(), 1);
    // Past a minute the old answer stands while the next walk runs.
    now = now.load() + std::chrono::seconds(2);
    EXPECT_EQ(remembered.holders(7).names, QStringList{QStringLiteral("walk 1 of 7")});
    EXPECT_EQ(remembered.holders(7).names, QStringList{QStringLiteral("walk 1 of 7")});
    walks->release(2);
    EXPECT_EQ(answerOnceItIs(remembered, 7, {QStringLiteral("walk 2 of 7")}).names, QStringList{QStringLiteral("walk 2 of 7")});
    EXPECT_EQ(walks->begun(), 2);
}

// The walk begun ahead at start-up is the one the first question waits for, as it would for a
// walk of its own.
TEST(RememberedHolders, TheFirstQuestionWaitsForTheWalkBegunAhead)
{
    auto walks = std::make_shared<HeldWalks>();
    const RememberedHolders remembered([walks](unsigned gid) { return walks->walk(gid); }, std::chrono::seconds(10));
    remembered.readAhead(7);
    std::thread releaser([walks] {
        while (walks->begun() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        walks->release(1);
    });
    const GroupHolders holders = remembered.holders(7);
    releaser.join();
    EXPECT_EQ(holders.read, GroupHolders::Read::whole);
    EXPECT_EQ(holders.names, QStringList{QStringLiteral("walk 1 of 7")});
    EXPECT_EQ(walks->begun(), 1);
}

} // namespace
} // namespace cordavelle
