#pragma once

#include "platform/accounts.h"

#include <map>

namespace cordavelle::test {

// User and group databases that hold what the test put in them.
class FixedAccounts final : public Accounts {
public:
    std::optional<UserAccount> user(unsigned uid) const override
    {
        const auto found = users.find(uid);
        return found == users.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<GroupAccount> group(unsigned gid) const override
    {
        const auto found = groups.find(gid);
        return found == groups.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<QStringList> primaryMembers(unsigned gid) const override
    {
        if (usersUnreadable) {
            return std::nullopt;
        }
        QStringList names;
        for (const auto &[uid, account] : users) {
            if (account.primaryGroup == gid) {
                names.append(account.name);
            }
        }
        return names;
    }

    std::map<unsigned, UserAccount> users;
    std::map<unsigned, GroupAccount> groups;
    // The user database fails before its end.
    bool usersUnreadable = false;
};

} // namespace cordavelle::test
