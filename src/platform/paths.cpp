#include "paths.h"

#include "files.h"

#include <QDir>

#include <unistd.h>

namespace cordavelle {

namespace {

QString envOr(const char *name, const QString &fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

} // namespace

QString Paths::privateTemporary() const
{
    // The shared temporary folder is open to every user; the per-user folder inside it is not.
    const QString folder = temporary() + QStringLiteral("/cordavelle-helper-") + QString::number(::geteuid());
    makePrivateFolder(folder);
    return folder;
}

QString XdgPaths::home() const { return envOr("HOME", QDir::homePath()); }

QString XdgPaths::applicationSupport() const
{
    return envOr("XDG_DATA_HOME", home() + QStringLiteral("/.local/share"));
}

QString XdgPaths::preferences() const
{
    return envOr("XDG_CONFIG_HOME", home() + QStringLiteral("/.config")) + QStringLiteral("/cordavelle-helper");
}

QString XdgPaths::temporary() const { return envOr("TMPDIR", QStringLiteral("/tmp")); }

RootedPaths::RootedPaths(QString root) : m_root(std::move(root)) {}

QString RootedPaths::applicationSupport() const { return m_root + QStringLiteral("/home/.local/share"); }
QString RootedPaths::preferences() const { return m_root + QStringLiteral("/home/.config/cordavelle-helper"); }
QString RootedPaths::home() const { return m_root + QStringLiteral("/home"); }
QString RootedPaths::temporary() const { return m_root + QStringLiteral("/tmp"); }

} // namespace cordavelle
