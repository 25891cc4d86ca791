#include "install_log.h"

#include "base/helper_places.h"
#include "platform/files.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QFile>

#include <filesystem>
#include <system_error>

namespace cordavelle {

QString shownLogLine(const QString &message, Clock::WallTime now)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const QString stamp = QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::LocalTime).toString(QStringLiteral("HH:mm:ss"));
    return u'[' + stamp + QStringLiteral("] ") + message;
}

namespace {

std::filesystem::path nativePath(const QString &path) { return std::filesystem::path(QFile::encodeName(path).toStdString()); }

QString describe(const std::error_code &error) { return QString::fromLocal8Bit(error.message().c_str()); }

} // namespace

InstallLog::InstallLog(Clock &clock, LogSink &sink, QString folder, qint64 cap)
    : m_clock(clock), m_sink(sink), m_folder(std::move(folder)), m_cap(cap), m_thread([this] { run(); })
{
}

InstallLog::~InstallLog()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

InstallLog &InstallLog::shared()
{
    // Lives until the process ends, so that the last lines of an install still reach the file.
    static InstallLog *instance =
        new InstallLog(Platform::current().clock(), Platform::current().logSink(), places::supportFolder());
    return *instance;
}

QString InstallLog::logFile() const { return m_folder + QLatin1Char('/') + kFileName; }

QString InstallLog::backupFile() const { return m_folder + QLatin1Char('/') + kBackupName; }

void InstallLog::appendLine(const QString &text, HelperLogger::Category category)
{
    HelperLogger::info(text, category);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.wallNow().time_since_epoch());
    const QString stamp = QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::LocalTime)
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    // One line per call, as the helper's own log keeps it: a name holding a newline (a file that
    // could not be removed) neither splits its line nor forges another.
    QByteArray line = (QLatin1Char('[') + stamp + QStringLiteral("] ") + StderrLogSink::escapedControlCharacters(text) +
                       QLatin1Char('\n'))
                          .toUtf8();
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(line));
    }
    m_wake.notify_one();
}

void InstallLog::flush()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void InstallLog::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty()) {
            return;
        }
        const QByteArray line = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        append(line);
        lock.lock();
        m_busy = false;
        if (m_queue.empty()) {
            m_idle.notify_all();
        }
    }
}

void InstallLog::reportFailure(const QString &message)
{
    m_sink.write(LogLevel::Error, HelperLogger::subsystem(), QStringLiteral("InstallLog"), message);
}

void InstallLog::append(const QByteArray &line)
{
    // Looked at for every line: the log must not land, nor be rotated, in a folder of another
    // user's choosing.
    QString folder;
    try {
        folder = usersOwnFolder(m_folder);
    } catch (const FileError &refusal) {
        reportFailure(QStringLiteral("Install log not written: %1").arg(refusal.description()));
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(nativePath(folder), error);
    if (error) {
        // Not the end: opening the file below reports its own failure.
        reportFailure(QStringLiteral("Could not create install log directory: %1").arg(describe(error)));
    }
    const QString path = folder + QLatin1Char('/') + kFileName;
    const auto size = std::filesystem::file_size(nativePath(path), error);
    // A line that brings the file exactly to the cap still fits.
    if (!error && static_cast<qint64>(size) + line.size() > m_cap) {
        rotate(folder);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        reportFailure(QStringLiteral("Could not open install log for writing: %1").arg(path));
        return;
    }
    if (file.write(line) != line.size() || !file.flush()) {
        reportFailure(QStringLiteral("Install log write failed: %1").arg(file.errorString()));
    }
}

void InstallLog::rotate(const QString &folder)
{
    const auto log = nativePath(folder + QLatin1Char('/') + kFileName);
    const auto backup = nativePath(folder + QLatin1Char('/') + kBackupName);
    std::error_code error;
    std::filesystem::remove(backup, error);
    std::filesystem::rename(log, backup, error);
    if (error) {
        // The log keeps its content and grows past the cap until a later rotation succeeds.
        reportFailure(QStringLiteral("Install log rotation failed: %1").arg(describe(error)));
    }
}

} // namespace cordavelle
