#include "api/http_server.h"
#include "platform/network_interfaces.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/link_local.h"
#include "support/manual_clock.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

#include <QCoroSignal>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <coroutine>
#include <optional>
#include <stdexcept>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// A server on a free loopback port whose handler records what it was given and echoes it back.
class HTTPServerWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        handler = [this](HTTPRequest request) -> QCoro::Task<HTTPResponse> {
            requests.push_back(request);
            nlohmann::ordered_json body;
            body["method"] = request.method.toStdString();
            body["path"] = request.path.toStdString();
            body["body"] = request.body ? request.body->toStdString() : std::string("<none>");
            co_return HTTPResponse::json(body);
        };
    }

    void startServer()
    {
        ASSERT_TRUE(test::startOnFreePort(server, [this](HTTPRequest r) { return handler(std::move(r)); }));
    }

    static QByteArray wire(const HTTPResponse &response) { return HTTPServer::formatHTTPResponse(response); }

    test::TestPlatform env;
    HTTPServer server{env.platform().clock(), env.platform().peerOwners()};
    HTTPServer::Handler handler;
    std::vector<HTTPRequest> requests;
};

TEST_F(HTTPServerWire, ServesOneRequestAndCloses)
{
    startServer();
    const QByteArray raw = test::exchange(server.port(), "POST /services/vara-hf/start?x=1 HTTP/1.1\r\n"
                                                         "Host: localhost\r\nContent-Length: 3\r\n\r\nabc");
    const test::WireReply reply = test::WireReply::parse(raw);
    ASSERT_TRUE(reply.wellFormed) << raw.toStdString();
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.headerLines, (QList<QByteArray>{"Content-Type: application/json",
                                                    "Content-Length: " + QByteArray::number(reply.body.size()),
                                                    "Connection: close"}));
    EXPECT_EQ(reply.body, R"({"method":"POST","path":"/services/vara-hf/start","body":"abc"})");

    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remoteHost, "127.0.0.1");
    EXPECT_EQ(requests[0].headers.at("host"), "localhost");

    const QStringList log = env.log().messages();
    const QString from = QStringLiteral(" from 127.0.0.1:");
    EXPECT_TRUE(log.filter(QStringLiteral("POST /services/vara-hf/start") + from).size() == 1) << log.join('\n').toStdString();
    EXPECT_TRUE(log.filter(QString::fromUtf8("POST /services/vara-hf/start \u2192 200") + from).size() == 1);
    EXPECT_TRUE(env.log().contains(QStringLiteral("HTTP server listening on port %1").arg(server.port())));
    for (const auto &entry : env.log().entries) {
        EXPECT_EQ(entry.category, "HTTPServer");
    }
}

