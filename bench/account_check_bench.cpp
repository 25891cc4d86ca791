// The launch check of a program in a group-writable folder of the group that the user (or root)
// has to itself, as under a session umask of 002: the check asks who that group holds, which takes
// a walk of the whole user database. bench/account_check.sh runs this with a generated database of
// 200,000 accounts in place of the machine's; without it, the machine's own database is walked.
//
//   WalkUserDatabase      one walk through the system's readers, as it runs on a thread of its own
//   CheckOnAskersThread   one check on the asking (window's) thread, the walks remembered for a
//                         minute and a minute passing every 16 checks, so that walks keep running
//                         beside the checks; max_ms is the slowest check of the run, the first one
//                         included (it waits up to SystemAccounts::kFirstWait for the first walk),
//                         and over_20ms counts the checks slower than 20 ms

#include "platform/accounts.h"
#include "platform/platform.h"
#include "platform/program_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

using Clock = RememberedHolders::Clock;

// The system's databases, with a clock of the benchmark's own for the remembered answers.
class PacedAccounts final : public Accounts {
public:
    std::optional<UserAccount> user(unsigned uid) const override { return m_system.user(uid); }
    std::optional<GroupAccount> group(unsigned gid) const override { return m_system.group(gid); }
    GroupHolders holders(unsigned gid) const override { return m_remembered.holders(gid); }

    void passAMinute() { m_now = m_now.load() + std::chrono::seconds(61); }

private:
    SystemAccounts m_system;
    std::atomic<Clock::time_point> m_now{Clock::now()};
    RememberedHolders m_remembered{[](unsigned gid) { return walkHolders(gid); }, SystemAccounts::kFirstWait,
                                   [this] { return m_now.load(); }};
};

void WalkUserDatabase(benchmark::State &state)
{
    size_t held = 0;
    for (auto _ : state) {
        const GroupHolders holders = walkHolders(::getegid());
        held = static_cast<size_t>(holders.names.size());
        benchmark::DoNotOptimize(holders);
    }
    state.counters["holders"] = static_cast<double>(held);
}
BENCHMARK(WalkUserDatabase)->Unit(benchmark::kMillisecond);

void CheckOnAskersThread(benchmark::State &state)
{
    QTemporaryDir root;
    const QString folder = root.path() + QStringLiteral("/bin");
    const QString tool = folder + QStringLiteral("/tool");
    QDir().mkpath(folder);
    QFile file(tool);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n") < 0) {
        state.SkipWithError("could not write the program");
        return;
    }
    file.close();
    ::chmod(QFile::encodeName(folder).constData(), 0775);
    ::chmod(QFile::encodeName(tool).constData(), 0775);
    auto context = std::make_unique<Platform>();
    auto accounts = std::make_shared<PacedAccounts>();
    context->setAccounts(accounts);
    const Platform::Scope scope(std::move(context));
    double slowest = 0;
    int64_t over20 = 0;
    int64_t checks = 0;
    int64_t accepted = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const ProgramFile checked = inspectProgramFile(tool);
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        slowest = std::max(slowest, took);
        over20 += took > 20 ? 1 : 0;
        accepted += checked.changeable ? 0 : 1;
        if (++checks % 16 == 0) {
            accounts->passAMinute();
        }
    }
    state.counters["max_ms"] = slowest;
    state.counters["over_20ms"] = static_cast<double>(over20);
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["checks"] = static_cast<double>(checks);
}
BENCHMARK(CheckOnAskersThread)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace cordavelle
