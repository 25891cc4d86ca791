#include "api/http_request_parser.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <random>

namespace cordavelle {
namespace {

FeedResult feed(const QByteArray &bytes, const QString &remote = QStringLiteral("127.0.0.1"))
{
    return HTTPRequestParser::feed(bytes, remote);
}

TEST(HTTPRequestParser, MinimalRequestIsComplete)
{
    const FeedResult r = feed("GET /status HTTP/1.1\r\n\r\n");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.method, "GET");
    EXPECT_EQ(r.request.path, "/status");
    EXPECT_TRUE(r.request.headers.empty());
    EXPECT_FALSE(r.request.body.has_value());
    EXPECT_EQ(r.request.remoteHost, "127.0.0.1");
    EXPECT_EQ(r.consumed, 24);

    EXPECT_EQ(feed("GET /status HTTP/1.1\r\n").kind, FeedResult::Kind::needMore);
    // Bare line feeds never end the head, however much follows.
    EXPECT_EQ(feed("GET / HTTP/1.1\nHost: a\n\n" + QByteArray(500, 'x')).kind, FeedResult::Kind::needMore);
}

TEST(HTTPRequestParser, RequestLineKeepsMethodCaseAndNormalisesTheTarget)
{
    FeedResult r = feed("get  /a%20b?x=1 HTTP/1.0\r\n\r\n");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.method, "get");
    EXPECT_EQ(r.request.path, "/a b");

    // Only spaces separate, and runs of them count as one.
    r = feed("  GET\t/x   /y  \r\n\r\n");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.method, "GET\t/x");
    EXPECT_EQ(r.request.path, "/y");

    EXPECT_EQ(HTTPRequestParser::normalizedPath("/bad%zz?x=1"), "/bad%zz");
    EXPECT_EQ(HTTPRequestParser::normalizedPath("/trail%2"), "/trail%2");
    EXPECT_EQ(HTTPRequestParser::normalizedPath("/not-utf8%ff"), "/not-utf8%ff");
    EXPECT_EQ(HTTPRequestParser::normalizedPath("/a%3Fb%2Fc+d?q"), "/a?b/c+d");
    EXPECT_EQ(HTTPRequestParser::normalizedPath(QString::fromUtf8("/caf%C3%A9")), QString::fromUtf8("/caf\u00e9"));
}

TEST(HTTPRequestParser, InvalidHeadsNameTheirReason)
{
    const auto reason = [](const QByteArray &bytes) {
        const FeedResult r = feed(bytes);
        return r.kind == FeedResult::Kind::invalid ? r.reason : QStringLiteral("<not invalid>");
    };
    EXPECT_EQ(reason("\r\nGET / HTTP/1.1\r\n\r\n"), "Malformed request line");
    EXPECT_EQ(reason("\r\n\r\n"), "Malformed request line");
    EXPECT_EQ(reason("GET\r\n\r\n"), "Malformed request line");
    EXPECT_EQ(reason("GET / HTTP/1.1\r\nX: \xc0\xaf\r\n\r\n"), "Headers not valid UTF-8");  // overlong "/"
    EXPECT_EQ(reason("GET /\xed\xa0\x80 HTTP/1.1\r\n\r\n"), "Headers not valid UTF-8");  // a surrogate
    // Only the head is checked: a body may hold any bytes.
    EXPECT_EQ(feed("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xff\xfe").kind, FeedResult::Kind::complete);
}

// Answered 400 once whole (body included), so the peer reads the reason before the close.
TEST(HTTPRequestParser, ARepeatedHostOrOneWithControlCharactersIsABadRequest)
{
    const struct {
        QByteArray headers;
        const char *reason;
    } cases[] = {
        {"Host: evil.example\r\nhost: localhost\r\n", "More than one Host header"},
        {"Host: localhost\r\nHOST : localhost\r\n", "More than one Host header"},
        {QByteArray("Host: localhost\0.evil\r\n", 23), "Host header holds a control character"},
        {"Host: local\x01host\r\n", "Host header holds a control character"},
        {"Host: local\thost\r\n", "Host header holds a control character"},
        {"Host: localhost\x7f\r\n", "Host header holds a control character"},
        {"Host: localhost\r\nX-Host: a\r\nX: \x01\r\n", nullptr},
        {"Host: \t localhost \r\n", nullptr},
    };
    for (const auto &c : cases) {
        const QByteArray bytes = "POST / HTTP/1.1\r\n" + c.headers + "Content-Length: 2\r\n\r\n{}";
        const FeedResult r = feed(bytes);
        EXPECT_EQ(r.kind, c.reason ? FeedResult::Kind::badRequest : FeedResult::Kind::complete) << c.headers.toStdString();
        EXPECT_EQ(r.reason, c.reason ? QString::fromLatin1(c.reason) : QString()) << c.headers.toStdString();
        EXPECT_EQ(r.consumed, bytes.size());
    }
    EXPECT_EQ(feed("POST / HTTP/1.1\r\nHost: a\r\nHost: b\r\nContent-Length: 2\r\n\r\n{").kind,
              FeedResult::Kind::needMore);
}

