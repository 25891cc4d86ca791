// How a child that prints 200,000 lines weighs on the main thread: a 10 ms timer must keep
// firing, and the log must end with the last 500 lines in order.

#include "core/managed_process.h"
#include "platform/platform.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

using cordavelle::LaunchOutcome;
using cordavelle::ManagedProcess;

constexpr int kLines = 200000;

QCoro::Task<void> launch(ManagedProcess &process, QString program, QStringList arguments)
{
    co_await process.start(program, arguments);
}

bool endsWithTheLastLinesInOrder(const QStringList &lines)
{
    if (lines.size() != ManagedProcess::kMaxLogLines) {
        return false;
    }
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i] != QString::number(kLines - ManagedProcess::kMaxLogLines + 1 + i)) {
            return false;
        }
    }
    return true;
}

void chattyChild(benchmark::State &state, const QString &program, const QStringList &arguments)
{
    qint64 worstGap = 0;
    qint64 ticks = 0;
    for (auto _ : state) {
        ManagedProcess process(cordavelle::ServiceID::direwolf, cordavelle::Platform::current().clock());
        QEventLoop loop;
        auto finished = [&] {
            return process.lastLaunchOutcome() == LaunchOutcome::exitedCleanly() && !process.logLines().isEmpty()
                   && process.logLines().last() == QString::number(kLines);
        };
        QObject::connect(&process, &ManagedProcess::logLinesChanged, &loop, [&] {
            if (finished()) {
                loop.quit();
            }
        });
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        QElapsedTimer sinceTick;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            worstGap = std::max(worstGap, sinceTick.restart());
            ++ticks;
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);

        ticker.start();
        sinceTick.start();
        launch(process, program, arguments);
        loop.exec();
        worstGap = std::max(worstGap, sinceTick.elapsed());

        if (!finished() || !endsWithTheLastLinesInOrder(process.logLines())) {
            state.SkipWithError("the log does not end with the last 500 lines in order");
            break;
        }
    }
    state.counters["worst_tick_gap_ms"] = static_cast<double>(worstGap);
    state.counters["ticks"] = benchmark::Counter(static_cast<double>(ticks), benchmark::Counter::kAvgIterations);
    if (worstGap > 50) {
        state.SkipWithError("the main thread stalled for more than 50 ms");
    }
}

void BM_ChildPrinting200kLinesBuffered(benchmark::State &state)
{
    chattyChild(state, "/usr/bin/seq", {"1", QString::number(kLines)});
}

void BM_ChildPrinting200kLinesOneWriteEach(benchmark::State &state)
{
    chattyChild(state, "/usr/bin/perl", {"-e", QStringLiteral("$| = 1; print \"$_\\n\" for 1..%1").arg(kLines)});
}

BENCHMARK(BM_ChildPrinting200kLinesBuffered)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ChildPrinting200kLinesOneWriteEach)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
