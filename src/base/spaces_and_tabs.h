#pragma once

#include <QString>

namespace cordavelle {

// Trims Unicode space separators and horizontal tabs from both ends, leaving line breaks and
// carriage returns in place (unlike QString::trimmed).
inline QString trimmedSpacesAndTabs(const QString &text)
{
    auto isBlank = [](QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin))) {
        ++begin;
    }
    while (end > begin && isBlank(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}

} // namespace cordavelle
