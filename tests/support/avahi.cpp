#include "avahi.h"

#include "child_processes.h"
#include "event_wait.h"

#include <QProcess>
#include <QRegularExpression>

namespace cordavelle::test {

namespace {

std::optional<QByteArray> runCommandToEnd(const QString &program, const QStringList &arguments, std::chrono::milliseconds limit)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = processEventsUntil([&] { return process.state() == QProcess::NotRunning; }, limit);
    if (!finished) {
        stopProcess(process);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

// avahi-browse writes some bytes as a backslash and three decimal digits, and escapes "." and
// "\\" with a backslash.
QString unescape(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    auto digit = [&](qsizetype i) { return i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; };
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\\' || i + 1 >= bytes.size()) {
            out += bytes[i];
        } else if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
            out += char(bytes.mid(i + 1, 3).toInt());
            i += 3;
        } else {
            out += bytes[++i];
        }
    }
    return QString::fromUtf8(out);
}

// The service of a line "=;lo;IPv4;<name>;<type>;<domain>;<host>;<address>;<port>;<txt>", which
// avahi-browse prints once it has resolved one.
std::optional<AvahiBrowseEntry> resolved(const QList<QByteArray> &fields)
{
    if (fields.size() < 10 || fields[0] != "=") {
        return std::nullopt;
    }
    static const QRegularExpression quoted(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    AvahiBrowseEntry entry;
    entry.name = unescape(QString::fromUtf8(fields[3]));
    entry.type = QString::fromUtf8(fields[4]);
    entry.port = fields[8].toInt();
    const QString txt = QString::fromUtf8(fields.mid(9).join(';'));
    for (auto it = quoted.globalMatch(txt); it.hasNext();) {
        entry.txt << unescape(it.next().captured(1));
    }
    return entry;
}

} // namespace

bool avahiReachable()
{
    static const bool reachable =
        runCommandToEnd(QStringLiteral("avahi-browse"), {"--terminate", "--parsable", "_cordavelle-probe._tcp"},
                 std::chrono::seconds(5))
            .has_value();
    return reachable;
}

std::optional<QList<AvahiBrowseEntry>> avahiBrowse(const QString &type, std::chrono::milliseconds limit)
{
    const auto output = runCommandToEnd(QStringLiteral("avahi-browse"), {"-rtp", type}, limit);
    if (!output) {
        return std::nullopt;
    }
    QList<AvahiBrowseEntry> entries;
    for (const QByteArray &line : output->split('\n')) {
        if (auto entry = resolved(line.split(';'))) {
            entries << *entry;
        }
    }
    return entries;
}

AvahiBrowser::AvahiBrowser(const QString &type)
{
    m_process.start(QStringLiteral("avahi-browse"), {"-rp", type});
}

AvahiBrowser::~AvahiBrowser()
{
    stopProcess(m_process);
}

QList<AvahiBrowseEntry> AvahiBrowser::services()
{
    QList<QByteArray> lines = (m_partialLine + m_process.readAllStandardOutput()).split('\n');
    m_partialLine = lines.takeLast();
    for (const QByteArray &line : lines) {
        // -;lo;IPv4;<name>;<type>;<domain> once a service is withdrawn.
        const QList<QByteArray> fields = line.split(';');
        const QByteArray key = fields.mid(1, 3).join(';');
        if (auto entry = resolved(fields)) {
            m_services[key] = *entry;
        } else if (fields.value(0) == "-") {
            m_services.erase(key);
        }
    }
    QList<AvahiBrowseEntry> services;
    for (const auto &[key, entry] : m_services) {
        services << entry;
    }
    return services;
}

} // namespace cordavelle::test
