// What a start pays to tell whose program listens on a service's port: the look for another
// user's listener before the launch, and each look of the port wait for the child's own, from the
// quick case (the child holds the socket) to the slow one (nobody of its own holds it, so every
// process of the machine is looked at).

#include "core/port_probe.h"

#include <QTcpServer>

#include <benchmark/benchmark.h>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using cordavelle::ProcessTree;

struct Listening {
    QTcpServer server;
    int port = 0;
    Listening()
    {
        server.listen(QHostAddress::LocalHost);
        port = server.serverPort();
    }
};

void anotherUsersListenerBeforeTheLaunch(benchmark::State &state)
{
    Listening listening;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cordavelle::portHeldByAnotherUser(listening.port));
    }
}
BENCHMARK(anotherUsersListenerBeforeTheLaunch)->Unit(benchmark::kMicrosecond);

void theChildItselfListens(benchmark::State &state)
{
    Listening listening;
    const ProcessTree self{::getpid(), {}};
    for (auto _ : state) {
        if (!cordavelle::listensOnPort(listening.port, self)) {
            state.SkipWithError("this process's listener was not found");
            break;
        }
    }
}
BENCHMARK(theChildItselfListens)->Unit(benchmark::kMicrosecond);

// A listener of this user that is not the child's: every process is looked at, and with a Wine
// prefix every Wine server's environment too.
void aListenerNotTheChilds(benchmark::State &state)
{
    Listening listening;
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::usleep(100000); // until its exec has closed the sockets it got with the fork
    const ProcessTree tree{child, state.range(0) ? QStringLiteral("/nonexistent/wine-prefix") : QString()};
    for (auto _ : state) {
        if (cordavelle::listensOnPort(listening.port, tree)) {
            state.SkipWithError("another process's listener was taken for the child's");
            break;
        }
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}
BENCHMARK(aListenerNotTheChilds)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