TEST_F(HTTPServerWire, AReplyLargerThanTheSocketTakesIsSentWhole)
{
    // Far more than the socket takes at once, so the rest waits until the client has read some.
    QByteArray big(8 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    handler = [&big](HTTPRequest) -> QCoro::Task<HTTPResponse> {
        HTTPResponse response = HTTPResponse::json(nullptr);
        response.body = big;
        co_return response;
    };
    startServer();
    const test::WireReply reply = test::WireReply::parse(test::exchange(server.port(), "GET /log HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(reply.wellFormed);
    EXPECT_EQ(reply.body.size(), big.size());
    EXPECT_TRUE(reply.body == big);
}

TEST_F(HTTPServerWire, WithoutHandlerEveryRequestIsNotFound)
{
    ASSERT_TRUE(test::startOnFreePort(server, nullptr));
    EXPECT_EQ(test::exchange(server.port(), "GET /status HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n\r\n{\"error\":\"Not found\"}");
}

TEST_F(HTTPServerWire, RequestArrivingOneByteAtATimeIsServedOnItsLastByte)
{
    startServer();
    const QByteArray request = "PUT /callsign HTTP/1.1\r\nContent-Length: 18\r\n\r\n{\"callsign\":\"n0c\"}";
    test::WireClient client;
    ASSERT_TRUE(client.connectTo(server.port()));
    for (qsizetype i = 0; i + 1 < request.size(); ++i) {
        client.send(request.mid(i, 1));
        ASSERT_TRUE(client.waitUntilServerHasRead()) << i;
    }
    EXPECT_TRUE(client.isOpen());
    EXPECT_TRUE(requests.empty());
    client.send(request.right(1));
    ASSERT_TRUE(client.waitForClose());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, QByteArray("{\"callsign\":\"n0c\"}"));
    EXPECT_EQ(client.reply().statusCode, 200);
}

TEST_F(HTTPServerWire, OnlyTheFirstRequestOfAConnectionIsAnswered)
{
    startServer();
    // A body longer than its Content-Length, then a pipelined second request.
    const QByteArray raw = test::exchange(server.port(), "POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nxyEXTRA"
                                                         "GET /b HTTP/1.1\r\n\r\n");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, QByteArray("xy"));
    EXPECT_EQ(raw.count("HTTP/1.1 "), 1);
    EXPECT_FALSE(env.log().contains(QStringLiteral("GET /b")));
}

TEST_F(HTTPServerWire, MalformedRequestsCloseWithoutAReply)
{
    startServer();
    const std::vector<std::pair<QByteArray, QString>> cases = {
        {"GET\r\n\r\n", "Malformed request line"},
        {"\r\nGET / HTTP/1.1\r\n\r\n", "Malformed request line"},
        {"GET /\xff HTTP/1.1\r\n\r\n", "Headers not valid UTF-8"},
        {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nhello", "Negative Content-Length"},
        {"POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", "Request body too large"},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", "Request body too large"},
        {"GET / HTTP/1.1\r\nX-Pad: " + QByteArray(70000, 'a'), "Request head too large"},
    };
    for (const auto &[request, reason] : cases) {
        SCOPED_TRACE(request.left(60).toStdString());
        test::WireClient client;
        ASSERT_TRUE(client.connectTo(server.port()));
        client.send(request);
        EXPECT_TRUE(client.waitForClose());
        EXPECT_TRUE(client.received().isEmpty());
        EXPECT_TRUE(env.log().contains(QStringLiteral("Invalid HTTP request from 127.0.0.1:")
                                       + QString::number(0).left(0)))
            << reason.toStdString();
        EXPECT_TRUE(env.log().contains(QStringLiteral(": ") + reason)) << reason.toStdString();
    }
    EXPECT_TRUE(requests.empty());

    // The server is unharmed.
    EXPECT_EQ(test::WireReply::parse(test::exchange(server.port(), "GET / HTTP/1.1\r\n\r\n")).statusCode, 200);
}

TEST_F(HTTPServerWire, PeerFinishingEarlyGetsNoReply)
{
    startServer();
    test::WireClient halfHead;
    ASSERT_TRUE(halfHead.connectTo(server.port()));
    halfHead.send("GET /status HTTP/1.1\r\nHo");
    halfHead.finishSending();
    ASSERT_TRUE(halfHead.waitForClose());
    EXPECT_TRUE(halfHead.received().isEmpty());
    EXPECT_TRUE(env.log().contains(QStringLiteral("Connection closed mid-request from 127.0.0.1:")));

    const auto linesBefore = env.log().entries.size();
    test::WireClient silent;
    ASSERT_TRUE(silent.connectTo(server.port()));
    silent.finishSending();
    ASSERT_TRUE(silent.waitForClose());
    EXPECT_TRUE(silent.received().isEmpty());
    for (auto i = linesBefore; i < env.log().entries.size(); ++i) {
        EXPECT_TRUE(env.log().entries[i].message.startsWith("Connection from"))
            << env.log().entries[i].message.toStdString();
    }
    EXPECT_TRUE(requests.empty());
}

TEST_F(HTTPServerWire, CompleteRequestFollowedByEndOfSendingIsStillAnswered)
{
    // The handler suspends, so the end of sending reaches the server before the reply exists.
    handler = [](HTTPRequest) -> QCoro::Task<HTTPResponse> {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(50ms);
        co_await qCoro(&timer, &QTimer::timeout);
        co_return HTTPResponse::json({{"late", true}});
    };
    startServer();
    test::WireClient client;
    ASSERT_TRUE(client.connectTo(server.port()));
    client.send("GET /status HTTP/1.1\r\n\r\n");
    client.finishSending();
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ(client.reply().statusCode, 200);
    EXPECT_EQ(client.reply().body, R"({"late":true})");
}

TEST_F(HTTPServerWire, ConnectionWithoutAWholeRequestIsClosedAfterTenSeconds)
{
    startServer();
    test::WireClient slow;
    ASSERT_TRUE(slow.connectTo(server.port()));
    slow.send("GET /status HTTP/1.1\r\nHost: x");
    test::WireClient silent;
    ASSERT_TRUE(silent.connectTo(server.port()));
    ASSERT_TRUE(test::processEventsUntil([&] { return env.clock().sleeperCount() == 2; }));

    env.clock().advance(9999ms);
    // A close in that step would show at once on the server's end.
    EXPECT_TRUE(slow.waitUntilServerHasRead());
    EXPECT_TRUE(silent.waitUntilServerHasRead());
    EXPECT_TRUE(slow.isOpen());
    EXPECT_TRUE(silent.isOpen());

    env.clock().advance(1ms);
    EXPECT_TRUE(slow.waitForClose());
    EXPECT_TRUE(silent.waitForClose());
    EXPECT_TRUE(slow.received().isEmpty());
    EXPECT_TRUE(silent.received().isEmpty());
    EXPECT_EQ(env.log().messages().filter(QStringLiteral("Request timed out from 127.0.0.1:")).size(), 2);
    EXPECT_TRUE(requests.empty());
}

TEST_F(HTTPServerWire, ServedConnectionLeavesNoTimerBehind)
{
    startServer();
    ASSERT_EQ(test::WireReply::parse(test::exchange(server.port(), "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);
    EXPECT_TRUE(test::processEventsUntil([&] { return env.clock().sleeperCount() == 0; }));
    env.clock().advance(20s);
    EXPECT_FALSE(env.log().contains(QStringLiteral("timed out")));
}

TEST_F(HTTPServerWire, PeersBeyondLoopbackAreCutOffUnlessNetworkAccessIsAllowed)
{
    bool allowNetworkAccess = false;
    server.setNetworkAccessPolicy([&] { return allowNetworkAccess; }, env.networkInterfaces());
    startServer();
    const QHostAddress otherLoopback(QStringLiteral("127.0.0.2"));

    test::WireClient refused;
    if (!refused.connectTo(server.port(), QHostAddress::LocalHost, otherLoopback)) {
        GTEST_SKIP() << "cannot connect from 127.0.0.2";
    }
    refused.send("GET /status HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(refused.waitForClose());
    EXPECT_TRUE(refused.received().isEmpty());
    EXPECT_TRUE(env.log().contains(QStringLiteral("Rejected non-local connection from 127.0.0.2:")));
    EXPECT_TRUE(requests.empty());

    // The setting is read for every connection; no restart needed.
    allowNetworkAccess = true;
    test::WireClient served;
    ASSERT_TRUE(served.connectTo(server.port(), QHostAddress::LocalHost, otherLoopback));
    served.send("GET /status HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(served.waitForClose());
    EXPECT_EQ(served.reply().statusCode, 200);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remoteHost, "127.0.0.2");
    EXPECT_FALSE(requests[0].isLoopback());
}

TEST_F(HTTPServerWire, ConnectionsOfOtherUsersAreClosedUnreadAndLoggedOncePerUser)
{
    test::ScriptedPeerOwners owners;
    HTTPServer refusing{env.platform().clock(), owners};
    ASSERT_TRUE(test::startOnFreePort(refusing, [this](HTTPRequest r) { return handler(std::move(r)); }));
    const auto refusedCount = [&](const QString &uid) {
        return env.log().messages().filter(QStringLiteral("Refused a connection from a process of another user (uid %1) at 127.0.0.1:").arg(uid)).size();
    };

    owners.answer = {PeerOwner::Kind::otherUser, 1234, {}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(test::exchange(refusing.port(), "GET /status HTTP/1.1\r\n\r\n").isEmpty());
    }
    owners.answer = {PeerOwner::Kind::otherUser, 1235, {}};
    EXPECT_TRUE(test::exchange(refusing.port(), "GET /status HTTP/1.1\r\n\r\n").isEmpty());
    EXPECT_EQ(refusedCount("1234"), 1);
    EXPECT_EQ(refusedCount("1235"), 1);
    EXPECT_FALSE(env.log().contains(QStringLiteral("GET /status")));

    // When nobody can tell whose a connection is, it is refused too.
    owners.answer = {PeerOwner::Kind::unknown, 0, QStringLiteral("no socket table")};
    EXPECT_TRUE(test::exchange(refusing.port(), "GET /status HTTP/1.1\r\n\r\n").isEmpty());
    EXPECT_TRUE(env.log().contains(QStringLiteral("whose it is can't be told (no socket table)")));
    EXPECT_TRUE(requests.empty());

    owners.answer = {PeerOwner::Kind::thisUser, 0, {}};
    EXPECT_EQ(test::WireReply::parse(test::exchange(refusing.port(), "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);
    EXPECT_EQ(owners.asked, 5);
}

TEST_F(HTTPServerWire, AProcessOfAnotherUserGetsNoAnswerAtAll)
{
    SKIP_UNLESS_ROOT("running a client as another user");
    startServer();
    const QByteArray request = "GET /status HTTP/1.1\r\nHost: localhost:" + QByteArray::number(server.port()) + "\r\n\r\n";
    for (int i = 0; i < 2; ++i) {
        test::OtherUserClient client(QHostAddress(QHostAddress::LocalHost), server.port(), request);
        EXPECT_EQ(client.bytesReceived(), 0L);
    }
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(env.log().messages().filter(QStringLiteral("(uid %1)").arg(test::kOtherUid)).size(), 1);
    // This user's own client is served as before.
    EXPECT_EQ(test::WireReply::parse(test::exchange(server.port(), request)).statusCode, 200);
}

// With network access on, a program of this machine that connects through one of the machine's
// own addresses is still only served when it is this user's, and never taken for a peer elsewhere.
TEST_F(HTTPServerWire, ThroughALinkLocalAddressOfThisComputerOnlyThisUsersProgramsAreServed)
{
    QString whyNot;
    const std::optional<QHostAddress> linkLocal = test::ownLinkLocalAddress(&whyNot);
    if (!linkLocal) {
        GTEST_SKIP() << whyNot.toStdString();
    }
    KernelNetworkInterfaces interfaces;
    server.setNetworkAccessPolicy([] { return true; }, interfaces);
    startServer();
    QHostAddress bare = *linkLocal;
    bare.setScopeId(QString());

    test::WireClient own;
    ASSERT_TRUE(own.connectTo(server.port(), *linkLocal));
    own.send("GET /status HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(own.waitForClose());
    EXPECT_EQ(own.reply().statusCode, 200);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remoteHost, bare.toString());

    if (test::OtherUserClient::canStart()) {
        test::OtherUserClient other(*linkLocal, server.port(), "POST /pair/request HTTP/1.1\r\n\r\n");
        EXPECT_EQ(other.bytesReceived(), 0L);
        EXPECT_EQ(requests.size(), 1u);
        EXPECT_EQ(env.log().messages().filter(QStringLiteral("(uid %1)").arg(test::kOtherUid)).size(), 1);
    }

    // Whose a connection from this machine is must be found, or it is refused.
    test::ScriptedPeerOwners owners;
    owners.answer = {PeerOwner::Kind::notFound, 0, {}};
    HTTPServer blind{env.platform().clock(), owners};
    blind.setNetworkAccessPolicy([] { return true; }, interfaces);
    ASSERT_TRUE(test::startOnFreePort(blind, [this](HTTPRequest r) { return handler(std::move(r)); }));
    test::WireClient unknown;
    ASSERT_TRUE(unknown.connectTo(blind.port(), *linkLocal));
    unknown.send("GET /status HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(unknown.waitForClose());
    EXPECT_TRUE(unknown.received().isEmpty());
    EXPECT_EQ(requests.size(), 1u);
    // The log names the address with its zone.
    EXPECT_TRUE(env.log().contains(QStringLiteral("Refused a connection from %1:").arg(linkLocal->toString())));
    EXPECT_TRUE(env.log().contains(QStringLiteral(", an address of this computer: whose it is can't be found")));
    SKIP_UNLESS_ROOT("the client of another user");
}

TEST_F(HTTPServerWire, RequestsFromWebPagesAreRefusedBeforeTheHandler)
{
    startServer();
    const QByteArray port = QByteArray::number(server.port());
    const auto send = [&](const QByteArray &headers) {
        return test::WireReply::parse(test::exchange(server.port(), "POST /pair/request HTTP/1.1\r\n" + headers +
                                                                        "Content-Type: text/plain\r\n"
                                                                        "Content-Length: 2\r\n\r\n{}"));
    };
    // A page that rebound its own name to 127.0.0.1, and a cross-site request.
    test::WireReply reply = send("Host: attacker.example:" + port + "\r\n");
    EXPECT_EQ(reply.statusCode, 403);
    EXPECT_EQ(reply.body, "{\"error\":\"Forbidden \xe2\x80\x94 the Host header does not name this computer\"}");
    reply = send("Host: 127.0.0.1:" + port + "\r\nOrigin: http://attacker.example\r\n");
    EXPECT_EQ(reply.statusCode, 403);
    EXPECT_EQ(reply.body, "{\"error\":\"Forbidden \xe2\x80\x94 requests from web pages are not served\"}");
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(env.log().contains(QStringLiteral("Refused POST /pair/request from 127.0.0.1:")));
    // The foreign name first, then ours: which one a reader takes is not to be guessed.
    reply = send("Host: attacker.example\r\nHost: 127.0.0.1:" + port + "\r\n");
    EXPECT_EQ(reply.statusCode, 400);
    EXPECT_EQ(reply.body, R"({"error":"More than one Host header"})");
    EXPECT_EQ(send(QByteArray("Host: localhost\0.attacker.example\r\n", 35)).statusCode, 400);
    EXPECT_TRUE(requests.empty());

    EXPECT_EQ(send("Host: 127.0.0.1:" + port + "\r\n").statusCode, 200);
    EXPECT_EQ(send("Host: localhost\r\n").statusCode, 200);
    EXPECT_EQ(test::WireReply::parse(test::exchange(server.port(), "GET /status HTTP/1.0\r\n\r\n")).statusCode, 200);
    EXPECT_EQ(requests.size(), 3u);
}

TEST_F(HTTPServerWire, ServesIPv6Loopback)
{
    startServer();
    test::WireClient client;
    if (!client.connectTo(server.port(), QHostAddress::LocalHostIPv6)) {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    client.send("GET /status HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ(client.reply().statusCode, 200);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].remoteHost, "::1");
    EXPECT_TRUE(env.log().contains(QStringLiteral("GET /status from ::1:")));
}

TEST_F(HTTPServerWire, HandlerThatThrowsStillGetsAReply)
{
    handler = [](HTTPRequest) -> QCoro::Task<HTTPResponse> {
        throw std::runtime_error("boom \"quoted\"");
        co_return HTTPResponse::notFound();
    };
    startServer();
    const test::WireReply reply = test::WireReply::parse(test::exchange(server.port(), "GET /x HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(reply.body, R"({"error":"boom \"quoted\""})");
}

TEST_F(HTTPServerWire, PeerLeavingOrServerGoingAwayWhileTheHandlerRunsHarmsNothing)
{
    std::vector<std::coroutine_handle<>> parked;
    struct Park {
        std::vector<std::coroutine_handle<>> *parked;
        explicit Park(std::vector<std::coroutine_handle<>> *p) : parked(p) {}
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) { parked->push_back(h); }
        void await_resume() const noexcept {}
    };
    handler = [&parked](HTTPRequest) -> QCoro::Task<HTTPResponse> {
        co_await Park(&parked);
        co_return HTTPResponse::json({{"ok", true}});
    };
    auto owned = std::make_unique<HTTPServer>(env.platform().clock(), env.platform().peerOwners());
    ASSERT_TRUE(test::startOnFreePort(*owned, [this](HTTPRequest r) { return handler(std::move(r)); }));

    test::WireClient leaving;
    ASSERT_TRUE(leaving.connectTo(owned->port()));
    leaving.send("GET /a HTTP/1.1\r\n\r\n");
    test::WireClient staying;
    ASSERT_TRUE(staying.connectTo(owned->port()));
    staying.send("GET /b HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(test::processEventsUntil([&] { return parked.size() == 2; }));

    leaving.closeNow();
    // The reply goes to a connection whose peer the server's end has seen leave.
    ASSERT_TRUE(test::processEventsUntil([&] { return leaving.serverEnd().state != TCP_ESTABLISHED; }));
    parked[0].resume();
    test::ManualClock::processEvents();

    owned.reset();
    EXPECT_TRUE(staying.waitForClose());
    parked[1].resume();
    test::ManualClock::processEvents();
    EXPECT_TRUE(staying.received().isEmpty());
}

TEST_F(HTTPServerWire, OutsideTextInTheLogNeverForgesALineOfItsOwn)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    env.platform().setLogSink(std::make_shared<StderrLogSink>(file));
    startServer();
    test::exchange(server.port(), "GET /x%0Ainfo%20FAKE%0D%1B[2J%7F%09 HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray written(1 << 16, '\0');
    std::rewind(file);
    written.resize(static_cast<qsizetype>(std::fread(written.data(), 1, written.size(), file)));
    std::fclose(file);

    const QStringList lines = QString::fromUtf8(written).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    for (const QString &line : lines) {
        EXPECT_TRUE(line.startsWith(QStringLiteral("info com.cordavelle.helper[HTTPServer] "))
                    || line.startsWith(QStringLiteral("debug com.cordavelle.helper[HTTPServer] ")))
            << line.toStdString();
    }
    EXPECT_EQ(lines.filter(QStringLiteral("GET /x\\ninfo FAKE\\r\\x1b[2J\\x7f\\t \u2192 200 from 127.0.0.1:")).size(), 1)
        << written.toStdString();
}

TEST_F(HTTPServerWire, AConnectionResetBeforeItIsTakenUpIsNoRejection)
{
    startServer();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // Closing with a zero linger time resets the connection while it waits to be accepted.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);

    // The server still serves the next client, which it takes up after the reset one.
    EXPECT_TRUE(test::WireReply::parse(test::exchange(server.port(), "GET / HTTP/1.1\r\n\r\n")).wellFormed);
    EXPECT_FALSE(env.log().contains("Rejected")) << env.log().messages().join('\n').toStdString();
}

TEST(HTTPServerStart, PortZeroIsRefusedAndABusyPortIsReported)
{
    test::TestPlatform env;
    HTTPServer unusable(env.clock(), env.platform().peerOwners());
    unusable.start(0, nullptr);
    EXPECT_TRUE(env.log().contains(QStringLiteral("Invalid port: 0")));
    EXPECT_EQ(unusable.listener(), nullptr);
    EXPECT_FALSE(unusable.isRunning());

    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    HTTPServer busy(env.clock(), env.platform().peerOwners());
    std::optional<QString> failure;
    busy.setFailureHandler([&](const QString &error) { failure = error; });
    busy.start(occupant.serverPort(), nullptr);
    EXPECT_FALSE(busy.isRunning());
    EXPECT_FALSE(failure.has_value());  // reported after start returns
    ASSERT_TRUE(test::processEventsUntil([&] { return failure.has_value(); }));
    EXPECT_FALSE(failure->isEmpty());
    EXPECT_TRUE(env.log().contains(QStringLiteral("HTTP server failed: ") + *failure));
}

TEST(HTTPServerStart, RunningAndPortAreObservable)
{
    test::TestPlatform env;
    HTTPServer server{env.platform().clock(), env.platform().peerOwners()};
    std::vector<bool> running;
    std::vector<quint16> ports;
    QObject::connect(&server, &HTTPServer::isRunningChanged, [&](bool r) { running.push_back(r); });
    QObject::connect(&server, &HTTPServer::portChanged, [&](quint16 p) { ports.push_back(p); });
    ASSERT_TRUE(test::startOnFreePort(server, nullptr));
    EXPECT_EQ(running, std::vector<bool>{true});
    EXPECT_EQ(ports, std::vector<quint16>{server.port()});
    EXPECT_NE(server.listener(), nullptr);
}

// Idle connections held by another process, so that only the server's side counts here. It
// prints "open" once all are connected, then on any input line how many the server has closed.
class IdleClients {
public:
    IdleClients(quint16 port, int count)
    {
        static const char script[] =
            "import resource, socket, sys\n"
            "_, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))\n"
            "s = [socket.create_connection(('127.0.0.1', int(sys.argv[1]))) for _ in range(int(sys.argv[2]))]\n"
            "print('open', flush=True)\n"
            "for line in sys.stdin:\n"
            "    closed = 0\n"
            "    for c in s:\n"
            "        c.setblocking(False)\n"
            "        try:\n"
            "            closed += c.recv(1) == b''\n"
            "        except BlockingIOError:\n"
            "            pass\n"
            "    print(closed, flush=True)\n";
        m_python.start(QStringLiteral("/usr/bin/python3"), {"-c", script, QString::number(port), QString::number(count)});
    }
    ~IdleClients() { end(); }

    bool waitUntilOpen() { return readLine() == "open"; }
    int closedByServer()
    {
        m_python.write("?\n");
        return readLine().toInt();
    }
    void end()
    {
        m_python.closeWriteChannel();
        if (!test::processEventsUntil([&] { return m_python.state() == QProcess::NotRunning; }, 30s)) {
            ADD_FAILURE() << "the idle clients did not end within 30 s of their input closing";
            test::stopProcess(m_python);
        }
    }

private:
    // The server accepts on this thread's event loop meanwhile. Connections beyond its listen
    // queue are taken when the client sends them again, a second and more later, so on a busy
    // machine opening them all takes a while.
    QByteArray readLine()
    {
        if (!test::processEventsUntil([&] { return m_python.canReadLine(); }, 60s)) {
            ADD_FAILURE() << "the idle clients wrote no line within 60 s";
        }
        return m_python.readLine().trimmed();
    }
    QProcess m_python;
};

// The processor time this process has used; asked without a descriptor, which may be lacking.
std::chrono::milliseconds cpuTimeOfThisProcess()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &t) { return std::chrono::milliseconds(t.tv_sec * 1000 + t.tv_usec / 1000); };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

TEST(HTTPServerLimits, OutOfDescriptorsTheServerRestsAndAnswersAgainOnceConnectionsClose)
{
    test::TestPlatform env;
    env.useSystemClock();
    HTTPServer server(env.platform().clock(), env.platform().peerOwners());
    ASSERT_TRUE(test::startOnFreePort(server, [](HTTPRequest) -> QCoro::Task<HTTPResponse> {
        co_return HTTPResponse::json(nlohmann::ordered_json{{"ok", true}});
    }));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(test::openDescriptorCount() + 40);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &saved); });

    IdleClients clients(server.port(), 60);
    ASSERT_TRUE(clients.waitUntilOpen());
    ASSERT_TRUE(test::processEventsUntil([&] { return env.log().contains("No descriptor left for a new connection"); }));
    const auto before = cpuTimeOfThisProcess();
    // A measurement, not a wait: what the server costs in a second of real time out of descriptors.
    test::processEventsFor(1s);
    const auto used = cpuTimeOfThisProcess() - before;
    std::printf("CPU time in 1 s out of descriptors: %lld ms\n", static_cast<long long>(used.count()));
    EXPECT_LT(used, 200ms) << "a whole core would be 1000 ms";

    clients.end();
    QElapsedTimer answered;
    answered.start();
    const test::WireReply reply = test::WireReply::parse(test::exchange(server.port(), "GET /status HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(reply.statusCode, 200);
    EXPECT_LT(answered.elapsed(), 1000);
}

TEST(HTTPServerLimits, BeyondTheCapTheOldestIdleConnectionsMakeWay)
{
    test::TestPlatform env;
    HTTPServer server(env.platform().clock(), env.platform().peerOwners());
    ASSERT_TRUE(test::startOnFreePort(server, nullptr));
    const int extra = 8;
    IdleClients clients(server.port(), static_cast<int>(HTTPServer::kMaxConnections) + extra);
    ASSERT_TRUE(clients.waitUntilOpen());
    // The last ones may still wait in the listen queue until the server takes them; it has taken
    // them all once it has closed as many as there are beyond the cap.
    EXPECT_TRUE(test::processEventsUntil([&] { return clients.closedByServer() >= extra; }, 30s));
    EXPECT_EQ(clients.closedByServer(), extra);
    EXPECT_EQ(test::exchange(server.port(), "GET /status HTTP/1.1\r\n\r\n").left(12), "HTTP/1.1 404");
}

} // namespace
} // namespace cordavelle
