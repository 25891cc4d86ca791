#include "api/http_server.h"
#include "base/service_status.h"

#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <QHostAddress>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

struct Unencodable {};
void to_json(nlohmann::ordered_json &, const Unencodable &) { throw nlohmann::json::other_error::create(501, "no", nullptr); }

TEST(HTTPResponse, FactoriesSetReasonAndContentType)
{
    const HTTPResponse teapot = HTTPResponse::error(QStringLiteral("short and stout"), 418);
    EXPECT_EQ(teapot.statusCode, 418);
    EXPECT_EQ(teapot.statusText, "Unknown");
    EXPECT_EQ(teapot.contentType, "application/json");
    for (const auto &[code, text] : std::vector<std::pair<int, QString>>{
             {200, "OK"}, {201, "Created"}, {204, "No Content"}, {400, "Bad Request"}, {401, "Unauthorized"},
             {403, "Forbidden"}, {404, "Not Found"}, {405, "Method Not Allowed"}, {409, "Conflict"},
             {429, "Too Many Requests"}, {500, "Internal Server Error"}, {503, "Service Unavailable"}}) {
        EXPECT_EQ(HTTPResponse::json(nullptr, code).statusText, text);
    }

    const HTTPResponse notFound = HTTPResponse::notFound();
    EXPECT_EQ(notFound.statusCode, 404);
    EXPECT_EQ(notFound.body, R"({"error":"Not found"})");

    EXPECT_EQ(HTTPResponse::json({{"version", "1.0"}, {"uptime", 1.5}}).body, R"({"version":"1.0","uptime":1.5})");
    // Text that is not UTF-8 can't be JSON: the body is empty, the status stays.
    const HTTPResponse broken = HTTPResponse::json({{"x", std::string("\xff")}}, 201);
    EXPECT_TRUE(broken.body.isEmpty());
    EXPECT_EQ(broken.statusCode, 201);
    const HTTPResponse unencodable = HTTPResponse::jsonEncodable(Unencodable{}, 200);
    EXPECT_TRUE(unencodable.body.isEmpty());
    EXPECT_EQ(unencodable.statusCode, 200);
    EXPECT_EQ(HTTPResponse::jsonEncodable(std::vector<int>{1, 2}).body, "[1,2]");
}

TEST(HTTPResponse, ErrorMessagesAreEscapedAsJSON)
{
    const QString message = QString::fromUtf8("say \"hi\" \\ a/b \u2014 \n\t\x01 done");
    const HTTPResponse reply = HTTPResponse::error(message, 500);
    EXPECT_EQ(reply.body, QByteArray("{\"error\":\"say \\\"hi\\\" \\\\ a/b \xe2\x80\x94 \\n\\t\\u0001 done\"}"));
    const auto parsed = nlohmann::json::parse(reply.body.toStdString());
    EXPECT_EQ(QString::fromStdString(parsed.at("error").get<std::string>()), message);
}

// Peers learn what failed and why, never the user's name or folder layout; "a/b" and a URL are
// no paths of this computer.
TEST(HTTPResponse, ErrorRepliesNameNoLocalPath)
{
    const QString plist = QStringLiteral("/home/jo/.config/cordavelle-helper/com.cordavelle.helper.plist.Ab12Cd");
    const QString data = QStringLiteral("/home/jo/.local/share/Cordavelle Helper");
    const std::pair<QString, QString> cases[] = {
        {QString::fromUtf8("Could not save the paired clients \u2014 Could not write %1: Permission denied").arg(plist),
         "Could not save the paired clients: permission denied"},
        {QString::fromUtf8("Could not save the settings \u2014 Could not rename %1: Read-only file system").arg(plist),
         "Could not save the settings: read-only file system"},
        {QStringLiteral("Could not write Direwolf config: Could not write %1/direwolf.conf: No space left on device").arg(data),
         "Could not write Direwolf config: no space left on device"},
        {QString::fromUtf8("rigctld at %1/bin/rigctld can be changed by another user (the folder %1/bin is writable "
                           "by others) \u2014 choose a program only you or root can change").arg(data),
         QString::fromUtf8("rigctld at \u2026 can be changed by another user (the folder \u2026 is writable by others) "
                           "\u2014 choose a program only you or root can change")},
        {QString::fromUtf8("Invalid VARA HF config JSON \u2014 varaPath must name a program that only you or root can "
                           "change: the file %1/wine/drive_c/VARA HF/VARA.exe is writable by others").arg(data),
         QString::fromUtf8("Invalid VARA HF config JSON \u2014 varaPath must name a program that only you or root can "
                           "change: the file \u2026 is writable by others")},
        {QStringLiteral("Could not create ~/.config/cordavelle-helper"), QString::fromUtf8("Could not create \u2026")},
        {QString::fromUtf8("Could not save the pairing token \u2014 the keyring is locked"),
         QString::fromUtf8("Could not save the pairing token \u2014 the keyring is locked")},
        {"Port 8000 and/or 8001 not listening after timeout", "Port 8000 and/or 8001 not listening after timeout"},
        {"Could not fetch http://127.0.0.1:8123/list: 404", "Could not fetch http://127.0.0.1:8123/list: 404"},
        {"winePath names no usable program: C:\\VARA\\VARA.exe is not an absolute path",
         "winePath names no usable program: C:\\VARA\\VARA.exe is not an absolute path"},        {QString::fromUtf8("Could not start VARA HF: the file \u201C%1/wine/drive_c/VARA/VARA.exe\u201D doesn\u2019t exist.").arg(data),
         QString::fromUtf8("Could not start VARA HF: the file \u201C\u2026\u201D doesn\u2019t exist.")},
    };
    for (const auto &[message, reply] : cases) {
        EXPECT_EQ(withoutLocalPaths(message), reply) << message.toStdString();
    }
    const auto body = nlohmann::json::parse(HTTPResponse::error(cases[0].first, 500).body.toStdString());
    EXPECT_EQ(body.at("error"), "Could not save the paired clients: permission denied");
}

