#include "http_response.h"

#include "base/service_status.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace cordavelle {

QString HTTPResponse::reasonPhrase(int status)
{
    switch (status) {
    case 200: return QStringLiteral("OK");
    case 201: return QStringLiteral("Created");
    case 204: return QStringLiteral("No Content");
    case 400: return QStringLiteral("Bad Request");
    case 401: return QStringLiteral("Unauthorized");
    case 403: return QStringLiteral("Forbidden");
    case 404: return QStringLiteral("Not Found");
    case 405: return QStringLiteral("Method Not Allowed");
    case 409: return QStringLiteral("Conflict");
    case 429: return QStringLiteral("Too Many Requests");
    case 500: return QStringLiteral("Internal Server Error");
    case 503: return QStringLiteral("Service Unavailable");
    default: return QStringLiteral("Unknown");
    }
}

HTTPResponse HTTPResponse::make(int status, QByteArray body)
{
    return HTTPResponse{status, reasonPhrase(status), QStringLiteral("application/json"), std::move(body)};
}

HTTPResponse HTTPResponse::json(const nlohmann::ordered_json &value, int status)
{
    QByteArray body;
    try {
        const std::string text = value.dump();
        body = QByteArray(text.data(), static_cast<qsizetype>(text.size()));
    } catch (const nlohmann::json::exception &) {
        body.clear();
    }
    return make(status, std::move(body));
}

HTTPResponse HTTPResponse::error(const QString &message, int status, const QStringList &sent)
{
    QByteArray body = QByteArrayLiteral("{\"error\":");
    body += jsonStringLiteral(withoutLocalPaths(message, sent));
    body += '}';
    return make(status, std::move(body));
}

namespace {

struct Span {
    qsizetype start;
    qsizetype end;
};

// Quotes, brackets and "=" before a path, and what may close it; typographic quotes as well, as
// the system's texts put paths in them.
constexpr QStringView kBeforePath = u"\"'([<=\u201C\u2018";
constexpr QStringView kAfterPath = u":,;.)]'\"\u201D\u2019";

// Where a path begins: "/" or "~/" at the start of the text or of a word (or after an opening
// quote, bracket or "="), followed by more than a blank.
bool beginsPath(const QString &text, qsizetype i)
{
    const bool home = text[i] == u'~' && i + 1 < text.size() && text[i + 1] == u'/';
    const qsizetype rest = text[i] == u'/' ? i + 1 : home ? i + 2 : -1;
    if (rest < 0 || rest >= text.size() || text[rest].isSpace()) {
        return false;
    }
    return i == 0 || text[i - 1].isSpace() || kBeforePath.contains(text[i - 1]);
}

// The paths a text names. A path runs on over a blank while the next word goes on with a "/"
// ("…/Cordavelle Helper/wine"), and ends before the punctuation that follows it.
QList<Span> pathsIn(const QString &text)
{
    QList<Span> spans;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!beginsPath(text, i)) {
            continue;
        }
        qsizetype end = i;
        while (true) {
            while (end < text.size() && !text[end].isSpace()) {
                ++end;
            }
            qsizetype wordEnd = end + 1;
            while (wordEnd < text.size() && !text[wordEnd].isSpace()) {
                ++wordEnd;
            }
            if (end + 1 >= text.size() || text[end] != u' ' || !QStringView(text).mid(end + 1, wordEnd - end - 1).contains(u'/')) {
                break;
            }
            end = wordEnd;
        }
        while (end > i + 1 && kAfterPath.contains(text[end - 1])) {
            --end;
        }
        spans.push_back({i, end});
        i = end;
    }
    return spans;
}

// "Permission denied" reads "permission denied" after a colon; "VARA …" stays as it is.
QString inRunningText(QString reason)
{
    if (reason.size() > 1 && reason[0].isUpper() && reason[1].isLower()) {
        reason[0] = reason[0].toLower();
    }
    return reason;
}

} // namespace

