// A 500 MB download from a local server to disk, against curl fetching the same URL into the same
// folder, in three alternating rounds. Prints each round, then the median speed of each, their
// ratio and the worst main-thread stall seen during our downloads (a 10 ms timer that came late by
// that much). The download must keep the main thread turning (no stall over 20 ms) and reach 0.8 of
// curl's speed. The same timer on an idle event loop, for as long as each download took, shows how
// late the machine's own load makes it, so that a stall can be told from a busy machine.

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
#include <vector>

namespace {

constexpr qint64 kSize = 500LL * 1000 * 1000;
constexpr int kRounds = 3;
constexpr qint64 kMaxStallMs = 20;
constexpr double kMinShareOfCurl = 0.8;

QCoro::Task<void> fetch(cordavelle::HttpClient &client, QUrl url, QString destination, bool *done)
{
    co_await client.download(cordavelle::HttpRequest(std::move(url)), std::move(destination));
    *done = true;
}

// The worst lateness of a 10 ms timer on an event loop with nothing else to do, over `ms`.
qint64 idleLateness(int ms)
{
    qint64 worstLate = 0;
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QElapsedTimer sinceTick;
    QObject::connect(&ticker, &QTimer::timeout, [&] { worstLate = std::max(worstLate, sinceTick.restart() - 10); });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    ticker.start();
    sinceTick.start();
    loop.exec();
    return worstLate;
}

// Our download; returns its seconds and raises `worstLate` to the worst lateness of the timer.
double downloadOnce(cordavelle::QtHttpClient &client, const QUrl &url, const QString &destination, qint64 &worstLate)
{
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
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    QElapsedTimer took;
    took.start();
    ticker.start();
    sinceTick.start();
    fetch(client, url, destination, &done);
    loop.exec();
    const double seconds = took.nsecsElapsed() / 1e9;
    if (!done || QFile(destination).size() != kSize) {
        return -1;
    }
    return seconds;
}

double curlOnce(const QUrl &url, const QString &destination)
{
    QElapsedTimer took;
    took.start();
    QProcess curl;
    curl.start("curl", {"-s", "-o", destination, url.toString()});
    curl.waitForFinished(300000);
    const double seconds = took.nsecsElapsed() / 1e9;
    if (curl.exitCode() != 0 || QFile(destination).size() != kSize) {
        return -1;
    }
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_Download500MBAgainstCurl(benchmark::State &state)
{
    cordavelle::test::FixtureHttpServer server;
    cordavelle::test::FixtureHttpServer::Route route;
    route.generatedSize = kSize;
    server.serve("/wine-stable.tar.xz", route);
    const QUrl url = server.url("/wine-stable.tar.xz");
    QTemporaryDir scratch;
    cordavelle::QtHttpClient client(std::make_shared<cordavelle::SystemClock>());
    const QString ours = scratch.path() + "/wine-stable.tar.xz";
    const QString theirs = scratch.path() + "/curl.out";

    for (auto _ : state) {
        std::vector<double> oursMBs;
        std::vector<double> curlMBs;
        qint64 worstLate = 0;
        qint64 worstIdle = 0;
        for (int round = 0; round < kRounds; ++round) {
            qint64 late = 0;
            const double a = downloadOnce(client, url, ours, late);
            QFile::remove(ours);
            const double b = curlOnce(url, theirs);
            QFile::remove(theirs);
            if (a <= 0 || b <= 0) {
                state.SkipWithError(a <= 0 ? "our download did not complete" : "curl did not complete");
                return;
            }
            const qint64 idle = idleLateness(static_cast<int>(a * 1000));
            oursMBs.push_back(kSize / 1e6 / a);
            curlMBs.push_back(kSize / 1e6 / b);
            worstLate = std::max(worstLate, late);
            worstIdle = std::max(worstIdle, idle);
            std::fprintf(stderr, "round %d: %.0f MB/s, curl %.0f MB/s, main-thread stall %lld ms, idle loop late %lld ms\n",
                         round + 1, oursMBs.back(), curlMBs.back(), static_cast<long long>(late),
                         static_cast<long long>(idle));
        }
        const double oursMedian = median(oursMBs);
        const double curlMedian = median(curlMBs);
        state.counters["MB_per_s"] = oursMedian;
        state.counters["curl_MB_per_s"] = curlMedian;
        state.counters["worst_main_thread_stall_ms"] = static_cast<double>(worstLate);
        state.counters["worst_idle_loop_late_ms"] = static_cast<double>(worstIdle);
        std::fprintf(stderr,
                     "download to disk: %.0f MB/s, curl %.0f MB/s (%.2f of curl), worst main-thread stall %lld ms "
                     "(idle loop: %lld ms)\n",
                     oursMedian, curlMedian, oursMedian / curlMedian, static_cast<long long>(worstLate),
                     static_cast<long long>(worstIdle));
        if (worstLate > kMaxStallMs) {
            state.SkipWithError("the main thread stalled for more than 20 ms");
        } else if (oursMedian < kMinShareOfCurl * curlMedian) {
            state.SkipWithError("the download reached less than 0.8 of curl's speed");
        }
    }
}

BENCHMARK(BM_Download500MBAgainstCurl)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
