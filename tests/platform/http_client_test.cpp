#include "platform/files.h"
#include "platform/http_client.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/small_disk.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QFile>
#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// Whether this process still has a file open whose name begins with `path` (a removed file that
// is still open reads "<path> (deleted)").
bool heldOpen(const QString &path)
{
    const std::string wanted = QFile::encodeName(path).toStdString();
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(wanted, 0) == 0) {
            return true;
        }
    }
    return false;
}

// While it lives, no file of this process may grow past `bytes`: a write beyond fails as one on a
// full disk does, for any user. Its signal is ignored meanwhile, so that the write fails rather than
// ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = m_old;
        lower.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool set() const { return m_set; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_set = false;
};

class HttpClientTest : public ::testing::Test {
protected:
    HttpClient &client() { return env.platform().httpClient(); }
    QString scratch(const QString &name) { return env.platform().paths().privateTemporary() + QLatin1Char('/') + name; }

    // A 4 MiB download to `destination`, which holds "previous", that the disk refuses partway
    // with `error`: it fails saying so, and leaves the destination as it was and nothing else.
    void expectRefusedWrite(const QString &destination, int error)
    {
        test::FixtureHttpServer::Route archive;
        archive.generatedSize = 4 * 1024 * 1024;
        server.serve("/archive", archive);
        const QString partial = destination + ".download";
        try {
            test::runToEnd(client().download({server.url("/archive")}, destination));
            ADD_FAILURE() << "a download the disk refused was taken as whole";
        } catch (const FileError &failure) {
            EXPECT_EQ(failure.description(),
                      QStringLiteral("Could not write %1: %2").arg(partial, QString::fromLocal8Bit(std::strerror(error))));
        }
        EXPECT_EQ(test::readBytes(destination), QByteArray("previous"));
        EXPECT_FALSE(QFile::exists(partial));
        EXPECT_FALSE(heldOpen(partial)) << "the writing thread still holds the file";
    }

    test::TestPlatform env;
    test::FixtureHttpServer server;
};

TEST_F(HttpClientTest, AnHttpStatusIsAResultAndHeadersGoOut)
{
    server.serve("/ok", "hello");
    server.serve("/gone", "no such thing", 404);
    server.serveHtmlPage("/broken", 500);

    HttpRequest request{server.url("/ok")};
    request.headers = {{"Accept", "application/vnd.github.v3+json"}};
    const HttpResponse ok = test::runToEnd(client().get(request));
    EXPECT_EQ(ok.statusCode, 200);
    EXPECT_EQ(ok.body, QByteArray("hello"));
    EXPECT_EQ(server.requestsFor("/ok").at(0).header("Accept"), QByteArray("application/vnd.github.v3+json"));

    const HttpResponse gone = test::runToEnd(client().get({server.url("/gone")}));
    EXPECT_EQ(gone.statusCode, 404);
    EXPECT_EQ(gone.body, QByteArray("no such thing"));

    const HttpResponse broken = test::runToEnd(client().get({server.url("/broken")}));
    EXPECT_EQ(broken.statusCode, 500);
    EXPECT_TRUE(broken.body.startsWith("<!DOCTYPE html>"));
    EXPECT_EQ(broken.header("content-type"), QByteArray("text/html; charset=utf-8"));
}

TEST_F(HttpClientTest, ADocumentLargerThanTheCapIsRefusedWhetherOrNotItsLengthIsSent)
{
    for (const bool sendLength : {true, false}) {
        SCOPED_TRACE(sendLength);
        test::FixtureHttpServer::Route huge;
        huge.generatedSize = HttpClient::kMaximumDocumentSize + 1;
        huge.sendLength = sendLength;
        server.serve("/huge", huge);
        try {
            test::runToEnd(client().get({server.url("/huge")}));
            ADD_FAILURE() << "an oversized document was kept";
        } catch (const HttpError &error) {
            EXPECT_EQ(error.kind(), HttpError::Kind::transport);
            EXPECT_EQ(error.description(),
                      QStringLiteral("The answer from %1 is larger than 8 MiB.").arg(server.url("/huge").toDisplayString()));
        }
    }
}

