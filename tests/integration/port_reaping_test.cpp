#include "core/port_reaper.h"
#include "support/test_platform.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// A child process that listens on a free loopback port until it is signalled. The child only
// makes async-signal-safe calls, so forking this multi-threaded test process is sound.
struct Listener {
    pid_t pid = -1;
    int port = 0;

    Listener() = default;
    Listener(Listener &&other) noexcept : pid(std::exchange(other.pid, -1)), port(other.port) {}
    Listener &operator=(Listener &&) = delete;

    static Listener start(bool ignoreTerm)
    {
        int report[2];
        if (::pipe(report) != 0) {
            return {};
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            if (ignoreTerm) {
                ::signal(SIGTERM, SIG_IGN);
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                || ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
                ::_exit(2);
            }
            const int port = ntohs(address.sin_port);
            if (::write(report[1], &port, sizeof port) != sizeof port) {
                ::_exit(3);
            }
            for (;;) {
                ::pause();
            }
        }
        ::close(report[1]);
        Listener listener;
        listener.pid = pid;
        if (pid > 0 && ::read(report[0], &listener.port, sizeof listener.port) != sizeof listener.port) {
            listener.port = 0;
        }
        ::close(report[0]);
        return listener;
    }

    // The signal that ended the child, or 0 when it has not ended by signal.
    int waitForEnd()
    {
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
            return 0;
        }
        pid = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    ~Listener()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

class PortReapingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo::exists("/usr/sbin/lsof") && !QFileInfo::exists("/usr/bin/lsof")) {
            GTEST_SKIP() << "lsof is not installed (scripts/deps installs it)";
        }
        env.useSystemTools();
    }

    // Reaps rigctld's port on virtual time while the real children run.
    bool reapRigctld(int port)
    {
        RigctldConfig config;
        config.tcpPort = port;
        bool done = false;
        auto task = [](bool &done, RigctldConfig config) -> QCoro::Task<void> {
            co_await PortReaper::reapStaleProcessesHoldingPorts(ServiceID::rigctld, config, {});
            done = true;
        }(done, config);
        return env.clock().runUntil([&] { return done; }, 10s, 20s);
    }

    test::TestPlatform env;
};

TEST_F(PortReapingTest, AStaleListenerIsAskedToLeave)
{
    Listener listener = Listener::start(/*ignoreTerm=*/false);
    ASSERT_GT(listener.port, 0);
    const pid_t pid = listener.pid;
    EXPECT_EQ(PortReaper::pidsListeningOn(listener.port), std::vector<int32_t>{pid});

    ASSERT_TRUE(reapRigctld(listener.port));
    EXPECT_EQ(listener.waitForEnd(), SIGTERM);
    EXPECT_TRUE(env.log().contains(
        QStringLiteral("Reaping stale process pid %1 holding rigctld port %2 before spawn").arg(pid).arg(listener.port)));
    EXPECT_TRUE(env.log().contains(QStringLiteral("Ports [%1] clear after SIGTERM reap").arg(listener.port)));
    EXPECT_TRUE(PortReaper::pidsListeningOn(listener.port).empty());
}

TEST_F(PortReapingTest, AListenerThatIgnoresTermIsKilled)
{
    Listener listener = Listener::start(/*ignoreTerm=*/true);
    ASSERT_GT(listener.port, 0);
    const pid_t pid = listener.pid;
    ASSERT_TRUE(reapRigctld(listener.port));
    EXPECT_EQ(listener.waitForEnd(), SIGKILL);
    EXPECT_TRUE(env.log().contains(QStringLiteral("SIGKILL'ing pid %1 still holding port %2").arg(pid).arg(listener.port)));
}

TEST_F(PortReapingTest, TheHelperNeverReapsItself)
{
    // Signals are recorded, not sent, in case the helper picked itself.
    env.platform().setCommandRunner(std::make_shared<test::RecordingCommandRunner>());
    auto &commands = static_cast<test::RecordingCommandRunner &>(env.platform().commandRunner());
    commands.passThrough("lsof");

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const int port = server.serverPort();
    const auto pids = PortReaper::pidsListeningOn(port);
    EXPECT_NE(std::find(pids.begin(), pids.end(), QCoreApplication::applicationPid()), pids.end());

    ASSERT_TRUE(reapRigctld(port));
    EXPECT_TRUE(commands.signalsSent.empty());
    EXPECT_TRUE(env.log().entries.empty());
    EXPECT_TRUE(server.isListening());
}

} // namespace
} // namespace cordavelle
