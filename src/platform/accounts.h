#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <grp.h>
#include <pwd.h>

namespace cordavelle {

// A user account as the system's user database (NSS) knows it.
struct UserAccount {
    QString name;
    unsigned primaryGroup = 0;
};

// A group as the system's group database knows it.
struct GroupAccount {
    QString name;
    // The users the group database lists as its members; users who have the group as their
    // primary group are not listed here.
    QStringList members;
};

// Everyone a group holds, as far as the databases were read: the members listed by every group
// entry with its id (a second entry may share the id and list others) and the accounts whose
// primary group it is.
struct GroupHolders {
    enum class Read {
        // `names` is everyone.
        whole,
        // A database could not be read to its end: anyone may be missing from `names`.
        cutShort,
        // The databases are still being read; nothing is known yet.
        underway,
    };
    Read read = Read::whole;
    QStringList names;
};

// The user and group databases, for telling whether a group can hold anyone but its owner.
class Accounts {
public:
    virtual ~Accounts() = default;
    // Nothing when no account has the id.
    virtual std::optional<UserAccount> user(unsigned uid) const = 0;
    // The first entry with the id, which names the group; nothing when no group has the id.
    virtual std::optional<GroupAccount> group(unsigned gid) const = 0;
    // Reading who a group holds means reading both databases whole, which may be large or behind
    // a slow directory server: the answer may be remembered, and may still be underway.
    virtual GroupHolders holders(unsigned gid) const = 0;
    // Starts reading who `gid` holds, where reading takes time, so that the answer is there when
    // it is asked for.
    virtual void readAhead(unsigned /*gid*/) const {}
};

// The databases' readers, one entry per call: getpwent_r and getgrent_r, or a test's stand-in.
struct AccountReaders {
    std::function<int(passwd *, char *, size_t, passwd **)> nextUser = ::getpwent_r;
    std::function<int(group *, char *, size_t, group **)> nextGroup = ::getgrent_r;
};

// Walks both databases once for who `gid` holds; a walk that fails part-way reads cutShort.
GroupHolders walkHolders(unsigned gid, const AccountReaders &readers = {});

// Remembers who each group holds for a minute; each walk runs on a thread of its own, and a
// question waits at most `wait` for it: past that, a question never answered before reads
// underway, and one answered over a minute ago gets that answer while the next walk runs.
class RememberedHolders {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRemembered{60};

    explicit RememberedHolders(std::function<GroupHolders(unsigned)> walk, std::chrono::milliseconds wait,
                               std::function<Clock::time_point()> now = &Clock::now);
    GroupHolders holders(unsigned gid) const;
    void readAhead(unsigned gid) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// getpwuid_r, getgrgid_r and walks of both databases through NSS, remembered.
class SystemAccounts final : public Accounts {
public:
    // A question never asked before waits this long for its walk, the walk that the helper's
    // start began ahead being usually done by then: a check asks at most two such questions (for
    // the user's group and root's), within the 20 ms that the window's thread may spend on one.
    static const std::chrono::milliseconds kFirstWait;

    explicit SystemAccounts(std::chrono::milliseconds firstWait = kFirstWait);
    std::optional<UserAccount> user(unsigned uid) const override;
    std::optional<GroupAccount> group(unsigned gid) const override;
    GroupHolders holders(unsigned gid) const override;
    void readAhead(unsigned gid) const override;

private:
    RememberedHolders m_holders;
};

// Whether a group is the private group of an account.
enum class PrivateGroup { yes, no, notReadYet };

// Whether `gid` is a private group: the primary group of the account `uid` and named as it,
// which nobody else belongs to, whether listed as a member of any entry with the id or through a
// primary group of their own. Writing through such a group is writing as that account. A group
// or account the databases don't know, or a group whose holders can't all be read, is no private
// group. The databases are walked only when the group's name and members leave it open.
PrivateGroup privateGroupOf(const Accounts &accounts, unsigned gid, unsigned uid);

// Starts reading ahead the groups that `privateGroupOf` will walk for `uid` and for root.
void readOwnGroupsAhead(const Accounts &accounts, unsigned uid);

} // namespace cordavelle
