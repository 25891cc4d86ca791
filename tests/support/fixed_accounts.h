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
    GroupHolders holders(unsigned gid) const override
    {
        if (holdersRead != GroupHolders::Read::whole) {
            return {holdersRead, {}};
        }
        GroupHolders holders;
        const auto [first, end] = sameIdGroups.equal_range(gid);
        for (auto entry = first; entry != end; ++entry) {
            holders.names += entry->second.members;
        }
        if (const auto found = groups.find(gid); found != groups.end()) {
            holders.names += found->second.members;
        }
        for (const auto &[uid, account] : users) {
            if (account.primaryGroup == gid) {
                holders.names.append(account.name);
            }
        }
        return holders;
    }

    std::map<unsigned, UserAccount> users;
    // The first entry of each group id, which names it.
    std::map<unsigned, GroupAccount> groups;
    // Further entries with an id of `groups`.
    std::multimap<unsigned, GroupAccount> sameIdGroups;
    // How far the databases could be read.
    GroupHolders::Read holdersRead = GroupHolders::Read::whole;
};

} // namespace cordavelle::test
