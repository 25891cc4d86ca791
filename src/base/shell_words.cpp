#include "base/shell_words.h"

#include <algorithm>

namespace cordavelle {

QString shellWord(const QString &word)
{
    const auto plain = [](QChar c) {
        return (c.isLetterOrNumber() && c.unicode() < 0x80) || QStringView(u"_-+=@%:,./").contains(c);
    };
    if (!word.isEmpty() && std::all_of(word.begin(), word.end(), plain)) {
        return word;
    }
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString shellLine(const QStringList &words)
{
    QStringList quoted;
    quoted.reserve(words.size());
    for (const QString &word : words) {
        quoted << shellWord(word);
    }
    return quoted.join(QLatin1Char(' '));
}

} // namespace cordavelle
