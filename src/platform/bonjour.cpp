#include "bonjour.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace cordavelle {

namespace {

constexpr int kMaxTxtStringLength = 255;
constexpr int kMaxLabelBytes = 63;

bool sameKey(const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// Shortens `text` so that its UTF-8 form takes at most `bytes`, never splitting a character.
QString truncatedToUtf8Bytes(const QString &text, int bytes)
{
    QString out;
    int used = 0;
    for (int i = 0; i < text.size();) {
        const int width = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString piece = text.mid(i, width);
        const int size = piece.toUtf8().size();
        if (used + size > bytes) {
            break;
        }
        out += piece;
        used += size;
        i += width;
    }
    return out;
}

} // namespace

BonjourTxtRecord::BonjourTxtRecord(std::initializer_list<std::pair<QString, QString>> textEntries)
{
    for (const auto &[key, text] : textEntries) {
        insert(key, text);
    }
}

void BonjourTxtRecord::insert(const QString &key, const QByteArray &value)
{
    for (auto &entry : m_entries) {
        if (sameKey(entry.key, key)) {
            entry.value = value;
            return;
        }
    }
    m_entries.push_back({key, value});
}

bool BonjourTxtRecord::contains(const QString &key) const
{
    for (const auto &entry : m_entries) {
        if (sameKey(entry.key, key)) {
            return true;
        }
    }
    return false;
}

std::optional<QByteArray> BonjourTxtRecord::value(const QString &key) const
{
    for (const auto &entry : m_entries) {
        if (sameKey(entry.key, key)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

std::optional<QString> BonjourTxtRecord::text(const QString &key) const
{
    const auto bytes = value(key);
    if (!bytes) {
        return std::nullopt;
    }
    return strictUtf8(*bytes);
}

std::optional<QByteArray> BonjourTxtRecord::encode() const
{
    QByteArray wire;
    for (const auto &entry : m_entries) {
        QByteArray string = entry.key.toUtf8();
        if (string.isEmpty() || string.contains('=')) {
            return std::nullopt;
        }
        if (entry.value) {
            string += '=';
            string += *entry.value;
        }
        if (string.size() > kMaxTxtStringLength) {
            return std::nullopt;
        }
        wire += char(string.size());
        wire += string;
    }
    if (wire.isEmpty()) {
        // DNS-SD never sends an empty TXT record; it sends one empty string.
        wire += char(0);
    }
    return wire;
}

BonjourTxtRecord BonjourTxtRecord::decode(const QByteArray &wire)
{
    BonjourTxtRecord record;
    int pos = 0;
    while (pos < wire.size()) {
        const int length = static_cast<unsigned char>(wire.at(pos));
        ++pos;
        const QByteArray string = wire.mid(pos, length);
        pos += length;
        const int equals = string.indexOf('=');
        const QByteArray keyBytes = equals < 0 ? string : string.left(equals);
        if (keyBytes.isEmpty()) {
            continue;
        }
        const QString key = QString::fromUtf8(keyBytes);
        if (record.contains(key)) {
            continue;
        }
        if (equals < 0) {
            record.m_entries.push_back({key, std::nullopt});
        } else {
            record.m_entries.push_back({key, string.mid(equals + 1)});
        }
    }
    return record;
}

QString BonjourBrowseResult::description() const
{
    auto dotted = [](const QString &part) {
        return part.endsWith(QLatin1Char('.')) ? part : part + QLatin1Char('.');
    };
    return dotted(name) + dotted(type) + dotted(domain.isEmpty() ? QStringLiteral("local") : domain);
}

QString nextBonjourServiceName(const QString &name)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*) \\((\\d+)\\)$"),
                                             QRegularExpression::DotMatchesEverythingOption);
    QString base = name;
    qlonglong number = 2;
    const auto match = numbered.match(name);
    if (match.hasMatch()) {
        bool ok = false;
        const qlonglong current = match.captured(2).toLongLong(&ok);
        if (ok && current >= 2 && current < 999999) {
            base = match.captured(1);
            number = current + 1;
        }
    }
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    const int room = kMaxLabelBytes - int(suffix.toUtf8().size());
    return truncatedToUtf8Bytes(base, room) + suffix;
}

} // namespace cordavelle