// A refused value is named as the client sent it, and whatever the check found beyond it is not.
TEST(HTTPResponse, ErrorRepliesKeepThePathsTheClientSent)
{
    const QString home = QStringLiteral("/home/jo/bin/rigctld");
    const QString rigctld = QStringLiteral("rigctldPath names no usable program: %1 is not an absolute path");
    const QString changeable = QStringLiteral("rigctldPath must name a program that only you or root can change: %1");
    struct Case {
        const char *what;
        QString message;
        QStringList sent;
        QString reply;
    };
    const Case cases[] = {
        {"the value itself", rigctld.arg("~/bin/rigctld"), {"Serial", "~/bin/rigctld"}, rigctld.arg("~/bin/rigctld")},
        {"not sent", rigctld.arg("~/bin/rigctld"), {"~/bin/rigctl"}, rigctld.arg(QChar(0x2026))},
        {"a folder on its way", changeable.arg("the folder /home/jo/bin is writable by others"), {home},
         changeable.arg("the folder /home/jo/bin is writable by others")},
        {"where its link leads", changeable.arg("the folder /srv/shared is writable by others"), {home},
         changeable.arg(QString::fromUtf8("the folder \u2026 is writable by others"))},
        {"in typographic quotes", QString::fromUtf8("Could not open \u201C/home/jo/bin/rigctld\u201D: denied"), {home},
         QString::fromUtf8("Could not open \u201C/home/jo/bin/rigctld\u201D: denied")},
        {"a Windows path found in the prefix", QStringLiteral("the file /home/jo/.wine/drive_c/VARA/VARA.exe is writable"),
         {"C:\\VARA\\VARA.exe"}, QString::fromUtf8("the file \u2026 is writable")},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(withoutLocalPaths(c.message, c.sent), c.reply) << c.what;
    }
    EXPECT_EQ(nlohmann::json::parse(HTTPResponse::error(cases[0].message, 400, cases[0].sent).body.toStdString()).at("error"),
              cases[0].reply.toStdString());

    // A service's record names no path the helper found either, such as a VARA start's failure.
    ServiceStatus failed;
    failed.error = QString::fromUtf8("Wine for VARA HF at /home/jo/.local/bin/wine can be changed by another user");
    EXPECT_EQ(nlohmann::json::parse(serviceStatusJson(failed).toStdString()).at("error"),
              "Wine for VARA HF at \u2026 can be changed by another user");
}

// The service routes write their bodies straight out; a client must read what the document gave.
TEST(HTTPResponse, ServiceStatusTextIsTheDocumentsText)
{
    ServiceStatus running;
    running.id = "vara-fm";
    running.displayName = QString::fromUtf8("VARA \"FM\" \u2014 \\ a/b\n\x01");
    running.state = ServiceRunState::running;
    running.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    running.pid = 4'294'967'296;
    running.ports = {{"data", 8301}, {"command", 8300}};
    running.uptime = 12.345678901234;
    ServiceStatus failed;
    failed.id = "direwolf";
    failed.displayName = "Dire \"wolf\" \\ \x1f\r";
    failed.error = QString::fromUtf8("exited with \t status 1 \u00e9\U0001F4FB");
    failed.uptime = 1e21;
    ServiceStatus forever = failed;
    forever.uptime = std::numeric_limits<double>::infinity();
    for (const ServiceStatus &status : {ServiceStatus{}, running, failed, forever}) {
        EXPECT_EQ(serviceStatusJson(status), QByteArray::fromStdString(Json(status).dump()));
    }
}

