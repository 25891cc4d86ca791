#include "entry_writers.h"

#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <vector>

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace cordavelle {

namespace {

struct AccessEntry {
    unsigned tag = 0;
    unsigned permissions = 0;
    unsigned id = 0;
};

// The entries of the access list of `path` (not followed if it is a link); empty where it has
// none or its file system keeps none; nothing, with errno set, where it can't be read.
std::optional<std::vector<AccessEntry>> accessList(const QString &path, EntryWriters::ReadAttribute readAttribute)
{
    const QByteArray name = QFile::encodeName(path);
    std::vector<char> buffer(256);
    ssize_t size = -1;
    for (;;) {
        size = readAttribute(name.constData(), "system.posix_acl_access", buffer.data(), buffer.size());
        if (size >= 0) {
            break;
        }
        if (errno == ENODATA || errno == ENOTSUP) {
            return std::vector<AccessEntry>{};
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
        const ssize_t needed = readAttribute(name.constData(), "system.posix_acl_access", nullptr, 0);
        if (needed < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<size_t>(needed) + 64);
    }
    const auto usize = static_cast<size_t>(size);
    if (usize < sizeof(posix_acl_xattr_header) || (usize - sizeof(posix_acl_xattr_header)) % sizeof(posix_acl_xattr_entry) != 0 ||
        qFromLittleEndian<quint32>(buffer.data()) != POSIX_ACL_XATTR_VERSION) {
        errno = EINVAL;
        return std::nullopt;
    }
    std::vector<AccessEntry> entries;
    for (size_t at = sizeof(posix_acl_xattr_header); at < usize; at += sizeof(posix_acl_xattr_entry)) {
        const char *entry = buffer.data() + at;
        entries.push_back({qFromLittleEndian<quint16>(entry), qFromLittleEndian<quint16>(entry + 2),
                           qFromLittleEndian<quint32>(entry + 4)});
    }
    return entries;
}

} // namespace

std::optional<QString> EntryWriters::of(const QString &path, const struct stat &st)
{
    if ((st.st_mode & S_IWOTH) != 0) {
        return QStringLiteral("is writable by others");
    }
    const std::optional<std::vector<AccessEntry>> entries = accessList(path, m_readAttribute);
    if (!entries) {
        return QStringLiteral("has an access list that can't be read (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (entries->empty()) {
        return (st.st_mode & S_IWGRP) != 0 ? byGroup(st.st_gid) : std::nullopt;
    }
    // Where an access list names users or groups, the mode's group bits are its mask, which bounds
    // what every named entry and the owning group may do.
    unsigned mask = ACL_READ | ACL_WRITE | ACL_EXECUTE;
    for (const AccessEntry &entry : *entries) {
        if (entry.tag == ACL_MASK) {
            mask = entry.permissions;
        }
    }
    for (const AccessEntry &entry : *entries) {
        if ((entry.permissions & mask & ACL_WRITE) == 0) {
            continue;
        }
        if (entry.tag == ACL_USER && entry.id != 0 && entry.id != ::geteuid()) {
            const std::optional<UserAccount> user = m_accounts.user(entry.id);
            return QStringLiteral("gives write to the user %1 through an access list").arg(user ? user->name : QString::number(entry.id));
        }
        if (entry.tag == ACL_GROUP && privacy(entry.id) != PrivateGroup::yes) {
            return QStringLiteral("gives write to the group %1 through an access list").arg(groupName(entry.id));
        }
        if (entry.tag == ACL_GROUP_OBJ) {
            if (auto writers = byGroup(st.st_gid)) {
                return writers;
            }
        }
    }
    return std::nullopt;
}

PrivateGroup EntryWriters::privacy(unsigned gid)
{
    auto known = m_groups.find(gid);
    if (known == m_groups.end()) {
        const PrivateGroup own = privateGroupOf(m_accounts, gid, ::geteuid());
        const PrivateGroup roots = own == PrivateGroup::yes ? own : privateGroupOf(m_accounts, gid, 0);
        const PrivateGroup either = own == PrivateGroup::yes || roots == PrivateGroup::yes ? PrivateGroup::yes
                                    : own == PrivateGroup::notReadYet || roots == PrivateGroup::notReadYet
                                        ? PrivateGroup::notReadYet
                                        : PrivateGroup::no;
        known = m_groups.emplace(gid, either).first;
    }
    return known->second;
}

std::optional<QString> EntryWriters::byGroup(unsigned gid)
{
    switch (privacy(gid)) {
    case PrivateGroup::yes:
        return std::nullopt;
    case PrivateGroup::notReadYet:
        return QStringLiteral("is writable by the group %1, whose members are still being read").arg(groupName(gid));
    case PrivateGroup::no:
        break;
    }
    return QStringLiteral("is writable by the group %1, which can hold other users").arg(groupName(gid));
}

QString EntryWriters::groupName(unsigned gid) const
{
    const std::optional<GroupAccount> group = m_accounts.group(gid);
    return group ? group->name : QString::number(gid);
}

} // namespace cordavelle
