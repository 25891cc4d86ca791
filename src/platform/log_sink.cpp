#include "log_sink.h"
#include "platform.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QStringEncoder>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>

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

namespace {

// The sink holding lines, for the process's exit to write them.
std::atomic<StderrLogSink *> g_holdingSink{nullptr};
// Set while this thread holds a sink's lock: an end that comes then must not wait for it.
thread_local bool t_inSink = false;

// Marks this thread as inside the sink for as long as it holds the lock, and clears the mark on
// every way out, a throw included: a mark left behind would keep the held lines from the exit.
struct InSink {
    InSink() { t_inSink = true; }
    ~InSink() { t_inSink = false; }
    InSink(const InSink &) = delete;
    InSink &operator=(const InSink &) = delete;
};

void flushHeldLines()
{
    if (t_inSink) {
        return;
    }
    if (StderrLogSink *sink = g_holdingSink.load()) {
        sink->flush();
    }
}

void flushAtExit() { flushHeldLines(); }

// The ends that are no exit: an exception nobody caught, and Qt's messages (a fatal one aborts
// the process right after). The lines held so far go out before them, and in their order.
std::terminate_handler g_previousTerminate = nullptr;
QtMessageHandler g_previousMessageHandler = nullptr;

[[noreturn]] void flushAndTerminate()
{
    flushHeldLines();
    if (g_previousTerminate) {
        g_previousTerminate();
    }
    std::abort();
}

void flushBeforeQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    flushHeldLines();
    if (g_previousMessageHandler) {
        g_previousMessageHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

void installEndHandlers()
{
    std::atexit(flushAtExit);
    g_previousTerminate = std::set_terminate(flushAndTerminate);
    g_previousMessageHandler = qInstallMessageHandler(flushBeforeQtMessage);
}

} // namespace

StderrLogSink::~StderrLogSink()
{
    releaseHeldLines();
}

namespace {

// Writes `text` as UTF-8 at `out`, which has room for three bytes per UTF-16 unit.
char *appendUtf8(char *out, QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) {
            return QStringEncoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless).appendToBuffer(out, text);
        }
    }
    for (const QChar c : text) {
        *out++ = static_cast<char>(c.unicode());
    }
    return out;
}

char *appendLatin1(char *out, const char *text)
{
    while (*text) {
        *out++ = *text++;
    }
    return out;
}

} // namespace

void StderrLogSink::write(LogLevel level, const QString &subsystem, const QString &category,
                          const QString &message)
{
    if (!isEnabled(level)) {
        return;
    }
    const QString text = escapedControlCharacters(message);
    const std::lock_guard lock(m_mutex);
    const InSink inSink;
    // Put together as UTF-8 right behind what is held and written with one call, so lines of
    // several writers never interleave; once the buffer has grown, a line costs no allocation.
    const qsizetype start = m_held.size();
    m_held.resize(start + 16 + 3 * (subsystem.size() + category.size() + text.size()));
    char *out = m_held.data() + start;
    out = appendLatin1(out, logLevelName(level));
    *out++ = ' ';
    out = appendUtf8(out, subsystem);
    *out++ = '[';
    out = appendUtf8(out, category);
    *out++ = ']';
    *out++ = ' ';
    out = appendUtf8(out, text);
    *out++ = '\n';
    m_held.resize(out - m_held.constData());
    if (level >= LogLevel::Error || m_holdingThread != std::this_thread::get_id()) {
        writeHeld();
    }
}

void StderrLogSink::writeHeld()
{
    if (m_held.isEmpty()) {
        return;
    }
    std::fwrite(m_held.constData(), 1, static_cast<size_t>(m_held.size()), m_stream);
    std::fflush(m_stream);
    // Keeps the capacity: the next turn's lines fit without an allocation.
    m_held.resize(0);
}

void StderrLogSink::holdLinesUntilIdle()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_holdingThread = std::this_thread::get_id();
    }
    // Destroyed with the sink, and with it the connections.
    m_hook = std::make_unique<QObject>();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, m_hook.get(), [this] { flush(); });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, m_hook.get(), [this] { flush(); });
    static const bool installed = (installEndHandlers(), true);
    Q_UNUSED(installed);
    g_holdingSink = this;
}

void StderrLogSink::releaseHeldLines()
{
    StderrLogSink *self = this;
    g_holdingSink.compare_exchange_strong(self, nullptr);
    m_hook.reset();
    const std::lock_guard lock(m_mutex);
    m_holdingThread.reset();
    writeHeld();
}

void StderrLogSink::flush()
{
    const std::lock_guard lock(m_mutex);
    const InSink inSink;
    writeHeld();
}

} // namespace cordavelle
