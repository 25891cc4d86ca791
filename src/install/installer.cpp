#include "installer.h"

namespace cordavelle {

namespace {

// Installers live on the main thread only, so a plain counter orders all their lines.
quint64 g_nextLogLine = 0;
// Of earlier installs, so many lines stay on screen at most, the newest.
constexpr std::size_t kEarlierLinesKept = 2000;

} // namespace

QString failureWhile(const QString &doing, const std::exception &error)
{
    QString reason = QString::fromUtf8(error.what());
    if (!reason.isEmpty() && reason[0].isUpper() && (reason.size() < 2 || !reason[1].isUpper())) {
        reason[0] = reason[0].toLower();
    }
    return doing + QStringLiteral(": ") + reason;
}

std::vector<Installer::ShownLine> Installer::shownLog() const
{
    std::vector<ShownLine> lines = m_earlier;
    lines.reserve(lines.size() + m_logOrder.size());
    for (std::size_t i = 0; i < m_logOrder.size(); ++i) {
        lines.push_back({m_logOrder[i], m_logLines[qsizetype(i)]});
    }
    return lines;
}

void Installer::clearLog()
{
    if (!m_logLines.isEmpty() || !m_earlier.empty()) {
        m_logLines.clear();
        m_logOrder.clear();
        m_earlier.clear();
        Q_EMIT changed();
    }
}

void Installer::beginNewAttempt()
{
    if (m_logLines.isEmpty()) {
        return;
    }
    m_earlier = shownLog();
    if (m_earlier.size() > kEarlierLinesKept) {
        m_earlier.erase(m_earlier.begin(), m_earlier.end() - std::ptrdiff_t(kEarlierLinesKept));
    }
    m_logLines.clear();
    m_logOrder.clear();
    Q_EMIT changed();
}

void Installer::showLogLines(const QStringList &lines, qsizetype keep)
{
    if (lines.isEmpty()) {
        return;
    }
    m_logLines << lines;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        m_logOrder.push_back(g_nextLogLine++);
    }
    if (keep > 0 && m_logLines.size() > keep) {
        const qsizetype drop = m_logLines.size() - keep;
        m_logLines.remove(0, drop);
        m_logOrder.erase(m_logOrder.begin(), m_logOrder.begin() + drop);
    }
    Q_EMIT changed();
}

} // namespace cordavelle
