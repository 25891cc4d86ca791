#include "installer.h"

namespace cordavelle {

void Installer::clearLog()
{
    if (!m_logLines.isEmpty()) {
        m_logLines.clear();
        Q_EMIT changed();
    }
}

void Installer::showLogLines(const QStringList &lines, qsizetype keep)
{
    if (lines.isEmpty()) {
        return;
    }
    m_logLines << lines;
    if (keep > 0 && m_logLines.size() > keep) {
        m_logLines.remove(0, m_logLines.size() - keep);
    }
    Q_EMIT changed();
}

} // namespace cordavelle