TEST_F(HttpClientTest, RedirectsAreFollowedAndAuthorizationStaysWithItsOrigin)
{
    server.serve("/blob", "bottle bytes");
    server.redirect("/same", "/blob", 307);
    // Another loopback address is another origin.
    test::FixtureHttpServer elsewhere(QStringLiteral("127.0.0.2"));
    elsewhere.serve("/blob", "bottle bytes");
    server.redirect("/elsewhere", elsewhere.url("/blob").toString());
    server.redirect("/loop", "/loop");

    HttpRequest same{server.url("/same"), {{"Authorization", "Bearer Tw=="}}};
    const HttpResponse kept = test::runToEnd(client().get(same));
    EXPECT_EQ(kept.body, QByteArray("bottle bytes"));
    EXPECT_EQ(kept.url, server.url("/blob"));
    EXPECT_EQ(server.requestsFor("/blob").at(0).header("Authorization"), QByteArray("Bearer Tw=="));

    HttpRequest other{server.url("/elsewhere"), {{"Authorization", "Bearer Tw=="}}};
    EXPECT_EQ(test::runToEnd(client().get(other)).body, QByteArray("bottle bytes"));
    EXPECT_EQ(server.requestsFor("/elsewhere").at(0).header("Authorization"), QByteArray("Bearer Tw=="));
    EXPECT_TRUE(elsewhere.requestsFor("/blob").at(0).header("Authorization").isEmpty());

    try {
        test::runToEnd(client().get({server.url("/loop")}));
        ADD_FAILURE() << "a redirect loop ended";
    } catch (const HttpError &error) {
        EXPECT_EQ(error.description(),
                  QStringLiteral("Too many HTTP redirects, the last from 127.0.0.1:%1").arg(server.port()));
    }
}

TEST_F(HttpClientTest, NoAnswerIsATransportErrorNamingTheServer)
{
    const quint16 closedPort = [] {
        test::FixtureHttpServer gone;
        return gone.port();
    }();
    try {
        test::runToEnd(client().get({QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort))}));
        ADD_FAILURE() << "a refused connection answered";
    } catch (const HttpError &error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::transport);
        EXPECT_EQ(error.description(), QStringLiteral("Could not reach 127.0.0.1:%1: Connection refused").arg(closedPort));
    }

    // An answer cut short of its length is no answer either, and leaves no file. Qt itself
    // often reports such an answer as whole, more so after an earlier request to the server.
    test::FixtureHttpServer::Route dropped;
    dropped.body = QByteArray(100000, 'd');
    dropped.dropAfter = 1000;
    server.serve("/dropped", dropped);
    server.serve("/page", "before");
    const QString destination = scratch("dropped.bin");
    for (int round = 0; round < 20; ++round) {
        const bool toFile = round % 2 == 1;
        SCOPED_TRACE(round);
        test::runToEnd(client().get({server.url("/page")}));
        try {
            if (toFile) {
                test::runToEnd(client().download({server.url("/dropped")}, destination));
            } else {
                test::runToEnd(client().get({server.url("/dropped")}));
            }
            ADD_FAILURE() << "a dropped answer was taken whole";
        } catch (const HttpError &error) {
            EXPECT_EQ(error.kind(), HttpError::Kind::transport);
            EXPECT_TRUE(error.description().startsWith(
                QStringLiteral("The answer from 127.0.0.1:%1 broke off: ").arg(server.port())))
                << error.description().toStdString();
        }
        EXPECT_FALSE(QFile::exists(destination));
        EXPECT_FALSE(QFile::exists(destination + ".download"));
    }
}

TEST_F(HttpClientTest, WithNoDescriptorLeftARequestFailsSayingSoAndTheNextOneIsServed)
{
    server.serve("/ok", "hello");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(test::openDescriptorCount() + 40);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> taken;
    const auto release = [&] {
        for (const int fd : std::exchange(taken, {})) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved);
    };
    const auto restore = qScopeGuard(release);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    try {
        test::runToEnd(client().get({server.url("/ok")}));
        ADD_FAILURE() << "a request without a descriptor answered";
    } catch (const HttpError &error) {
        EXPECT_EQ(error.kind(), HttpError::Kind::transport);
        EXPECT_EQ(error.description(),
                  QStringLiteral("Could not reach 127.0.0.1:%1: too few descriptors are left; try again shortly")
                      .arg(server.port()));
    }
    release();
    EXPECT_EQ(test::runToEnd(client().get({server.url("/ok")})).body, QByteArray("hello"));
}

