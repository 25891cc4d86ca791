#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// Readable GoogleTest failure messages for Qt's string types (found by argument-dependent lookup).
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray &bytes, std::ostream *out) { *out << '"' << bytes.toStdString() << '"'; }

#include <QStringList>

inline void PrintTo(const QStringList &list, std::ostream *out)
{
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i) {
        *out << (i ? ",\n  " : "\n  ");
        PrintTo(list.at(i), out);
    }
    *out << "\n}";
}
