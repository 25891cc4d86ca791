#pragma once

#include <QString>
#include <QStringList>

namespace cordavelle {

// `word` as a POSIX shell reads back as that one word: bare when it holds only characters no
// shell treats specially, otherwise in single quotes (a quote inside as '\'').
QString shellWord(const QString &word);
// A program and its arguments as one line a user can paste into a shell.
QString shellLine(const QStringList &words);

} // namespace cordavelle
