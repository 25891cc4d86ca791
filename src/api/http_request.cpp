#include "http_request.h"

namespace cordavelle {

QStringList HTTPRequest::pathComponents() const
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

bool HTTPRequest::isLoopback() const
{
    return remoteHost == QLatin1String("127.0.0.1") || remoteHost == QLatin1String("::1");
}

std::optional<QString> HTTPRequest::header(const QString &lowerCaseName) const
{
    const auto it = headers.find(lowerCaseName);
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace cordavelle
