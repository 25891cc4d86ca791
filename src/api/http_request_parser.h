#pragma once

#include "http_request.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace cordavelle {

// What the bytes received so far on one connection amount to.
struct FeedResult {
    enum class Kind { complete, badRequest, invalid, needMore };

    static FeedResult complete(HTTPRequest request, qsizetype consumed);
    static FeedResult badRequest(HTTPRequest request, qsizetype consumed, QString reason);
    static FeedResult invalid(QString reason);
    static FeedResult needMore();

    Kind kind = Kind::needMore;
    // complete and badRequest: the request, and the bytes it occupies from the start of the buffer
    // (head, terminator and body).
    HTTPRequest request;
    qsizetype consumed = 0;
    // badRequest: why the whole request is answered 400 instead of served. invalid: why the bytes
    // can never form a request.
    QString reason;

    bool operator==(const FeedResult &) const = default;
};

// The small subset of HTTP/1.1 that the local API speaks: a request line, header lines and an
// optional body whose length comes from Content-Length. No chunked coding, no continuation lines.
class HTTPRequestParser {
public:
    HTTPRequestParser() = delete;

    // CR LF CR LF, the end of a request head.
    static constexpr QByteArrayView kHeaderTerminator{"\r\n\r\n", 4};

    // A head longer than this, or a body longer than this, is refused rather than buffered.
    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;
    static constexpr qsizetype kMaxBodyBytes = 1024 * 1024;

    // Parses `buffer` from its first byte. Pure: the same input always gives the same result.
    static FeedResult feed(QByteArrayView buffer, const QString &remoteHost);

    // The request target without its query, percent-decoded; the undecoded text when decoding
    // fails (a stray "%" or bytes that are not UTF-8).
    static QString normalizedPath(const QString &target);

    // Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
    static bool isValidUtf8(QByteArrayView bytes);

private:
    friend class HTTPRequestReader;

    struct Head {
        HTTPRequest request;
        qsizetype contentLength = 0;
        // Why the request, once whole, is answered 400.
        QString badRequest;
    };
    // Reads the bytes before the terminator; fills `reason` when they can't be a request head.
    static bool parseHead(QByteArrayView head, const QString &remoteHost, Head &out, QString &reason);
    static FeedResult finish(const Head &head, QByteArrayView buffer, qsizetype bodyStart);
    static FeedResult whole(HTTPRequest request, qsizetype consumed, const QString &badRequest);
};

// The parser for one connection that keeps what it learnt between reads: the terminator search
// resumes where the last one stopped, and the head is parsed once. After each `append` it gives
// the same answer `HTTPRequestParser::feed` would give for everything appended so far.
class HTTPRequestReader {
public:
    explicit HTTPRequestReader(QString remoteHost);

    // Adds received bytes. Once the answer is complete or invalid, it stays so and later bytes
    // are not kept.
    FeedResult append(QByteArrayView bytes);

    qsizetype bufferedBytes() const { return m_buffer.size(); }

private:
    QString m_remoteHost;
    QByteArray m_buffer;
    qsizetype m_searchFrom = 0;
    std::optional<HTTPRequestParser::Head> m_head;
    qsizetype m_bodyStart = 0;
    std::optional<FeedResult> m_final;
};

} // namespace cordavelle