TEST_F(HttpClientTest, DownloadsReportProgressAgainstTheLengthOrUnknown)
{
    const QByteArray body(3 * 1024 * 1024 + 17, 'w');
    server.serve("/sized", body);
    test::FixtureHttpServer::Route unsized;
    unsized.body = body;
    unsized.sendLength = false;
    server.serve("/unsized", unsized);

    for (const auto &[path, expectedTotal] : {std::pair{"/sized", qint64(body.size())}, std::pair{"/unsized", qint64(-1)}}) {
        SCOPED_TRACE(path);
        const QString destination = scratch("archive.tar.xz");
        std::vector<std::pair<qint64, qint64>> reports;
        const HttpDownload done = test::runToEnd(client().download(
            {server.url(path)}, destination, [&](qint64 received, qint64 total) { reports.emplace_back(received, total); }));
        EXPECT_EQ(done.statusCode, 200);
        EXPECT_EQ(done.size, body.size());
        EXPECT_EQ(test::readBytes(destination), body);
        EXPECT_FALSE(QFile::exists(destination + ".download"));
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back(), std::pair(qint64(body.size()), expectedTotal));
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
        EXPECT_EQ(server.requestsFor(path).at(0).header("Accept-Encoding"), QByteArray("identity"));
    }
}

TEST_F(HttpClientTest, AStoppedOrSilentDownloadLeavesTheDestinationAsItWas)
{
    test::FixtureHttpServer::Route stalling;
    stalling.body = QByteArray(200000, 's');
    stalling.stallAfter = 1000;
    server.serve("/stall", stalling);
    const QString destination = scratch("wine-stable.tar.xz");
    ASSERT_TRUE(test::writeFile(destination, "previous"));

    std::stop_source stop;
    auto cancelled = test::track(client().download({server.url("/stall")}, destination, {}, stop.get_token()));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    stop.request_stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return cancelled->done; }));
    EXPECT_EQ(cancelled->error, QStringLiteral("Cancelled"));
    EXPECT_EQ(test::readBytes(destination), QByteArray("previous"));
    EXPECT_FALSE(QFile::exists(destination + ".download"));
    EXPECT_FALSE(heldOpen(destination + ".download")) << "the writing thread still holds the file";
    // The cancel dropped the connection.
    EXPECT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 0; }));

    // The same while the body pours in as fast as the disk takes it.
    test::FixtureHttpServer::Route flood;
    flood.generatedSize = 256 * 1024 * 1024;
    server.serve("/flood", flood);
    std::stop_source flooding;
    auto midway = test::track(client().download(
        {server.url("/flood")}, destination,
        [&](qint64 bytes, qint64) {
            if (bytes >= 32 * 1024 * 1024) {
                flooding.request_stop();
            }
        },
        flooding.get_token()));
    ASSERT_TRUE(test::processEventsUntil([&] { return midway->done; }, 60s));
    EXPECT_EQ(midway->error, QStringLiteral("Cancelled"));
    EXPECT_EQ(test::readBytes(destination), QByteArray("previous"));
    EXPECT_FALSE(QFile::exists(destination + ".download"));
    EXPECT_FALSE(heldOpen(destination + ".download")) << "the writing thread still holds the file";

    // The idle time-out runs on the platform's clock: 60 s of silence end the download, while
    // after 59 s the rest of the body still comes through.
    HttpRequest request{server.url("/stall")};
    request.timeout = 60s;
    qint64 received = 0;
    const auto quietDownload = [&] {
        received = 0;
        return test::track(client().download(request, destination, [&](qint64 bytes, qint64) { received = bytes; }));
    };
    auto silent = quietDownload();
    ASSERT_TRUE(test::processEventsUntil([&] { return received == 1000; }));
    env.clock().advance(60s);
    ASSERT_TRUE(test::processEventsUntil([&] { return silent->done; }));
    EXPECT_EQ(silent->error,
              QStringLiteral("127.0.0.1:%1 stopped sending its answer: nothing came for 60 s after 1000 bytes.").arg(server.port()));
    EXPECT_EQ(test::readBytes(destination), QByteArray("previous"));

    auto patient = quietDownload();
    ASSERT_TRUE(test::processEventsUntil([&] { return received == 1000; }));
    env.clock().advance(59s);
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return patient->done; }));
    EXPECT_FALSE(patient->error) << patient->error->toStdString();
    EXPECT_EQ(test::readBytes(destination), stalling.body);
}

