#include "log_sink.h"

#include "platform.h"

#include <algorithm>

namespace cordavelle {

namespace {

constexpr LogLevel kLevels[] = {LogLevel::Debug, LogLevel::Info, LogLevel::Notice, LogLevel::Error, LogLevel::Fault};

} // namespace

const char *logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Notice: return "notice";
    case LogLevel::Error: return "error";
    case LogLevel::Fault: return "fault";
    }
    return "notice";
}

std::optional<LogLevel> logLevelFromName(const QString &name)
{
    for (const LogLevel level : kLevels) {
        if (name.compare(QLatin1String(logLevelName(level)), Qt::CaseInsensitive) == 0) {
            return level;
        }
    }
    return std::nullopt;
}

std::unique_ptr<StderrLogSink> StderrLogSink::fromEnvironment(std::FILE *stream)
{
    auto sink = std::make_unique<StderrLogSink>(stream);
    const QString asked = qEnvironmentVariable(kLevelVariable).trimmed();
    if (asked.isEmpty()) {
        return sink;
    }
    if (const auto level = logLevelFromName(asked)) {
        sink->m_minimumLevel = *level;
    } else {
        sink->write(LogLevel::Error, kApplicationIdentifier, QStringLiteral("general"),
                    QStringLiteral("%1=\"%2\" is not one of debug, info, notice, error, fault; logging from %3 on")
                        .arg(QLatin1String(kLevelVariable), asked, QLatin1String(logLevelName(kDefaultMinimumLevel))));
    }
    return sink;
}

namespace {

bool isControlCharacter(char16_t u) { return u < 0x20 || u == 0x7f || (u >= 0x80 && u <= 0x9f); }

} // namespace

QString StderrLogSink::escapedControlCharacters(const QString &text)
{
    // Most messages have none: hand those back as they are, without a copy.
    const auto first = std::find_if(text.cbegin(), text.cend(), [](QChar c) { return isControlCharacter(c.unicode()); });
    if (first == text.cend()) {
        return text;
    }
    QString out;
    out.reserve(text.size() + 8);
    out.append(QStringView(text.cbegin(), first));
    for (auto it = first; it != text.cend(); ++it) {
        const char16_t u = it->unicode();
        if (!isControlCharacter(u)) {
            out += *it;
            continue;
        }
        switch (u) {
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default: out += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QLatin1Char('0'));
        }
    }
    return out;
}

void StderrLogSink::write(LogLevel level, const QString &subsystem, const QString &category,
                          const QString &message)
{
    if (!isEnabled(level)) {
        return;
    }
    // Put together as UTF-8 in one buffer and written with one call, so lines of several
    // writers never interleave.
    const QByteArray text = escapedControlCharacters(message).toUtf8();
    const QByteArray subsystemText = subsystem.toUtf8();
    const QByteArray categoryText = category.toUtf8();
    QByteArray line;
    line.reserve(16 + subsystemText.size() + categoryText.size() + text.size());
    line.append(logLevelName(level)).append(' ').append(subsystemText).append('[').append(categoryText).append("] ");
    line.append(text).append('\n');
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_stream);
    std::fflush(m_stream);
}

Logger::Logger(QString subsystem, QString category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category))
{
}

bool Logger::isEnabled(LogLevel level) const { return Platform::current().logSink().isEnabled(level); }

void Logger::write(LogLevel level, const QString &message) const
{
    LogSink &sink = Platform::current().logSink();
    if (sink.isEnabled(level)) {
        sink.write(level, m_subsystem, m_category, message);
    }
}

} // namespace cordavelle
