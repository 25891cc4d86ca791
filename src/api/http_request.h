#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace cordavelle {

// One request of the local API as the parser hands it to the server and the router.
struct HTTPRequest {
    // The first token of the request line, exactly as sent (a lower-case "get" is another method).
    QString method;
    // The target with its query cut off, then percent-decoded.
    QString path;
    // Names trimmed and lower-cased, values trimmed; the last of repeated names wins.
    std::map<QString, QString> headers;
    // Exactly Content-Length bytes when that length is above 0; absent otherwise.
    std::optional<QByteArray> body;
    // The peer's host text without the port ("127.0.0.1", "::1", ...); may be empty.
    QString remoteHost;

    // `path` split at every "/", empty pieces dropped: "//a//b/" gives "a", "b".
    QStringList pathComponents() const;
    // Only the two literal loopback texts count; the server turns "::ffff:127.0.0.1" into
    // "127.0.0.1" before it builds the request.
    bool isLoopback() const;
    // The value under a lower-case header name, if the request carries it.
    std::optional<QString> header(const QString &lowerCaseName) const;

    bool operator==(const HTTPRequest &) const = default;
};

} // namespace cordavelle
