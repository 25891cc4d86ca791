#include "system_info.h"

#include <QFile>

#include <sys/utsname.h>
#include <unistd.h>

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

UnameSystemInfo::UnameSystemInfo(QString machineInfoFile) : m_machineInfoFile(std::move(machineInfoFile)) {}

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

unsigned currentUserId() { return ::getuid(); }

} // namespace cordavelle
