#include "api/request_origin.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

HTTPRequest withHeaders(std::map<QString, QString> headers)
{
    HTTPRequest request;
    request.method = QStringLiteral("POST");
    request.path = QStringLiteral("/pair/request");
    request.headers = std::move(headers);
    return request;
}

TEST(RequestOrigin, OnlyNativeRequestsNamingThisComputerOnTheAPIPortAreServed)
{
    const QHostAddress lanAddress(QStringLiteral("192.168.1.20"));
    const RequestOrigin gate(8380, {QStringLiteral("shack"), QStringLiteral("shack.local")},
                             [&](const QHostAddress &a) { return a == lanAddress; });

    const char *served[] = {"localhost:8380", "LOCALHOST:8380", "localhost.:8380", "127.0.0.1:8380",
                            "127.0.0.5:8380", "[::1]:8380", "shack:8380", "Shack.local.:8380",
                            "192.168.1.20:8380", "localhost", "[::1]", "127.0.0.1"};
    for (const char *host : served) {
        EXPECT_EQ(gate.refusal(withHeaders({{"host", host}})), std::nullopt) << host;
    }
    EXPECT_EQ(gate.refusal(withHeaders({})), std::nullopt) << "HTTP/1.0 without Host";

    const QString foreignHost = QString::fromUtf8("Forbidden \u2014 the Host header does not name this computer");
    const char *refused[] = {"attacker.example:8380", "attacker.example", "localhost:8381", "localhost:80",
                             "127.0.0.1:+8380", "localhost:x", "localhost.attacker.example:8380",
                             "192.168.1.21:8380", "[::1", "[::1]x", "::1:8380", "[fe80::1%eth0]:8380",
                             "shack.attacker.example:8380", ""};
    for (const char *host : refused) {
        EXPECT_EQ(gate.refusal(withHeaders({{"host", host}})), foreignHost) << host;
    }

    // Any Origin at all, even with a good Host or the opaque "null" a sandboxed page sends.
    const QString fromPage = QString::fromUtf8("Forbidden \u2014 requests from web pages are not served");
    for (const char *origin : {"http://attacker.example", "http://localhost:8380", "null", ""}) {
        EXPECT_EQ(gate.refusal(withHeaders({{"host", "localhost:8380"}, {"origin", origin}})), fromPage) << origin;
    }
}

} // namespace
} // namespace cordavelle