// A document that keeps coming a byte at a time never goes quiet: once its transfer has outlasted
// its limit, what came in the last minute must keep a slow link's pace. The stall after the
// headers stands for the trickle, with an idle time-out longer than the limit.
TEST_F(HttpClientTest, ADocumentThatFallsBehindAfterItsLimitFailsSayingSo)
{
    test::FixtureHttpServer::Route slow;
    slow.body = QByteArray(200000, 't');
    slow.stallAfter = 0;
    server.serve("/slow", slow);
    HttpRequest request{server.url("/slow")};
    request.timeout = 600s;
    auto trickled = test::track(client().get(request));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    env.clock().advance(119s);
    EXPECT_FALSE(test::processEventsUntil([&] { return trickled->done; }, 200ms));
    env.clock().advance(1s);
    ASSERT_TRUE(test::processEventsUntil([&] { return trickled->done; }));
    EXPECT_EQ(trickled->error,
              QStringLiteral("127.0.0.1:%1 answered too slowly: 0 bytes came in the last 60 s, 120 s into the transfer.")
                  .arg(server.port()));
    server.release();
}

// The body comes in drips every 10 s on the platform's clock. A slow link's pace carries a
// transfer past its limit, though not past its ceiling; a burst buys no time for a trickle after it.
TEST_F(HttpClientTest, PastItsLimitATransferIsJudgedOnTheLastMinutesPace)
{
    const struct {
        const char *name;
        qint64 burst;
        qint64 drip;
        qint64 size;
        const char *error; // empty: arrives whole
    } cases[] = {
        {"slow link, 3 kB/s", 30000, 30000, 600000, ""},
        {"slow link past the ceiling", 30000, 30000, 3000000, "answered too slowly: its answer was still coming after 600 s."},
        {"burst, then 100 bytes/s", 700000, 1000, 800000,
         "answered too slowly: 5000 bytes came in the last 60 s, 120 s into the transfer."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test::FixtureHttpServer::Route dripping;
        dripping.body = QByteArray(c.size, 'd');
        dripping.stallAfter = c.burst;
        server.serve("/drip", dripping);
        // A download, whose progress tells when each drip is in; the limits are a document's.
        HttpRequest request{server.url("/drip")};
        request.limit = HttpClient::kDocumentTimeLimit;
        request.ceiling = HttpClient::kDocumentTimeCeiling;
        qint64 received = 0;
        const auto begun = env.clock().now();
        auto fetched = test::track(client().download(request, scratch("drip"), [&](qint64 bytes, qint64) { received = bytes; }));
        qint64 sent = c.burst;
        while (!fetched->done) {
            ASSERT_TRUE(test::processEventsUntil([&] { return received == sent || fetched->done; }));
            if (sent == c.size) {
                ASSERT_TRUE(test::processEventsUntil([&] { return fetched->done; }));
            }
            if (fetched->done) {
                break;
            }
            env.clock().advance(10s);
            if (!test::processEventsUntil([&] { return fetched->done; }, 20ms)) {
                sent = std::min(c.size, sent + c.drip);
                server.releaseBytes(c.drip);
            }
        }
        if (*c.error == '\0') {
            EXPECT_FALSE(fetched->error) << fetched->error->toStdString();
            EXPECT_EQ(received, c.size);
            EXPECT_GT(env.clock().now() - begun, HttpClient::kDocumentTimeLimit);
        } else {
            EXPECT_EQ(fetched->error, QStringLiteral("127.0.0.1:%1 ").arg(server.port()) + QLatin1String(c.error));
        }
        server.release();
    }
}

// 8 MB at once and then a byte now and then: the quiet between the bytes ends it. A download,
// whose progress tells when the burst is in, with a document's quiet limit.
TEST_F(HttpClientTest, ADocumentThatGoesQuietAfterABurstFailsAfterThirtySeconds)
{
    test::FixtureHttpServer::Route burst;
    burst.generatedSize = 8000000 + 100;
    burst.stallAfter = 8000000;
    server.serve("/burst", burst);
    HttpRequest request{server.url("/burst")};
    request.timeout = HttpClient::kDocumentQuietLimit;
    qint64 received = 0;
    auto stalled = test::track(client().download(request, scratch("burst"), [&](qint64 bytes, qint64) { received = bytes; }));
    ASSERT_TRUE(test::processEventsUntil([&] { return received == 8000000; }));
    env.clock().advance(29s);
    EXPECT_FALSE(test::processEventsUntil([&] { return stalled->done; }, 200ms));
    env.clock().advance(1s);
    ASSERT_TRUE(test::processEventsUntil([&] { return stalled->done; }));
    EXPECT_EQ(stalled->error,
              QStringLiteral("127.0.0.1:%1 stopped sending its answer: nothing came for 30 s after 8000000 bytes.")
                  .arg(server.port()));
    server.release();
}

// A document fetched with get()'s own limits, the platform's clock moving 10 s at a time: a
// server that never answers fails it after 30 s of quiet, and one that keeps a slow link's pace
// (a 100 kB drip every 10 s) ends at the 10-minute ceiling.
TEST_F(HttpClientTest, ADocumentWithTheDefaultLimitsFailsWhenSilentOrPastItsCeiling)
{
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    test::FixtureHttpServer::Route dripping;
    dripping.body = QByteArray(7000000, 'd');
    dripping.stallAfter = 0;
    server.serve("/document", dripping);
    const struct {
        const char *name;
        QUrl url;
        qint64 drip;
        std::chrono::seconds end;
        const char *error;
    } cases[] = {
        {"silent", QUrl(QStringLiteral("http://127.0.0.1:%1/document").arg(silent.serverPort())), 0, 30s,
         "sent no answer within 30 s."},
        {"trickling", server.url("/document"), 100000, 600s, "answered too slowly: its answer was still coming after 600 s."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto begun = env.clock().now();
        auto fetched = test::track(client().get({c.url}));
        while (!fetched->done && env.clock().now() - begun < 700s) {
            env.clock().advance(10s);
            // Time for the last drip to come in as well.
            if (!test::processEventsUntil([&] { return fetched->done; }, 50ms) && c.drip > 0) {
                server.releaseBytes(c.drip);
                // The client must have read the drip before the clock moves on, or a client kept
                // waiting by a busy machine would count the drip's time as silence.
                ASSERT_TRUE(test::processEventsUntil(
                    [&] { return server.stalledCount() == 1 && server.clientsReadEverything(); }, 30s))
                    << "the client did not read the drip within 30 s";
                QCoreApplication::processEvents();
            }
        }
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(env.clock().now() - begun), c.end);
        EXPECT_EQ(fetched->error, QStringLiteral("127.0.0.1:%1 ").arg(c.url.port()) + QLatin1String(c.error))
            << fetched->error.value_or(QString()).toStdString();
        server.release();
    }
}

// A redirect gives its target; a body that keeps coming behind it holds nothing up, neither a
// document nor a download.
TEST_F(HttpClientTest, ARedirectsEndlessBodyIsNotWaitedFor)
{
    server.serveFault("/release", test::FixtureHttpServer::Fault::endlessRedirect);
    server.serve("/release/moved", "the list");
    EXPECT_EQ(test::runToEnd(client().get({server.url("/release")})).body, QByteArray("the list"));
    const QString destination = scratch("moved.bin");
    EXPECT_EQ(test::runToEnd(client().download({server.url("/release")}, destination)).size, 8);
    EXPECT_EQ(test::readBytes(destination), QByteArray("the list"));
    // Both redirects' connections were dropped.
    EXPECT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 0; }));
}

