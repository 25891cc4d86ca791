#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle::textfile {

struct Utf8Text {
    QString text;
    // The file began with a UTF-8 byte-order mark, which `text` leaves out.
    bool hasByteOrderMark = false;
};

// The whole file as UTF-8 text; nothing when it can't be read or isn't valid UTF-8, with the
// reason in `error`.
std::optional<Utf8Text> readUtf8(const QString &path, QString *error = nullptr);

// LF, VT, FF, CR, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR.
bool isNewline(QChar c);

// Lines split at every newline character (CR LF counts as one break); a text that ends with a
// break gives a final empty line, and an empty text gives one empty line.
QStringList splitLines(const QString &text);

// Without blanks and newline characters at both ends.
QString trimmed(const QString &text);

} // namespace cordavelle::textfile
