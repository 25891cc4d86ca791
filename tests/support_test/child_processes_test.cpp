#include "support/child_processes.h"

#include <QScopeGuard>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace cordavelle {
namespace {

// Tests wait on isAlive() for what they ended to be gone: a child that ended but was not reaped
// yet (a zombie) has ended, or every such wait would run out its deadline and fail.
TEST(ChildProcesses, AChildIsAliveUntilItEndsNotUntilItIsReaped)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only calls that are safe in the child of a threaded process.
        ::pause();
        ::_exit(0);
    }
    const auto reap = qScopeGuard([child] {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    });
    EXPECT_TRUE(test::isAlive(child));

    ASSERT_EQ(::kill(child, SIGKILL), 0);
    // Waits until the child has ended, and leaves it unreaped.
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(test::isAlive(child));
}

} // namespace
} // namespace cordavelle
