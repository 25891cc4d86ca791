#include "http_status.h"

#include <QFile>

namespace cordavelle {

namespace {

bool successful(int statusCode) { return statusCode >= 200 && statusCode <= 299; }

// GitHub answers 403 (or 429) when the hourly allowance of anonymous requests is used up; the
// user can do nothing but wait, so that is what the text says.
bool reportsRateLimit(int statusCode, const HttpHeaders &headers, const QByteArray &body)
{
    if (statusCode == 429) {
        return true;
    }
    if (statusCode != 403) {
        return false;
    }
    for (const auto &[name, value] : headers) {
        if (name.compare("x-ratelimit-remaining", Qt::CaseInsensitive) == 0 && value.trimmed() == "0") {
            return true;
        }
    }
    return body.left(4096).toLower().contains("rate limit");
}

HttpStatusError statusError(int statusCode, const QString &what, bool rateLimited)
{
    QString text = QStringLiteral("The server answered %1 for %2").arg(describeHttpStatus(statusCode), what);
    if (rateLimited) {
        text += QStringLiteral(": too many requests for now, try again later");
    }
    return {statusCode, text};
}

} // namespace

HttpStatusError::HttpStatusError(int statusCode, QString description)
    : DescribedError(std::move(description)), m_statusCode(statusCode)
{
}

QString describeHttpStatus(int statusCode)
{
    const char *phrase = nullptr;
    switch (statusCode) {
    case 204: phrase = "No Content"; break;
    case 300: phrase = "Multiple Choices"; break;
    case 304: phrase = "Not Modified"; break;
    case 400: phrase = "Bad Request"; break;
    case 401: phrase = "Unauthorized"; break;
    case 403: phrase = "Forbidden"; break;
    case 404: phrase = "Not Found"; break;
    case 405: phrase = "Method Not Allowed"; break;
    case 406: phrase = "Not Acceptable"; break;
    case 407: phrase = "Proxy Authentication Required"; break;
    case 408: phrase = "Request Timeout"; break;
    case 410: phrase = "Gone"; break;
    case 429: phrase = "Too Many Requests"; break;
    case 451: phrase = "Unavailable For Legal Reasons"; break;
    case 500: phrase = "Internal Server Error"; break;
    case 501: phrase = "Not Implemented"; break;
    case 502: phrase = "Bad Gateway"; break;
    case 503: phrase = "Service Unavailable"; break;
    case 504: phrase = "Gateway Timeout"; break;
    default: break;
    }
    if (!phrase) {
        return QString::number(statusCode);
    }
    return QString::number(statusCode) + QLatin1Char(' ') + QLatin1String(phrase);
}

void requireSuccessfulStatus(const HttpResponse &response, const QString &what)
{
    if (!successful(response.statusCode)) {
        throw statusError(response.statusCode, what, reportsRateLimit(response.statusCode, response.headers, response.body));
    }
}

void requireSuccessfulStatus(const HttpDownload &download, const QString &destination, const QString &what)
{
    if (!successful(download.statusCode)) {
        QFile::remove(destination);
        throw statusError(download.statusCode, what, reportsRateLimit(download.statusCode, download.headers, {}));
    }
}

} // namespace cordavelle
