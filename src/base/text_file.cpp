#include "text_file.h"

#include "base/spaces_and_tabs.h"

#include <QFile>
#include <QStringDecoder>

namespace cordavelle::textfile {

std::optional<Utf8Text> readUtf8(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = file.errorString();
        }
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error) {
            *error = file.errorString();
        }
        return std::nullopt;
    }

    Utf8Text result;
    static const QByteArray bom("\xEF\xBB\xBF");
    result.hasByteOrderMark = bytes.startsWith(bom);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    result.text = decoder.decode(result.hasByteOrderMark ? bytes.mid(bom.size()) : bytes);
    if (decoder.hasError()) {
        if (error) {
            *error = QStringLiteral("The file is not valid UTF-8 text");
        }
        return std::nullopt;
    }
    return result;
}

bool isNewline(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isNewline(text[i])) {
            continue;
        }
        lines.append(text.mid(start, i - start));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            ++i;
        }
        start = i + 1;
    }
    lines.append(text.mid(start));
    return lines;
}

QString trimmed(const QString &text)
{
    return trimmedBy(text, [](QChar c) { return isSpaceOrTab(c) || isNewline(c); });
}

} // namespace cordavelle::textfile
