#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <nlohmann/json.hpp>

namespace cordavelle {

// One reply of the local API. The server writes `statusText` into the status line as stored.
struct HTTPResponse {
    int statusCode = 200;
    QString statusText;
    QString contentType;
    QByteArray body;
    // Seconds a client should wait before asking again (a Retry-After header); none when 0.
    int retryAfter = 0;

    // The reason phrase of a status code: "OK", "Not Found", ... and "Unknown" for codes the API
    // never uses.
    static QString reasonPhrase(int status);

    // A JSON body of any value (compact, keys in the value's own order); an empty body when the
    // value can't be written as JSON (text that is not UTF-8).
    static HTTPResponse json(const nlohmann::ordered_json &value, int status = 200);
    // A body already written as JSON.
    static HTTPResponse jsonText(QByteArray body, int status = 200) { return make(status, std::move(body)); }
    // {"error":"<message>"}, with every path of this computer that the message names left out
    // (withoutLocalPaths): peers learn what failed and why, not the user's name or folders. What
    // the request itself sent (`sent`) stays, so that the client can tell which value was refused.
    static HTTPResponse error(const QString &message, int status, const QStringList &sent = {});
    // 404 {"error":"Not found"}.
    static HTTPResponse notFound();
    // 503 {"error":"<message>"} with a Retry-After of `seconds`.
    static HTTPResponse unavailable(const QString &message, int seconds);

    // A record (or array of records) through its to_json; an empty body when encoding fails, with
    // the status asked for.
    template <typename T>
    static HTTPResponse jsonEncodable(const T &value, int status = 200)
    {
        nlohmann::ordered_json encoded;
        try {
            encoded = value;
        } catch (const nlohmann::json::exception &) {
            return make(status, {});
        }
        return json(encoded, status);
    }

    bool operator==(const HTTPResponse &) const = default;

private:
    static HTTPResponse make(int status, QByteArray body);
};

// `text` without the file paths it names ("/home/…", "~/…", in typographic quotes too): a
// failed file operation after what failed gives way to its reason ("Could not save the settings —
// Could not write /…/x.plist: Permission denied" reads "Could not save the settings: permission
// denied"); any other path to "…". A path that is the leading part of a value in `sent` (what
// the client itself sent) stays: it tells the client nothing new. A text without a path comes
// back unchanged.
QString withoutLocalPaths(const QString &text, const QStringList &sent = {});

// A JSON string literal of `text`: quotation mark and reverse solidus escaped, control characters
// as their JSON escapes, everything else (a solidus, non-ASCII text) as raw UTF-8.
QByteArray jsonStringLiteral(const QString &text);
// The same, appended to `out`.
void appendJsonString(QByteArray &out, QStringView text);
// A number the way a JSON document writes it: the shortest digits that read back as the same
// value, and null for one that is not finite.
void appendJsonNumber(QByteArray &out, double value);

struct ServiceStatus;
// A service's status as JSON text, byte for byte as its JSON document is written, but without
// building the document: clients poll a service as often as /status. Its error names no local
// path (withoutLocalPaths), as an error reply doesn't.
QByteArray serviceStatusJson(const ServiceStatus &status);

} // namespace cordavelle
