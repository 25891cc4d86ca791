// A 200 MB download from a local server: the main thread must keep turning (a 10 ms timer never
// waits more than 50 ms longer than due) and the download must reach at least half of curl's
// speed on the same loopback URL.

#include "platform/http_client.h"
#include "platform/clock.h"
#include "support/fixture_http_server.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kSize = 200LL * 1000 * 1000;

QCoro::Task<void> fetch(cordavelle::HttpClient &client, QUrl url, QString destination, bool *done)
{
    co_await client.download(cordavelle::HttpRequest(std::move(url)), std::move(destination));
    *done = true;
}

struct Server {
    Server()
    {
        cordavelle::test::FixtureHttpServer::Route route;
        route.generatedSize = kSize;
        server.serve("/wine-stable.tar.xz", route);
    }
    cordavelle::test::FixtureHttpServer server;
    QTemporaryDir scratch;
};

Server &shared()
{
    static Server *made = new Server();
    return *made;
}

void BM_Download200MB(benchmark::State &state)
{
    Server &s = shared();
    cordavelle::QtHttpClient client(std::make_shared<cordavelle::SystemClock>());
    const QString destination = s.scratch.path() + "/wine-stable.tar.xz";
    qint64 worstLate = 0;
    for (auto _ : state) {
        bool done = false;
        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        QElapsedTimer sinceTick;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            worstLate = std::max(worstLate, sinceTick.restart() - 10);
            if (done) {
                loop.quit();
            }
        });
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        ticker.start();
        sinceTick.start();
        fetch(client, s.server.url("/wine-stable.tar.xz"), destination, &done);
        loop.exec();
        if (!done || QFile(destination).size() != kSize) {
            state.SkipWithError("the download did not complete");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
    state.counters["worst_main_thread_stall_ms"] = static_cast<double>(worstLate);
    std::fprintf(stderr, "worst main-thread stall: %lld ms\n", static_cast<long long>(worstLate));
    if (worstLate > 50) {
        state.SkipWithError("the main thread stalled for more than 50 ms");
    }
}

void BM_Curl200MB(benchmark::State &state)
{
    Server &s = shared();
    const QString destination = s.scratch.path() + "/curl.out";
    for (auto _ : state) {
        QProcess curl;
        curl.start("curl", {"-s", "-o", destination, s.server.url("/wine-stable.tar.xz").toString()});
        curl.waitForFinished(120000);
        if (curl.exitCode() != 0 || QFile(destination).size() != kSize) {
            state.SkipWithError("curl did not complete");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}

BENCHMARK(BM_Download200MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Curl200MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
