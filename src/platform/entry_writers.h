#pragma once

#include "accounts.h"

#include <QString>

#include <map>
#include <optional>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace cordavelle {

// Tells who besides root and this user may write to a file or folder, through its mode bits and
// its access list. Write through a group adds a writer only when the group can hold another user:
// a private group of this user (as every user has where the session's umask is 002) or of root
// holds nobody else. Each group's answer is kept for the life of the object (one look at a path).
class EntryWriters {
public:
    // Reads an extended attribute of a path without following a link, as lgetxattr().
    using ReadAttribute = ssize_t (*)(const char *path, const char *name, void *value, size_t size);

    explicit EntryWriters(const Accounts &accounts, ReadAttribute readAttribute = ::lgetxattr)
        : m_accounts(accounts), m_readAttribute(readAttribute)
    {
    }

    // Who else may write to `path`, whose lstat() is `st`, said after "the folder …" ("is
    // writable by others", "gives write to the user bob through an access list"); nothing when
    // nobody.
    std::optional<QString> of(const QString &path, const struct stat &st);

private:
    PrivateGroup privacy(unsigned gid);
    std::optional<QString> byGroup(unsigned gid);
    QString groupName(unsigned gid) const;

    const Accounts &m_accounts;
    ReadAttribute m_readAttribute;
    std::map<unsigned, PrivateGroup> m_groups;
};

} // namespace cordavelle
