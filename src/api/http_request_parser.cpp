#include "http_request_parser.h"

#include "client_text.h"

#include "base/spaces_and_tabs.h"

#include <limits>

namespace cordavelle {

namespace {

enum class LengthReading { number, unusable, negative, tooLarge };

// An optional single sign and one or more ASCII digits, nothing else. Anything else reads as 0;
// a negative length or one beyond the body limit (including one past the 64-bit range) is refused.
LengthReading readContentLength(const QString &text, qsizetype &length)
{
    length = 0;
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size()) {
        return LengthReading::unusable;
    }
    bool tooLarge = false;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') {
            return LengthReading::unusable;
        }
        if (value > HTTPRequestParser::kMaxBodyBytes) {
            tooLarge = true;  // keep checking that the rest are digits
            continue;
        }
        value = value * 10 + (c - u'0');
    }
    if (negative && (tooLarge || value != 0)) {
        return LengthReading::negative;
    }
    if (tooLarge || value > HTTPRequestParser::kMaxBodyBytes) {
        return LengthReading::tooLarge;
    }
    length = static_cast<qsizetype>(value);
    return LengthReading::number;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

FeedResult FeedResult::complete(HTTPRequest request, qsizetype consumed)
{
    FeedResult r;
    r.kind = Kind::complete;
    r.request = std::move(request);
    r.consumed = consumed;
    return r;
}

FeedResult FeedResult::badRequest(HTTPRequest request, qsizetype consumed, QString reason)
{
    FeedResult r = complete(std::move(request), consumed);
    r.kind = Kind::badRequest;
    r.reason = std::move(reason);
    return r;
}

FeedResult FeedResult::invalid(QString reason)
{
    FeedResult r;
    r.kind = Kind::invalid;
    r.reason = std::move(reason);
    return r;
}

FeedResult FeedResult::needMore() { return FeedResult{}; }

bool HTTPRequestParser::isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int extra;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            if (b == 0xE0) {
                lo = 0xA0;  // overlong
            } else if (b == 0xED) {
                hi = 0x9F;  // surrogates
            }
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            if (b == 0xF0) {
                lo = 0x90;  // overlong
            } else if (b == 0xF4) {
                hi = 0x8F;  // beyond U+10FFFF
            }
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        if (p[i + 1] < lo || p[i + 1] > hi) {
            return false;
        }
        for (int k = 2; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

QString HTTPRequestParser::normalizedPath(const QString &target)
{
    const qsizetype query = target.indexOf(QLatin1Char('?'));
    const QString cut = query < 0 ? target : target.left(query);
    if (!cut.contains(QLatin1Char('%'))) {
        return cut;
    }
    const QByteArray raw = cut.toUtf8();
    QByteArray decoded;
    decoded.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            decoded.append(raw[i]);
            continue;
        }
        if (i + 2 >= raw.size()) {
            return cut;
        }
        const int high = hexValue(raw[i + 1]);
        const int low = hexValue(raw[i + 2]);
        if (high < 0 || low < 0) {
            return cut;
        }
        decoded.append(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUtf8(decoded)) {
        return cut;
    }
    return QString::fromUtf8(decoded);
}

bool HTTPRequestParser::parseHead(QByteArrayView head, const QString &remoteHost, Head &out, QString &reason)
{
    if (!isValidUtf8(head)) {
        reason = QStringLiteral("Headers not valid UTF-8");
        return false;
    }
    // Walked as views of one decoded text: a request is parsed on every connection, and
    // splitting into lists costs an allocation per line.
    const QString text = QString::fromUtf8(head);
    QStringView rest(text);
    bool linesLeft = true;
    const auto nextLine = [&rest, &linesLeft]() {
        const qsizetype end = rest.indexOf(u"\r\n");
        if (end < 0) {
            linesLeft = false;
            return rest;
        }
        const QStringView line = rest.first(end);
        rest = rest.sliced(end + 2);
        return line;
    };

    // The request line's first two space-separated words; runs of spaces count as one.
    QStringView requestLine = nextLine();
    QStringView words[2];
    qsizetype found = 0;
    while (found < 2 && !requestLine.isEmpty()) {
        const qsizetype space = requestLine.indexOf(u' ');
        const QStringView word = space < 0 ? requestLine : requestLine.first(space);
        requestLine = space < 0 ? QStringView() : requestLine.sliced(space + 1);
        if (!word.isEmpty()) {
            words[found++] = word;
        }
    }
    if (found < 2) {
        reason = QStringLiteral("Malformed request line");
        return false;
    }

    HTTPRequest request;
    request.method = words[0].toString();
    request.path = normalizedPath(words[1].toString());
    request.remoteHost = remoteHost;
    int hostHeaders = 0;
    while (linesLeft) {
        const QStringView line = nextLine();
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0) {
            continue;
        }
        // Space, tab and the other Unicode space separators around a name or value go; line
        // breaks are no white space here.
        QString name = trimmedSpacesAndTabs(line.left(colon)).toString().toLower();
        QString value = trimmedSpacesAndTabs(line.sliced(colon + 1)).toString();
        // Which of two Host headers counts differs between a proxy and us, and a NUL or line
        // break inside one ends the name early for some readers: either lets a request pass the
        // host check under a name it doesn't carry.
        if (name == QLatin1String("host")) {
            if (++hostHeaders == 2) {
                out.badRequest = QStringLiteral("More than one Host header");
            } else if (out.badRequest.isEmpty() && holdsControlCharacters(value)) {
                out.badRequest = QStringLiteral("Host header holds a control character");
            }
        }
        request.headers[std::move(name)] = std::move(value);
    }

    qsizetype length = 0;
    if (const auto value = request.header(QStringLiteral("content-length"))) {
        switch (readContentLength(*value, length)) {
        case LengthReading::number:
        case LengthReading::unusable:
            break;
        case LengthReading::negative:
            reason = QStringLiteral("Negative Content-Length");
            return false;
        case LengthReading::tooLarge:
            reason = QStringLiteral("Request body too large");
            return false;
        }
    }
    out.request = std::move(request);
    out.contentLength = length;
    return true;
}

