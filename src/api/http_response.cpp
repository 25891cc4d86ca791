#include "http_response.h"

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

HTTPResponse HTTPResponse::error(const QString &message, int status)
{
    QByteArray body = QByteArrayLiteral("{\"error\":");
    body += jsonStringLiteral(message);
    body += '}';
    return make(status, std::move(body));
}

HTTPResponse HTTPResponse::notFound() { return error(QStringLiteral("Not found"), 404); }

QByteArray jsonStringLiteral(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
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
    out += '"';
    return out;
}

} // namespace cordavelle