TEST_F(HttpClientTest, ADownloadPastAFileSizeLimitFailsAndLeavesTheDestinationAsItWas)
{
    const QString destination = scratch("wine-stable.tar.xz");
    ASSERT_TRUE(test::writeFile(destination, "previous"));
    FileSizeLimit limit(1024 * 1024);
    ASSERT_TRUE(limit.set());
    expectRefusedWrite(destination, EFBIG);
}

TEST_F(HttpClientTest, ADownloadToAFullDiskFailsAndLeavesTheDestinationAsItWas)
{
    test::SmallDisk disk(env.root() + "/disk");
    if (!disk.available()) {
        GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
    }
    const QString destination = env.root() + "/disk/wine-stable.tar.xz";
    ASSERT_TRUE(test::writeFile(destination, "previous"));
    ASSERT_TRUE(disk.fill());
    expectRefusedWrite(destination, ENOSPC);
}

TEST(RemoteLinks, HttpsAlwaysAndPlainHttpOnlyFromADocumentThatCameOverIt)
{
    const QUrl secure("https://downloads.example/VARA%20Products/");
    const QUrl plain("http://127.0.0.1:8080/VARA%20Products/");
    const struct {
        const char *link;
        const QUrl &document;
        bool accepted;
    } cases[] = {
        {"https://cdn.example/a.zip", secure, true}, {"https://cdn.example/a.zip", plain, true},
        {"http://cdn.example/a.zip", plain, true},   {"http://cdn.example/a.zip", secure, false},
        {"ftp://cdn.example/a.zip", plain, false},   {"file:///etc/passwd", secure, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.link);
        try {
            requireSecureLink(QUrl(c.link), c.document);
            EXPECT_TRUE(c.accepted);
        } catch (const HttpError &error) {
            EXPECT_FALSE(c.accepted);
            EXPECT_EQ(error.description(), QStringLiteral("Refused the insecure link %1").arg(c.link));
        }
    }
}

} // namespace
} // namespace cordavelle