FeedResult HTTPRequestParser::whole(HTTPRequest request, qsizetype consumed, const QString &badRequest)
{
    return badRequest.isEmpty() ? FeedResult::complete(std::move(request), consumed)
                                : FeedResult::badRequest(std::move(request), consumed, badRequest);
}

FeedResult HTTPRequestParser::finish(const Head &head, QByteArrayView buffer, qsizetype bodyStart)
{
    if (head.contentLength == 0) {
        return whole(head.request, bodyStart, head.badRequest);
    }
    if (buffer.size() - bodyStart < head.contentLength) {
        return FeedResult::needMore();
    }
    HTTPRequest request = head.request;
    request.body = buffer.sliced(bodyStart, head.contentLength).toByteArray();
    return whole(std::move(request), bodyStart + head.contentLength, head.badRequest);
}

FeedResult HTTPRequestParser::feed(QByteArrayView buffer, const QString &remoteHost)
{
    // A terminator that begins after the head limit can't end an acceptable head, so the search
    // never looks further than that.
    const qsizetype searchable = std::min(buffer.size(), kMaxHeadBytes + kHeaderTerminator.size());
    const qsizetype end = buffer.first(searchable).indexOf(kHeaderTerminator);
    if (end < 0) {
        if (searchable == kMaxHeadBytes + kHeaderTerminator.size()) {
            return FeedResult::invalid(QStringLiteral("Request head too large"));
        }
        return FeedResult::needMore();
    }
    Head head;
    QString reason;
    if (!parseHead(buffer.first(end), remoteHost, head, reason)) {
        return FeedResult::invalid(reason);
    }
    return finish(head, buffer, end + kHeaderTerminator.size());
}

HTTPRequestReader::HTTPRequestReader(QString remoteHost) : m_remoteHost(std::move(remoteHost)) {}

FeedResult HTTPRequestReader::append(QByteArrayView bytes)
{
    if (m_final) {
        return *m_final;
    }
    m_buffer.append(bytes);
    if (!m_head) {
        constexpr qsizetype limit = HTTPRequestParser::kMaxHeadBytes + HTTPRequestParser::kHeaderTerminator.size();
        const qsizetype searchable = std::min(m_buffer.size(), limit);
        const qsizetype end =
            QByteArrayView(m_buffer).first(searchable).indexOf(HTTPRequestParser::kHeaderTerminator, m_searchFrom);
        if (end < 0) {
            // The terminator may straddle this read and the next: look again at the last 3 bytes.
            m_searchFrom = std::max<qsizetype>(0, searchable - (HTTPRequestParser::kHeaderTerminator.size() - 1));
            if (searchable == limit) {
                m_final = FeedResult::invalid(QStringLiteral("Request head too large"));
                return *m_final;
            }
            return FeedResult::needMore();
        }
        HTTPRequestParser::Head head;
        QString reason;
        if (!HTTPRequestParser::parseHead(QByteArrayView(m_buffer).first(end), m_remoteHost, head, reason)) {
            m_final = FeedResult::invalid(reason);
            return *m_final;
        }
        m_head = std::move(head);
        m_bodyStart = end + HTTPRequestParser::kHeaderTerminator.size();
        m_buffer.reserve(m_bodyStart + m_head->contentLength);
    }
    if (m_buffer.size() - m_bodyStart < m_head->contentLength) {
        return FeedResult::needMore();
    }
    // Whole, as `finish` would find it; the head is not needed any more, so its request moves.
    HTTPRequest request = std::move(m_head->request);
    if (m_head->contentLength > 0) {
        request.body = QByteArrayView(m_buffer).sliced(m_bodyStart, m_head->contentLength).toByteArray();
    }
    m_final = HTTPRequestParser::whole(std::move(request), m_bodyStart + m_head->contentLength, m_head->badRequest);
    m_buffer.clear();
    return *m_final;
}

} // namespace cordavelle
