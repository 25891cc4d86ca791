#include "login_item.h"

#include "files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace cordavelle {

namespace {

const QString kReservedExecCharacters = QStringLiteral(" \t\n\"'\\><~|&;$*?#`=()");

// Escapes a desktop-entry string value: a backslash and the control characters it can name.
QString escapeStringValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString autostartFolder, QString identifier, QString executable)
    : m_folder(std::move(autostartFolder)), m_identifier(std::move(identifier)), m_executable(std::move(executable))
{
}

QString XdgAutostartLoginItem::filePath() const
{
    return m_folder + QLatin1Char('/') + m_identifier + QStringLiteral(".desktop");
}

QString XdgAutostartLoginItem::defaultAutostartFolder(const QString &configHome)
{
    return configHome + QStringLiteral("/autostart");
}

QString XdgAutostartLoginItem::runningExecutable()
{
    if (QCoreApplication::instance()) {
        return QCoreApplication::applicationFilePath();
    }
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

QString XdgAutostartLoginItem::quoteExecArgument(const QString &argument)
{
    QString arg = argument;
    // A literal percent sign would otherwise read as a field code.
    arg.replace(QLatin1Char('%'), QStringLiteral("%%"));
    bool reserved = arg.isEmpty();
    for (const QChar c : arg) {
        if (kReservedExecCharacters.contains(c)) {
            reserved = true;
            break;
        }
    }
    if (reserved) {
        QString quoted = QStringLiteral("\"");
        for (const QChar c : arg) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
                quoted += QLatin1Char('\\');
            }
            quoted += c;
        }
        quoted += QLatin1Char('"');
        arg = quoted;
    }
    return escapeStringValue(arg);
}

QString XdgAutostartLoginItem::desktopEntry() const
{
    QString text;
    QTextStream out(&text);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Cordavelle Helper\n"
        << "Exec=" << quoteExecArgument(m_executable) << "\n"
        // The icon theme's name of the application's icon, as the installed menu entry has it.
        << "Icon=" << m_identifier << "\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
    return text;
}

LoginItem::Status XdgAutostartLoginItem::status() const
{
    QFile file(filePath());
    if (!file.exists()) {
        return Status::notRegistered;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return Status::notRegistered;
    }
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && line.left(eq).trimmed() == QLatin1String("Hidden")
            && line.mid(eq + 1).trimmed() == QLatin1String("true")) {
            return Status::notRegistered;
        }
    }
    return Status::enabled;
}

std::optional<QString> XdgAutostartLoginItem::registerItem()
{
    if (m_executable.isEmpty()) {
        return QStringLiteral("The running executable could not be determined");
    }
    if (!QDir().mkpath(m_folder)) {
        return QStringLiteral("Could not create %1").arg(m_folder);
    }
    try {
        writeFileAtomically(filePath(), desktopEntry().toUtf8());
    } catch (const FileError &error) {
        return error.description();
    }
    return std::nullopt;
}

std::optional<QString> XdgAutostartLoginItem::unregisterItem()
{
    QFile file(filePath());
    if (!file.exists()) {
        return std::nullopt;
    }
    if (!file.remove()) {
        return QStringLiteral("Could not remove %1: %2").arg(filePath(), file.errorString());
    }
    return std::nullopt;
}

} // namespace cordavelle
