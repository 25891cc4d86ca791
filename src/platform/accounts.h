#pragma once

#include <QString>
#include <QStringList>

#include <optional>

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

// The user and group databases, for telling whether a group can hold anyone but its owner.
class Accounts {
public:
    virtual ~Accounts() = default;
    // Nothing when no account has the id.
    virtual std::optional<UserAccount> user(unsigned uid) const = 0;
    // Nothing when no group has the id.
    virtual std::optional<GroupAccount> group(unsigned gid) const = 0;
    // The names of the accounts whose primary group is `gid`; nothing when the user database
    // could not be read to its end.
    virtual std::optional<QStringList> primaryMembers(unsigned gid) const = 0;
};

// getpwuid_r, getgrgid_r and a walk of the user database (getpwent_r), through NSS.
class SystemAccounts final : public Accounts {
public:
    std::optional<UserAccount> user(unsigned uid) const override;
    std::optional<GroupAccount> group(unsigned gid) const override;
    std::optional<QStringList> primaryMembers(unsigned gid) const override;
};

// Whether `gid` is a private group: the primary group of the account `uid` and named as it,
// which nobody else belongs to, whether listed as a member or through a primary group of their
// own. Writing through such a group is writing as that account. A group or account the databases
// don't know, or a group whose members can't all be read, is no private group.
bool isPrivateGroupOf(const Accounts &accounts, unsigned gid, unsigned uid);

} // namespace cordavelle
