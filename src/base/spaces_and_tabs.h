#pragma once

#include <QString>
#include <QStringView>

namespace cordavelle {

// A horizontal tab or a Unicode space separator: blank, but no line break.
inline bool isSpaceOrTab(QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; }

// `text` without the characters at either end for which `drop` holds.
template <class Text, class Predicate>
Text trimmedBy(const Text &text, Predicate drop)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && drop(text.at(begin))) {
        ++begin;
    }
    while (end > begin && drop(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}

// Trims Unicode space separators and horizontal tabs from both ends, leaving line breaks and
// carriage returns in place (unlike QString::trimmed).
inline QString trimmedSpacesAndTabs(const QString &text) { return trimmedBy(text, isSpaceOrTab); }
inline QStringView trimmedSpacesAndTabs(QStringView text) { return trimmedBy(text, isSpaceOrTab); }

} // namespace cordavelle
