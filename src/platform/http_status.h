#pragma once

#include "described_error.h"
#include "http_client.h"

#include <QString>

namespace cordavelle {

// The server answered, but with a status outside 200–299: the body is an error page, not what
// was asked for.
class HttpStatusError : public DescribedError {
public:
    HttpStatusError(int statusCode, QString description);

    int statusCode() const { return m_statusCode; }

private:
    int m_statusCode;
};

// "404 Not Found"; the bare number for a status without a standard phrase.
QString describeHttpStatus(int statusCode);

// Throws HttpStatusError unless the status is in 200–299, naming the status and `what` ("the
// Wine release list"): "The server answered 404 Not Found for the Wine release list". A rate
// limit that the answer reports is said as such.
void requireSuccessfulStatus(const HttpResponse &response, const QString &what);
// The same for a download; an error page written to `destination` is removed first.
void requireSuccessfulStatus(const HttpDownload &download, const QString &destination, const QString &what);

} // namespace cordavelle
