#include "accounts.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <mutex>
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

std::optional<QStringList> SystemAccounts::primaryMembers(unsigned gid) const
{
    // The walk's position is shared by the whole process.
    static std::mutex walking;
    const std::lock_guard lock(walking);
    QStringList names;
    std::vector<char> buffer(startSize(_SC_GETPW_R_SIZE_MAX));
    ::setpwent();
    for (;;) {
        passwd entry{};
        passwd *found = nullptr;
        const int error = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxEntrySize) {
            // The entry that did not fit is read again with the larger buffer.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == ENOENT || (error == 0 && !found)) {
            break;
        }
        if (error != 0) {
            // A walk cut short may have missed an account that shares the group.
            ::endpwent();
            return std::nullopt;
        }
        if (entry.pw_gid == static_cast<gid_t>(gid)) {
            names.append(QFile::decodeName(entry.pw_name));
        }
    }
    ::endpwent();
    return names;
}

bool isPrivateGroupOf(const Accounts &accounts, unsigned gid, unsigned uid)
{
    const std::optional<UserAccount> owner = accounts.user(uid);
    if (!owner || owner->primaryGroup != gid) {
        return false;
    }
    const std::optional<GroupAccount> group = accounts.group(gid);
    if (!group || group->name != owner->name) {
        return false;
    }
    const auto onlyOwner = [&](const QStringList &names) {
        return std::all_of(names.cbegin(), names.cend(), [&](const QString &name) { return name == owner->name; });
    };
    const std::optional<QStringList> primaryMembers = accounts.primaryMembers(gid);
    return primaryMembers && onlyOwner(group->members) && onlyOwner(*primaryMembers);
}

} // namespace cordavelle
