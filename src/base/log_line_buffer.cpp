#include "log_line_buffer.h"

#include <utility>

namespace cordavelle {

QStringList LogLineBuffer::append(const QByteArray &chunk)
{
    std::lock_guard lock(m_mutex);
    m_buffer.append(chunk);
    if (m_buffer.size() > kMaxBytes) {
        m_buffer.remove(0, m_buffer.size() - kKeptBytes);
    }

    QStringList lines;
    qsizetype start = 0;
    for (qsizetype feed = m_buffer.indexOf('\n', start); feed >= 0; feed = m_buffer.indexOf('\n', start)) {
        qsizetype end = feed;
        if (end > start && m_buffer.at(end - 1) == '\r') {
            --end;
        }
        // fromUtf8 replaces every invalid sequence with U+FFFD, so a garbled line is still shown.
        QString line = QString::fromUtf8(m_buffer.constData() + start, end - start);
        if (!line.isEmpty()) {
            lines.append(std::move(line));
        }
        start = feed + 1;
    }
    m_buffer.remove(0, start);
    return lines;
}

QStringList LogLineBuffer::finish()
{
    std::lock_guard lock(m_mutex);
    QByteArray rest = std::exchange(m_buffer, {});
    if (rest.endsWith('\r')) {
        rest.chop(1);
    }
    QString line = QString::fromUtf8(rest);
    return line.isEmpty() ? QStringList() : QStringList{std::move(line)};
}

void LogLineBuffer::reset()
{
    std::lock_guard lock(m_mutex);
    m_buffer.clear();
}

QByteArray LogLineBuffer::pending() const
{
    std::lock_guard lock(m_mutex);
    return m_buffer;
}

} // namespace cordavelle