QString withoutLocalPaths(const QString &text, const QStringList &sent)
{
    if (!text.contains(u'/')) {
        return text;
    }
    QList<Span> spans = pathsIn(text);
    spans.removeIf([&](const Span &span) {
        const QStringView path = QStringView(text).mid(span.start, span.end - span.start);
        return std::any_of(sent.cbegin(), sent.cend(), [path](const QString &value) { return value.startsWith(path); });
    });
    if (spans.isEmpty()) {
        return text;
    }
    // What failed, then a file operation that failed on a path, and the system's reason:
    // "Could not save the settings — Could not write /…/x.plist: Permission denied".
    const qsizetype dash = text.indexOf(QString::fromUtf8(" \u2014 "));
    const qsizetype colon = text.indexOf(QLatin1String(": "));
    const qsizetype cut = dash < 0 ? colon : colon < 0 ? dash : std::min(dash, colon);
    if (cut > 0 && spans.size() == 1 && spans[0].start > cut) {
        const qsizetype detail = cut + (cut == dash ? 3 : 2);
        const QStringView after = QStringView(text).mid(spans[0].end);
        if (QStringView(text).mid(detail).startsWith(QLatin1String("Could not ")) && after.startsWith(QLatin1String(": "))
            && after.size() > 2) {
            return text.left(cut) + QLatin1String(": ") + inRunningText(after.mid(2).toString());
        }
    }
    QString result;
    qsizetype from = 0;
    for (const Span &span : spans) {
        result += QStringView(text).mid(from, span.start - from);
        result += QChar(0x2026);
        from = span.end;
    }
    result += QStringView(text).mid(from);
    return result;
}

HTTPResponse HTTPResponse::unavailable(const QString &message, int seconds)
{
    HTTPResponse response = error(message, 503);
    response.retryAfter = seconds;
    return response;
}

HTTPResponse HTTPResponse::notFound() { return error(QStringLiteral("Not found"), 404); }

namespace {

void appendEscaped(QByteArray &out, char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\b': out += "\\b"; break;
    case '\f': out += "\\f"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
        if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += ch;
        }
    }
}

// One of this program's own raw values (plain ASCII, nothing to escape) as a JSON string.
template <RawRepresentable E>
void appendRawValue(QByteArray &out, E value)
{
    const std::string_view raw = EnumTraits<E>::raw[detail::caseIndex(value)];
    out += '"';
    out.append(raw.data(), static_cast<qsizetype>(raw.size()));
    out += '"';
}

} // namespace

void appendJsonString(QByteArray &out, QStringView text)
{
    out += '"';
    // Most texts are ASCII: written from their characters without a converted copy.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        for (const QChar c : text) {
            appendEscaped(out, static_cast<char>(c.unicode()));
        }
    } else {
        for (const char ch : text.toUtf8()) {
            appendEscaped(out, ch);
        }
    }
    out += '"';
}

QByteArray jsonStringLiteral(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    appendJsonString(out, text);
    return out;
}

void appendJsonNumber(QByteArray &out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    std::array<char, 64> digits{};
    const char *end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), end - digits.data());
}

QByteArray serviceStatusJson(const ServiceStatus &status)
{
    QByteArray out;
    out.reserve(160);
    out += "{\"id\":";
    appendJsonString(out, status.id);
    out += ",\"displayName\":";
    appendJsonString(out, status.displayName);
    out += ",\"state\":";
    appendRawValue(out, status.state);
    out += ",\"lifecycleMode\":";
    appendRawValue(out, status.lifecycleMode);
    if (status.pid) {
        out += ",\"pid\":";
        out += QByteArray::number(*status.pid);
    }
    out += ",\"ports\":{";
    bool first = true;
    for (const auto &[role, port] : status.ports) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendJsonString(out, role);
        out += ':';
        out += QByteArray::number(port);
    }
    out += '}';
    if (status.error) {
        out += ",\"error\":";
        appendJsonString(out, withoutLocalPaths(*status.error));
    }
    if (status.uptime) {
        out += ",\"uptime\":";
        appendJsonNumber(out, *status.uptime);
    }
    out += '}';
    return out;
}

} // namespace cordavelle
