#include "accounts.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace cordavelle {

namespace {

// The buffer size the system suggests for one entry, grown on ERANGE up to a bound that no sane
// entry reaches (a group listing thousands of members).
constexpr size_t kMaxEntrySize = size_t{1} << 24;

size_t startSize(int name)
{
    const long suggested = ::sysconf(name);
    return suggested > 0 ? static_cast<size_t>(suggested) : 4096;
}

} // namespace

std::optional<UserAccount> SystemAccounts::user(unsigned uid) const
{
    std::vector<char> buffer(startSize(_SC_GETPW_R_SIZE_MAX));
    for (;;) {
        passwd entry{};
        passwd *found = nullptr;
        const int error = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxEntrySize) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found) {
            return std::nullopt;
        }
        return UserAccount{QFile::decodeName(entry.pw_name), static_cast<unsigned>(entry.pw_gid)};
    }
}

std::optional<GroupAccount> SystemAccounts::group(unsigned gid) const
{
    std::vector<char> buffer(startSize(_SC_GETGR_R_SIZE_MAX));
    for (;;) {
        struct group entry {};
        struct group *found = nullptr;
        const int error = ::getgrgid_r(static_cast<gid_t>(gid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxEntrySize) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found) {
            return std::nullopt;
        }
        GroupAccount account{QFile::decodeName(entry.gr_name), {}};
        for (char **member = entry.gr_mem; member && *member; ++member) {
            account.members.append(QFile::decodeName(*member));
        }
        return account;
    }
}

namespace {

// Reads one database to its end with `next`, handing each entry to `take`; false when the read
// failed before the end. The system reads a database it could not open (no descriptor left) as one
// that ends at once, so one without a single entry (not even root's) counts as unread.
template <typename Entry, typename Next, typename Take>
bool readWhole(const Next &next, const Take &take)
{
    std::vector<char> buffer(4096);
    bool any = false;
    for (;;) {
        Entry entry{};
        Entry *found = nullptr;
        const int error = next(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxEntrySize) {
            // The entry that did not fit is read again with the larger buffer.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == ENOENT || (error == 0 && !found)) {
            return any;
        }
        if (error != 0) {
            return false;
        }
        any = true;
        take(entry);
    }
}

} // namespace

GroupHolders walkHolders(unsigned gid, const AccountReaders &readers)
{
    // The walks' positions are shared by the whole process.
    static std::mutex walking;
    const std::lock_guard lock(walking);
    GroupHolders holders;
    ::setgrent();
    const bool groupsWhole = readWhole<struct group>(readers.nextGroup, [&](const struct group &entry) {
        if (entry.gr_gid == static_cast<gid_t>(gid)) {
            for (char **member = entry.gr_mem; member && *member; ++member) {
                holders.names.append(QFile::decodeName(*member));
            }
        }
    });
    ::endgrent();
    ::setpwent();
    const bool usersWhole = readWhole<passwd>(readers.nextUser, [&](const passwd &entry) {
        if (entry.pw_gid == static_cast<gid_t>(gid)) {
            holders.names.append(QFile::decodeName(entry.pw_name));
        }
    });
    ::endpwent();
    // A walk cut short may have missed an account that shares the group.
    holders.read = groupsWhole && usersWhole ? GroupHolders::Read::whole : GroupHolders::Read::cutShort;
    return holders;
}

struct RememberedHolders::State {
    struct Answer {
        std::optional<GroupHolders> holders;
        Clock::time_point readAt;
        bool walking = false;
    };
    std::function<GroupHolders(unsigned)> walk;
    std::chrono::milliseconds wait;
    std::function<Clock::time_point()> now;
    std::mutex mutex;
    std::condition_variable answered;
    std::map<unsigned, Answer> answers;
};

