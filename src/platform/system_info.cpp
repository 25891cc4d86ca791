#include "system_info.h"

#include <QFile>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>

namespace cordavelle {

namespace {

// A value of an environment-style file: double quotes (with backslash escapes), single quotes
// (literal) and backslash escapes outside quotes; blanks around an unquoted value don't count.
QString environmentValue(const QString &raw)
{
    const QString text = raw.trimmed();
    QString value;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            for (++i; i < text.size() && text[i] != u'"'; ++i) {
                if (text[i] == u'\\' && i + 1 < text.size()) {
                    ++i;
                }
                value += text[i];
            }
        } else if (c == u'\'') {
            for (++i; i < text.size() && text[i] != u'\''; ++i) {
                value += text[i];
            }
        } else if (c == u'\\' && i + 1 < text.size()) {
            value += text[++i];
        } else {
            value += c;
        }
    }
    return value;
}

QString prettyHostName(const QString &machineInfoFile)
{
    QFile file(machineInfoFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QString key = QStringLiteral("PRETTY_HOSTNAME=");
    QString name;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(key)) {
            name = environmentValue(trimmed.mid(key.size()));
        }
    }
    return name.trimmed().isEmpty() ? QString() : name;
}

} // namespace

UnameSystemInfo::UnameSystemInfo(QString machineInfoFile, QString unprivilegedPortFile)
    : m_machineInfoFile(std::move(machineInfoFile)), m_unprivilegedPortFile(std::move(unprivilegedPortFile))
{
}

QString UnameSystemInfo::machineArchitecture() const
{
    utsname name{};
    if (uname(&name) != 0) {
        return {};
    }
    return QString::fromLatin1(name.machine);
}

QString UnameSystemInfo::hostName() const
{
    if (QString pretty = prettyHostName(m_machineInfoFile); !pretty.isEmpty()) {
        return pretty;
    }
    utsname name{};
    if (uname(&name) != 0) {
        return {};
    }
    return QString::fromLocal8Bit(name.nodename);
}

int UnameSystemInfo::lowestBindablePort() const
{
    // Asked of the kernel directly: the C library has no call for it.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) == 0
        && (data[CAP_NET_BIND_SERVICE / 32].effective & (1U << (CAP_NET_BIND_SERVICE % 32))) != 0) {
        return 1;
    }
    return unprivilegedPortStart();
}

int UnameSystemInfo::unprivilegedPortStart() const
{
    constexpr int kernelDefault = 1024;
    QFile file(m_unprivilegedPortFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return kernelDefault;
    }
    bool isNumber = false;
    const int start = file.read(16).trimmed().toInt(&isNumber);
    if (!isNumber || start < 0 || start > 65535) {
        return kernelDefault;
    }
    // 0 leaves every port to every user; port 0 itself is no port to listen on.
    return std::max(start, 1);
}

unsigned currentUserId() { return ::getuid(); }

} // namespace cordavelle