TEST(HTTPServerFormat, WireFormHasStatusLineThreeHeadersAndTheBody)
{
    EXPECT_EQ(HTTPServer::formatHTTPResponse({204, "No Content", "application/json", {}}),
              "HTTP/1.1 204 No Content\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
    // The stored reason is written as is, and the length counts bytes, not characters.
    EXPECT_EQ(HTTPServer::formatHTTPResponse({299, "Odd", "text/plain", QString::fromUtf8("\u00e9").toUtf8()}),
              "HTTP/1.1 299 Odd\r\nContent-Type: text/plain\r\nContent-Length: 2\r\nConnection: close\r\n\r\n\xc3\xa9");
}

TEST(HTTPServerPeers, HostText)
{
    EXPECT_EQ(HTTPServer::canonicalHostString(QHostAddress(QStringLiteral("::ffff:127.0.0.1"))), "127.0.0.1");
    EXPECT_EQ(HTTPServer::canonicalHostString(QHostAddress(QStringLiteral("::ffff:192.168.1.20"))), "192.168.1.20");
    EXPECT_EQ(HTTPServer::canonicalHostString(QHostAddress(QStringLiteral("fe80::1%lo"))), "fe80::1");
    EXPECT_EQ(HTTPServer::canonicalHostString(QHostAddress::LocalHostIPv6), "::1");
    EXPECT_EQ(HTTPServer::canonicalHostString(QHostAddress()), "");
}

// With network access on: the private and shared ranges, and whatever this machine has on-link.
TEST(HTTPServerPeers, LocalNetworkPeersAreThePrivateRangesAndTheInterfacesOnLinkPrefixes)
{
    test::FixedNetworkInterfaces interfaces;
    interfaces.list = {
        {QHostAddress(QStringLiteral("2001:db8:1::20")), 64, {}},
        {QHostAddress(QStringLiteral("198.51.100.20")), 24, {}},
        {QHostAddress(QStringLiteral("203.0.113.5")), 0, {}},
        {QHostAddress(QStringLiteral("2001:db8:9::1")), -1, {}},
    };
    const std::pair<const char *, bool> cases[] = {
        {"127.9.9.9", true},        {"10.1.2.3", true},         {"172.16.0.1", true},
        {"172.31.255.255", true},   {"192.168.0.7", true},      {"169.254.10.10", true},
        {"100.64.0.1", true},       {"100.127.255.255", true},  {"::1", true},
        {"fe80::abcd", true},       {"fd12:3456::1", true},     {"2001:db8:1::abcd", true},
        {"198.51.100.77", true},
        {"100.128.0.1", false},     {"100.63.255.255", false},  {"2001:db8:2::1", false},
        {"198.51.101.1", false},    {"8.8.8.8", false},         {"172.32.0.1", false},
        {"192.169.0.1", false},     {"2001:db8:9::1", false},   {"::ffff:10.0.0.1", false},
        {"", false},                {"localhost", false},       {"0.0.0.0", false},
    };
    for (const auto &[host, local] : cases) {
        EXPECT_EQ(HTTPServer::isLocalNetworkHost(host, interfaces), local) << host;
    }
    // Prefixes are read as they are at the moment of asking.
    interfaces.list.clear();
    EXPECT_FALSE(HTTPServer::isLocalNetworkHost("2001:db8:1::abcd", interfaces));
}

TEST(HTTPServerPeers, UnusableAPIPortFallsBackWithAWarning)
{
    test::TestPlatform env;
    EXPECT_EQ(HTTPServer::apiPortOrDefault(8390), 8390);
    EXPECT_EQ(HTTPServer::apiPortOrDefault(1), 1);
    EXPECT_EQ(HTTPServer::apiPortOrDefault(65535), 65535);
    EXPECT_TRUE(env.log().entries.empty());
    for (const qint64 port : {0LL, -1LL, 65536LL, 1LL << 40}) {
        EXPECT_EQ(HTTPServer::apiPortOrDefault(port), 8380);
        EXPECT_TRUE(env.log().contains(QStringLiteral("apiPort %1 is not a usable port; serving on 8380").arg(port)));
    }
    EXPECT_EQ(env.log().entries.back().level, LogLevel::Error);
}

} // namespace
} // namespace cordavelle