RememberedHolders::RememberedHolders(std::function<GroupHolders(unsigned)> walk, std::chrono::milliseconds wait,
                                     std::function<Clock::time_point()> now)
    : m_state(std::make_shared<State>())
{
    m_state->walk = std::move(walk);
    m_state->wait = wait;
    m_state->now = std::move(now);
}

namespace {

// Starts a walk for `gid` unless one runs or a fresh answer is there, saying whether it did;
// `state`'s mutex is held.
template <typename State>
bool startWalk(const std::shared_ptr<State> &state, unsigned gid, typename State::Answer &answer)
{
    // A walk cut short is no answer to keep: the next question walks again.
    const bool fresh = answer.holders && answer.holders->read == GroupHolders::Read::whole
                       && state->now() - answer.readAt < RememberedHolders::kRemembered;
    if (answer.walking || fresh) {
        return false;
    }
    // The thread holds the state, so that an answer arriving after its asker went is dropped safely.
    try {
        std::thread([state, gid] {
            GroupHolders holders = state->walk(gid);
            const std::lock_guard lock(state->mutex);
            typename State::Answer &answer = state->answers[gid];
            answer.holders = std::move(holders);
            answer.readAt = state->now();
            answer.walking = false;
            state->answered.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        // No thread to walk with: the group reads as not read yet, and the next question tries again.
        return false;
    }
    answer.walking = true;
    return true;
}

} // namespace

GroupHolders RememberedHolders::holders(unsigned gid) const
{
    std::unique_lock lock(m_state->mutex);
    State::Answer &answer = m_state->answers[gid];
    // An answer older than a minute still answers when the next walk takes longer than the wait,
    // and while it runs.
    if (startWalk(m_state, gid, answer) || !answer.holders) {
        m_state->answered.wait_for(lock, m_state->wait, [&] { return !answer.walking; });
    }
    return answer.holders ? *answer.holders : GroupHolders{GroupHolders::Read::underway, {}};
}

void RememberedHolders::readAhead(unsigned gid) const
{
    const std::lock_guard lock(m_state->mutex);
    startWalk(m_state, gid, m_state->answers[gid]);
}

const std::chrono::milliseconds SystemAccounts::kFirstWait{8};

SystemAccounts::SystemAccounts(std::chrono::milliseconds firstWait)
    : m_holders([](unsigned gid) { return walkHolders(gid); }, firstWait)
{
}

GroupHolders SystemAccounts::holders(unsigned gid) const { return m_holders.holders(gid); }

void SystemAccounts::readAhead(unsigned gid) const { m_holders.readAhead(gid); }

PrivateGroup privateGroupOf(const Accounts &accounts, unsigned gid, unsigned uid)
{
    const std::optional<UserAccount> owner = accounts.user(uid);
    if (!owner || owner->primaryGroup != gid) {
        return PrivateGroup::no;
    }
    const std::optional<GroupAccount> group = accounts.group(gid);
    const auto onlyOwner = [&](const QStringList &names) {
        return std::all_of(names.cbegin(), names.cend(), [&](const QString &name) { return name == owner->name; });
    };
    if (!group || group->name != owner->name || !onlyOwner(group->members)) {
        return PrivateGroup::no;
    }
    const GroupHolders holders = accounts.holders(gid);
    switch (holders.read) {
    case GroupHolders::Read::underway:
        return PrivateGroup::notReadYet;
    case GroupHolders::Read::cutShort:
        return PrivateGroup::no;
    case GroupHolders::Read::whole:
        break;
    }
    return onlyOwner(holders.names) ? PrivateGroup::yes : PrivateGroup::no;
}

void readOwnGroupsAhead(const Accounts &accounts, unsigned uid)
{
    for (const unsigned account : {uid, 0U}) {
        const std::optional<UserAccount> owner = accounts.user(account);
        const std::optional<GroupAccount> group = owner ? accounts.group(owner->primaryGroup) : std::nullopt;
        if (group && group->name == owner->name) {
            accounts.readAhead(owner->primaryGroup);
        }
    }
}

} // namespace cordavelle