TEST(HTTPRequestParser, HeadersAreTrimmedLowerCasedAndTheLastOneWins)
{
    const FeedResult r = feed("GET / HTTP/1.1\r\n"
                              "X-A: 1\r\n"
                              "x-a: 2\r\n"
                              " \tSpaced-Name \t:  value: with colon \r\n"
                              "no colon here\r\n"
                              "Wide\xe3\x80\x80: \xc2\xa0nbsp\xc2\xa0\r\n"
                              "\r\n");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.headers, (std::map<QString, QString>{
                                     {"x-a", "2"},
                                     {"spaced-name", "value: with colon"},
                                     {"wide", "nbsp"},
                                 }));
}

TEST(HTTPRequestParser, BodyFollowsContentLength)
{
    const QByteArray head = "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(feed(head + "abc").kind, FeedResult::Kind::needMore);

    FeedResult r = feed(head + "abcdefgh");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.body, QByteArray("abcde"));
    EXPECT_EQ(r.consumed, head.size() + 5);

    r = feed("POST /x HTTP/1.1\r\nContent-Length: +5\r\n\r\nabcde");
    ASSERT_EQ(r.kind, FeedResult::Kind::complete);
    EXPECT_EQ(r.request.body, QByteArray("abcde"));

    // Lengths that can't be read count as no body at all.
    for (const QByteArray value : {"abc", "", "5x", "+", "-", " 5 5", "0", "-0", "++5"}) {
        const QByteArray bytes = "POST /x HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\nrest";
        r = feed(bytes);
        ASSERT_EQ(r.kind, FeedResult::Kind::complete) << value.toStdString();
        EXPECT_FALSE(r.request.body.has_value()) << value.toStdString();
        EXPECT_EQ(r.consumed, bytes.size() - 4);
    }
}

TEST(HTTPRequestParser, SizeLimitsAndNegativeLengthsAreRefused)
{
    const auto withLength = [](const QByteArray &value) {
        return feed("POST / HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n");
    };
    EXPECT_EQ(withLength("-5").reason, "Negative Content-Length");
    EXPECT_EQ(withLength("-99999999999999999999").reason, "Negative Content-Length");
    EXPECT_EQ(withLength("1048577").reason, "Request body too large");
    EXPECT_EQ(withLength("9223372036854775808").reason, "Request body too large");
    EXPECT_EQ(withLength("1048576").kind, FeedResult::Kind::needMore);

    // A head of exactly the limit is still read; one byte more is refused, terminator or not.
    const QByteArray line = "GET / HTTP/1.1\r\nX: ";
    const QByteArray atLimit = line + QByteArray(HTTPRequestParser::kMaxHeadBytes - line.size(), 'a');
    EXPECT_EQ(feed(atLimit + "\r\n\r\n").kind, FeedResult::Kind::complete);
    EXPECT_EQ(feed(atLimit + "\r\n\r").kind, FeedResult::Kind::needMore);
    EXPECT_EQ(feed(atLimit + "a\r\n\r\n").reason, "Request head too large");
    EXPECT_EQ(feed(atLimit + "aaaa").reason, "Request head too large");
}

TEST(HTTPRequestParser, PathComponentsAndLoopback)
{
    HTTPRequest request;
    request.path = "/";
    EXPECT_TRUE(request.pathComponents().isEmpty());
    request.path = "/services//vara-hf/";
    EXPECT_EQ(request.pathComponents(), (QStringList{"services", "vara-hf"}));

    for (const char *host : {"127.0.0.1", "::1"}) {
        request.remoteHost = host;
        EXPECT_TRUE(request.isLoopback()) << host;
    }
    for (const char *host : {"::ffff:127.0.0.1", "localhost", "127.0.0.2", ""}) {
        request.remoteHost = host;
        EXPECT_FALSE(request.isLoopback()) << host;
    }
}

// The reader must agree with a fresh parse of everything received so far, however the bytes are
// split across reads.
TEST(HTTPRequestReader, AgreesWithTheWholeBufferParseAtEverySplit)
{
    const QByteArray longHead = "GET / HTTP/1.1\r\nX: " + QByteArray(HTTPRequestParser::kMaxHeadBytes, 'h');
    const std::vector<QByteArray> inputs = {
        "GET /status HTTP/1.1\r\n\r\n",
        "PUT /callsign HTTP/1.1\r\nContent-Length: 18\r\n\r\n{\"callsign\":\"n0c\"}trailing",
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "GET /\xff HTTP/1.1\r\n\r\n",
        "\r\n\r\n",
        "GET / HTTP/1.1\r\r\n\n\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: a\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc",
        longHead,
    };
    std::mt19937 random(12);
    for (const QByteArray &input : inputs) {
        for (int round = 0; round < 20; ++round) {
            HTTPRequestReader reader(QStringLiteral("::1"));
            qsizetype at = 0;
            FeedResult last;
            while (at < input.size()) {
                const qsizetype step = round == 0 ? 1 : 1 + static_cast<qsizetype>(random() % 9000);
                const qsizetype n = std::min(step, input.size() - at);
                last = reader.append(QByteArrayView(input).sliced(at, n));
                at += n;
                ASSERT_EQ(last, HTTPRequestParser::feed(input.first(at), QStringLiteral("::1")))
                    << input.left(40).toStdString() << " at " << at;
                if (last.kind != FeedResult::Kind::needMore) {
                    break;
                }
            }
            // Once decided, the answer stays.
            EXPECT_EQ(reader.append("more"), last);
        }
    }
}

} // namespace
} // namespace cordavelle
